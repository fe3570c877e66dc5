#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole pytest suite against it. The interpreter is not built with
# the sanitizers, so their runtime is preloaded; Python's allocator is
# switched to malloc so that ASan sees every object. Leak detection is left to
# the leak tests (the interpreter itself keeps memory until exit). Warnings
# are errors. The fuzz replay programs of the same build then run every seed
# and every kept crash input under the sanitizers.
#
#   scripts/sanitized-tests.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/asan
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE=ON -DVANTREL_WERROR=ON \
  -DVANTREL_FUZZ_REPLAY=ON >/dev/null
cmake --build "$BUILD" -j2

ASAN_RUNTIME=$(g++ -print-file-name=libasan.so)
export LD_PRELOAD="$ASAN_RUNTIME"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export VANTREL_SANITIZED=1
PYTHONPATH="$BUILD:python" python3 -m pytest -q -p no:cacheprovider "$@"

# Replays: the seeds (and any kept crash inputs) of each target.
unset LD_PRELOAD
python3 fuzz/seed.py "$BUILD/seeds"
for target in fuzz_message fuzz_scan fuzz_decode fuzz_columns fuzz_bits fuzz_tables_eccodes fuzz_tables_csv; do
  inputs=("$BUILD/seeds/$target")
  [ -d "fuzz/crashes/$target" ] && inputs+=("fuzz/crashes/$target")
  "$BUILD/fuzz/${target/fuzz_/replay_}" "${inputs[@]}"
done

#!/usr/bin/env bash
# Builds the libFuzzer targets of the C++ core with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Seeds come from fuzz/seed.py (messages and table snippets made by the test
# suite's builders) and, when ../shared/data sits beside the project, from its
# sample files (read at run time, never committed). Crash inputs are kept in
# fuzz/crashes/<target>/ for turning into regression tests.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-60}
shift || true
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=()
  for source in fuzz/fuzz_*.cpp; do
    TARGETS+=("$(basename "$source" .cpp)")
  done
fi

CXX=${CXX:-$(command -v clang++-19 || command -v clang++)}
OUT=build/fuzz
mkdir -p "$OUT"
CORE_SOURCES=$(ls src/error/*.cpp src/bitstream/*.cpp src/message/*.cpp src/tables/*.cpp src/data/*.cpp 2>/dev/null)
FLAGS=(-std=c++2b -O1 -g -Isrc -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

# The core once as objects, shared by every target.
if [ ! -f "$OUT/core.a" ] || [ -n "$(find src -name '*.[ch]pp' -newer "$OUT/core.a" | head -n1)" ]; then
  rm -f "$OUT"/*.o "$OUT/core.a"
  for source in $CORE_SOURCES; do
    object="$OUT/$(echo "$source" | tr / _).o"
    "$CXX" "${FLAGS[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$source" -o "$object" &
    while [ "$(jobs -r | wc -l)" -ge 2 ]; do sleep 0.2; done
  done
  wait
  ar rcs "$OUT/core.a" "$OUT"/*.o
fi

python3 fuzz/seed.py build/fuzz/seeds

status=0
for target in "${TARGETS[@]}"; do
  "$CXX" "${FLAGS[@]}" "fuzz/$target.cpp" "$OUT/core.a" -o "$OUT/$target"
  corpus="build/fuzz/corpus/$target"
  crashes="fuzz/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  seeds="build/fuzz/seeds/$target"
  extra=()
  [ -d "$seeds" ] && extra+=("$seeds")
  echo "== $target: ${SECONDS_PER_TARGET}s"
  if ! "$OUT/$target" "$corpus" "${extra[@]}" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="$crashes/" -print_final_stats=1 2>"$OUT/$target.log"; then
    status=1
    echo "!! $target found a crash; input kept in $crashes/"
  fi
  grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec|#[0-9]+ +DONE)" "$OUT/$target.log" || true
  grep -oE "ft: [0-9]+" "$OUT/$target.log" | tail -n1 | sed "s/^/features /" || true
done
exit $status

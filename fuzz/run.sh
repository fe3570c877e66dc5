#!/usr/bin/env bash
# Builds the libFuzzer targets of the C++ core (CMake option VANTREL_FUZZ,
# clang with AddressSanitizer and UndefinedBehaviorSanitizer) and runs each
# for a bounded time, at low priority.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Seeds come from fuzz/seed.py (messages and table snippets made by the test
# suite's builders) and, when ../shared/data sits beside the project, from its
# sample files, edition 3 ones included (read at run time, never committed).
# Crash inputs are kept in fuzz/crashes/<target>/; each reproduces without
# libFuzzer through the replay programs (option VANTREL_FUZZ_REPLAY):
#
#   build/dev/fuzz/replay_message fuzz/crashes/fuzz_message/
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-60}
shift || true
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=(fuzz_message fuzz_scan fuzz_decode fuzz_columns fuzz_bits fuzz_tables_eccodes fuzz_tables_csv)
fi

CXX=${CXX:-$(command -v clang++-19 || command -v clang++)}
BUILD=build/fuzz
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_FUZZ=ON -DVANTREL_WERROR=ON >/dev/null
nice -n 19 cmake --build "$BUILD" -j2 --target "${TARGETS[@]}"

python3 fuzz/seed.py "$BUILD/seeds"

status=0
for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$target"
  crashes="fuzz/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  seeds="$BUILD/seeds/$target"
  extra=()
  [ -d "$seeds" ] && extra+=("$seeds")
  echo "== $target: ${SECONDS_PER_TARGET}s"
  if ! nice -n 19 "$BUILD/fuzz/$target" "$corpus" "${extra[@]}" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 \
      -rss_limit_mb=4096 -artifact_prefix="$crashes/" -print_final_stats=1 2>"$BUILD/$target.log"; then
    status=1
    echo "!! $target found a crash; input kept in $crashes/"
    grep -E "^(==[0-9]+==ERROR|SUMMARY)" "$BUILD/$target.log" || true
  fi
  grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec)" "$BUILD/$target.log" || true
  grep -oE "cov: [0-9]+ ft: [0-9]+" "$BUILD/$target.log" | tail -n1 || true
done
exit $status

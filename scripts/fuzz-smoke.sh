#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target briefly on its seed
# corpus (fuzz/corpus/<target>/), four at a time, inside the simulated
# device: the targets keep building, every seed passes and the first
# mutations do not crash. A fixed -seed makes the mutations the same from
# run to run (up to where the time limit cuts them). About a minute after
# the build on an idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/fuzz-lib.sh
fuzz_build
# Every smoke run starts from the repository's seeds alone, as on a fresh
# clone: what earlier runs found would otherwise change the mutations.
rm -rf -- "$FUZZ_RUNS"
export -f fuzz_one
export FUZZ_BUILD FUZZ_RUNS
failed=0
fuzz_targets | xargs -P 4 -I{} bash -c \
  'fuzz_one {} -seed=1 -runs=20000 -max_total_time=15 || { echo "=== fuzz smoke: {} failed"; tail -40 "$FUZZ_RUNS/{}/log"; exit 1; }' \
  || failed=1
for t in $(fuzz_targets); do fuzz_summary "$t"; done
[ "$failed" = 0 ] || { echo "=== fuzz smoke failed"; exit 1; }
echo "=== fuzz smoke passed"

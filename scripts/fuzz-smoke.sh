#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target briefly on its seed
# corpus (fuzz/corpus/<target>/), four at a time, inside the simulated
# device: the targets keep building, every seed passes and the first
# mutations do not crash. Each target runs a fixed count of inputs with a
# fixed -seed, so a local smoke run tries exactly what CI tries; the time
# limit is only a safety net, and a target that meets it before its count
# fails the smoke run. About a minute after the build on an idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/fuzz-lib.sh
fuzz_build
# Every smoke run starts from the repository's seeds alone, as on a fresh
# clone: what earlier runs found would otherwise change the mutations.
rm -rf -- "$FUZZ_RUNS"
# Inputs per target: about 15 seconds each on an idle machine (the slow
# targets hash, sign or rewrite a simulated flash per input).
smoke_runs() {
  case $1 in
    fuzz_cal_area) echo 200 ;;
    fuzz_store_index|fuzz_vdata) echo 3000 ;;
    fuzz_creds_text) echo 5000 ;;
    fuzz_dpkg_journal) echo 8000 ;;
    fuzz_parse_hashlist|fuzz_xmldoc) echo 10000 ;;
    fuzz_policy_parser) echo 15000 ;;
    *) echo 20000 ;;
  esac
}
# One target: its count of inputs, then a check that it got there.
smoke_one() {
  local name=$1 runs
  runs=$(smoke_runs "$name")
  if ! fuzz_one "$name" -seed=1 -runs="$runs" -max_total_time=300; then
    echo "=== fuzz smoke: $name failed"
    tail -40 "$FUZZ_RUNS/$name/log"
    return 1
  fi
  if ! grep -q "^Done $runs runs in " "$FUZZ_RUNS/$name/log"; then
    echo "=== fuzz smoke: $name stopped before its $runs inputs (the time limit): $(grep '^Done' "$FUZZ_RUNS/$name/log")"
    return 1
  fi
}
export -f fuzz_one smoke_runs smoke_one
export FUZZ_BUILD FUZZ_RUNS
failed=0
fuzz_targets | xargs -P 4 -I{} bash -c 'smoke_one {}' || failed=1
for t in $(fuzz_targets); do fuzz_summary "$t"; done
[ "$failed" = 0 ] || { echo "=== fuzz smoke failed"; exit 1; }
echo "=== fuzz smoke passed"

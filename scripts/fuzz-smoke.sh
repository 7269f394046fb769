#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target briefly on its seed
# corpus (fuzz/corpus/<target>/), four at a time, inside the simulated
# device: the targets keep building, every seed passes and the first
# mutations do not crash. Each target runs a fixed count of inputs with a
# fixed -seed, so a local smoke run tries exactly what CI tries; the time
# limit is only a safety net, and a target that meets it before its count
# fails the smoke run. A target that stops checking each input for leaks
# fails it too, and one target runs long enough to show that the
# simulator it runs on does not make it stop. About a minute after the
# build on an idle machine.
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
  leaks_checked "$name" "$FUZZ_RUNS/$name/log"
}
# libFuzzer checks every input for leaks until it has seen, more than a
# thousand times, an input that allocates more than it frees twice in a
# row; then it checks only at exit, and a leak found there has no input.
leaks_checked() {
  if grep -q "disabled leak detection" "$2"; then
    echo "=== fuzz smoke: $1 stopped checking each input for leaks: $(grep -m1 -B1 'disabled leak detection' "$2" | head -1)"
    return 1
  fi
}
# The long run: the simulator allocates nothing on a target's calls, nor on
# the watchdog thread's, here with the sandbox's recorded sleeps, so that
# the watchdog calls through the simulator all the time while the inputs
# run. Without that the picture target stopped checking after some 500,000
# inputs.
leak_check() {
  local name=fuzz_png_picture runs=1000000
  local log=$FUZZ_RUNS/leak-check/log
  if ! FUZZ_RUN_NAME=leak-check FUZZ_SLEEP_SCALE=0 \
      fuzz_one "$name" -seed=1 -runs="$runs" -max_total_time=300; then
    echo "=== fuzz smoke: leak check ($name) failed"
    tail -40 "$log"
    return 1
  fi
  grep -q "^Done $runs runs in " "$log" ||
    { echo "=== fuzz smoke: leak check ($name) stopped before its $runs inputs"; return 1; }
  leaks_checked "leak check ($name)" "$log"
}
export -f fuzz_one smoke_runs smoke_one leaks_checked
export FUZZ_BUILD FUZZ_RUNS
failed=0
leak_check &
leak_pid=$!
fuzz_targets | xargs -P 4 -I{} bash -c 'smoke_one {}' || failed=1
wait "$leak_pid" || failed=1
for t in $(fuzz_targets); do fuzz_summary "$t"; done
[ "$failed" = 0 ] || { echo "=== fuzz smoke failed"; exit 1; }
echo "=== fuzz smoke passed"

#!/usr/bin/env bash
# scripts/fuzz-run.sh MINUTES [TARGET...]
# Builds the fuzz preset and runs every fuzz target (or the ones named) for
# MINUTES minutes each, on its seed corpus, inside the simulated device,
# FUZZ_PARALLEL (default 4) at a time. The corpora grow under
# build/fuzz/runs/<target>/corpus (kept for the next run) and crash inputs
# land beside them; the repository's seeds are not changed. Prints each
# target's executions and final coverage; exits 1 when any target failed.
# FUZZ_ARGS adds libFuzzer options, e.g. FUZZ_ARGS="-fork=1 -ignore_crashes=1"
# to go on past a crash (each crash input is still kept).
#
# scripts/fuzz-run.sh --seeds  instead writes the seeds that only the
# targets can make (flash images, a signed store index, a written journal)
# into build/fuzz/seeds/<target>/, to be copied into fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/fuzz-lib.sh

if [ "${1:-}" = --seeds ]; then
  fuzz_build
  for t in fuzz_cal_area fuzz_store_index fuzz_dpkg_journal; do
    mkdir -p "$FUZZ_BUILD/seeds/$t"
    "$FUZZ_BUILD/sim/ks-sandbox" -- env KS_FUZZ_SEED_OUT="$(pwd)/$FUZZ_BUILD/seeds/$t" \
      "$(pwd)/$FUZZ_BUILD/fuzz/$t" -runs=0 >/dev/null 2>&1
    ls "$FUZZ_BUILD/seeds/$t"
  done
  exit 0
fi

minutes=${1:?usage: scripts/fuzz-run.sh MINUTES [TARGET...]}
shift
fuzz_build
targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(fuzz_targets)
export -f fuzz_one
export FUZZ_BUILD FUZZ_RUNS
seconds=$((minutes * 60))
failed=0
printf '%s\n' "${targets[@]}" | xargs -P "${FUZZ_PARALLEL:-4}" -I{} bash -c \
  "fuzz_one {} -max_total_time=$seconds -timeout=30 -rss_limit_mb=3072 ${FUZZ_ARGS:-} || { echo \"=== {} failed: see $FUZZ_RUNS/{}/log\"; exit 1; }" \
  || failed=1
for t in "${targets[@]}"; do fuzz_summary "$t"; done
exit "$failed"

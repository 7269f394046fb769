# Shared by fuzz-smoke.sh and fuzz-run.sh (sourced from the repository
# root): builds the fuzz preset and runs one fuzz target inside the
# simulated device with a scratch copy of its seed corpus.
#
# Every target runs inside ks-sandbox: several reach fixed paths of the
# device (the stores, the crypto services' data directory, the vdata file)
# and the simulated hardware, and none may touch the host's.

FUZZ_BUILD=build/fuzz
FUZZ_RUNS=$FUZZ_BUILD/runs

fuzz_build() {
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "${JOBS:-6}"
}

fuzz_targets() {
  local t
  for t in "$FUZZ_BUILD"/fuzz/fuzz_*; do
    [ -x "$t" ] && basename "$t"
  done
}

# fuzz_one TARGET ARGS...: runs TARGET on build/fuzz/runs/TARGET/corpus
# (the repository's seeds copied in; what the run finds stays there, never
# in the source tree), crash inputs under build/fuzz/runs/TARGET/, output
# in build/fuzz/runs/TARGET/log. The target's exit status. FUZZ_RUN_NAME
# names another directory than TARGET's under build/fuzz/runs.
#
# Sleeps are real (FUZZ_SLEEP_SCALE, default 1, is ks-sandbox's
# --sleep-scale): libFuzzer's watchdog thread checks the memory once a
# second, and with the sandbox's recorded sleeps, which return at once, it
# would spin, taking a core and filling the device's run/sleeps; the
# targets' own code does not sleep.
fuzz_one() {
  local name=$1
  shift
  local dir=$FUZZ_RUNS/${FUZZ_RUN_NAME:-$name}
  mkdir -p "$dir/corpus"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -n fuzz/corpus/"$name"/* "$dir/corpus/" 2>/dev/null || true
  fi
  local root
  root=$(pwd)
  "$FUZZ_BUILD/sim/ks-sandbox" --sleep-scale "${FUZZ_SLEEP_SCALE:-1}" -- "$root/$FUZZ_BUILD/fuzz/$name" \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$root/$dir/" "$@" \
    "$root/$dir/corpus" >"$dir/log" 2>&1
}

# The run's last figures: executions, coverage and features.
fuzz_summary() {
  local name=$1 log=$FUZZ_RUNS/$1/log line
  line=$(grep -E '^#[0-9]+:?[[:space:]].*cov: ' "$log" | tail -1 || true)
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  [ -n "$execs" ] || execs=$(echo "$line" | grep -oE '^#[0-9]+' | tr -d '#' || true)
  printf '%-24s execs %-10s %s\n' "$name" "${execs:-?}" \
    "$(echo "$line" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*')"
}

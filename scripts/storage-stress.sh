#!/usr/bin/env bash
# A long stress run of protected storage inside the sandbox: PROCS workers
# (default 16) mix writes, removals, renames and signings in the stores
# while one of them is killed at random every 0 to 1 s, for SECONDS seconds
# (default 150); then every key is checked against its last acknowledged
# value. Prints the counts; fails on any lost key, wrong state or stuck
# worker. Needs the default build (make build-default).
#   scripts/storage-stress.sh [SECONDS] [PROCS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-150}
procs=${2:-16}
build=build/default
[ -x "$build/storage/storage_stress_test" ] || { echo "build first: make build-default" >&2; exit 2; }
KS_STRESS_SECONDS=$seconds KS_STRESS_PROCS=$procs \
  "$build/sim/ks-sandbox" -- "$PWD/$build/storage/storage_stress_test"

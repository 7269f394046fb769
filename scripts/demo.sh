#!/usr/bin/env bash
# Boots keepstone-init on the bundled sample device inside the sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ ! -x "$build/sim/ks-sandbox" ]; then
  echo "demo: the simulated device is not built yet; keepstone-init is built"
  echo "demo: at $build/init/keepstone-init but only ever runs inside the sandbox."
  exit 0
fi
exec bash sim/demo.sh "$build"

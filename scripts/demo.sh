#!/usr/bin/env bash
# Boots keepstone-init on the bundled sample device inside the sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
shift || true
if [ ! -x "$build/sim/ks-sandbox" ]; then
  echo "demo: $build/sim/ks-sandbox is missing; build the default preset first" >&2
  exit 1
fi
exec bash sim/demo.sh "$build" "$@"

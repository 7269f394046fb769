#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target briefly, so that the
# targets keep building and do not crash on their first inputs.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
for t in build/fuzz/fuzz/fuzz_*; do
  [ -x "$t" ] || continue
  echo "=== fuzz smoke: $(basename "$t")"
  "$t" -runs=20000 -max_total_time=15 >/dev/null 2>"$t.log" || { cat "$t.log"; exit 1; }
done
echo "=== fuzz smoke passed"

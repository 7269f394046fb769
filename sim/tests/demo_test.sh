#!/usr/bin/env bash
# sim_demo_test: runs the demo as `make demo` does and prints its output for
# the test's pattern, then its length: each of the three boots must fit on
# one screen (about 60 lines).
#   sim/tests/demo_test.sh BUILD-DIR
set -uo pipefail
out=$(mktemp)
trap 'rm -f -- "$out"' EXIT
bash "$(dirname "$0")/../demo.sh" "$1" >"$out" 2>&1
rc=$?
cat -- "$out"
lines=$(wc -l <"$out")
echo "demo: exit status $rc, $lines lines"
if [ "$rc" = 0 ] && [ "$lines" -le 180 ]; then
  echo "demo: fits on one screen per boot"
fi

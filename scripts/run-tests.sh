#!/usr/bin/env bash
# Builds each preset named on the command line and runs its tests; keeps
# going after a failing preset so every summary is shown, then fails.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
failed=()
for p in "$@"; do
  echo "=== preset $p: configure and build"
  if ! cmake --preset "$p" >/dev/null || ! cmake --build --preset "$p" -j "$jobs"; then
    echo "=== preset $p: BUILD FAILED"
    failed+=("$p")
    continue
  fi
  echo "=== preset $p: tests"
  if ! ctest --preset "$p" -j "$jobs"; then
    failed+=("$p")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "=== failed presets: ${failed[*]}"
  exit 1
fi
echo "=== all presets passed: $*"

#!/usr/bin/env bash
# docs_known_faults_test: `ks-sim fault` arms exactly the faults that the
# models ask for: every name a model's code passes to fault() (or its
# helpers) is in `ks-sim known-faults`, and an unknown name is refused with
# the list and arms nothing.
#   docs/tests/known_faults_test.sh SOURCE-DIR BUILD-DIR
set -uo pipefail
src=$1 build=$2
state=$(mktemp -d)
trap 'rm -rf -- "$state"' EXIT
sim=$build/sim/ks-sim
# An ARM build's ks-sim does not run on the host.
"$sim" --state "$state" help >/dev/null 2>&1 || { echo "ks-sim does not run on this host"; exit 0; }
"$sim" --state "$state" known-faults >"$state/known" 2>&1 || { cat "$state/known"; exit 1; }
failed=0
# Literal names, and the integrity module's names made from its files.
names=$(find "$src/sim/models" -name '*.cpp' ! -name '*_test.cpp' -print0 |
  xargs -0 grep -hoE '(fault|fault_errno|refusal)\("[a-z0-9_]+\.[a-z0-9_.]+"' |
  sed -E 's/.*\("//; s/"$//' | sort -u)
for what in $(grep -oE 'fault\("keepstone\." \+ [a-z_]+ \+ "\.[a-z_]+"' "$src/sim/models/keepstone.cpp" |
              sed -E 's/.*"\.([a-z_]+)"$/\1/' | sort -u); do
  for f in $(sed -n 's/.*files\[\] = {\(.*\)};/\1/p' "$src/sim/models/keepstone.cpp" | tr -d '",'); do
    names+=$'\n'"keepstone.$f.$what"
  done
done
grep -qx 'keepstone.hashlist.open' <<<"$names" || { echo "cannot read the integrity module's faults"; failed=1; }
for n in $names; do
  grep -qxF -- "$n" "$state/known" || { echo "a model asks for $n, ks-sim does not know it"; failed=1; }
done
if "$sim" --state "$state" fault nonsense.fault 2>"$state/err"; then
  echo "ks-sim fault took an unknown name"; failed=1
fi
grep -q 'unknown fault nonsense.fault; the known faults: ' "$state/err" ||
  { echo "no list of the known faults:"; cat "$state/err"; failed=1; }
[ ! -s "$state/faults" ] || { echo "an unknown fault was armed"; failed=1; }
"$sim" --state "$state" fault ubifs.mount && grep -qx ubifs.mount "$state/faults" ||
  { echo "a known fault was not armed"; failed=1; }
[ $failed = 0 ] && echo "$(wc -l <"$state/known") known faults, every model's among them"
exit $failed

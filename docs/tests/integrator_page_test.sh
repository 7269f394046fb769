#!/usr/bin/env bash
# docs_integrator_page_test, docs_device_page_test: runs the commands of a
# page (docs/integrators.md by default: the fenced blocks after
# "<!-- run -->" lines, in order, as one script from the source directory)
# with the build directory given and a device root and image of its own,
# and checks that the lines of every block after an "<!-- output -->" line
# appear in the commands' output, in order. Every other fenced block of the
# page must follow an "<!-- excerpt -->" line: the page says what does not
# run.
#   docs/tests/integrator_page_test.sh SOURCE-DIR BUILD-DIR [PAGE]
set -uo pipefail
src=$1
page=$src/docs/${3:-integrators.md}
work=$(mktemp -d "$2/docs-page.XXXXXX")
trap 'rm -rf --one-file-system -- "$work"' EXIT
export B=$2 DEV=$work/device IMG=$work/image STAGE=$work/stage

# Each fenced block follows a mark that says what it is.
unmarked=$(awk '
  /^<!-- (run|output|excerpt) -->$/ { mark = 1; next }
  /^```/ { if (inside) inside = 0; else { inside = 1; if (!mark) print NR } ; mark = 0; next }
  !/^$/ { if (!inside) mark = 0 }' "$page")
if [ -n "$unmarked" ]; then
  echo "$page: fenced blocks without a run, output or excerpt mark at lines: $unmarked"
  exit 1
fi

# The blocks after one kind of marker, one after the other.
blocks() {  # marker
  awk -v marker="<!-- $1 -->" '
    $0 == marker { armed = 1; next }
    armed && /^```/ { if (inside) { inside = 0; armed = 0 } else inside = 1; next }
    inside { print }' "$page"
}

blocks run >"$work/commands.sh"
blocks output >"$work/expected.txt"
[ -s "$work/commands.sh" ] && [ -s "$work/expected.txt" ] || { echo "no commands on $page"; exit 1; }
(cd "$src" && bash -euo pipefail "$work/commands.sh") >"$work/output.txt" 2>&1
rc=$?
cat -- "$work/output.txt"
[ $rc = 0 ] || { echo "the page's commands failed with status $rc"; exit 1; }
# Each expected line, in order, somewhere after the one before.
at=0
while IFS= read -r want; do
  found=$(WANT=$want awk -v from="$at" 'NR > from && $0 == ENVIRON["WANT"] { print NR; exit }' "$work/output.txt")
  if [ -z "$found" ]; then
    echo "missing in the output (after line $at): $want"
    exit 1
  fi
  at=$found
done <"$work/expected.txt"
echo "every output of the page seen"
# Outside the sandbox the security hardware would be the machine's own:
# developer-mode refuses there and writes nothing (a host build's ks-sim
# only; an ARM build's does not run on the host).
if "$B/sim/ks-sim" --root "$DEV" help >/dev/null 2>&1; then
  "$B/sim/ks-sim" --root "$DEV" developer-mode --relaxed 1 >"$work/host.txt" 2>&1
  host=$?
  if [ $host != 2 ] || [ -e "$DEV/etc/tarvo/developer-mode.bin" ]; then
    echo "ks-sim developer-mode ran outside the sandbox (status $host):"
    cat -- "$work/host.txt"
    exit 1
  fi
  echo "ks-sim developer-mode refused outside the sandbox"
fi

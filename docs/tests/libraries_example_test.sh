#!/usr/bin/env bash
# docs_libraries_example_test: every code block of docs/libraries.md that
# follows "<!-- example: examples/libraries.cpp NAME -->" is the part of
# docs/examples/libraries.cpp between "// [NAME]" and "// [/NAME]", and
# that program runs on a prepared sample device with every example ok.
#   docs/tests/libraries_example_test.sh SOURCE-DIR BUILD-DIR
set -uo pipefail
src=$1 build=$2
page=$src/docs/libraries.md program=$src/docs/examples/libraries.cpp
work=$(mktemp -d "$build/docs-libraries.XXXXXX")
trap 'rm -rf --one-file-system -- "$work"' EXIT
failed=0
names=$(sed -n 's|^<!-- example: examples/libraries.cpp \([a-z]*\) -->$|\1|p' "$page")
[ -n "$names" ] || { echo "no library examples on $page"; exit 1; }
for name in $names; do
  awk -v marker="<!-- example: examples/libraries.cpp $name -->" '
    $0 == marker { armed = 1; next }
    armed && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$page" >"$work/page.txt"
  sed -n "\\|^// \\[$name\\]\$|,\\|^// \\[/$name\\]\$|p" "$program" | sed '1d;$d' >"$work/source.txt"
  if ! cmp -s "$work/page.txt" "$work/source.txt" || [ ! -s "$work/source.txt" ]; then
    echo "the page's $name example is not the program's:"
    diff "$work/page.txt" "$work/source.txt"
    failed=1
  fi
done
sandbox=$build/sim/ks-sandbox
"$sandbox" --root "$work/device" --image "$src/sim/sample/image" --mount-var -- \
  "$build/sim/sample/make_sample_device" --list /etc/group >"$work/prepare.txt" 2>&1 ||
  { cat "$work/prepare.txt"; exit 1; }
"$sandbox" --root "$work/device" --same-boot --mount-var -- "$build/docs/docs_libraries_example"
rc=$?
echo "examples: exit status $rc"
[ $rc = 0 ] && [ $failed = 0 ]

#!/usr/bin/env bash
# docs_quoted_text_test: every text that the pages quote in double quotes
# (messages, paths, file contents, switches) is found in the code, the
# sample image or the pages' examples: a quoted text whose pieces are not
# there is a message, path or name that the program does not have. Words in
# capitals (N, FILE, LANG, ...) and "..." stand for what varies and split a
# text into pieces; every piece of three or more characters must be found.
#   docs/tests/quoted_text_test.sh SOURCE-DIR
set -uo pipefail
src=$1
cd "$src" || exit 1
pages=(docs/operating.md docs/integrators.md docs/device.md docs/troubleshooting.md
       docs/file-formats.md docs/keepstone-init.8)
corpus=$(mktemp)
trap 'rm -f -- "$corpus"' EXIT
# The code of the program, the libraries and the tools, and the files it
# is shipped with.
find init support creds cal secbins crypto storage restok sim scripts docs/examples \
     -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.in' -o -name '*.py' -o -name '*.sh' \
                -o -name '*.txt' -o -name '*.conf' -o -name 'refhashlist' -o -name '*.placeholders' \) \
     ! -name '*_test.cpp' -print0 | xargs -0 cat >"$corpus"
find sim/sample/image -type f -print0 | xargs -0 cat >>"$corpus" 2>/dev/null
find sim/sample/image sim/pictures -print | sed 's|^sim/sample/image||' >>"$corpus"
# Quoted texts that are the pages' own words, not the program's.
not_the_programs=("excerpt" "usr/lib" "usr/lib/<multiarch>" "/usr/include/keepstone"
                  "[seconds.microseconds] " "System Administration"
                  # shapes of lines, not texts
                  "keepstone-init: SIGNAL:frame:frame..." "Sub: vdata 0x...")

# Whether a piece is in the code: as it is, or (for a message whose last
# words the code prints from a value, "R&D mode is %s") without its last
# words down to two; a path also by its last component, which the code
# may join to a directory constant.
found() {
  local piece=$1
  grep -qF -- "$piece" "$corpus" && return 0
  # The programs' prefixes are added when a line is written.
  local prefix
  for prefix in "keepstone-init: " "ks-sandbox: " "ks-sim: " "make_sample_device: "; do
    case $piece in
      "$prefix"?*) found "${piece#"$prefix"}" && return 0 ;;
    esac
  done
  # A name without spaces that the code joins from parts ("dpkg-journal" ".bad").
  case $piece in
    *' '*) ;;
    *[._]*) local part all=1
            for part in $(printf '%s' "$piece" | tr '._/' '   '); do
              [ ${#part} -lt 3 ] || grep -qF -- "$part" "$corpus" || all=0
            done
            [ $all = 1 ] && return 0 ;;
  esac
  case $piece in
    /*) local base=${piece##*/}; base=${base%\*}
        [ ${#base} -ge 3 ] && grep -qF -- "$base" "$corpus" && return 0 ;;
  esac
  local words
  read -r -a words <<<"$piece"
  while [ ${#words[@]} -gt 2 ]; do
    unset 'words[${#words[@]}-1]'
    grep -qF -- "${words[*]}" "$corpus" && return 0
  done
  return 1
}

failed=0
for page in "${pages[@]}"; do
  # Text outside fenced blocks; quoted texts of one line that neither
  # start nor end with a space.
  while IFS= read -r quoted; do
    text=${quoted:1:${#quoted}-2}
    for own in "${not_the_programs[@]}"; do [ "$text" = "$own" ] && continue 2; done
    # Pieces: split at "...", at words in capitals and numbers (what
    # varies), and around paths.
    pieces=$(printf '%s\n' "$text" |
      sed -E 's/\.\.\./\n/g; s/\b[A-Z][A-Z0-9_-]*\b/\n/g; s/(_|0x)[A-Z]+\b/\1\n/g; s/\b(0x[0-9a-f]+|[0-9]+)\b/\n/g; s#(/[^ ]*)#\n\1\n#g')
    while IFS= read -r piece; do
      piece=$(printf '%s' "$piece" | sed -E 's/^[][ (,:.]+//; s/[][ ),:.]+$//')
      [ ${#piece} -ge 3 ] || continue
      if ! found "$piece"; then
        echo "$page: \"$text\": \"$piece\" is not in the code"
        failed=1
      fi
    done <<<"$pieces"
  done < <(awk '/^```/ { inside = !inside; next } !inside' "$page" | grep -oE '"[^" ][^"]*[^" ]"')
done
[ $failed = 0 ] && echo "every quoted text of the pages is in the code"
exit $failed

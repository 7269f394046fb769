#!/usr/bin/env bash
# Boots keepstone-init on the sample device (sim/sample) in the sandbox and
# shows what it did.
#   sim/demo.sh BUILD-DIR [KEEPSTONE-INIT-ARGUMENTS...]   (default: /)
# The device is prepared first (make_sample_device: certificate blocks,
# vdata file, software certificate, signatures), then booted with the
# arguments given. Unless KS_DEMO_MORE=0, two more boots follow: the same
# device in initrd mode ("-i /", which hands over to /sbin/preinit), and a
# copy of the device whose policy file was changed after it was signed,
# which ends in the malfunction state with its screen saved as a picture.
#
# Each boot is shown as a short block: the command, the exit status, the
# summary line explained, what the kernel received in counts and where the
# full trace and kernel log of that boot are kept (BUILD-DIR/demo-logs).
# KS_DEMO_VERBOSE=1 (make demo V=1) also prints the whole trace, the
# standard error file and everything the simulated kernel received.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
shift || true
[ $# -gt 0 ] || set -- /
program=$build/init/keepstone-init
prepare=$build/sim/sample/make_sample_device
device=${KS_DEMO_DEVICE:-$build/demo-device}
tampered=$device-tampered
logs=$device-logs
sandbox=$build/sim/ks-sandbox
more=${KS_DEMO_MORE:-1}
verbose=${KS_DEMO_VERBOSE:-0}
[ "$verbose" = 0 ] || [ "$verbose" = 1 ] || verbose=1
# The vdata file lists the account files; the data files that the boot
# checks are signed under "tcb" into the store "files.tcb".
files=(--list /etc/group --list /etc/passwd
       --sign /etc/refhashlist --sign /var/lib/tarvo/restok/restok.conf)
for p in "$program" "$prepare"; do
  [ -x "$p" ] || { echo "demo: $p is not built" >&2; exit 1; }
done

# In an ARM build, a shell in the sandbox runs an ARM program through this
# prefix (the emulator with the armhf simulator).
prefix=$(cat -- "$build/sim/sample/boot-prefix" 2>/dev/null || true)
rm -rf --one-file-system -- "$device" "$tampered" "$logs"
mkdir -p -- "$logs"
echo "== Preparing the sample device (device root: $device)"
if [ "$verbose" = 1 ]; then
  echo "   certificate blocks on the flash, the vdata file, the software certificate,"
  echo "   the data files signed into the store files.tcb"
  "$sandbox" --root "$device" --image sim/sample/image --mount-var -- "$prepare" "${files[@]}"
elif ! "$sandbox" --root "$device" --image sim/sample/image --mount-var -- \
      "$prepare" "${files[@]}" >"$logs/prepare.txt" 2>&1; then
  cat -- "$logs/prepare.txt" >&2
  exit 1
else
  echo "   certificate blocks, vdata file, software certificate and signatures made"
fi
# The copy is taken before the first boot, which changes the device (it
# signs the vdata file into the store and counts the boot).
[ "$more" = 0 ] || cp -a -- "$device" "$tampered"

show() {  # title, device root, device path
  if [ -s "$2$3" ]; then
    echo "== $1 ($3)"
    cat -- "$2$3"
    echo
  fi
}

# The meaning of one malfunction reason bit.
reason() {
  case $1 in
    1) echo "0x01 the vdata file /etc/tarvo_vdata did not verify" ;;
    2) echo "0x02 the policy file's signature did not verify" ;;
    4) echo "0x04 the reference hash list did not load" ;;
    8) echo "0x08 writing the enforcement masks failed" ;;
    16) echo "0x10 the first writing of the hash records failed" ;;
    32) echo "0x20 /etc/init.conf does not match its reference hash" ;;
    64) echo "0x40 /var could not be mounted" ;;
  esac
}

# The trace line of a step, or the second argument when it is missing.
traced() {  # pattern, fallback, trace file
  local line
  line=$(grep -o -m1 -E "$1" "$3" 2>/dev/null || true)
  echo "${line:-$2}"
}

# Where the two masks of the summary line come from.
mask_meaning() {  # enabled, enforce, boot log directory
  if ! grep -q -E '^write +enforce ' "$3/kernel.txt"; then
    echo "the presets; nothing was written"
  elif [ "$1" = 0x0 ] && [ "$2" = 0x0 ]; then
    echo "initrd mode"
  elif grep -q 'Relaxed exec validation' "$3/trace.log"; then
    echo "developer mode"
  elif grep -q 'load_keepstone_rd_config' "$3/trace.log"; then
    echo "R&D mode: /etc/tarvo/enable and enforce, else 0x147 and 0x7"
  else
    echo "the normal masks"
  fi
}

# The short block of one boot, from the files kept in its log directory.
explain() {  # boot log directory, command text, exit status
  local dir=$1 trace=$1/trace.log summary r m en ef bit kernel records modules
  echo "   command:     $2"
  echo "   exit status: $3"
  summary=$(grep -o -E 'done \([0-9]+,0x[0-9a-f]+,0x[0-9a-f]+,0x[0-9a-f]+\)' "$dir/stderr-and-console.txt" | tail -n 1 || true)
  if [ -z "$summary" ]; then
    if [ -s "$dir/preinit.txt" ]; then
      echo "   summary:     none: the program replaced itself with /sbin/preinit, which recorded:"
      sed 's/^/                  /' "$dir/preinit.txt"
    else
      echo "   summary:     none"
    fi
  else
    IFS=, read -r r m en ef <<<"${summary#done (}"
    ef=${ef%)}
    echo "   summary:     keepstone-init: $summary"
    if [ "$r" = 0 ]; then
      echo "     result $r: the security hardware was opened"
    else
      echo "     result $r: the security hardware could not be opened; nothing was checked"
    fi
    if [ "$((m))" = 0 ]; then
      echo "     malfunction reasons $m: none, every check passed"
    else
      echo "     malfunction reasons $m:"
      for bit in 1 2 4 8 16 32 64; do
        [ $((m & bit)) = 0 ] || echo "       $(reason $bit)"
      done
    fi
    echo "     masks: enabled $en, enforce $ef ($(mask_meaning "$en" "$ef" "$dir"))"
  fi
  local counter
  counter=$(grep -o -m1 -E 'set reboot \[[0-9]+/[0-9]+\]' "$dir/stderr-and-console.txt" || true)
  if grep -q -m1 -E 'Going to MALF' "$dir/stderr-and-console.txt"; then
    echo "   state:       malfunction ($(grep -o -m1 -E 'Going to MALF [0-9]+' "$dir/stderr-and-console.txt"))${counter:+, reboot counter ${counter#set reboot }}"
  elif grep -q -m1 -E 'Power-off' "$dir/stderr-and-console.txt"; then
    echo "   state:       malfunction, sixth boot in a row: power-off requested"
  else
    echo "   state:       normal end, reboot counter cleared"
  fi
  echo "   modes:       $(traced 'R&D mode is [a-z]+' 'R&D mode unknown' "$trace"),"\
"$(traced 'Signature verification is [a-z]+' ' signature checking unknown' "$trace" | sed 's/^/ /')"
  echo "                $(traced 'Configuration protection is [a-z]+' 'configuration protection unknown' "$trace"),"\
" $(traced 'Developer mode disabled|Relaxed exec validation: [a-z]+' 'developer mode unknown' "$trace")"
  kernel=$dir/kernel.txt
  records=$(grep -c -E '^write +hashlist ' "$kernel" || true)
  modules=$(grep -c -E '^write +modlist ' "$kernel" || true)
  echo "   kernel got:  $records hash records, $modules module hashes,"\
" $(grep -c '^token ' "$dir/restok.txt" || true) tokens,"\
" $(grep -c '^0x89F0 ' "$dir/credp.txt" || true) object policies"
  local masks
  masks=$(grep -E '^write +(enforce|enabled|devorig) ' "$kernel" |
          awk '{v=$3; sub(/\\n$/, "", v); printf "%s%s %s", sep, $2, v; sep=", then "}' || true)
  echo "   written:     ${masks:-no mask (the boot stopped before the masks)}"
  if [ -s "$dir/fb0.png" ]; then
    echo "   screen:      the malfunction screen: $dir/fb0.png"
  elif grep -q 'Going to MALF' "$dir/stderr-and-console.txt"; then
    echo "   screen:      malfunction state, no picture shown"
  else
    echo "   screen:      no malfunction screen"
  fi
  echo "   full trace:  $dir/trace.log"
  echo "   kernel log:  $dir/kernel.txt (and restok.txt, credp.txt, summary.txt)"
}

# One boot of a device root; its trace, error output and kernel side are
# kept in the log directory, and shown whole with KS_DEMO_VERBOSE=1.
boot() {  # number, device root, command text, sandbox command...
  local n=$1 root=$2 text=$3 rc=0 dir=$logs/boot-$1
  shift 3
  mkdir -p -- "$dir"
  if [ "$verbose" = 1 ]; then
    echo "   (sleeps are recorded and return at once; nothing reaches this machine)"
    set +e
    "$sandbox" --root "$root" -- "$@" 2>&1 | tee "$dir/stderr-and-console.txt"
    rc=${PIPESTATUS[0]}
    set -e
  else
    "$sandbox" --root "$root" -- "$@" >"$dir/stderr-and-console.txt" 2>&1 || rc=$?
  fi
  # What the simulated kernel and devices received, in one further program
  # of the same boot: the console (part of the boot's error output) and the
  # views. ks-sim runs on the device (an armhf build's ks-sim is an ARM
  # program, started through the emulator's prefix).
  local views="" view
  for view in summary kernel restok credp; do
    views+="$prefix $(printf %q "$build/sim/ks-sim") $view >$(printf %q "$dir/$view.txt") 2>&1; "
  done
  "$sandbox" --root "$root" --same-boot -- /bin/sh -c \
    "$prefix $(printf %q "$build/sim/ks-sim") console >>$(printf %q "$dir/stderr-and-console.txt") 2>&1; $views" || true
  cp -- "$root/etc/tarvo/keepstone-init.log" "$dir/trace.log" 2>/dev/null || : >"$dir/trace.log"
  cp -- "$root/etc/tarvo/keepstone-init.stderr" "$dir/stderr.txt" 2>/dev/null || : >"$dir/stderr.txt"
  cp -- "$root/.ks-sim/run/preinit" "$dir/preinit.txt" 2>/dev/null || : >"$dir/preinit.txt"
  [ ! -s "$root/.ks-sim/fb0.png" ] || cp -- "$root/.ks-sim/fb0.png" "$dir/fb0.png"
  if [ "$verbose" = 1 ]; then
    echo "== keepstone-init exited with status $rc"
    echo
    show "Trace" "$root" /etc/tarvo/keepstone-init.log
    show "Standard error" "$root" /etc/tarvo/keepstone-init.stderr
    show "preinit" "$root" /.ks-sim/run/preinit
    cat -- "$dir/summary.txt"
    echo
  fi
  explain "$dir" "$text" "$rc"
}

echo
echo "== Boot 1: the prepared sample device (device root: $device)"
boot 1 "$device" "keepstone-init $*" "$program" "$@"
[ "$more" != 0 ] || { echo "Inspect further with: $sandbox --root $device --same-boot -- $build/sim/ks-sim help"; exit 0; }

echo
echo "== Boot 2: the same device again, in initrd mode"
boot 2 "$device" "keepstone-init -i /" "$program" -i /

echo
echo "== Boot 3: a copy of the device whose policy file changed after it was signed"
printf '\nPackage: intruder\nProvide: everything\n' \
  >>"$tampered/.ks-sim/ubi/mtd4/var/lib/tarvo/restok/restok.conf"
# The device's /usr is the machine's, read-only: the sample malfunction
# pictures go on a tmpfs over /usr/share for this boot only.
pictures=usr/share/themes/tridel/sorratouch/images/system-services
boot 3 "$tampered" "keepstone-init $* (device root: $tampered)" \
  /bin/sh -c "mount -t tmpfs -o mode=755 tmpfs /usr/share &&
  mkdir -p /$pictures && cp $(printf %q "$build/sim/pictures/image/$pictures")/*.png /$pictures/ &&
  exec $prefix $(printf ' %q' "$program" "$@")"
echo
echo "Inspect further with: $sandbox --root $device --same-boot -- $build/sim/ks-sim help"
echo "Everything of every boot: make demo V=1"

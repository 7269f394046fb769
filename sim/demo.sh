#!/usr/bin/env bash
# Boots keepstone-init on the sample device (sim/sample) in the sandbox and
# shows what it did: its trace and error output, the console, and what the
# simulated kernel and devices received.
#   sim/demo.sh BUILD-DIR [KEEPSTONE-INIT-ARGUMENTS...]   (default: /)
# The device is prepared first (make_sample_device: certificate blocks,
# vdata file, software certificate, signatures), then booted with the
# arguments given. Unless KS_DEMO_MORE=0, two more boots follow: the same
# device in initrd mode ("-i /", which hands over to /sbin/preinit), and a
# copy of the device whose policy file was changed after it was signed,
# which ends in the malfunction state with its screen saved as a picture.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
shift || true
[ $# -gt 0 ] || set -- /
program=$build/init/keepstone-init
prepare=$build/sim/sample/make_sample_device
device=${KS_DEMO_DEVICE:-$build/demo-device}
tampered=$device-tampered
sandbox=$build/sim/ks-sandbox
more=${KS_DEMO_MORE:-1}
# The vdata file lists the account files; the data files that the boot
# checks are signed under "tcb" into the store "files.tcb".
files=(--list /etc/group --list /etc/passwd
       --sign /etc/refhashlist --sign /var/lib/tarvo/restok/restok.conf)
for p in "$program" "$prepare"; do
  [ -x "$p" ] || { echo "demo: $p is not built" >&2; exit 1; }
done

rm -rf --one-file-system -- "$device" "$tampered"
echo "== Preparing the sample device (device root: $device)"
echo "   certificate blocks on the flash, the vdata file, the software certificate,"
echo "   the data files signed into the store files.tcb"
"$sandbox" --root "$device" --image sim/sample/image --mount-var -- "$prepare" "${files[@]}"
echo
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

# One boot of a device root, with its trace, error output and kernel side.
boot() {  # device root, sandbox command...
  local root=$1 rc=0
  shift
  echo "   (sleeps are recorded and return at once; nothing reaches this machine)"
  "$sandbox" --root "$root" -- "$@" || rc=$?
  echo "== keepstone-init exited with status $rc"
  echo
  show "Trace" "$root" /etc/tarvo/keepstone-init.log
  show "Standard error" "$root" /etc/tarvo/keepstone-init.stderr
  show "preinit" "$root" /.ks-sim/run/preinit
  # ks-sim runs on the device too (an armhf build's ks-sim is an ARM program).
  "$sandbox" --root "$root" --same-boot -- "$build/sim/ks-sim" summary
  echo
}

echo "== Booting keepstone-init $* (device root: $device)"
boot "$device" "$program" "$@"
echo "Inspect further with: $sandbox --root $device --same-boot -- $build/sim/ks-sim help"
[ "$more" != 0 ] || exit 0

echo
echo "######## The same device again, in initrd mode"
echo "== Booting keepstone-init -i / (device root: $device)"
boot "$device" "$program" -i /

echo
echo "######## A copy of the device whose policy file changed after it was signed"
printf '\nPackage: intruder\nProvide: everything\n' \
  >>"$tampered/.ks-sim/ubi/mtd4/var/lib/tarvo/restok/restok.conf"
# The device's /usr is the machine's, read-only: the sample malfunction
# pictures go on a tmpfs over /usr/share for this boot only.
pictures=usr/share/themes/tridel/sorratouch/images/system-services
prefix=$(cat -- "$build/sim/sample/boot-prefix" 2>/dev/null || true)
echo "== Booting keepstone-init $* (device root: $tampered)"
boot "$tampered" /bin/sh -c "mount -t tmpfs -o mode=755 tmpfs /usr/share &&
  mkdir -p /$pictures && cp $(printf %q "$build/sim/pictures/image/$pictures")/*.png /$pictures/ &&
  exec $prefix $(printf ' %q' "$program" "$@")"
picture=$tampered/.ks-sim/fb0.png
if [ -s "$picture" ]; then
  echo "== The malfunction screen, saved as a PNG picture: $picture"
fi

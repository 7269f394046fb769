#!/usr/bin/env bash
# Boots keepstone-init on the sample device (sim/sample) in the sandbox and
# shows what it did: its trace and error output, the console, and what the
# simulated kernel and devices received.
#   sim/demo.sh BUILD-DIR [KEEPSTONE-INIT-ARGUMENTS...]   (default: /)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
shift || true
[ $# -gt 0 ] || set -- /
program=$build/init/keepstone-init
device=${KS_DEMO_DEVICE:-$build/demo-device}
[ -x "$program" ] || { echo "demo: $program is not built" >&2; exit 1; }

rm -rf --one-file-system -- "$device"
echo "== Booting keepstone-init $* on the sample device (device root: $device)"
echo "   (sleeps are recorded and return at once; nothing reaches this machine)"
rc=0
"$build/sim/ks-sandbox" --root "$device" --image sim/sample -- "$program" "$@" || rc=$?
echo "== keepstone-init exited with status $rc"
echo

show() {  # title, device path
  if [ -s "$device$2" ]; then
    echo "== $1 ($2)"
    cat -- "$device$2"
    echo
  fi
}
show "Trace" /etc/tarvo/keepstone-init.log
show "Standard error" /etc/tarvo/keepstone-init.stderr
show "preinit" /.ks-sim/run/preinit
# ks-sim runs on the device too (an armhf build's ks-sim is an ARM program).
"$build/sim/ks-sandbox" --root "$device" --same-boot -- "$build/sim/ks-sim" summary
echo
echo "Inspect further with: $build/sim/ks-sandbox --root $device --same-boot -- $build/sim/ks-sim help"

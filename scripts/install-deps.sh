#!/usr/bin/env bash
# Installs what building and testing keepstone needs on a Debian 12 machine.
#   scripts/install-deps.sh demo   what `make demo` needs: the native
#                                  toolchain and libraries of the default
#                                  preset (its tests and benchmarks included)
#   scripts/install-deps.sh [all]  also clang for the fuzz preset, the armhf
#                                  cross toolchain with the armhf -dev
#                                  packages, qemu-arm (without binfmt
#                                  registration) and strace
# Idempotent: does nothing when everything is already there. Quiet: the
# package manager's output is shown only when the installation fails.
set -euo pipefail

what=${1:-all}
case $what in
  demo|all) ;;
  *) echo "usage: $0 [demo|all]" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

native=(build-essential cmake ninja-build pkg-config
        libssl-dev libexpat1-dev libpng-dev zlib1g-dev libgtest-dev libgmock-dev
        libbenchmark-dev openssl util-linux)
fuzz=(clang libclang-rt-14-dev)
cross=(crossbuild-essential-armhf libssl-dev:armhf libexpat1-dev:armhf
       libpng-dev:armhf zlib1g-dev:armhf libgtest-dev:armhf libgmock-dev:armhf)
qemu=(qemu-user)
# The whole-boot sweep records a boot's system calls.
sweep=(strace)

wanted=("${native[@]}")
if [ "$what" = all ]; then
  wanted+=("${fuzz[@]}" "${cross[@]}" "${qemu[@]}" "${sweep[@]}")
fi

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Runs a command with its output kept aside; shows it when the command fails.
quietly() {
  local out rc=0
  out=$(mktemp)
  "$@" >"$out" 2>&1 || rc=$?
  if [ $rc -ne 0 ]; then
    echo "install-deps: '$*' failed ($rc):" >&2
    cat -- "$out" >&2
  fi
  rm -f -- "$out"
  return $rc
}

if [ "$what" = all ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  quietly $SUDO dpkg --add-architecture armhf
fi
missing=()
for p in "${wanted[@]}"; do
  have "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${#missing[@]} packages: ${missing[*]}"
quietly $SUDO apt-get update -qq
# qemu-user without recommends: no binfmt handler gets registered on the host.
quietly $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove \
  --no-install-recommends "${missing[@]}"

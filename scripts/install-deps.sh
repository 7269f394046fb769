#!/usr/bin/env bash
# Installs what building and testing keepstone needs on a Debian 12 machine:
# the native toolchain and libraries, the armhf cross toolchain with the
# armhf -dev packages, and qemu-arm (without binfmt registration).
# Idempotent: does nothing when everything is already there.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

native=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
        libssl-dev libexpat1-dev libpng-dev zlib1g-dev libgtest-dev libgmock-dev
        libbenchmark-dev openssl util-linux)
cross=(crossbuild-essential-armhf libssl-dev:armhf libexpat1-dev:armhf
       libpng-dev:armhf zlib1g-dev:armhf libgtest-dev:armhf libgmock-dev:armhf)
qemu=(qemu-user)

missing=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
  need_update=1
fi
for p in "${native[@]}" "${cross[@]}" "${qemu[@]}"; do
  have "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
# qemu-user without recommends: no binfmt handler gets registered on the host.
$SUDO apt-get install -y -qq --no-remove --no-install-recommends "${missing[@]}"

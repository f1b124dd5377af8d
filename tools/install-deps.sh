#!/bin/sh
# Installs every Debian package that the project, its tests and its CI need.
# Safe to run again: apt-get skips what is already there.
set -eu

PACKAGES="
build-essential cmake pkg-config git ca-certificates
clang libclang-rt-14-dev
libsdl2-dev libphysfs-dev zlib1g-dev liblodepng-dev libstb-dev libjpeg-dev
nanopb libnanopb-dev libcurl4-openssl-dev libgtest-dev
python3 python3-pytest python3-pil python3-pefile python3-protobuf
zip unzip file curl apache2-utils nodejs time
zipalign aapt dexdump apksigner
icoutils icnsutils protobuf-compiler
chromium
crossbuild-essential-armhf qemu-user
"

SUDO=""
if [ "$(id -u)" != "0" ]; then
    SUDO="sudo"
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -q --no-install-recommends $missing
fi

#!/bin/sh
# Installs the Debian packages of one set:
#   demo  what building the programs and running the demo needs
#   test  all of that, plus what the tests, their readers and the
#         sanitizer, fuzz and cross builds need (the default)
# Safe to run again: apt-get skips what is already there.
set -eu

usage() {
    echo "usage: $0 [demo|test]" >&2
    exit 2
}

# Building the programs and the installation generator, and the run-time
# needs of the programs themselves (certificates for HTTPS downloads).
DEMO_PACKAGES="
build-essential cmake pkg-config git ca-certificates
libsdl2-dev libphysfs-dev zlib1g-dev liblodepng-dev libstb-dev libjpeg-dev
nanopb libnanopb-dev libcurl4-openssl-dev libssl-dev
python3 python3-pil
"

# The tests: GoogleTest, pytest and the real readers of every format we
# write, the browser, the fuzzer's clang, the armhf toolchain and qemu.
TEST_PACKAGES="
clang libclang-rt-14-dev
libgtest-dev
python3-pytest python3-pefile python3-protobuf
zip unzip file curl apache2-utils nodejs time
zipalign aapt android-framework-res dexdump apksigner apktool
icoutils icnsutils protobuf-compiler
chromium
crossbuild-essential-armhf qemu-user
"

[ $# -le 1 ] || usage
case "${1:-test}" in
    demo) PACKAGES="$DEMO_PACKAGES" ;;
    test) PACKAGES="$DEMO_PACKAGES $TEST_PACKAGES" ;;
    *) usage ;;
esac

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

#!/bin/sh
# Installs the Debian packages of one set:
#   demo  what building the programs and running the demo needs
#   test  all of that, plus what the tests, their readers and the
#         sanitizer, fuzz and cross builds need (the default)
# Safe to run again: apt-get skips what is already there.
set -eu

usage() {
    echo "usage: bash tools/install-deps.sh [demo|test]"
    echo "  demo  what building the programs and running the demo needs"
    echo "  test  all of that, plus what the tests need (the default)"
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
zip unzip file curl apache2-utils nodejs time strace
zipalign aapt android-framework-res dexdump apksigner apktool
icoutils icnsutils protobuf-compiler
chromium
crossbuild-essential-armhf qemu-user
"

. "$(dirname "$0")/lib/args.sh"
check_args 1 "$@"
case "${1:-test}" in
    demo) PACKAGES="$DEMO_PACKAGES" ;;
    test) PACKAGES="$DEMO_PACKAGES $TEST_PACKAGES" ;;
    *)
        usage >&2
        exit 2 ;;
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

# Another apt or dpkg run (unattended upgrades on a fresh machine, a second
# terminal) may hold the package manager's locks for minutes: we wait for
# it, up to this many seconds, and say so.
LOCK_TIMEOUT=300
WAITING="Another apt or dpkg run holds the package manager's lock: waiting for it (at most $LOCK_TIMEOUT s)."

# apt-get update gives up at once when the package lists' lock is held
# (DPkg::Lock::Timeout covers dpkg's locks only), so it is tried again.
update_lists() {
    log=$(mktemp)
    waited=0
    while ! $SUDO apt-get update -q -o DPkg::Lock::Timeout=$LOCK_TIMEOUT > "$log" 2>&1; do
        if ! grep -q "Could not get lock" "$log" || [ "$waited" -ge "$LOCK_TIMEOUT" ]; then
            cat "$log" >&2
            rm -f "$log"
            return 1
        fi
        [ "$waited" -gt 0 ] || echo "$WAITING"
        sleep 5
        waited=$((waited + 5))
    done
    cat "$log"
    rm -f "$log"
}

# apt-get install waits by itself (and prints "Waiting for cache lock"
# while it does); the line before it comes when fuser can see the holder.
say_if_dpkg_locked() {
    if command -v fuser > /dev/null 2>&1 &&
        $SUDO fuser /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock > /dev/null 2>&1; then
        echo "$WAITING"
    fi
}

if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    update_lists
    say_if_dpkg_locked
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=$LOCK_TIMEOUT $missing
fi

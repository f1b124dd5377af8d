#!/bin/bash
# Benchmark, not a test: counts the ioctl, openat and openat2 system calls
# (strace -f -c) of a second HTML5 packaging of a 2,000-file game, the run
# that removes the earlier site before it stages the new one. What a file's
# identity costs shows here: each generation read is one ioctl, and each
# file opened only to read one is an openat more.
#   bash tools/bench_syscalls.sh [BUILD_DIR]
# The game is bench_package.sh's: the demo game plus 2,000 files in 40
# directories, half text, half random bytes, SYSCALL_FILE_SIZE bytes each
# (default 102400, that game's size). BENCH_DIR (default /tmp) is where the
# installation is made.
set -euo pipefail

usage() {
    echo "usage: bash tools/bench_syscalls.sh [BUILD_DIR]"
    echo "Counts the ioctl/openat/openat2 calls of a second HTML5 run (BUILD_DIR: default build)."
}
. "$(dirname "$0")/lib/args.sh"
check_args 1 "$@"
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
if ! command -v strace > /dev/null; then
    echo "strace is needed (bash tools/install-deps.sh test installs it)" >&2
    exit 1
fi
cmake --build "$BUILD" -j3 --target brindlecot-publish brindlecot-runtime-stub > /dev/null
PUBLISH=$BUILD/publish/brindlecot-publish

WORK=$(mktemp -d "${BENCH_DIR:-/tmp}/brindlecot-syscalls-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

/usr/bin/python3 tools/make_installation.py --build-dir "$BUILD" "$WORK/inst" > /dev/null
/usr/bin/python3 tools/lib/bench_game.py "$WORK/inst/mygame/data/bench" "${SYSCALL_FILE_SIZE:-102400}"
cd "$WORK/inst"
ARGS=(--only-package --platforms=html5 mygame)
if ! "$PUBLISH" "${ARGS[@]}" > "$WORK/first.txt" 2>&1; then
    tail -n 20 "$WORK/first.txt" >&2
    echo "the first run failed" >&2
    exit 1
fi
if ! strace -f -c -e trace=ioctl,openat,openat2 -o "$WORK/counts.txt" \
        "$PUBLISH" "${ARGS[@]}" > "$WORK/second.txt" 2>&1; then
    tail -n 20 "$WORK/second.txt" >&2
    echo "the second run failed" >&2
    exit 1
fi
echo "game: $(find mygame -type f | wc -l) files; second html5 run, all threads:"
# strace -c: "% time seconds usecs/call calls [errors] syscall"; a call
# never made has no row.
for call in ioctl openat openat2; do
    awk -v call="$call" '$NF == call { n = $4 } END { printf "%-8s %7d calls\n", call, n }' \
        "$WORK/counts.txt"
done

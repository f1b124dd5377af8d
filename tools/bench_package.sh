#!/bin/bash
# Benchmark, not a test: times the publisher beside `zip -9 -r -q` of the
# same generated game, in one run, and prints each wall time, its ratio to
# the zip of the same tree and the peak resident memory (/usr/bin/time -v).
#   bash tools/bench_package.sh [BUILD_DIR]
# The game: about 2,000 files in 40 directories, half compressible text,
# half random bytes, 200 MiB in all; a 1 GiB variant has the same files,
# five times larger. The publisher runs for 2 desktop stubs, for 5 platforms
# (3 desktop, macOS, HTML5) and for every platform of the installation
# (Android, Oculus Quest and Google Play included), and for 2 stubs on the
# 1 GiB game.
# A second game has the shape of a large real one: 258 MiB in about 1,613
# files over 36 directories, 60% of the bytes compressible (varied text),
# 40% random, twelve of the files 8 MiB each; it is measured for the same
# three sets of platforms, each beside its own zip. Targets on an idle
# 8-core machine: 2 desktop <= 0.6x, 5 platforms <= 1.0x, every platform
# <= 1.5x, peak RSS <= 128 MiB.
# tools/bench_syscalls.sh counts the system calls of a second HTML5 run.
# BENCH_SKIP_1G=1 leaves the 1 GiB game out; BENCH_DIR (default /tmp) is
# where the installation and the games are made.
set -euo pipefail

usage() {
    echo "usage: bash tools/bench_package.sh [BUILD_DIR]"
    echo "Times the publisher beside zip on generated games (BUILD_DIR: default build)."
}
. "$(dirname "$0")/lib/args.sh"
check_args 1 "$@"
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
TOOLS=$(pwd)/tools
cmake --build "$BUILD" -j4 --target brindlecot-publish brindlecot-runtime-stub > /dev/null
PUBLISH=$BUILD/publish/brindlecot-publish

WORK=$(mktemp -d "${BENCH_DIR:-/tmp}/brindlecot-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# make_game GAME_DIR FILE_SIZE: the demo game plus the generated files.
make_game() {
    /usr/bin/python3 "$TOOLS/lib/bench_game.py" "$1/data/bench" "$2"
}

# make_shaped_game GAME_DIR: the demo game plus the 258 MiB shape above.
make_shaped_game() {
    /usr/bin/python3 - "$1/data/shaped" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(30)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(4000)]
pool = " ".join(rng.choice(words) for _ in range(400000)).encode()
def text(n):
    if n >= len(pool):
        return (pool * (n // len(pool) + 1))[:n]
    at = rng.randrange(len(pool) - n)
    return pool[at:at + n]
def put(i, data):
    d = os.path.join(root, "dir%02d" % (i % 36))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%04d.bin" % i), "wb") as f:
        f.write(data)
big = 8 * 1024 * 1024
for i in range(12):
    put(i, text(big) if i % 2 else os.urandom(big))
# 1,601 smaller files, 162 MiB: two of three compressible, so that 60% of
# all the bytes are.
sizes = [rng.randint(4096, 200 * 1024) for _ in range(1601)]
scale = 162 * 1024 * 1024 / sum(sizes)
for k, size in enumerate(sizes):
    size = int(size * scale)
    put(12 + k, os.urandom(size) if k % 3 == 2 else text(size))
PY
}

/usr/bin/python3 tools/make_installation.py --build-dir "$BUILD" "$WORK/inst" > /dev/null
cd "$WORK/inst"

rm -rf builds
ALL_STUBS=$(ls .brindlecot/stubs | tr '\n' ' ')

cp -r mygame mygame1g
cp -r mygame shaped
make_game mygame $((200 * 1024 * 1024 / 2000))
make_shaped_game shaped
[ -n "${BENCH_SKIP_1G:-}" ] || make_game mygame1g $((1024 * 1024 * 1024 / 2000))

# measure LABEL COMMAND...: one line "LABEL|wall seconds|peak KiB".
measure() {
    local label=$1; shift
    rm -rf builds "$WORK/reference.zip"
    # The last run's files are still being written back (staging trees are
    # never flushed): left alone, that writing lands on the next run's clock.
    sync
    if ! /usr/bin/time -v "$@" > "$WORK/out.txt" 2> "$WORK/time.txt"; then
        tail -n 20 "$WORK/out.txt" "$WORK/time.txt" >&2
        echo "$label failed" >&2
        exit 1
    fi
    local wall rss
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' \
        "$WORK/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
    echo "$label|$wall|$rss" >> "$WORK/results.txt"
}

: > "$WORK/results.txt"
measure "zip -9 -r -q, 200 MiB game" zip -9 -r -q "$WORK/reference.zip" mygame
# publish_sets GAME SUFFIX: the three sets of platforms.
publish_sets() {
    measure "publish: 2 desktop stubs$2" \
        "$PUBLISH" --only-package --platforms=linux-amd64,linux-raspberrypi "$1"
    measure "publish: 5 platforms$2" \
        "$PUBLISH" --only-package \
        --platforms=linux-amd64,linux-raspberrypi,windows-amd64,macos,html5 "$1"
    measure "publish: every platform$2" "$PUBLISH" --only-package "$1"
}
publish_sets mygame ""
measure "zip -9 -r -q, 258 MiB shaped game" zip -9 -r -q "$WORK/reference.zip" shaped
publish_sets shaped ", shaped"
if [ -z "${BENCH_SKIP_1G:-}" ]; then
    measure "zip -9 -r -q, 1 GiB game" zip -9 -r -q "$WORK/reference.zip" mygame1g
    measure "publish: 2 desktop stubs, 1 GiB game" \
        "$PUBLISH" --only-package --platforms=linux-amd64,linux-raspberrypi mygame1g
fi

WORKERS=$(( $(nproc) < 8 ? $(nproc) : 8 ))
echo "games: $(du -sh mygame | cut -f1), $(find mygame -type f | wc -l) files;" \
    "shaped $(du -sh shaped | cut -f1), $(find shaped -type f | wc -l) files;" \
    "stubs: $ALL_STUBS; workers: $WORKERS;" \
    "memory budget: $((64 + 8 * WORKERS)) MiB"
awk -F'|' '
    /^zip/ { ref = $2 }
    { printf "%-50s %7.2f s  %5.2fx  %6.1f MiB\n", $1, $2, $2 / ref, $3 / 1024 }
' "$WORK/results.txt"

#!/bin/bash
# Benchmark, not a test: packages a generated 200 MiB game (2,000 files,
# half compressible text, half random bytes) for two desktop stubs and
# prints wall time and peak memory, beside `zip -9 -r -q` of the same tree.
#   bash tools/bench_package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake --build "$BUILD" -j"$(nproc)" --target brindlecot-publish brindlecot-runtime-stub > /dev/null

WORK=$(mktemp -d /tmp/brindlecot-bench-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
/usr/bin/python3 tools/make_installation.py --build-dir "$BUILD" "$WORK/inst" > /dev/null
cd "$WORK/inst"
find .brindlecot/stubs -mindepth 1 -maxdepth 1 ! -name linux-amd64 ! -name linux-raspberrypi \
    -exec rm -rf {} +

/usr/bin/python3 - mygame/data/bench <<'PY'
import os, sys
root = sys.argv[1]
text = (b"level data, tiles and dialogue lines that repeat a lot " * 40)
for i in range(2000):
    d = os.path.join(root, "dir%02d" % (i % 40))
    os.makedirs(d, exist_ok=True)
    size = 104858  # 2,000 files of about 100 KiB: 200 MiB in all
    with open(os.path.join(d, "file%04d.bin" % i), "wb") as f:
        if i % 2:
            f.write(os.urandom(size))
        else:
            f.write((text * (size // len(text) + 1))[:size])
PY
echo "game: $(du -sh mygame | cut -f1), $(find mygame -type f | wc -l) files"

measure() {
    local label=$1; shift
    /usr/bin/time -f "$label: %e s wall, %M KiB peak" "$@" > /dev/null 2> "$WORK/time.txt" || {
        cat "$WORK/time.txt"; exit 1; }
    tail -1 "$WORK/time.txt"
}

measure "brindlecot-publish (2 desktop packages)" \
    "$OLDPWD/$BUILD/publish/brindlecot-publish" --only-package \
    --platforms=linux-amd64,linux-raspberrypi mygame
ls -l builds
measure "zip -9 -r -q (1 archive)" zip -9 -r -q "$WORK/reference.zip" mygame
ls -l "$WORK/reference.zip"

#!/bin/bash
# Installs what building and running the demo needs, builds the tools, writes
# the demo installation into demo/ and packages its game, then runs the
# finished Linux package, which lists the game files it carries.
set -euo pipefail
start_dir=$PWD

usage() {
    cat <<'EOF'
usage: bash tools/demo.sh [--demo-dir DIR] [--build-dir DIR]

Installs the packages the demo needs, builds the programs in the build
directory (default: build/ of the source tree), writes the demo
installation into DIR (default: demo/ of the source tree), packages its
game mygame/ for every platform and runs the Linux package.

An installation already in DIR is updated in place: its stubs in
.brindlecot/stubs/, its five default files and mygame/ are rewritten;
everything else in DIR (other games, their builds, logs) stays.
EOF
}

source_dir=$(cd "$(dirname "$0")/.." && pwd)
demo=$source_dir/demo
build=$source_dir/build
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help)
            usage
            exit 0 ;;
        --demo-dir|--build-dir)
            if [ $# -lt 2 ]; then
                usage >&2
                exit 2
            fi
            if [ "$1" = --demo-dir ]; then
                demo=$(realpath -m -- "$2")
            else
                build=$(realpath -m -- "$2")
            fi
            shift 2 ;;
        *)
            usage >&2
            exit 2 ;;
    esac
done
cd "$source_dir"

# Paths in the closing lines, written so that they work from the directory
# the demo was started in.
from_start() {
    realpath --relative-to="$start_dir" "$1"
}

bash tools/install-deps.sh demo
# A first configuration leaves the tests out: their packages come with
# tools/test-all.sh, which switches them on.
tests_option=()
if [ ! -f "$build/CMakeCache.txt" ]; then
    tests_option=(-DBRINDLECOT_TESTS=OFF)
fi
cmake -S . -B "$build" "${tests_option[@]}" > /dev/null
cmake --build "$build" -j"$(nproc)" --target brindlecot-publish brindlecot-runtime-stub brindlecot-httpd
publish=$build/publish/brindlecot-publish
httpd=$build/httpd/brindlecot-httpd

# Users keep their own games in the demo installation: only its own entries
# are rewritten, never the directory as a whole.
if [ -e "$demo" ]; then
    echo "Updating the demo installation in $(from_start "$demo")/: its stubs, default files and mygame/ are rewritten, nothing else there changes"
fi
/usr/bin/python3 tools/make_installation.py --build-dir "$build" "$demo"
cd "$demo"
# Every platform whose stub the installation holds.
"$publish" --only-package mygame

demo_dir=$(from_start .)
builds=$(from_start builds)
echo
echo "$builds/mygame-linux-amd64.bin carries these game files:"
./builds/mygame-linux-amd64.bin

echo
echo "The demo installation is $demo_dir/ and its game $demo_dir/mygame/; the builds are in $builds/."
echo "The HTML5 site is $builds/mygame-html5-1.0 (zipped: $builds/mygame-html5.zip);"
echo "the macOS bundle is in $builds/mygame-mac-1.0 (zipped: $builds/mygame-macos.zip);"
echo "the Android packages are $builds/mygame-android.apk and $builds/mygame-oculusquest.apk"
echo "(unsigned; their trees: $builds/mygame-android-1.0 and $builds/mygame-oculusquest-1.0);"
echo "the Google Play app bundle is $builds/mygame-googleplay.aab (its tree: $builds/mygame-googleplay-1.0)."
echo "The programs are $(from_start "$publish") and $(from_start "$httpd")."
echo "To try the HTML5 build in a browser:"
echo "    cd $demo_dir && $(realpath --relative-to=. "$httpd") builds/mygame-html5-1.0"

#!/bin/bash
# Installs what is needed, builds the tools, writes the demo installation
# into demo/ and packages its game, then runs the finished Linux package,
# which lists the game files it carries.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build > /dev/null
cmake --build build -j"$(nproc)" --target brindlecot-publish brindlecot-runtime-stub brindlecot-httpd

rm -rf demo
/usr/bin/python3 tools/make_installation.py --build-dir build demo
cd demo
../build/publish/brindlecot-publish --only-package \
    --platforms=linux-amd64,linux-raspberrypi,windows-amd64,macos,html5 mygame

echo
echo "builds/mygame-linux-amd64.bin carries these game files:"
./builds/mygame-linux-amd64.bin

echo
echo "The HTML5 site is builds/mygame-html5-1.0 (zipped: builds/mygame-html5.zip);"
echo "the macOS bundle is in builds/mygame-mac-1.0 (zipped: builds/mygame-macos.zip)."

#!/bin/bash
# Installs what is needed, builds the tools and runs the publisher.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build > /dev/null
cmake --build build -j"$(nproc)" --target brindlecot-publish

./build/publish/brindlecot-publish --help || true

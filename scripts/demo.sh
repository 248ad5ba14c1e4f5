#!/usr/bin/env bash
# The main job: sets everything up, builds build/ and renders the sample
# document data/sample.ps into PNG pages under out/demo/.
#   scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target quillet-rip

rm -rf out/demo
build/bin/quillet-rip -o out/demo -f png16m -r 100 data/sample.ps
echo
echo "The pages are in $(pwd)/out/demo/"

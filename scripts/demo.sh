#!/usr/bin/env bash
# The main job: sets everything up, builds build/ and renders the shipped
# sample documents into PNG pages under out/demo/: the PostScript job
# data/sample.ps, the PDF data/sample.pdf (an A4 page and a landscape one)
# and the office document data/sample.docx, all three in one call (one line
# of JSON a page and a document), then a thumbnail of the PDF's first page,
# written to standard output. None of them needs a print server.
#   scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# What an installation holds, so that `cmake --install build` may follow.
cmake --build build -j"$jobs" --target installation

rm -rf out/demo
echo "== data/sample.ps data/sample.pdf data/sample.docx, one call"
build/bin/quillet-rip -o out/demo -r 100 --json data/sample.ps data/sample.pdf data/sample.docx
echo
echo "== a 200x200 thumbnail of data/sample.pdf's first page"
build/bin/quillet-rip -o - --fit 200x200 --pages 1 data/sample.pdf > out/demo/thumbnail.png
file out/demo/thumbnail.png 2>/dev/null || ls -l out/demo/thumbnail.png
echo
echo "The pages are in $(pwd)/out/demo/"

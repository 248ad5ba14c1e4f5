#!/usr/bin/env bash
# The main job: sets everything up, builds build/ and renders the shipped
# sample documents into PNG pages under out/demo/: the PostScript job
# data/sample.ps, the PDF data/sample.pdf (an A4 page and a landscape one)
# and the office document data/sample.docx. None of them needs a print
# server.
#   scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# What an installation holds, so that `cmake --install build` may follow.
cmake --build build -j"$jobs" --target installation

rm -rf out/demo
for document in sample.ps sample.pdf sample.docx; do
  echo "== data/$document"
  build/bin/quillet-rip -o "out/demo/${document%%.*}-${document##*.}" -f png16m -r 100 "data/$document"
  echo
done
echo "The pages are in $(pwd)/out/demo/"

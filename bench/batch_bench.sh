#!/usr/bin/env bash
# Twenty office documents (the test documents, each twice) rendered to PNG at
# 100 dpi three ways, side by side in one run: quillet-rip once a document
# (each call starts its own office process), quillet-rip once for all of them
# (one office process kept warm, the documents shared among the cores), and
# LibreOffice's own export (soffice --convert-to pdf, one call for all, on a
# fresh profile) followed by Ghostscript once a PDF. Prints seconds and pages
# of each, and the ratio of the calls to the batch. Run by hand:
#   bench/batch_bench.sh [BUILD]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rip=$build/bin/quillet-rip
[ -x "$rip" ] || { echo "build quillet-rip first (cmake --build $build)" >&2; exit 2; }
export QUILLET_PREFERENCES=$PWD/$build/etc/quillet/preferences.conf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/docs"
for copy in 1 2; do
  for document in data/sample.docx data/slides.pptx tests/data/office/{comments.docx,letter.fodt,letter.odt,notes.rtf,report.docx,review.fodt,sheet.xlsx,slides.fodp}; do
    name=$(basename "$document")
    cp "$document" "$work/docs/${name//./-}-$copy.${name##*.}"
  done
done
cat "$work"/docs/* > /dev/null  # read once: every way finds them in the page cache

now() { date +%s.%N; }
pages() { find "$1" -type f -name '*.png' | wc -l; }

start=$(now)
n=0
for document in "$work"/docs/*; do
  n=$((n + 1))
  "$rip" -q -r 100 -o "$work/calls/$n" "$document"
done
calls=$(echo "$(now) - $start" | bc)
callPages=$(pages "$work/calls")

start=$(now)
"$rip" -q -r 100 -o "$work/batch" "$work/docs"
batch=$(echo "$(now) - $start" | bc)
batchPages=$(pages "$work/batch")

start=$(now)
soffice -env:UserInstallation="file://$work/profile" --headless --convert-to pdf --outdir "$work/pdf" \
        "$work"/docs/* > /dev/null 2>&1
mkdir "$work/gs"
for pdf in "$work"/pdf/*.pdf; do
  name=$(basename "$pdf" .pdf)
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=png16m -r100 -o "$work/gs/$name-%d.png" "$pdf"
done
peer=$(echo "$(now) - $start" | bc)
peerPages=$(pages "$work/gs")

printf '%-52s %8s %6s\n' "20 office documents, png16m 100 dpi, $(nproc) processors" seconds pages
printf '%-52s %8.2f %6d\n' "quillet-rip, one call a document" "$calls" "$callPages"
printf '%-52s %8.2f %6d\n' "quillet-rip, one call for all" "$batch" "$batchPages"
printf '%-52s %8.2f %6d\n' "soffice --convert-to pdf (one call) + gs a PDF" "$peer" "$peerPages"
printf 'one call for all: %.1f times faster than one call a document, %.1f times faster than soffice + gs\n' \
       "$(echo "$calls / $batch" | bc -l)" "$(echo "$peer / $batch" | bc -l)"

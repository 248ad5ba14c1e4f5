#!/usr/bin/env bash
# Renders the real documents this machine's Debian packages ship (PDF, EPS,
# office documents and templates, and PostScript that poppler's pdftops
# writes from each PDF) with quillet-rip and its
# default bounds, one call a document, and prints a line for each that
# fails plus a summary. The default bounds (time, bytes, memory, pages, page
# pixels) are chosen so that every one of them passes.
#   scripts/corpus.sh [RESOLUTION]     (default 150 dpi, png16m)
# Exit status: 0 when every document rendered, 1 otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."
resolution=${1:-150}
rip=build/bin/quillet-rip
[ -x "$rip" ] || { echo "build quillet-rip first (cmake --build build)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mapfile -t documents < <(
  find /usr/share/doc /usr/share/cups /usr/lib/libreoffice/share /usr/lib/libreoffice/program -type f \
       \( -iname '*.pdf' -o -iname '*.ps' -o -iname '*.eps' -o -iname '*.od[tsgp]' -o -iname '*.ot[tsgp]' \
          -o -iname '*.docx' -o -iname '*.xlsx' -o -iname '*.pptx' -o -iname '*.rtf' \) 2>/dev/null |
    grep -v /psprint/ | sort)   # psprint holds printer descriptions, not documents

for document in "${documents[@]}"; do
  case "$document" in
    *.pdf|*.PDF) ps="$work/ps/$(basename "${document%.*}").ps"
                 mkdir -p "$work/ps" && pdftops "$document" "$ps" 2>/dev/null && documents+=("$ps") ;;
  esac
done

failed=0 pages=0 n=0
started=$(date +%s)
for document in "${documents[@]}"; do
  n=$((n + 1))
  out="$work/$n"
  if report=$("$rip" -q -o "$out" -f png16m -r "$resolution" "$document" 2>&1); then
    pages=$((pages + $(find "$out" -type f | wc -l)))
  else
    failed=$((failed + 1))
    echo "FAILED $document: $(echo "$report" | head -1)"
  fi
  rm -rf "$out"
done
echo "$n documents, $failed failed, $pages pages, $(( $(date +%s) - started )) s"
[ "$failed" -eq 0 ]

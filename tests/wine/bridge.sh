#!/bin/sh
# The Ghostscript bridge under Wine: started as the Windows program
# gs\bin\gswin64c.exe with Windows paths for its document, output and library
# folder, it renders the document's pages where the Windows path says, and
# Ghostscript's exit code comes back: 0 for a good job, 1 for a PostScript error.
#   bridge.sh WINE-RUN PREFIX BUILD WORK
set -eu
run=$1 prefix=$2 build=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
windows() { printf 'Z:%s' "$1" | tr / '\\'; }
printf '%%!PS\n/Helvetica findfont 24 scalefont setfont\n1 1 3 { 72 72 moveto 3 string cvs show showpage } for\n' >"$work/three pages.ps"
printf '%%!PS\nno_such_operator\n' >"$work/bad.ps"
gs="$build/gs/bin/gswin64c.exe"
common="-q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pnggray -r20"

"$run" "$prefix" "$gs" $common "-I$(windows "$build/gs/lib")" "-sOutputFile=$(windows "$work")\\p%d.png" \
  "$(windows "$work/three pages.ps")"
pages=$(ls "$work" | grep -c '^p[0-9]\.png$' || true)
[ "$pages" = 3 ] || { echo "expected 3 pages, found $pages"; exit 1; }

status=0
"$run" "$prefix" "$gs" $common -sOutputFile=nul "$(windows "$work/bad.ps")" >/dev/null 2>&1 || status=$?
[ "$status" = 1 ] || { echo "expected exit code 1 for a PostScript error, got $status"; exit 1; }
echo "3 pages, exit codes 0 and 1"

#!/bin/sh
# quillet-rip.exe under Wine against the Linux quillet-rip: the 7-page
# PostScript sample and the 2-page PDF sample, named by Windows paths, become
# the same PNG files with the same pixels on both systems. Skipped (77) when
# there is no Linux build to compare with.
#   render.sh WINE-RUN PREFIX RIP.EXE STORE LINUX-RIP LINUX-STORE SOURCE WORK
set -u
run=$1 prefix=$2 rip=$3 store=$4 linux_rip=$5 linux_store=$6 src=$7 work=$8
[ -x "$linux_rip" ] || { echo "no Linux quillet-rip at $linux_rip to compare with"; exit 77; }
rm -rf "$work"
mkdir -p "$work"
windows() { printf 'Z:%s' "$1" | tr / '\\'; }

QUILLET_PREFERENCES=$linux_store "$linux_rip" -q -o "$work/linux" -r 60 "$src/data/sample.ps" "$src/data/sample.pdf" ||
  { echo "the Linux quillet-rip failed"; exit 1; }
QUILLET_PREFERENCES=$store "$run" "$prefix" "$rip" -q -o "$(windows "$work/windows")" -r 60 \
  "$(windows "$src/data/sample.ps")" "$(windows "$src/data/sample.pdf")" >"$work/windows.txt" 2>&1
status=$?
cat "$work/windows.txt"
[ "$status" = 0 ] || { echo "quillet-rip.exe failed ($status)"; exit 1; }
# Debian's Python, which has Pillow from its packages.
/usr/bin/python3 - "$work/linux" "$work/windows" <<'PYTHON'
import os, sys
from PIL import Image
linux, windows = sys.argv[1], sys.argv[2]
# The pages; the tool's hidden records of finished documents are no pages.
files = lambda top: sorted(os.path.relpath(os.path.join(d, f), top)
                           for d, _, fs in os.walk(top) for f in fs if not f.startswith("."))
expected, found = files(linux), files(windows)
if expected != found:
    sys.exit("pages differ:\n  Linux:   %s\n  Windows: %s" % (expected, found))
if [f for f in expected if f.endswith(".png")] != expected or len(expected) != 9:
    sys.exit("expected 9 PNG pages (7 and 2), found %s" % expected)
for name in expected:
    a, b = Image.open(os.path.join(linux, name)), Image.open(os.path.join(windows, name))
    if (a.mode, a.size) != (b.mode, b.size) or a.tobytes() != b.tobytes():
        sys.exit("%s: the pixels differ (%s %s on Linux, %s %s on Windows)" % (name, a.mode, a.size, b.mode, b.size))
print("9 pages (7 PostScript, 2 PDF) with the same pixels on Linux and Windows")
PYTHON

#!/bin/sh
# Runs one quillet-rip case (CASE.sh) in a fresh folder and compares what it
# prints, standard error included, with CASE.expected: the folder's path reads
# OUT, the source folder's SRC, a default output folder's random part XXXXXXXX.
#   check.sh CASE.sh RIP OUT SOURCE
case=$1 rip=$2 out=$3 source=$4
rm -rf "$out" && mkdir -p "$out/tmp" || exit 1
# Private temporary folder: a case can see that the run left nothing there.
export TMPDIR="$out/tmp"
(cd "$out" && sh "$case" "$rip" "$out" "$source" 2>&1) |
  sed -e "s|$out|OUT|g" -e "s|$source|SRC|g" -e 's|quillet-rip-[a-z0-9]\{8\}|quillet-rip-XXXXXXXX|g' > "$out.actual"
diff -u "${case%.sh}.expected" "$out.actual"

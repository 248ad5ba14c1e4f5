# Pages and their names: one document, a page list, a rerun over an earlier
# run's pages, widths of page numbers, --name, a single-file format, copies.
rip=$1 out=$2 src=$3
echo "## one document, default names"
"$rip" -o one -r 20 "$src/data/sample.pdf"; echo "exit $?"
echo "## a page list; the rerun leaves none of the first run's pages"
"$rip" -o one -r 20 --pages 2,1 "$src/data/sample.ps" >/dev/null; echo "exit $?"
"$rip" -o one -r 20 --pages 5-6,3 --callback "$src/data/sample.ps"; echo "exit $?"
ls one
echo "## twelve pages: numbers padded to two digits"
i=0; while [ $i -lt 12 ]; do echo "0 0 moveto 300 $i lineto stroke showpage"; i=$((i + 1)); done > twelve.ps
"$rip" -o wide -r 10 --pages 9-11 twelve.ps; echo "exit $?"
echo "## --name, and JSON lines"
"$rip" -o named -r 10 --name '{index}/p{page}-{name}.{ext}' --json --pages 1 twelve.ps; echo "exit $?"
echo "## single-file output, copies and orientation of a printed job"
printf '<< /NumCopies 3 /Collate true /PageSize [842 595] >> setpagedevice\nshowpage\n0 0 moveto 9 9 lineto stroke showpage\n' > copies.ps
"$rip" -o single -f ps copies.ps; echo "exit $?"
"$rip" -o copies -r 10 -f jpg copies.ps; echo "exit $?"
echo "## --fit: each page inside the box, its shape kept"
"$rip" -o fit --fit 100x100 --json "$src/data/sample.pdf" | sed 's/"path": "[^"]*", //'; echo "exit $?"
echo "## -q: nothing but where a default folder is"
"$rip" -q -r 10 twelve.ps; echo "exit $?"
ls -A tmp | wc -l

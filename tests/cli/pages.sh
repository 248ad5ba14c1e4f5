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
echo "## a page list in one run, shared over two processes: the pages of a full run, under their numbers"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o twelve.pdf twelve.ps
for doc in twelve.pdf twelve.ps; do
  "$rip" -o "full-$doc" -r 10 "$doc" >/dev/null; echo "exit $?"
  QUILLET_SHARING=always NUMBER_OF_PROCESSORS=2 "$rip" -o "listed-$doc" -r 10 --json --pages 9-,1,3,5-6 "$doc"; echo "exit $?"
  for page in "listed-$doc"/*; do cmp -s "$page" "full-$doc/${page##*/}" || echo "differs: $page"; done
done
echo "## --name, and JSON lines"
"$rip" -o named -r 10 --name '{index}/p{page}-{name}.{ext}' --json --pages 1 twelve.ps; echo "exit $?"
echo "## single-file output, copies and orientation of a printed job"
printf '<< /NumCopies 3 /Collate true /PageSize [842 595] >> setpagedevice\nshowpage\n0 0 moveto 9 9 lineto stroke showpage\n' > copies.ps
"$rip" -o single -f ps copies.ps; echo "exit $?"
"$rip" -o copies -r 10 -f jpg copies.ps; echo "exit $?"
echo "## TIFF: LZW pages, or every page in one file"
"$rip" -o tiff -r 20 -f tiff "$src/data/sample.pdf"; echo "exit $?"
"$rip" -o tiff -r 20 -f tiff --single-file "$src/data/sample.ps"; echo "exit $?"
python3 -c "import struct, sys
data = open(sys.argv[1], 'rb').read()
at, pages = struct.unpack('<I', data[4:8])[0], 0
while at:
    count = struct.unpack('<H', data[at:at + 2])[0]
    tags = {struct.unpack('<H', data[at + 2 + 12 * k:at + 4 + 12 * k])[0]: data[at + 10 + 12 * k:at + 14 + 12 * k] for k in range(count)}
    assert struct.unpack('<H', tags[259][:2])[0] == 5, 'LZW'
    at, pages = struct.unpack('<I', data[at + 2 + 12 * count:at + 6 + 12 * count])[0], pages + 1
print(pages, 'pages in one LZW file')" tiff/sample.tiff
echo "## --fit: each page inside the box, its shape kept, also a page of another size than the first"
printf '<< /PageSize [200 200] >> setpagedevice 0 0 moveto 200 200 lineto stroke showpage\n<< /PageSize [595 842] >> setpagedevice showpage\n' > mixed.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o mixed.pdf mixed.ps
"$rip" -o fit --fit 100x100 --json "$src/data/sample.pdf" mixed.pdf > fit.txt; echo "exit $?"
sed 's/"path": "[^"]*", //' fit.txt
echo "## -q: nothing but where a default folder is"
"$rip" -q -r 10 twelve.ps; echo "exit $?"
ls -A tmp | wc -l

# Several documents in one call: names, a folder, a list on standard input,
# standard input as the document, standard output as the page.
rip=$1 out=$2 src=$3
mkdir docs && cp "$src/data/sample.pdf" "$src/data/sample.docx" docs/
printf '%%!PS\nshowpage\n0 0 moveto 9 9 lineto stroke showpage\n' > docs/two.ps
echo "## a folder: a folder per document, a shared stem told apart"
"$rip" -o folder -r 10 docs; echo "exit $?"
echo "## a list on standard input, one of its names missing; the worst exit status"
printf 'docs/two.ps\n\ndocs/missing.pdf\n' | "$rip" -o list -r 10 --json --from-list -; echo "exit $?"
echo "## the second of two shares of a list: its documents, named as in one call"
printf 'docs/two.ps\ndocs/sample.pdf\n' | "$rip" -o shared -r 10 --shard 2/2 --name '{index}-{page}.{ext}' --from-list -; echo "exit $?"
echo "## text, CSV and HTML through the office process, with no print server"
CUPS_SERVER=/nonexistent/cups.sock "$rip" -o office -r 10 "$src/tests/data/office/plain.txt" \
  "$src/tests/data/office/figures.csv" "$src/tests/data/office/page.html"; echo "exit $?"
echo "## pictures through the office process, each a page of its own size; one named for no kind"
cp "$src/tests/data/office/drawing.gif" docs/drawing
CUPS_SERVER=/nonexistent/cups.sock "$rip" -o pictures -r 72 --json "$src/tests/data/office/photo.jpg" docs/drawing
echo "exit $?"
echo "## the document on standard input, its kind by its content"
"$rip" -o stdin -r 10 - < docs/sample.docx; echo "exit $?"
echo "## standard output: one page, or refused"
"$rip" -o - -r 10 --pages 2 - < docs/two.ps > page.png; echo "exit $?"
od -An -c -N4 page.png
"$rip" -o - -r 10 docs/two.ps > pages.png; echo "exit $?"
wc -c < pages.png
"$rip" -o - docs/two.ps docs/sample.pdf; echo "exit $?"
ls -A tmp | wc -l

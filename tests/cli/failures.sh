# One run per kind of failure, each with its own exit status and a true reason.
rip=$1 out=$2 src=$3
echo "## a PostScript error"
printf '%%!PS\nshowpage\nnosuchoperator\n' > error.ps
"$rip" -q -o error -r 20 error.ps > error.txt 2>&1; echo "exit $?"
head -3 error.txt
echo "## a kind only the print server reads, without one"
printf 'Dear reader,\n' > letter.text
CUPS_SERVER=/nonexistent/cups.sock "$rip" -q -o letter letter.text; echo "exit $?"
echo "## no such document; a text named as a PDF"
"$rip" no-such-document.ps; echo "exit $?"
cp letter.text letter.pdf
"$rip" -o letter letter.pdf; echo "exit $?"
ls -A tmp
echo "## PostScript without an extension is read as PostScript"
printf '%%!PS\nshowpage\n' > job
"$rip" -o job-pages -r 10 job; echo "exit $?"
echo "## an output folder that cannot be made"
: > file
"$rip" -o file/pages -r 10 "$src/data/sample.pdf"; echo "exit $?"
echo "## an encrypted PDF: no password, a wrong one, the right one"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOwnerPassword=owner -sUserPassword=secret \
   -sOutputFile=locked.pdf -c showpage
"$rip" -o locked -r 10 locked.pdf 2>&1 | head -1; "$rip" -q -o locked -r 10 locked.pdf 2>/dev/null; echo "exit $?"
echo wrong | "$rip" -q -o locked -r 10 --password-file - locked.pdf 2>/dev/null; echo "exit $?"
echo secret | "$rip" -o locked -r 10 --password-file - locked.pdf; echo "exit $?"
echo "## bad usage"
"$rip" -f nosuchdevice error.ps; echo "exit $?"
"$rip" --pages 3-1 error.ps; echo "exit $?"
"$rip" --name '{page}/x.png' error.ps; echo "exit $?"
"$rip" --help | sed -n '/^Exit status/,$p'

# Document names that read as keys (another process's descriptor, standard
# input) or hold quotes and blanks; split/merge runs; a job whose own text
# would drive the terminal.
rip=$1 out=$2 src=$3
mkdir names
for name in "doc -handle 5 -pid 1 -z.ps" 'report -printername q -z.ps' 'a"b.ps' 'a "b.ps'; do
  printf 'showpage\n' > "names/$name"
  "$rip" -o names -r 20 "names/$name" < /dev/null; echo "exit $?"
done
# split/merge: the output is where the switches say, for a job and a document alike
for document in sample.ps sample.pdf; do
  "$rip" -o split -r 20 --split-merge "-sOutputFile=$out/split-$document-%d.png" "$src/data/$document"; echo "exit $?"
done
ls | grep -c '^split-'
printf '(%%stderr) (w) file (\033[2J\033]0;T\007) writestring x\n' > noisy.ps
"$rip" -o noisy noisy.ps > noisy.txt 2>&1; echo "exit $?"
grep -c "$(printf '\033')" noisy.txt

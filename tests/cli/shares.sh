# A list's share from a batch array's environment, and reruns that skip what
# is complete: the same options skip, others, a changed document or page, or
# --redo render again.
rip=$1 out=$2 src=$3
for k in 1 2 3 4 5; do
  printf '%%!PS\n0 0 moveto %d 600 lineto 20 setlinewidth stroke showpage\n' $((k * 100)) > "d$k.ps"
  echo "d$k.ps" >> list
done
echo "## a Slurm array 5-11:3 (tasks 5, 8, 11): task 8 renders the second share"
SLURM_ARRAY_TASK_ID=8 SLURM_ARRAY_TASK_MIN=5 SLURM_ARRAY_TASK_STEP=3 SLURM_ARRAY_TASK_COUNT=3 \
  "$rip" -o a -r 10 -q --json --from-list list; echo "exit $?"
echo "## an Indexed Job's pod 0 of 2; --shard wins over the environment"
JOB_COMPLETION_INDEX=0 QUILLET_SHARD_COUNT=2 "$rip" -o b -r 10 --from-list list | grep -c '^page'
JOB_COMPLETION_INDEX=0 QUILLET_SHARD_COUNT=2 "$rip" -o b -r 10 --shard 5/5 --from-list list; echo "exit $?"
echo "## documents named on the command line: all of them, whatever the environment"
SLURM_ARRAY_TASK_ID=1 SLURM_ARRAY_TASK_COUNT=5 "$rip" -o c -r 10 d1.ps d2.ps | grep -c '^page'
echo "## environments that make no share"
SLURM_ARRAY_TASK_ID=5 SLURM_ARRAY_TASK_MIN=1 SLURM_ARRAY_TASK_COUNT=3 "$rip" --from-list list; echo "exit $?"
SLURM_ARRAY_TASK_ID=2 "$rip" --from-list list; echo "exit $?"
JOB_COMPLETION_INDEX=0 "$rip" --from-list list; echo "exit $?"
JOB_COMPLETION_INDEX=2 QUILLET_SHARD_COUNT=2 "$rip" --from-list list; echo "exit $?"
SLURM_ARRAY_TASK_ID=x1 SLURM_ARRAY_TASK_COUNT=5 "$rip" --from-list list; echo "exit $?"
echo "## a share rerun with the same options skips; other options, or a run that is no share, render again"
"$rip" --shard 1/1 -o r -r 10 d1.ps d2.ps; echo "exit $?"
"$rip" --shard 1/1 -o r -r 10 --json d1.ps d2.ps; echo "exit $?"
"$rip" --shard 1/1 -o r -r 12 d1.ps | grep -c '^page'
"$rip" --shard 1/1 -o r -r 12 d1.ps; echo "exit $?"
"$rip" -o r -r 12 d1.ps | grep -c '^page'
echo "## a changed document, a truncated page, a record changed by hand or a link, --redo: rendered again"
touch -d '2001-01-01' d1.ps
"$rip" --shard 1/1 -o r -r 12 d1.ps | grep -c '^page'
: > r/d1-1.png
"$rip" --shard 1/1 -o r -r 12 d1.ps | grep -c '^page'
sed -i 's/^pages 1/pages 2/' r/.d1-.quillet-rip
"$rip" --shard 1/1 -o r -r 12 d1.ps | grep -c '^page'
ln -sf /dev/zero r/.d1-.quillet-rip
timeout 60 "$rip" --shard 1/1 -o r -r 12 d1.ps | grep -c '^page'
"$rip" --shard 1/1 -o r -r 12 --redo d1.ps | grep -c '^page'
ls -A r
echo "## a single-file format, and a failed run, which leaves no record"
"$rip" --shard 1/1 -o s -r 10 -f ps d1.ps > /dev/null && "$rip" --shard 1/1 -o s -r 10 -f ps d1.ps; echo "exit $?"
printf '%%!PS\nshowpage\nnosuchoperator\n' > bad.ps
"$rip" --shard 1/1 -o f -r 10 bad.ps 2> /dev/null; "$rip" --shard 1/1 -o f -r 10 bad.ps 2>&1 | grep -c 'skipped'
ls -A f

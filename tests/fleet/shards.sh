#!/bin/sh
# A list of 20 documents rendered as an array of 4 tasks into one shared
# folder: every page must be there exactly once, every document reported once;
# a second pass skips every document, and one whose page was removed is the
# only one rendered again.
#   shards.sh env   RIP OUT   the 4 tasks as 4 processes with a batch array's
#                             environment (IDs from 3, as an array 3-6 has)
#   shards.sh slurm RIP OUT   the 4 tasks as a real array job (IDs 10 to 16 by
#                             2) of a private one-node Slurm (its controller,
#                             node daemon and munge started here and stopped on
#                             the way out; each wait bounded);
#                             exit 77 (skipped) with the reason when it cannot start
mode=$1 rip=$2 out=$3
tasks=4 documents=20
# Daemons of an earlier run that was killed before it could stop them.
for pidfile in "$out/slurm/ctld.pid" "$out/slurm/node.pid" "$out/munge/pid"; do
  pid=$(cat "$pidfile" 2> /dev/null) || continue
  case $(ps -o comm= -p "$pid") in slurmctld|slurmd|munged) kill -9 "$pid" ;; esac
done
rm -rf "$out" && mkdir -p "$out/docs" "$out/pages" "$out/reports" || exit 1
cd "$out" || exit 1
export TMPDIR="$out/tmp" && mkdir tmp

# Document k has k % 3 + 1 pages (each unlike the others: alike ones would
# be read as copies of one), shares of unequal work.
k=1
while [ $k -le $documents ]; do
  pages=$((k % 3 + 1))
  { echo '%!PS'; i=0; while [ $i -lt $pages ]; do echo "0 0 moveto $((k * 20 + i * 100)) 600 lineto 20 setlinewidth stroke showpage"; i=$((i + 1)); done; } \
    > "docs/doc$k.ps"
  echo "$out/docs/doc$k.ps" >> list
  k=$((k + 1))
done

fail() { echo "FAIL: $*"; exit 1; }

# Runs the array once; its tasks' JSON lines end in reports/.
run_array() {
  rm -f reports/*
  if [ "$mode" = env ]; then
    task=3
    while [ $task -lt $((3 + tasks)) ]; do
      SLURM_ARRAY_TASK_ID=$task SLURM_ARRAY_TASK_MIN=3 SLURM_ARRAY_TASK_MAX=$((2 + tasks)) \
      SLURM_ARRAY_TASK_COUNT=$tasks SLURM_ARRAY_TASK_STEP=1 \
        timeout 60 "$rip" -j 1 -r 10 --json -o pages --from-list list > "reports/$task.json" 2> "reports/$task.err" &
      task=$((task + 1))
    done
    wait
  else
    timeout 60 sbatch --wait --quiet --array=10-$((8 + 2 * tasks)):2 --time=1 --output="$out/reports/%a.json" \
      --error="$out/reports/%a.err" --chdir="$out" \
      --wrap="exec '$rip' -j 1 -r 10 --json -o pages --from-list list" || fail "the array job failed"
  fi
  cat reports/*.err
}

# Every page of every document exactly once, nothing else in the folder.
check_pages() {
  find pages -type f ! -name '.*' | sort > found
  : > wanted
  k=1
  while [ $k -le $documents ]; do
    i=1
    while [ $i -le $((k % 3 + 1)) ]; do echo "pages/doc$k/doc$k-$i.png" >> wanted; i=$((i + 1)); done
    k=$((k + 1))
  done
  sort -o wanted wanted
  diff wanted found || fail "pages missing or extra"
  [ "$(find pages -name '*.new' | wc -l)" -eq 0 ] || fail "a record's temporary file stayed"
}

# Each document's status line once over all tasks, $1 of them skipped; each
# page rendered reported once, $2 of them.
check_reports() {
  cat reports/*.json > all.json
  [ "$(grep -c '"pages":' all.json)" -eq $documents ] || fail "not one status line per document"
  [ "$(grep '"pages":' all.json | sed 's/,.*//' | sort -u | wc -l)" -eq $documents ] || fail "a document twice"
  [ "$(grep -c '"exit": 0, "failure": null' all.json)" -eq $documents ] || fail "a document failed"
  [ "$(grep -c '"skipped": true' all.json)" -eq "$1" ] || fail "$(grep -c '"skipped": true' all.json) skipped, not $1"
  [ "$(grep -o '"path": "[^"]*"' all.json | sort -u | wc -l)" -eq "$2" ] || fail "not $2 pages reported"
  [ "$(grep -c '"page":' all.json)" -eq "$2" ] || fail "a page reported twice"
}

if [ "$mode" = slurm ]; then
  skip() { echo "SKIPPED: $*"; exit 77; }
  for program in slurmctld slurmd munged sbatch squeue scontrol; do
    command -v $program > /dev/null || [ -x /usr/sbin/$program ] || skip "$program is not installed (scripts/setup.sh test)"
  done
  PATH=$PATH:/usr/sbin
  [ "$(id -u)" -eq 0 ] || skip "a Slurm node daemon starts jobs as their users, and only root can do that"
  mkdir -p slurm/state slurm/spool munge && chmod 700 munge
  # Free ports: the controller's and the node's, each with nothing listening.
  port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
  ctld_port=$(port) node_port=$(port)
  host=$(hostname -s)
  dd if=/dev/urandom of=munge/key bs=1024 count=1 2> /dev/null && chmod 400 munge/key
  stop() {
    if [ -f slurm/ctld.pid ]; then
      timeout 20 scontrol shutdown > /dev/null 2>&1
      for pidfile in slurm/ctld.pid slurm/node.pid; do
        pid=$(cat $pidfile 2> /dev/null)
        n=0
        while [ -n "$pid" ] && kill -0 "$pid" 2> /dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
        [ -n "$pid" ] && kill -9 "$pid" 2> /dev/null
      done
    fi
    [ -f munge/pid ] && kill "$(cat munge/pid)" 2> /dev/null
  }
  trap stop EXIT
  trap 'exit 1' INT TERM
  munged --force --socket="$out/munge/socket" --key-file="$out/munge/key" --pid-file="$out/munge/pid" \
    --log-file="$out/munge/log" --seed-file="$out/munge/seed" > munge/out 2>&1 ||
    skip "munged does not start: $(tail -1 munge/out)"
  cat > slurm/slurm.conf <<CONF
ClusterName=quillettest
SlurmctldHost=$host
SlurmctldPort=$ctld_port
SlurmdPort=$node_port
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$out/munge/socket
StateSaveLocation=$out/slurm/state
SlurmdSpoolDir=$out/slurm/spool
SlurmctldPidFile=$out/slurm/ctld.pid
SlurmdPidFile=$out/slurm/node.pid
SlurmctldLogFile=$out/slurm/ctld.log
SlurmdLogFile=$out/slurm/node.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SlurmdTimeout=30
MessageTimeout=5
InactiveLimit=0
KillWait=5
# One CPU for each task, whatever the machine has: the tasks start at once.
SlurmdParameters=config_overrides
NodeName=$host CPUs=$tasks State=UNKNOWN
PartitionName=quillet Nodes=$host Default=YES MaxTime=5 State=UP
CONF
  export SLURM_CONF="$out/slurm/slurm.conf"
  slurmctld -i > slurm/ctld.out 2>&1 || skip "slurmctld does not start: $(tail -1 slurm/ctld.out)"
  slurmd > slurm/node.out 2>&1 || skip "slurmd does not start: $(tail -1 slurm/node.out)"
  n=0
  until timeout 5 sinfo -h -o %t 2> /dev/null | grep -q '^idle'; do
    n=$((n + 1))
    [ $n -lt 60 ] || skip "the node is not idle after 30 s: $(timeout 5 sinfo -h -o '%t %E' 2>&1 | head -1)"
    sleep 0.5
  done
fi

run_array
check_pages
check_reports 0 "$(wc -l < wanted)"
# A second pass: every document complete, none rendered again.
stamps=$(ls -l --time-style=+%s.%N pages/*/*.png)
run_array
check_pages
check_reports $documents 0
[ "$stamps" = "$(ls -l --time-style=+%s.%N pages/*/*.png)" ] || fail "a skipped document's pages changed"
# A page gone: its document alone is rendered again.
rm pages/doc7/doc7-2.png
run_array
check_pages
check_reports $((documents - 1)) 2
grep -q '"document": "[^"]*doc7.ps", "pages": 2, .*"exit": 0' reports/*.json || fail "doc7 not rendered again"
echo "$mode: $documents documents, $tasks tasks: every page once"

# Ctrl-C and SIGTERM in the middle of a long job: the pages handed out stay
# under their names, whole; nothing else stays, in the output folder or in
# the temporary folder. (Started from Python: a shell starts its background
# commands with Ctrl-C ignored.)
rip=$1 out=$2 src=$3
i=0; while [ $i -lt 300 ]; do echo "0 0 moveto 600 $i lineto stroke showpage"; i=$((i + 1)); done > long.ps
for signal in INT TERM; do
  python3 - "$rip" $signal <<'PY'
import glob, signal, subprocess, sys, time
rip, name = sys.argv[1], sys.argv[2]
with open(name + '.txt', 'w') as log:
    run = subprocess.Popen([rip, '-o', name, '-r', '150', 'long.ps'], stdout=log, stderr=subprocess.STDOUT)
    # Once pages are coming out: they are in the run's private folder.
    for _ in range(600):
        if glob.glob(name + '/.quillet-rip-*/*_010.png'):
            break
        time.sleep(0.1)
    run.send_signal(getattr(signal, 'SIG' + name))
    print('exit', run.wait())
PY
  pages=$(ls $signal | wc -l)
  grep -c '^page' $signal.txt | grep -qx "$pages" && echo "every page listed is there"
  grep -x "quillet-rip: interrupted after $pages pages\?" $signal.txt | sed 's/[0-9][0-9]*/N/'
  python3 -c "import sys
for name in sys.argv[1:]:
    assert open(name, 'rb').read().endswith(b'IEND\xaeB\x60\x82'), name
print('whole pages only')" $(ls -d $signal/* 2>/dev/null)
  ls -A $signal | grep -v '^long-[0-9]*\.png$'
  ls -A tmp
done

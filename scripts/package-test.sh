#!/usr/bin/env bash
# Installs the packages of out/packages/ (scripts/package.sh) on this machine,
# renders the sample PostScript, PDF and .docx with the installed quillet-rip,
# the Python package and a C program built through pkg-config, prints a text
# file through the virtual queue (with the system's print server, started for
# the test when none runs), then purges the packages and checks that nothing of
# them is left: no file, no queue, no process. Needs root (or sudo).
#   scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
packages=(libquillet0 libquillet-dev quillet-tools quillet-printqueue python3-quillet)
debs=(out/packages/*.deb)
[ -e "${debs[0]}" ] || { echo "package-test.sh: no packages in out/packages (scripts/package.sh)" >&2; exit 1; }
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qx 'install ok installed'; then
    echo "package-test.sh: $p is installed already; remove it first" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillet-package-test.XXXXXX")
cupsd_pid=""
purge() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null
}
installed=false
cleanup() {
  if $installed; then purge || true; fi
  if [ -n "$cupsd_pid" ]; then kill "$cupsd_pid" 2>/dev/null; wait "$cupsd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
unset QUILLET_PREFERENCES CUPS_SERVER PRINTER LPDEST
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"

server_runs() {  # lpstat -r exits 0 either way
  LC_ALL=C lpstat -r 2>/dev/null | grep -qx 'scheduler is running'
}
ours() {  # every file whose name is ours, outside the test's own folder
  find /etc /usr /var/lib /opt -xdev 2>/dev/null | grep -i -E 'quillet|qvbackend|qvqueue|qvoffice|qvijs|QVPageGlance|QV_Page_Glance' | sort || true
}
ours > "$work/before"

if ! server_runs; then
  TMPDIR=/tmp cupsd -f &  # the server keeps its own temporary files
  cupsd_pid=$!
  for _ in $(seq 50); do server_runs && break; sleep 0.1; done
fi

echo "== installing ${debs[*]}"
installed=true
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]/#/./}" > "$work/install.log" || { cat "$work/install.log"; exit 1; }

fail() { echo "package-test.sh: $*" >&2; exit 1; }
echo "== quillet-rip"
for document in sample.ps sample.pdf sample.docx; do
  quillet-rip -q -o "$work/rip/$document" -r 50 "data/$document"
  ls "$work/rip/$document"/*.png >/dev/null || fail "quillet-rip made no page of $document"
done
echo "== Python"
/usr/bin/python3 examples/render.py "$work/python" data/sample.ps data/sample.pdf data/sample.docx | grep -c ' page ' \
  | grep -qx 10 || fail "the Python package did not render the 10 sample pages"
echo "== C through pkg-config"
cc examples/render.c $(pkg-config --cflags --libs quillet) -o "$work/render"
"$work/render" data/sample.pdf "$work/c" 30 | grep -q '^2 pages' || fail "the C example did not render"
if server_runs; then
  echo "== a text file through the queue"
  lpstat -v QV_Page_Glance >/dev/null || { cat "$work/install.log"; fail "installing quillet-printqueue did not create the queue"; }
  printf 'Dear reader,\nthis letter went through the print queue.\n' > "$work/letter.txt"
  quillet-rip -q -o "$work/letter" -r 50 "$work/letter.txt"
  ls "$work/letter"/*.png >/dev/null || fail "the text file was not rendered through the queue"
else
  echo "== no print server could be started: the queue is not tried"
fi

echo "== purging"
installed=false
purge
if server_runs && lpstat -v QV_Page_Glance >/dev/null 2>&1; then
  fail "the queue QV_Page_Glance is left after the purge"
fi
ours > "$work/after"
if ! diff "$work/before" "$work/after"; then
  fail "files are left after the purge (> above)"
fi
if pgrep -f '^/usr/libexec/quillet/' >/dev/null; then
  fail "a process of the installation still runs: $(pgrep -a -f '^/usr/libexec/quillet/')"
fi
[ -z "$(ls -A "$TMPDIR")" ] || fail "temporary files are left: $(ls -A "$TMPDIR")"
echo "package test passed"

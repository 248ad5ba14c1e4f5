#!/usr/bin/env bash
# Installs the Debian packages that Quillet builds, tests and renders with.
# Quick when they are all there already: apt is asked only for missing ones.
#   scripts/setup.sh         what building and rendering need
#   scripts/setup.sh test    also what the tests need: an unprivileged user
#                            (quillet-test) that plays the other local user
#   scripts/setup.sh package also what building Debian packages needs
set -euo pipefail

packages=(
  build-essential cmake pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  ghostscript libijs-dev libcups2-dev cups cups-client cups-bsd cups-filters libpaper-dev zlib1g-dev
  # Programs that write the PostScript jobs the tests render, and a PDF the
  # system ships.
  poppler-utils enscript groff-base libtasn1-doc
  # Office documents: LibreOffice, and what the office process is built with
  # (LibreOfficeKit's header, the suite's SDK).
  libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui
  libreofficekit-dev libreoffice-dev
)
if [ "${1:-}" = package ]; then
  # scripts/package.sh: Debian's package tools and the checker of packages.
  packages+=(debhelper dh-python python3-all lintian fakeroot help2man)
fi
if [ "${1:-}" = test ]; then
  # The office tests write documents that embed a renamed font; the Python
  # package's tests run under pytest and open pages with Pillow; the Windows
  # build is cross-compiled with mingw-w64 and its tests run under Wine
  # (wine64-tools: winegcc, for the test build's Ghostscript bridge).
  packages+=(python3-fonttools python3-pytest python3-pil g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
             wine64 wine64-tools)
  # The fleet test runs quillet-rip as an array job of a private one-node
  # batch scheduler (its own controller and node daemon, credentials by munge).
  packages+=(slurm-wlm munge)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = test ] && ! getent passwd quillet-test >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin quillet-test
fi

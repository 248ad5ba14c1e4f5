#!/usr/bin/env bash
# Builds Quillet's Debian packages from this tree's files (tracked, or new and
# not ignored: no build folder) with dpkg-buildpackage (debian/), checks them
# with lintian (errors fail it) and puts them into out/packages/.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh package

version=$(sed -n 's/^#define QUILLET_VERSION_STRING "\(.*\)"$/\1/p' include/quillet/Version.h)
packaged=$(dpkg-parsechangelog -S Version)
if [ "${packaged%-*}" != "$version" ]; then
  echo "package.sh: debian/changelog is at $packaged, the headers at $version" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillet-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/quillet-$version"
git ls-files -z --cached --others --exclude-standard | tar --null --ignore-failed-read -T - -cf - |
  tar -xf - -C "$work/quillet-$version"
(cd "$work/quillet-$version" &&
  DEB_BUILD_OPTIONS="parallel=$(nproc) nocheck noddebs" dpkg-buildpackage -b -us -uc)

rm -rf out/packages
mkdir -p out/packages
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo out/packages/
lintian --fail-on error out/packages/*.changes
ls out/packages/*.deb

#!/usr/bin/env bash
# Sets everything up and passes the tests: the normal build, the ASan+UBSan
# build, the TSan build, a bounded fuzz run and the Windows cross-build, whose
# tests run under Wine.
# Build folders: build/, build-asan/, build-tsan/, build-fuzz/, build-win32/.
#   scripts/test.sh            everything
#   scripts/test.sh quick      the normal build only
#   scripts/test.sh windows    the normal build and the Windows cross-build and tests
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

jobs=$(nproc)
run_suite() {  # dir, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

# The library, quillet-rip, the example host and the Windows test program for
# 64-bit Windows with mingw-w64 (the neutral interfaces must compile beside
# <windows.h> and every one must have a Windows implementation, or the DLL does
# not link), then the Windows tests under Wine, in a prefix of the build folder.
cross_build_windows() {
  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_BUILD_BENCH=OFF >/dev/null
  cmake --build build-win32 -j"$jobs"
  ctest --test-dir build-win32 --output-on-failure -j"$jobs"
}

run_suite build
[ "${1:-}" = quick ] && exit 0
[ "${1:-}" = windows ] && { cross_build_windows; exit 0; }

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
run_suite build-asan -DQUILLET_SANITIZE=address
run_suite build-tsan -DQUILLET_SANITIZE=thread
CC=clang CXX=clang++ run_suite build-fuzz -DQUILLET_FUZZ=ON -DQUILLET_BUILD_TESTS=OFF \
  -DQUILLET_BUILD_TOOLS=OFF -DQUILLET_SANITIZE=address
cross_build_windows

#!/usr/bin/env bash
# Configures, builds and tests the Windows module for one architecture with mingw-w64: a
# Release build in build/windows-ARCH (SoundTouch for Windows is built on first configure),
# then its tests under Wine, one at a time (tests of one Wine prefix share its named objects).
#
# Usage: scripts/windows-build.sh i686|x86_64 [-j N] [--no-test]
#   Run the tests under an X server (DISPLAY set) or headless, but the same way each time:
#   scripts/test.sh starts one Xvfb for both architectures.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=""
jobs=2
run_tests=1
while [ $# -gt 0 ]; do
  case "$1" in
    i686|x86_64) arch=$1 ;;
    -j) [ $# -ge 2 ] || { echo "windows-build: -j needs a value" >&2; exit 2; }; jobs=$2; shift ;;
    -j*) jobs=${1#-j} ;;
    --no-test) run_tests=0 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "windows-build: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$arch" ] || { echo "windows-build: name the architecture: i686 or x86_64" >&2; exit 2; }
case "$arch" in i686) prefix_arch=win32 ;; x86_64) prefix_arch=win64 ;; esac

build_dir="$root/build/windows-$arch"
cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release
cmake --build "$build_dir" -j "$jobs"
[ "$run_tests" -eq 1 ] || exit 0

rc=0
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error || rc=$?
# Let this prefix's wineserver end, so that nothing of the run outlives it.
bash "$root/scripts/windows-wine.sh" "$prefix_arch" --shutdown || true
exit "$rc"

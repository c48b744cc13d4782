#!/usr/bin/env bash
# Configures and builds the native build with Ninja into build/<variant>.
#
# Usage: scripts/build.sh [--sanitize address,undefined|thread] [--release] [-- cmake options]
#   variants: debug, release, address-undefined, thread (a sanitizer with --release adds -release)
#   options after -- go to cmake's configure step, e.g. -- -DVELOMIX_SUBDIRS="control;tests"
# Prints the build folder as its last line.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=""
release=0
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) [ $# -ge 2 ] || { echo "build: --sanitize needs a value" >&2; exit 2; }
                sanitize=$2; shift ;;
    --sanitize=*) sanitize=${1#--sanitize=} ;;
    --release) release=1 ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "build: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
case "$sanitize" in
  ""|address|undefined|address,undefined|undefined,address|thread) ;;
  *) echo "build: unsupported sanitizer set '$sanitize'" >&2; exit 2 ;;
esac

if [ -n "$sanitize" ]; then
  variant=${sanitize//,/-}
  [ "$release" -eq 1 ] && variant+=-release
elif [ "$release" -eq 1 ]; then
  variant=release
else
  variant=debug
fi
build_type=Debug
[ "$release" -eq 1 ] && build_type=Release

# Unless the caller names the folders, forget any list cached by an earlier narrowed run, so
# that the default (everything) applies.
subdirs=(-UVELOMIX_SUBDIRS)
for option in "${extra[@]}"; do
  case "$option" in -DVELOMIX_SUBDIRS=*|-DVELOMIX_SUBDIRS:*) subdirs=() ;; esac
done

build_dir="$root/build/$variant"
cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE="$build_type" \
  -DVELOMIX_SANITIZE="$sanitize" \
  "${subdirs[@]}" "${extra[@]}"
cmake --build "$build_dir" -j "$(nproc)"
echo "$build_dir"

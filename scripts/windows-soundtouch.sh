#!/usr/bin/env bash
# Builds SoundTouch for Windows as a static library from Debian's source package (the same
# version as the native library), float samples. Cached: a second call with the same source,
# compiler and flags does nothing. Safe to run for both architectures at once.
#
# Usage: scripts/windows-soundtouch.sh i686|x86_64 [OUTPUT]
#   OUTPUT defaults to build/windows-deps/soundtouch-ARCH; it receives include/ and
#   lib/libSoundTouch.a. The source is unpacked once into build/windows-deps/soundtouch-src.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${1:-}
case "$arch" in
  i686|x86_64) ;;
  *) echo "windows-soundtouch: usage: $0 i686|x86_64 [OUTPUT]" >&2; exit 2 ;;
esac
deps="$root/build/windows-deps"
out=${2:-$deps/soundtouch-$arch}
triplet=$arch-w64-mingw32
cxx=$triplet-g++-win32
ar=$triplet-ar
command -v "$cxx" >/dev/null || { echo "windows-soundtouch: $cxx missing; run scripts/setup.sh --windows" >&2; exit 1; }
mkdir -p "$deps"

# ---- the source, once for both architectures
exec 8>"$deps/.soundtouch-src.lock"
flock 8
src="$deps/soundtouch-src"
if [ ! -f "$src/source/SoundTouch/SoundTouch.cpp" ]; then
  # Prefer the exact version of the native library, so that both builds run the same engine.
  version=$(dpkg-query -W -f='${Version}' libsoundtouch-dev 2>/dev/null || true)
  work=$(mktemp -d "$deps/fetch.XXXXXX")
  if ! (cd "$work" && { { [ -n "$version" ] && apt-get source -q "soundtouch=$version"; } ||
                        apt-get source -q soundtouch; }); then
    rm -rf "$work"
    echo "windows-soundtouch: apt-get source soundtouch failed: deb-src entries and" \
         "'apt-get update' are needed (scripts/setup.sh --windows adds them)" >&2
    exit 1
  fi
  unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'soundtouch-*' | head -n1)
  [ -n "$unpacked" ] || { echo "windows-soundtouch: no unpacked source in $work" >&2; exit 1; }
  rm -rf "$src"
  mv "$unpacked" "$src"
  rm -rf "$work"
fi
flock -u 8

# ---- the library for this architecture
sources=(AAFilter FIFOSampleBuffer FIRFilter RateTransposer SoundTouch TDStretch cpu_detect_x86
         InterpolateLinear InterpolateCubic InterpolateShannon BPMDetect PeakFinder
         mmx_optimized sse_optimized)
flags=(-O2 -DSOUNDTOUCH_FLOAT_SAMPLES=1 -I"$src/include")
# SSE1 intrinsics in that one file; the library picks the SSE path at run time (x86_64 has SSE
# by definition).
sse_flags=()
[ "$arch" = i686 ] && sse_flags=(-msse)

# What the cached library was made from: the package version, the compiler, the flags.
stamp_text="$(head -n1 "$src/debian/changelog")
$("$cxx" --version | head -n1)
${flags[*]} sse:${sse_flags[*]} ${sources[*]}"
exec 9>"$deps/.soundtouch-$arch.lock"
flock 9
if [ -f "$out/lib/libSoundTouch.a" ] && [ "$(cat "$out/.stamp" 2>/dev/null)" = "$stamp_text" ]; then
  echo "windows-soundtouch: $out is up to date"
  exit 0
fi
rm -rf "$out"
mkdir -p "$out/obj" "$out/lib" "$out/include"
for name in "${sources[@]}"; do
  extra=()
  [ "$name" = sse_optimized ] && extra=("${sse_flags[@]}")
  # One file at a time: the two architectures may build side by side on two cores.
  "$cxx" "${flags[@]}" "${extra[@]}" -c "$src/source/SoundTouch/$name.cpp" -o "$out/obj/$name.o"
done
"$ar" rcs "$out/lib/libSoundTouch.a" "$out"/obj/*.o
rm -rf "$out/obj"
cp "$src"/include/*.h "$out/include/"
printf '%s' "$stamp_text" >"$out/.stamp"
echo "windows-soundtouch: built $out/lib/libSoundTouch.a"

#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12, and nothing that is there already.
# Runs as root, or through sudo otherwise. Safe to run again.
#
# Usage: scripts/setup.sh [--windows]
#   --windows   also install the cross compilers and Wine for the Windows build
set -euo pipefail

NATIVE_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libsoundtouch-dev libsndfile1-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  espeak-ng sox
  # The fuzzing build: clang, and libFuzzer with the sanitizer runtimes (libclang-rt-14-dev).
  clang clang-14 libclang-rt-14-dev
  # The formatting check of scripts/test.sh.
  clang-format-14
  # The mutant maker of scripts/mutate.sh.
  python3
)

# ---- Windows build -------------------------------------------------------------------------
# Everything the Windows build and its tests under Wine add: packages, and the foreign
# architecture some of them come from. Installed only with --windows. Building SoundTouch for
# Windows from Debian's source package also needs deb-src entries in the apt sources.
WINDOWS_ARCHITECTURES=(i386)
WINDOWS_PACKAGES=(
  wine wine32:i386 wine64 libwine:i386
  gstreamer1.0-plugins-good:i386 gstreamer1.0-plugins-good
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  dpkg-dev xvfb xauth nsis
)

# The deb-src twin of the system's Debian entries, so that `apt-get source soundtouch` works.
DEB_SRC_FILE=/etc/apt/sources.list.d/velomix-deb-src.sources

# Returns 0 when apt's sources already have a deb-src entry (files apt reads only).
has_deb_src() {
  local files=()
  [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
  mapfile -t -O "${#files[@]}" files < <(find /etc/apt/sources.list.d -maxdepth 1 -type f \
    \( -name '*.list' -o -name '*.sources' \) 2>/dev/null)
  [ "${#files[@]}" -gt 0 ] && grep -qsE '^(Types:.*deb-src|deb-src )' "${files[@]}"
}

# Writes deb-src entries beside the deb ones (deb822 or one-line format); returns 0 when it
# wrote any, so that apt's lists are fetched again.
add_deb_src() {
  has_deb_src && return 1
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      | as_root tee "$DEB_SRC_FILE" >/dev/null
  elif grep -qsE '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list \
      | as_root tee /etc/apt/sources.list.d/velomix-deb-src.list >/dev/null
  else
    echo "setup: no Debian entries found to derive deb-src entries from" >&2
    return 1
  fi
  echo "setup: added deb-src entries"
  return 0
}
# --------------------------------------------------------------------------------------------

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "setup: need root (or sudo) to run: $*" >&2
    exit 1
  fi
}

# Prints those of the named packages that are not installed.
missing_packages() {
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
      echo "$package"
    fi
  done
}

# Adds the foreign architectures that are missing; returns 0 when it added one.
add_architectures() {
  local arch added=1
  for arch in "$@"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      echo "setup: adding architecture $arch"
      as_root dpkg --add-architecture "$arch"
      added=0
    fi
  done
  return $added
}

with_windows=0
for arg in "$@"; do
  case "$arg" in
    --windows) with_windows=1 ;;
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "setup: unknown option $arg" >&2; exit 2 ;;
  esac
done

wanted=("${NATIVE_PACKAGES[@]}")
force_update=0
if [ "$with_windows" -eq 1 ]; then
  wanted+=("${WINDOWS_PACKAGES[@]}")
  if add_architectures "${WINDOWS_ARCHITECTURES[@]}"; then
    force_update=1
  fi
  if add_deb_src; then
    force_update=1
  fi
  # Entries present but their source index never fetched: fetch it now.
  if ! apt-cache showsrc soundtouch 2>/dev/null | grep -q '^Package: soundtouch'; then
    force_update=1
  fi
fi

mapfile -t missing < <(missing_packages "${wanted[@]}")
if [ "${#missing[@]}" -eq 0 ] && [ "$force_update" -eq 0 ]; then
  echo "setup: all ${#wanted[@]} packages present"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
echo "setup: done"

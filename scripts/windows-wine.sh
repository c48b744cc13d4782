#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private test environment: its own HOME
# (with a null ALSA device, so that audio renderers connect without a sound card), one Wine
# prefix per architecture (made by `wineboot -i` on first use), no debug output, no Mono or
# Gecko installers, no menu entries. ctest uses it as CMAKE_CROSSCOMPILING_EMULATOR.
#
# Usage: scripts/windows-wine.sh win32|win64 PROGRAM [ARGUMENTS...]
#        scripts/windows-wine.sh win32|win64 --shutdown   (waits for that prefix's wineserver to end)
#        scripts/windows-wine.sh win32|win64 --env        (prints the environment, for `eval`)
# VELOMIX_WINE_ROOT moves the environment (default: build/wine in the repository);
# VELOMIX_WINEDEBUG replaces WINEDEBUG=-all when debugging. The caller's DISPLAY is kept: run
# every Wine test of one prefix either headless or under one X server.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${1:-}
case "$arch" in
  win32|win64) ;;
  *) echo "windows-wine: usage: $0 win32|win64 PROGRAM [ARGUMENTS...]" >&2; exit 2 ;;
esac
shift
[ $# -gt 0 ] || { echo "windows-wine: no program given" >&2; exit 2; }

wine_root=${VELOMIX_WINE_ROOT:-$root/build/wine}
export HOME="$wine_root/home"
export WINEPREFIX="$wine_root/$arch"
export WINEARCH=$arch
export WINEDEBUG=${VELOMIX_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

case "$1" in
  --env)
    for name in HOME WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES; do
      printf 'export %s=%q\n' "$name" "${!name}"
    done
    exit 0 ;;
  --shutdown)
    [ -d "$WINEPREFIX" ] && wineserver -w
    exit 0 ;;
esac

command -v wine >/dev/null || { echo "windows-wine: wine missing; run scripts/setup.sh --windows" >&2; exit 1; }

# First use: the ALSA configuration and the prefix, once even when tests start side by side.
mkdir -p "$HOME"
if [ ! -f "$WINEPREFIX/.velomix-ready" ]; then
  exec 9>"$wine_root/.$arch.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.velomix-ready" ]; then
    # Both architectures share HOME: replace the file in one step.
    printf '%s\n' 'pcm.!default { type null }' 'ctl.!default { type hw card 0 }' >"$HOME/.asoundrc.$arch"
    mv -f "$HOME/.asoundrc.$arch" "$HOME/.asoundrc"
    rm -rf "$WINEPREFIX"
    if ! wineboot -i >"$wine_root/wineboot-$arch.log" 2>&1; then
      echo "windows-wine: wineboot -i failed for $WINEPREFIX; see $wine_root/wineboot-$arch.log" >&2
      exit 1
    fi
    wineserver -w
    touch "$WINEPREFIX/.velomix-ready"
  fi
  flock -u 9
  exec 9>&-
fi

exec wine "$@"

#!/usr/bin/env bash
# Builds the Windows installer from packaging/velomix.nsi with makensis, out of the two Release
# builds (build/windows-i686 and build/windows-x86_64, made by scripts/windows-build.sh), into
# build/installer/Velomix-<version>-setup.exe; then tests it under Wine in fresh prefixes of its
# own (a 64-bit one, then a 32-bit one): a failed registration that leaves nothing, silent
# install, the kit's example program in each architecture finds its own architecture's module
# through COM and RenderFile, a silent upgrade over it, a silent uninstall that leaves no file,
# no key and no empty folder or key that was not there before, yet keeps a settings file
# (VELO.INI) the user wrote; then the same install, COM lookup and uninstall in folders named
# outside the ANSI code page (one of them with a character beyond the BMP).
#
# Usage: scripts/windows-installer.sh [--no-test]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
run_tests=1
case "${1:-}" in
  "") ;;
  --no-test) run_tests=0 ;;
  -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "windows-installer: unknown argument $1" >&2; exit 2 ;;
esac

b32="$root/build/windows-i686"
b64="$root/build/windows-x86_64"
out="$root/build/installer"
for file in "$b32/filter/Velomix.ax" "$b32/tools/velomixctl/velomixctl.exe" "$b64/filter/Velomix.ax" \
            "$b32/tests/windows/velomix_example.exe" "$b64/tests/windows/velomix_example.exe"; do
  [ -f "$file" ] || { echo "windows-installer: $file missing; build both architectures first" >&2; exit 1; }
done
command -v makensis >/dev/null || { echo "windows-installer: makensis missing; run scripts/setup.sh --windows" >&2; exit 1; }

mkdir -p "$out"
rm -f "$out"/Velomix-*-setup.exe
makensis -V2 -DMODULE32="$b32/filter/Velomix.ax" -DCTL32="$b32/tools/velomixctl/velomixctl.exe" \
  -DMODULE64="$b64/filter/Velomix.ax" -DKIT="$root/sdk" -DDOCS="$root/docs" -DOUTDIR="$out" \
  "$root/packaging/velomix.nsi"
setup=$(ls "$out"/Velomix-*-setup.exe)
echo "windows-installer: $setup ($(stat -c %s "$setup") bytes)"
[ "$run_tests" -eq 1 ] || exit 0

# ---- tests under Wine -----------------------------------------------------------------------
export VELOMIX_WINE_ROOT="$out/wine"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
clsid='43FF79DC-A363-4DA5-AD5C-2137A9343451'
record='8294CF21-9550-45fb-9CF4-E96E375D2964'  # the installation record the module writes

# in_prefix ARCH PROGRAM ARGS...: runs a Windows program in that test prefix.
in_prefix() { bash "$root/scripts/windows-wine.sh" "$@"; }
now() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# example ARCH BUILD EXPECTED-MODULE: the kit's example program of BUILD renders a WAV; it must
# find the filter once and report the module at EXPECTED-MODULE (a Windows path).
example() {
  local arch=$1 build=$2 expected=$3 output
  local dir="$VELOMIX_WINE_ROOT/$arch/drive_c/velomix-test"
  mkdir -p "$dir"
  cp "$build/tests/windows/velomix_example.exe" "$dir/example-$(basename "$build").exe"
  [ -f "$dir/tone.wav" ] || sox -q -n -r 44100 -c 2 -b 16 "$dir/tone.wav" synth 0.5 sine 440
  if ! output=$(in_prefix "$arch" "C:\\velomix-test\\example-$(basename "$build").exe" \
                "C:\\velomix-test\\tone.wav" 1.5 2>&1); then
    fail "$arch: example of $(basename "$build") failed: $output"
    return
  fi
  output=$(tr -d '\r' <<<"$output")
  grep -qx 'filters 1' <<<"$output" || fail "$arch: $(basename "$build"): not one filter: $output"
  grep -qx 'tempo 1.5' <<<"$output" || fail "$arch: $(basename "$build"): tempo not taken: $output"
  grep -qixF "module $expected" <<<"$output" ||
    fail "$arch: $(basename "$build"): module not $expected: $output"
}

# registry_has ARCH PATTERN: the prefix's machine registry holds PATTERN (wineserver stopped first,
# so the file is current).
registry_has() {
  in_prefix "$1" --shutdown
  grep -qiF "$2" "$VELOMIX_WINE_ROOT/$1/system.reg"
}

# empty_keys FILE: the keys of a Wine registry file with neither values nor subkeys, one a line,
# sorted (wineserver stopped first, so the file is current). Wine writes a key's subkeys right
# after it, so a key without values is a leaf unless the next one lies under it.
empty_keys() {
  awk '/^\[/ { key = tolower($0); sub(/^\[/, "", key); sub(/\][^]]*$/, "", key); keys[++n] = key; next }
       /^[@"]/ { filled[key] = 1 }
       END { for (i = 1; i <= n; i++)
               if (!(keys[i] in filled) && index(keys[i + 1], keys[i] "\\\\") != 1) print keys[i] }' \
    "$1" | sort
}

# empties ARCH: that prefix's empty keys (user and machine) and empty folders under the users'
# profiles.
empties() {
  in_prefix "$1" --shutdown
  { empty_keys "$VELOMIX_WINE_ROOT/$1/user.reg" | sed 's/^/HKCU\\/'
    empty_keys "$VELOMIX_WINE_ROOT/$1/system.reg" | sed 's/^/HKLM\\/'
    (cd "$VELOMIX_WINE_ROOT/$1/drive_c" && find users -type d -empty | sort); }
}

test_prefix() {
  local arch=$1 start pf32 pf64=""
  rm -rf "${VELOMIX_WINE_ROOT:?}/$arch"
  start=$(now)
  # The first program run makes the prefix (wineboot -i).
  in_prefix "$arch" cmd /c exit 0 || { fail "$arch: no prefix"; return; }
  echo "windows-installer: $arch prefix made in $(took "$start") s"
  case "$arch" in
    win64) pf32="Program Files (x86)"; pf64="Program Files" ;;
    win32) pf32="Program Files" ;;
  esac
  local c="$VELOMIX_WINE_ROOT/$arch/drive_c"
  cp "$setup" "$c/setup.exe"
  local empty_before
  empty_before=$(empties "$arch")
  # The 32-bit prefix's user has written a settings file before installing; the uninstaller
  # must keep it, and with it its folders.
  local settings="" ini=$'[INIT]\r\nRESTAMP=1\r\n'
  if [ "$arch" = win32 ]; then
    settings=$(find "$c/users" -maxdepth 3 -type d -name LocalLow | head -n 1)/Korvane/Player/VELO.INI
    mkdir -p "$(dirname "$settings")"
    printf '%s' "$ini" >"$settings"
  fi

  # A registration that fails half-way (quartz, whose filter mapper registration needs, switched
  # off) stops the installation with an error and leaves no file and no key behind.
  local overrides='HKCU\Software\Wine\DllOverrides' rc=0
  in_prefix "$arch" reg add "$overrides" /v quartz /d "" /f >/dev/null
  in_prefix "$arch" 'C:\setup.exe' /S || rc=$?
  in_prefix "$arch" reg delete "$overrides" /v quartz /f >/dev/null
  [ "$rc" -eq 2 ] || fail "$arch: an installation whose registration failed exited $rc, not 2"
  for dir in "$c/$pf32/Velomix" ${pf64:+"$c/$pf64/Velomix"}; do
    [ ! -e "$dir" ] || fail "$arch: a failed installation left $(find "$dir")"
  done
  ! registry_has "$arch" "$clsid" || fail "$arch: a failed installation left the class: $(grep -i -B3 "$clsid" "$VELOMIX_WINE_ROOT/$arch/system.reg")"
  ! registry_has "$arch" 'Velomix' || fail "$arch: a failed installation left a key: $(grep -i -B8 velomix "$VELOMIX_WINE_ROOT/$arch/system.reg")"

  start=$(now)
  in_prefix "$arch" 'C:\setup.exe' /S || fail "$arch: silent install exited $?"
  echo "windows-installer: $arch install took $(took "$start") s"
  for file in Velomix.ax velomixctl.exe uninstall.exe sdk/include/velomix.h \
              sdk/include/velomix_ids.h sdk/include/velomix_speed.h \
              sdk/example/velomix_example.cpp sdk/control-channel.md; do
    [ -f "$c/$pf32/Velomix/$file" ] || fail "$arch: $pf32/Velomix/$file not installed"
  done
  if [ -n "$pf64" ]; then
    [ -f "$c/$pf64/Velomix/Velomix.ax" ] || fail "$arch: 64-bit module not installed"
    objdump -f "$c/$pf64/Velomix/Velomix.ax" | grep -q x86-64 || fail "$arch: 64-bit folder holds another module"
    example "$arch" "$b64" "C:\\$pf64\\Velomix\\Velomix.ax"
  else
    [ ! -e "$c/Program Files (x86)/Velomix" ] || fail "$arch: a 64-bit folder on 32-bit Windows"
  fi
  objdump -f "$c/$pf32/Velomix/Velomix.ax" | grep -q i386 || fail "$arch: 32-bit folder holds another module"
  example "$arch" "$b32" "C:\\$pf32\\Velomix\\Velomix.ax"

  # The installed-programs entry: in the system's own view, with what the list shows.
  local key='[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velomix]'
  registry_has "$arch" "$key" || fail "$arch: no installed-programs entry"
  local entry
  entry=$(sed -n "/^$(sed 's/[][\\.]/\\&/g' <<<"$key")/,/^\$/p" "$VELOMIX_WINE_ROOT/$arch/system.reg")
  for value in '"DisplayName"="Velomix"' '"DisplayVersion"="' '"Publisher"="Velomix"' \
               '"UninstallString"=' '"EstimatedSize"=dword:'; do
    grep -qF "$value" <<<"$entry" || fail "$arch: entry lacks $value"
  done
  ! grep -qF 'Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velomix]' \
    "$VELOMIX_WINE_ROOT/$arch/system.reg" || fail "$arch: entry in the 32-bit view"

  # An upgrade over it: same place, still one entry, still working.
  in_prefix "$arch" 'C:\setup.exe' /S || fail "$arch: silent upgrade exited $?"
  registry_has "$arch" "$key" || fail "$arch: entry gone after the upgrade"
  [ "$(grep -ciF 'Uninstall\\Velomix]' "$VELOMIX_WINE_ROOT/$arch/system.reg")" -eq 1 ] ||
    fail "$arch: more than one entry after the upgrade"
  example "$arch" "$b32" "C:\\$pf32\\Velomix\\Velomix.ax"

  # Uninstall: the uninstaller copies itself away and returns at once; wineserver -w waits.
  start=$(now)
  in_prefix "$arch" "C:\\$pf32\\Velomix\\uninstall.exe" /S || fail "$arch: silent uninstall exited $?"
  in_prefix "$arch" --shutdown
  echo "windows-installer: $arch uninstall took $(took "$start") s"
  for dir in "$c/$pf32/Velomix" ${pf64:+"$c/$pf64/Velomix"}; do
    [ ! -e "$dir" ] || fail "$arch: left behind: $(find "$dir")"
  done
  ! registry_has "$arch" "$clsid" || fail "$arch: the class is still registered"
  ! grep -qiF "$record" "$VELOMIX_WINE_ROOT/$arch/system.reg" "$VELOMIX_WINE_ROOT/$arch/user.reg" ||
    fail "$arch: the module's installation record is left"
  ! registry_has "$arch" 'Velomix' || fail "$arch: a Velomix key is left: $(grep -i -B8 velomix "$VELOMIX_WINE_ROOT/$arch/system.reg")"
  local empty_new
  empty_new=$(comm -13 <(echo "$empty_before") <(empties "$arch"))
  [ -z "$empty_new" ] || fail "$arch: left empty: $empty_new"
  if [ -n "$settings" ]; then
    cmp -s "$settings" <(printf '%s' "$ini") || fail "$arch: the settings file was not kept"
  fi
}

# install_named ARCH WINDOWS-DIR: a silent install into a folder named outside the ANSI code page
# (/D= last, as makensis wants it): the 32-bit module registered there is what COM and
# RenderFile load (the 64-bit one stays in its own folder), and a silent uninstall leaves no
# file and no key of it. Wine reads arguments and names files in the locale's encoding: UTF-8.
install_named() {
  local arch=$1 dir=$2 pf64=""
  local c="$VELOMIX_WINE_ROOT/$arch/drive_c"
  [ "$arch" = win64 ] && pf64="Program Files"
  local unix="$c/$(tr '\\' / <<<"${dir#C:\\}")"
  # NSIS takes the rest of the command line after /D= as it stands, quotes included, and Wine
  # quotes an argument with spaces: hand it over word by word, so that no quote appears.
  local -a words
  read -ra words <<<"/D=$dir"
  LC_ALL=C.UTF-8 in_prefix "$arch" 'C:\setup.exe' /S "${words[@]}" || fail "$arch: install into $dir exited $?"
  [ -f "$unix/Velomix.ax" ] || { fail "$arch: $dir\\Velomix.ax not installed"; return; }
  LC_ALL=C.UTF-8 example "$arch" "$b32" "$dir\\Velomix.ax"
  [ -z "$pf64" ] || LC_ALL=C.UTF-8 example "$arch" "$b64" "C:\\$pf64\\Velomix\\Velomix.ax"
  LC_ALL=C.UTF-8 in_prefix "$arch" "$dir\\uninstall.exe" /S || fail "$arch: uninstall from $dir exited $?"
  in_prefix "$arch" --shutdown
  [ ! -e "$unix" ] || fail "$arch: left behind in $dir: $(find "$unix")"
  ! registry_has "$arch" "$clsid" || fail "$arch: the class is still registered after $dir"
  ! grep -qiF "$record" "$VELOMIX_WINE_ROOT/$arch/system.reg" "$VELOMIX_WINE_ROOT/$arch/user.reg" ||
    fail "$arch: the installation record is left after $dir"
  # The parent folder the installer made for /D stays, as NSIS leaves it; it goes here.
  rmdir "$(dirname "$unix")" 2>/dev/null || true
}

test_named() {
  install_named "$1" 'C:\Prog Tδst\Vel÷ Mix ⁿ'
  install_named "$1" 'C:\Clef 𝄞\Velomix'
}

test_prefix win64
test_named win64
test_prefix win32
test_named win32
if [ "$failures" -gt 0 ]; then
  echo "windows-installer: $failures failures; the prefixes are kept in $VELOMIX_WINE_ROOT" >&2
  exit 1
fi
rm -rf "${VELOMIX_WINE_ROOT:?}"
echo "windows-installer: all installer tests passed"

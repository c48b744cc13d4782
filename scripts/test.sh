#!/usr/bin/env bash
# Installs what is missing, checks that every C and C++ source matches .clang-format, then
# builds and runs every native test: all of them under
# AddressSanitizer and UndefinedBehaviorSanitizer; every libFuzzer harness for a bounded time;
# those labelled "threads" again under ThreadSanitizer; then builds the Windows module for
# i686 and x86_64 with mingw-w64 (side by side) and runs its tests under Wine, inside one
# private Xvfb; then builds the installer from both and tests it under Wine. Exits non-zero
# when any stage fails; ends with the time each stage took.
#
# Usage: scripts/test.sh         (VELOMIX_SKIP_WINDOWS=1 leaves out the Windows stages)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-second_deadlock_stack=1}

summary=()
failed=0

# stage NAME COMMAND...: runs the command, records its time and result.
stage() {
  local name=$1 start rc
  shift
  echo "==== $name"
  start=$(date +%s)
  "$@"
  rc=$?
  summary+=("$(printf '%-32s %5ss  %s' "$name" "$(($(date +%s) - start))" \
    "$([ "$rc" -eq 0 ] && echo ok || echo "FAILED ($rc)")")")
  [ "$rc" -eq 0 ] || failed=1
  return "$rc"
}

print_summary() {
  echo "==== summary"
  printf '%s\n' "${summary[@]}"
}
trap 'stop_display; print_summary' EXIT

# Runs the tests labelled "threads", or says that there are none.
run_thread_tests() {
  local count
  count=$(ctest --test-dir build/thread -N -L threads | sed -n 's/^Total Tests: //p')
  if [ "${count:-0}" -eq 0 ]; then
    echo "no tests labelled threads"
    return 0
  fi
  ctest --test-dir build/thread --output-on-failure -j2 -L threads
}

# Starts a private X server for the Windows tests (the property page needs a display; Wine
# wants every test of a prefix run the same way). -displayfd picks a free display number.
start_display() {
  local number_file
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$number_file" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$number_file" ]; then
    rm -f "$number_file"
    echo "Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=":$(head -n1 "$number_file")"
  rm -f "$number_file"
  echo "Xvfb on $DISPLAY"
}

stop_display() {
  if [ -n "${xvfb_pid:-}" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
  fi
}

# The two Windows architectures side by side (one compile job each, on two cores); each log is
# printed whole when both are done, each stage keeps its own time.
run_windows_stages() {
  local archs=(i686 x86_64) pids=() i rc
  mkdir -p build
  for i in "${!archs[@]}"; do
    ( start=$(date +%s)
      bash scripts/windows-build.sh "${archs[$i]}" -j 1 >"build/windows-${archs[$i]}.log" 2>&1
      rc=$?
      echo "$(($(date +%s) - start))" >"build/windows-${archs[$i]}.time"
      exit "$rc" ) &
    pids+=("$!")
  done
  for i in "${!archs[@]}"; do
    wait "${pids[$i]}"
    rc=$?
    echo "==== windows ${archs[$i]}"
    cat "build/windows-${archs[$i]}.log"
    summary+=("$(printf '%-32s %5ss  %s' "windows ${archs[$i]}" "$(cat "build/windows-${archs[$i]}.time")" \
      "$([ "$rc" -eq 0 ] && echo ok || echo "FAILED ($rc)")")")
    [ "$rc" -eq 0 ] || failed=1
  done
}

with_windows=1
[ "${VELOMIX_SKIP_WINDOWS:-0}" = 1 ] && with_windows=0
setup_args=()
[ "$with_windows" -eq 1 ] && setup_args=(--windows)

stage "setup" bash scripts/setup.sh "${setup_args[@]}" || exit 1
stage "format (clang-format 14)" bash scripts/format.sh --check
if stage "build address,undefined" bash scripts/build.sh --sanitize address,undefined; then
  stage "test address,undefined" \
    ctest --test-dir build/address-undefined --output-on-failure -j2 --no-tests=error
fi
# The libFuzzer harnesses (clang) from their seed corpora, two at a time: about 3 minutes in all.
if stage "build fuzz" bash scripts/fuzz.sh --build-only; then
  stage "fuzz (every harness, 170 s in all)" env VELOMIX_FUZZ_SEED=1 VELOMIX_FUZZ_JOBS=2 \
    bash scripts/fuzz.sh --no-build --total 170
fi
if stage "build thread" bash scripts/build.sh --sanitize thread; then
  stage "test thread (label threads)" run_thread_tests
fi
if [ "$with_windows" -eq 1 ]; then
  if stage "start Xvfb" start_display; then
    run_windows_stages
    # The installer carries both architectures: built and tested once both are built.
    stage "windows installer" bash scripts/windows-installer.sh
    stop_display
  fi
fi
exit "$failed"

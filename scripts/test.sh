#!/usr/bin/env bash
# Installs what is missing, then builds and runs every native test: all of them under
# AddressSanitizer and UndefinedBehaviorSanitizer, and those labelled "threads" again under
# ThreadSanitizer. Exits non-zero when any stage fails; ends with the time each stage took.
#
# Usage: scripts/test.sh
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
trap print_summary EXIT

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

stage "setup" bash scripts/setup.sh || exit 1
if stage "build address,undefined" bash scripts/build.sh --sanitize address,undefined; then
  stage "test address,undefined" \
    ctest --test-dir build/address-undefined --output-on-failure -j2 --no-tests=error
fi
if stage "build thread" bash scripts/build.sh --sanitize thread; then
  stage "test thread (label threads)" run_thread_tests
fi
exit "$failed"

#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang into build/fuzz (every target
# instrumented, AddressSanitizer and UndefinedBehaviorSanitizer), then runs them from their
# seed corpora for SECONDS each (default 60).
#
# Usage: scripts/fuzz.sh [--build-only | --no-build] [SECONDS | --total SECONDS] [HARNESS...]
#        scripts/fuzz.sh --merge [HARNESS...]
#   HARNESS: filter_pins settings sound_file control_request registry_store command_line
#            page_fields wav_header (default: all)
#   --total SECONDS shares SECONDS among the harnesses instead (CI's short stage).
#   VELOMIX_FUZZ_JOBS=2 runs two harnesses at a time (with --total each gets twice the share).
#   VELOMIX_FUZZ_SEED=N starts libFuzzer's random choices from N (default: a new seed each run).
#   VELOMIX_FUZZ_KEEP_GOING=1 (long runs) goes on after a finding (libFuzzer's fork mode),
#   collecting every finding instead of stopping at the first.
#   --merge minimises what the runs grew (build/fuzz/corpus/<harness>) together with the seeds
#   into tests/fuzz/corpus/<harness>: the seeds with a name of their own (regression-*, hand-
#   made ones) stay, the others (named by their hash) are replaced by the inputs that add
#   coverage beyond them.
# The corpus each run grows is kept in build/fuzz/corpus/<harness> (seeded from
# tests/fuzz/corpus/<harness>); findings (crash-*, leak-*, timeout-*, oom-*) go to
# build/fuzz/findings/<harness>/, each run's log to build/fuzz/logs/<harness>.log. Prints one
# line per harness (executions, coverage, result); exits non-zero when any harness found
# something or did not run. A finding reproduces alone: <build>/fuzz/<harness>_fuzzer FILE
# (VELOMIX_FUZZ_FRESH=1: every input meets a new filter, as the first one does).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$root/build/fuzz"
all=(filter_pins settings sound_file control_request registry_store command_line page_fields
  wav_header)

build=1
run=1
merge=0
case "${1:-}" in
  --build-only) run=0; shift ;;
  --no-build) build=0; shift ;;
  --merge) merge=1; run=0; shift ;;
  -h|--help) sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
seconds=60
total=0
if [ "${1:-}" = --total ]; then
  total=1
  shift
  [[ ${1:-} =~ ^[0-9]+$ ]] || { echo "fuzz: --total needs SECONDS" >&2; exit 2; }
fi
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=("${all[@]}")
for h in "${harnesses[@]}"; do
  [[ " ${all[*]} " == *" $h "* ]] || { echo "fuzz: unknown harness $h" >&2; exit 2; }
done

if [ "$build" -eq 1 ]; then
  command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (scripts/setup.sh)" >&2; exit 1; }
  # Only what the harnesses need: no tools, native tests or benchmarks.
  CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELOMIX_FUZZ=ON -DVELOMIX_BENCH=OFF \
    "-DVELOMIX_SUBDIRS=framework;engine;control;filter;remote;tests" >/dev/null || exit 1
  cmake --build "$build_dir" --target velomix_fuzzers -j "$(nproc)" || exit 1
fi

# libsndfile's own leak (see the file) is not a finding.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$root/tests/fuzz/lsan.supp"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"

# The longest input each harness is given: room for a sequence of operations, or a file.
max_len() {
  case "$1" in
    filter_pins | page_fields) echo 2048 ;;
    control_request | wav_header) echo 512 ;;
    command_line) echo 1024 ;;
    sound_file) echo 16384 ;;
    # A hive's faults lie in its structure; each input is parsed three times.
    registry_store) echo 4096 ;;
    *) echo 8192 ;;
  esac
}

# merge_one HARNESS: the seeds with names of their own, then what else adds coverage.
merge_one() {
  local h=$1 seeds="$root/tests/fuzz/corpus/$1" grown="$build_dir/corpus/$1" out hashed
  out=$(mktemp -d "${TMPDIR:-/tmp}/velomix-merge.XXXXXX") || return 1
  hashed=$(mktemp -d "${TMPDIR:-/tmp}/velomix-merge.XXXXXX") || return 1
  mkdir -p "$seeds" "$grown"
  find "$seeds" -maxdepth 1 -regextype posix-extended -type f ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$out/" \;
  find "$seeds" -maxdepth 1 -regextype posix-extended -type f -regex '.*/[0-9a-f]{40}' -exec mv {} "$hashed/" \;
  local before
  before=$(ls "$out" | wc -l)
  if ! "$build_dir/fuzz/${h}_fuzzer" -merge=1 -timeout=25 -rss_limit_mb=2560 \
    -max_len="$(max_len "$h")" "$out" "$hashed" "$grown" >"$build_dir/logs/$h.merge.log" 2>&1; then
    echo "fuzz: merging $h failed (log: $build_dir/logs/$h.merge.log); seeds left as they were" >&2
    mv "$hashed"/* "$seeds/" 2>/dev/null
    rm -rf "$out" "$hashed"
    return 1
  fi
  find "$out" -maxdepth 1 -regextype posix-extended -type f -regex '.*/[0-9a-f]{40}' -exec cp {} "$seeds/" \;
  printf '%-16s %5s seeds of their own, %5s added (%s bytes in all)\n' "$h" "$before" \
    "$(($(ls "$seeds" | wc -l) - before))" "$(du -sb "$seeds" | cut -f1)"
  rm -rf "$out" "$hashed"
}

if [ "$merge" -eq 1 ]; then
  mkdir -p "$build_dir/logs"
  failed=0
  for h in "${harnesses[@]}"; do
    merge_one "$h" || failed=1
  done
  exit "$failed"
fi
[ "$run" -eq 1 ] || exit 0

# The time of each harness: SECONDS, or its share of them with --total.
jobs=${VELOMIX_FUZZ_JOBS:-1}
if [ "$total" -eq 1 ]; then
  seconds=$(( seconds * jobs / ${#harnesses[@]} ))
  [ "$seconds" -ge 1 ] || seconds=1
fi

# Options of one harness. sound_file: libsndfile leaks a block for every Ogg Vorbis file it opens
# (lsan.supp), so a leak check after each such input would scan the heap for a finding that is
# suppressed anyway. The module's own objects are still counted after every input (EndInput).
# And no entropic schedule: each input touches thousands of features (a decoder, then the whole
# chain), and libFuzzer's count of each feature's frequency took more than half of every
# execution; side by side for 5 minutes from the same corpus, neither schedule found new coverage.
harness_options() {
  case "$1" in
    sound_file) echo -detect_leaks=0 -entropic=0 ;;
  esac
}

# run_one HARNESS: runs it; its log and result file in build/fuzz/logs.
run_one() {
  local h=$1 corpus="$build_dir/corpus/$1" findings="$build_dir/findings/$1"
  local log="$build_dir/logs/$1.log" rc extra=()
  mkdir -p "$corpus" "$findings" "$build_dir/logs"
  touch "$build_dir/logs/$h.start"
  [ "${VELOMIX_FUZZ_KEEP_GOING:-0}" = 1 ] &&
    extra=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  # A unit may take up to 25 s on a loaded machine before it counts as a hang.
  # shellcheck disable=SC2046 # the harness's options are words
  "$build_dir/fuzz/${h}_fuzzer" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
    -max_len="$(max_len "$h")" $(harness_options "$h") -len_control=0 -seed="${VELOMIX_FUZZ_SEED:-0}" -print_final_stats=1 -artifact_prefix="$findings/" "${extra[@]}" \
    "$corpus" "$root/tests/fuzz/corpus/$h" >"$log" 2>&1
  rc=$?
  echo "$rc" >"$build_dir/logs/$h.rc"
}

summary() {
  local h=$1 log="$build_dir/logs/$1.log" rc execs cov found
  rc=$(cat "$build_dir/logs/$h.rc" 2>/dev/null || echo 1)
  execs=$(sed -n 's/^stat::number_of_executed_units: //p' "$log" | tail -1)
  # Fork mode prints no final stats: its last progress line counts the executions.
  [ -n "$execs" ] || execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  # Fork mode ends with 0 whatever it found: what counts is the findings folder.
  found=$(find "$build_dir/findings/$h" -type f -newer "$build_dir/logs/$h.start" 2>/dev/null | wc -l)
  if [ "$rc" -eq 0 ] && [ "$found" -gt 0 ]; then
    printf '%-16s %10s executions  %-20s %s FINDINGS in %s\n' "$h" "${execs:-?}" "${cov:-}" \
      "$found" "$build_dir/findings/$h"
    return 1
  elif [ "$rc" -eq 0 ]; then
    printf '%-16s %10s executions  %-20s ok\n' "$h" "${execs:-?}" "${cov:-}"
  else
    printf '%-16s %10s executions  %-20s FOUND SOMETHING (exit %s): %s\n' "$h" "${execs:-?}" \
      "${cov:-}" "$rc" "$(grep -m1 -E 'ERROR|fuzz:|deadly signal|Timeout' "$log")"
    echo "  log: $log; input: $(ls -t "$build_dir/findings/$h"/* 2>/dev/null | head -1)"
  fi
  return "$rc"
}

pending=()
for h in "${harnesses[@]}"; do
  run_one "$h" &
  pending+=("$!")
  if [ "${#pending[@]}" -ge "$jobs" ]; then
    wait "${pending[0]}"
    pending=("${pending[@]:1}")
  fi
done
wait

failed=0
for h in "${harnesses[@]}"; do
  summary "$h" || failed=1
done
exit "$failed"

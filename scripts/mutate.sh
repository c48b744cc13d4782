#!/usr/bin/env bash
# Mutation testing: changes the sources one small fault at a time (scripts/mutate.py makes the
# mutants: swapped operators and names, replaced constants and return values, deleted
# statements), rebuilds, runs the tests on each mutant and prints the share the tests catch,
# with every survivor (file:line and the mutated line): a test to add, or a mutant to judge
# equivalent by reading it.
#
# Usage: scripts/mutate.sh [options] [FILE...]
#   FILE...           sources to mutate (default: every .cpp and .h under filter/core)
#   --build-dir DIR   build folder of its own (default build/mutate), Release, no sanitizers
#   --debug           build it Debug instead (asserts then count)
#   --subdirs LIST    VELOMIX_SUBDIRS of that build (default "framework;engine;control;filter;tests")
#   --target NAME     CMake target to rebuild per mutant, repeatable (default velomix_core_tests)
#   --test COMMAND    test command, run by bash from the repository root (default: the first
#                     target's binary, DIR/tests/native/NAME)
#   --timeout SEC     time limit per mutant's test run (default: 5 x the unmutated run + 10 s);
#                     a mutant that outlasts it counts as killed (a hang the tests notice)
#   --sample N        test N mutants chosen at random (--seed S repeats a choice)
#   --min-score PCT   exit 1 when the score is below PCT
#   --report FILE     write one line per mutant (id, file, line, rule, result, mutated line) as TSV
#   --list            only list the mutants (id, file:line, rule, mutated line)
#   --self-test       check the mutant rules on a small C++ snippet
# Mutants that do not build are "invalid", those that compile to the same object code as the
# original "equivalent"; neither counts. Score = killed / (killed + survived).
# Each file is restored after every mutant and on any exit (Ctrl-C too); the next run restores
# what a run killed outright left.
# Exit codes: 0 done (score at or above --min-score), 1 below it, 2 usage or setup error.
#
# Example, the engine's sample conversion against its own tests:
#   scripts/mutate.sh --subdirs "engine;control;tests" --target velomix_engine_tests \
#     --test 'build/mutate/tests/native/velomix_engine_tests --gtest_filter=SampleConvert*' \
#     engine/SampleConvert.cpp
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mutator=(python3 "$root/scripts/mutate.py")

usage_error() {
  echo "mutate: $*" >&2
  echo "mutate: see scripts/mutate.sh --help" >&2
  exit 2
}

build_dir="$root/build/mutate"
build_type=Release
subdirs="framework;engine;control;filter;tests"
targets=()
test_command=""
time_limit=""
sample=""
seed=""
min_score=""
report=""
list_only=0
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir|--subdirs|--target|--test|--timeout|--sample|--seed|--min-score|--report)
      [ $# -ge 2 ] || usage_error "$1 needs a value"
      case "$1" in
        --build-dir) build_dir=$(realpath -m "$2") ;;
        --subdirs) subdirs=$2 ;;
        --target) targets+=("$2") ;;
        --test) test_command=$2 ;;
        --timeout) time_limit=$2 ;;
        --sample) sample=$2 ;;
        --seed) seed=$2 ;;
        --min-score) min_score=$2 ;;
        --report) report=$(realpath -m "$2") ;;
      esac
      shift ;;
    --debug) build_type=Debug ;;
    --list) list_only=1 ;;
    --self-test) exec "${mutator[@]}" self-test ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    -*) usage_error "unknown option $1" ;;
    *) files+=("$1") ;;
  esac
  shift
done
for pair in "--timeout:$time_limit" "--sample:$sample" "--seed:$seed"; do
  [[ ${pair#*:} =~ ^[0-9]*$ ]] || usage_error "${pair%%:*} wants a whole number"
done
[[ $min_score =~ ^([0-9]+(\.[0-9]*)?)?$ ]] || usage_error "--min-score wants a percentage"
[ "$sample" != 0 ] || usage_error "--sample wants at least 1"
[ ${#targets[@]} -gt 0 ] || targets=(velomix_core_tests)
[ -n "$test_command" ] || test_command="$build_dir/tests/native/${targets[0]}"
command -v python3 >/dev/null || usage_error "python3 is missing (scripts/setup.sh)"

# The files, as paths from the repository root (the mutants name them so).
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(cd "$root" && find filter/core -type f \( -name '*.cpp' -o -name '*.h' \) \
    2>/dev/null | sort)
  [ ${#files[@]} -gt 0 ] ||
    usage_error "no .cpp or .h files under filter/core to mutate; name the files (and --target, --test)"
fi
for i in "${!files[@]}"; do
  path=$(realpath -e "${files[$i]}" 2>/dev/null) || usage_error "no such file: ${files[$i]}"
  [[ $path == "$root"/* ]] || usage_error "${files[$i]} is outside the repository"
  files[i]=${path#"$root"/}
done
cd "$root" || exit 2

work="$build_dir/mutate-run"
originals="$work/originals"
mutants_json="$work/mutants.json"
mkdir -p "$originals" || exit 2
# Mutants are written into the working tree: one run at a time per tree, whatever its build
# folder.
mkdir -p "$root/build" && exec 9>>"$root/build/mutate.lock" || exit 2
flock -n 9 || usage_error "another mutation run is using this tree (lock: build/mutate.lock)"

# ---- Originals -------------------------------------------------------------------------------
# Every file is copied before its first mutant and copied back after each one, and on any exit
# (error, Ctrl-C). A run that was killed outright leaves its copies: the next run puts them back.
restore_all() {
  local copy file
  while IFS= read -r -d '' copy; do
    file=${copy#"$originals"/}
    cmp -s "$copy" "$file" || cp "$copy" "$file" || echo "mutate: could not restore $file" >&2
    rm -f "$copy"
  done < <(find "$originals" -type f -print0)
  find "$originals" -mindepth 1 -type d -empty -delete
}

leftovers=$(find "$originals" -type f | wc -l)
if [ "$leftovers" -gt 0 ]; then
  echo "mutate: an earlier run did not finish; restoring its $leftovers original file(s)" >&2
  restore_all
fi

# A sample names its seed, so that the same choice can be made again.
[ -z "$sample" ] || [ -n "$seed" ] || seed=$RANDOM
"${mutator[@]}" list ${sample:+--sample "$sample"} ${seed:+--seed "$seed"} --out "$mutants_json" \
  "${files[@]}" >"$work/mutants.tsv" || exit 2
mapfile -t mutants <"$work/mutants.tsv"
if [ "$list_only" -eq 1 ]; then
  [ -z "$sample" ] || echo "mutate: a sample of $sample, seed $seed" >&2
  for row in "${mutants[@]}"; do
    IFS=$'\t' read -r id file line rule text <<<"$row"
    printf '%5s  %s:%s  %-10s %s\n' "$id" "$file" "$line" "$rule" "$text"
  done
  exit 0
fi
[ ${#mutants[@]} -gt 0 ] || usage_error "the files give no mutants: ${files[*]}"

for file in "${files[@]}"; do
  mkdir -p "$originals/$(dirname "$file")" && cp -p "$file" "$originals/$file" || exit 2
done
test_pid=""
on_exit() {
  # A test run under timeout has a process group of its own, which Ctrl-C does not reach.
  [ -z "$test_pid" ] || kill "$test_pid" 2>/dev/null
  restore_all
}
trap on_exit EXIT
# interrupted STATUS: ends the run the way the signal would (the EXIT trap restores the files).
interrupted() {
  echo >&2
  echo "mutate: interrupted; the original files are restored" >&2
  exit "$1"
}
trap 'interrupted 130' INT
trap 'interrupted 143' TERM
trap 'interrupted 129' HUP

# ---- Build and test --------------------------------------------------------------------------
build() {
  # One source file changes per mutant: two jobs are plenty.
  cmake --build "$build_dir" --target "${targets[@]}" -j 2 >"$work/build.log" 2>&1
}

# Hashes of every object file, one "hash  path" line each, sorted by path.
object_hashes() {
  find "$build_dir" -name '*.o' -newer "$1" -print0 | sort -z | xargs -0 -r sha1sum
}

# run_tests LIMIT: the test command under timeout (which kills its whole process group), run
# in the background so that Ctrl-C reaches the script at once. Returns the command's status
# (124 or 137: the limit). GTEST_FAIL_FAST ends a gtest binary at its first failure: one is
# enough here.
run_tests() {
  local rc
  GTEST_FAIL_FAST=1 timeout -k 5 "$1" bash -c "$test_command" >"$work/test.log" 2>&1 &
  test_pid=$!
  # Quiet: a mutant that crashes is a kill, not news.
  wait "$test_pid" 2>/dev/null
  rc=$?
  test_pid=""
  return "$rc"
}

[ -z "$report" ] || printf 'id\tfile\tline\trule\tresult\tmutated\n' >"$report" || exit 2
run_started=$(date +%s)
echo "mutate: configuring $build_dir ($build_type, VELOMIX_SUBDIRS=$subdirs)" >&2
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DVELOMIX_SANITIZE= \
  -DVELOMIX_FUZZ=OFF -DVELOMIX_BENCH=OFF "-DVELOMIX_SUBDIRS=$subdirs" >"$work/configure.log" 2>&1 || {
  tail -20 "$work/configure.log" >&2
  echo "mutate: configuring failed (log: $work/configure.log)" >&2
  exit 2
}
echo "mutate: building ${targets[*]} and running the tests unmutated" >&2
# Objects newer than their restored sources (a killed run's last mutant) would pass for the
# originals: the files to mutate are compiled afresh.
touch "${files[@]}"
touch -d '1970-01-02' "$work/epoch"
if ! build; then
  tail -20 "$work/build.log" >&2
  echo "mutate: the unmutated build fails (log: $work/build.log)" >&2
  exit 2
fi
baseline=$(object_hashes "$work/epoch")
started=$(date +%s)
run_tests "${time_limit:-3600}"
rc=$?
test_seconds=$(($(date +%s) - started))
if [ "$rc" -ne 0 ]; then
  tail -20 "$work/test.log" >&2
  echo "mutate: the tests fail without any mutant (exit $rc; log: $work/test.log)" >&2
  echo "mutate: (after a run killed mid-build, its compiler may have finished a mutant late: remove $build_dir)" >&2
  exit 2
fi
[ -n "$time_limit" ] || time_limit=$((5 * test_seconds + 10))
echo "mutate: ${#mutants[@]} mutants of ${#files[@]} file(s); tests took ${test_seconds} s, limit ${time_limit} s per mutant" >&2

# ---- Mutants ---------------------------------------------------------------------------------
declare -A baseline_hash
while read -r hash path; do
  baseline_hash[$path]=$hash
done <<<"$baseline"

# same_objects STAMP: 0 when the objects rebuilt after STAMP all equal the unmutated ones.
# Returns 2 when nothing was rebuilt: the file is not part of the targets.
same_objects() {
  local hash path rebuilt=0 differs=0
  # Reads every line: leaving early would cut sha1sum off mid-write.
  while read -r hash path; do
    [ -n "$path" ] || continue
    rebuilt=1
    [ "${baseline_hash[$path]:-}" = "$hash" ] || differs=1
  done < <(object_hashes "$1")
  [ "$rebuilt" -eq 1 ] || return 2
  return "$differs"
}

invalid=0 equivalent=0 killed=0 timed_out=0 survived=0
survivors=()
tty=0
[ -t 2 ] && tty=1

score_text() {
  local tested=$((killed + survived))
  if [ "$tested" -eq 0 ]; then
    echo "n/a"
  else
    awk -v k="$killed" -v t="$tested" 'BEGIN { printf "%.1f%%", 100 * k / t }'
  fi
}

index=0
for row in "${mutants[@]}"; do
  IFS=$'\t' read -r id file line rule text <<<"$row"
  index=$((index + 1))
  if [ "$tty" -eq 1 ]; then
    printf '\r\033[K[%d/%d] %s:%s %s  killed %d survived %d score %s' "$index" \
      "${#mutants[@]}" "$file" "$line" "$rule" "$killed" "$survived" "$(score_text)" >&2
  fi
  "${mutator[@]}" apply "$mutants_json" "$id" || exit 2
  touch "$work/stamp"
  if ! build; then
    result=invalid
  else
    same_objects "$work/stamp"
    case $? in
      0) result=equivalent ;;
      2) echo >&2
         echo "mutate: $file is not compiled into ${targets[*]} (mutant $id rebuilt nothing)" >&2
         exit 2 ;;
      *) run_tests "$time_limit"
         case $? in
           0) result=survived ;;
           124|137) result=timeout ;;
           *) result=killed ;;
         esac ;;
    esac
  fi
  cp "$originals/$file" "$file" || exit 2
  case "$result" in
    invalid) invalid=$((invalid + 1)) ;;
    equivalent) equivalent=$((equivalent + 1)) ;;
    killed) killed=$((killed + 1)) ;;
    timeout) killed=$((killed + 1)); timed_out=$((timed_out + 1)) ;;
    survived) survived=$((survived + 1)); survivors+=("$file:$line  $rule: $text") ;;
  esac
  [ "$tty" -eq 1 ] ||
    printf '[%d/%d] %s:%s %s: %s\n' "$index" "${#mutants[@]}" "$file" "$line" "$rule" "$result" >&2
  [ -z "$report" ] || printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$file" "$line" "$rule" "$result" \
    "$text" >>"$report"
done
[ "$tty" -eq 0 ] || printf '\r\033[K' >&2

# ---- Summary ---------------------------------------------------------------------------------
elapsed=$(($(date +%s) - run_started))
echo "mutants:    ${#mutants[@]}${sample:+ (a sample${seed:+, seed $seed})}"
echo "invalid:    $invalid (did not build)"
echo "equivalent: $equivalent (same object code as the original)"
echo "killed:     $killed ($timed_out of them by the time limit of $time_limit s)"
echo "survived:   $survived"
echo "score:      $(score_text) (killed / (killed + survived))"
echo "time:       $((elapsed / 60)) min $((elapsed % 60)) s"
if [ ${#survivors[@]} -gt 0 ]; then
  echo "survivors:"
  printf '  %s\n' "${survivors[@]}"
fi
if [ -n "$min_score" ]; then
  awk -v k="$killed" -v s="$survived" -v m="$min_score" \
    'BEGIN { exit !(k + s > 0 && 100 * k >= m * (k + s)) }' || exit 1
fi
exit 0

#!/usr/bin/env bash
# Runs one fuzzing campaign with a libFuzzer target of fuzz/ and keeps what it found.
#
# usage: scripts/fuzz.sh TARGET SECONDS      (TARGET: a file name of fuzz/ without .cpp)
#
# Configures and builds the fuzz preset's target when needed (clang: scripts/bootstrap.sh
# --fuzz), runs it for SECONDS on a working copy of fuzz/corpus/TARGET (its reproducers in
# fuzz/regressions/TARGET too), replaces fuzz/corpus/TARGET by a small set of inputs that
# reaches what the old corpus and the campaign reached (libFuzzer's -set_cover_merge=1;
# hand-written seeds stay), minimizes every crash into fuzz/regressions/TARGET/, and prints
# the executions and crashes.
# The campaign's files are under build/fuzz/campaigns/TARGET/. FUZZ_JOBS sets the build's jobs
# (default 2), FUZZ_MAX_LEN the longest input tried (default 1024 bytes); FUZZ_ARGS adds
# libFuzzer options.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -ne 2 ] || [ ! -f "fuzz/$1.cpp" ] || ! [[ "$2" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh TARGET SECONDS; targets:" \
    "$(cd fuzz && ls *.cpp | grep -v '^replay_main' | sed 's/\.cpp$//' | tr '\n' ' ')" >&2
  exit 2
fi
target=$1 seconds=$2
exe=$root/build/fuzz/fuzz/fuzz-$target

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing; run scripts/bootstrap.sh --fuzz" >&2
  exit 1
fi
[ -f build/fuzz/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "fuzz-$target" -j "${FUZZ_JOBS:-2}" >/dev/null

corpus=$root/fuzz/corpus/$target
regressions=$root/fuzz/regressions/$target
work=$root/build/fuzz/campaigns/$target
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts" "$corpus"
cp -p "$corpus"/. "$work/corpus/" -R
seeds=("$work/corpus")
[ -d "$regressions" ] && seeds+=("$regressions")
before_files=$(find "$corpus" -type f | wc -l)
before_bytes=$(find "$corpus" -type f -exec cat {} + | wc -c)

# Standard output is closed (-close_fd_mask=1): a fuzzed log configuration may log there.
# Crash reports go to stderr, the campaign's log.
status=0
"$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -close_fd_mask=1 \
  -max_len="${FUZZ_MAX_LEN:-1024}" -artifact_prefix="$work/artifacts/" ${FUZZ_ARGS:-} "${seeds[@]}" >"$work/log" 2>&1 || status=$?

# The corpus again, as a small set of files that reaches all the code (edges) the old corpus
# and the campaign reached (libFuzzer's -set_cover_merge=1 into an empty directory: a greedy
# set cover). Hand-written seeds (names that are not a SHA-1) stay whatever they add; merged
# files are named by the SHA-1 of their content, so a seed's own copy is known by its name.
merged=$work/merged
mkdir -p "$merged"
if "$exe" -set_cover_merge=1 -use_counters=0 -close_fd_mask=1 "$merged" "$corpus" "$work/corpus" \
  >"$work/merge.log" 2>&1; then
  find "$corpus" -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
  for seed in "$corpus"/*; do
    [ -f "$seed" ] || continue
    rm -f "$merged/$(sha1sum "$seed" | cut -d' ' -f1)"
  done
  find "$merged" -maxdepth 1 -type f -exec cp -t "$corpus" {} +
else
  echo "fuzz: merging failed (corpus left as it was), see ${work#"$root"/}/merge.log" >&2
  [ "$status" -ne 0 ] || status=1
fi

crashes=0
for artifact in "$work"/artifacts/*; do
  [ -f "$artifact" ] || continue
  crashes=$((crashes + 1))
  mkdir -p "$regressions"
  kept=$regressions/$(basename "$artifact")
  # The smallest input that still fails, for fuzz/regressions (the original when none is found).
  "$exe" -minimize_crash=1 -max_total_time=30 -close_fd_mask=1 -exact_artifact_path="$kept" "$artifact" \
    >"$work/minimize-$(basename "$artifact").log" 2>&1 || true
  [ -f "$kept" ] || cp "$artifact" "$kept"
  echo "fuzz: crash $(basename "$artifact") kept as ${kept#"$root"/} ($(stat -c %s "$kept") bytes)"
done

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n1)
after_files=$(find "$corpus" -type f | wc -l)
after_bytes=$(find "$corpus" -type f -exec cat {} + | wc -c)
echo "fuzz: $target, ${seconds} s: ${execs:-?} executions (${rate:-?}/s), $crashes crashes;" \
  "corpus $before_files files ($before_bytes bytes) -> $after_files files ($after_bytes bytes)"
if [ "$crashes" -gt 0 ] || [ "$status" -ne 0 ]; then
  echo "fuzz: libFuzzer ended with status $status; its log: ${work#"$root"/}/log" >&2
  grep -m1 -A12 -E '^==[0-9]+==ERROR|fuzz check failed|deadly signal' "$work/log" >&2 || true
  exit 1
fi

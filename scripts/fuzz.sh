#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each for SECONDS (default 20), starting from the seed corpus in fuzz/corpus/ and first
# replaying every kept regression input in fuzz/regressions/. Any crash, leak, hang or
# sanitizer report fails the run; the input that caused it is left in build/fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/install-deps.sh checks
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_settings fuzz_file_list >/dev/null

export TMPDIR=$(mktemp -d "${TMPDIR:-/tmp}/updater-fuzz-XXXXXX")
trap 'rm -rf "$TMPDIR"' EXIT
mkdir -p build/fuzz/findings

run_target() { # run_target TARGET CORPUS_NAME
  local target=$1 corpus=$2
  local binary=build/fuzz/bin/$target
  if [ -d "fuzz/regressions/$corpus" ] && [ -n "$(ls "fuzz/regressions/$corpus")" ]; then
    echo "== $target: replaying kept regression inputs"
    "$binary" -runs=0 fuzz/regressions/"$corpus"/* 2>&1 | tail -n 2
  fi
  echo "== $target: fuzzing for ${seconds}s"
  local work=build/fuzz/corpus-$corpus
  mkdir -p "$work"
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/findings/"$target"- "$work" "fuzz/corpus/$corpus" 2>&1 |
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|fuzz check failed|INFO: Seed)' || true
  # libFuzzer's exit status is lost in the pipe above: a finding leaves an artifact.
  if [ -n "$(ls build/fuzz/findings/"$target"-* 2>/dev/null)" ]; then
    echo "$target: FINDING in build/fuzz/findings/ (keep it in fuzz/regressions/$corpus/ once mended)" >&2
    return 1
  fi
}

rm -f build/fuzz/findings/*
status=0
run_target fuzz_settings settings || status=1
run_target fuzz_file_list filelist || status=1
[ "$status" -eq 0 ] && echo "== fuzzing: no findings"
exit "$status"

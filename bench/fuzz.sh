#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang, ASan, UBSan) and runs
# each for the given seconds (default 60), starting from the seeds in
# fuzz/corpus/<name>. Fails when a fuzzer finds a crash; the input that
# caused it is kept as build-fuzz/findings/<name>/crash-* (or leak-*, oom-*,
# timeout-*) and becomes a regression case in the normal tests.
#
#   bench/fuzz.sh [seconds] [name...]     names: frame_reader field_items filter ini_file
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  names=(frame_reader field_items filter ini_file)
fi

scripts/setup.sh
cmake -S . -B build-fuzz -G Ninja -DZEL_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target "${names[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The INI fuzzer's work files, in memory where possible: every write syncs the file.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TMPDIR=$(mktemp -d /dev/shm/zel-fuzz.XXXXXX)
else
  TMPDIR=$(mktemp -d "$PWD/build-fuzz/tmp.XXXXXX")
fi
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
failed=()
for name in "${names[@]}"; do
  # New inputs go to a working corpus beside the build; the seeds stay as they are.
  corpus=build-fuzz/corpus/$name
  findings=build-fuzz/findings/$name
  mkdir -p "$corpus" "$findings"
  echo "== fuzz_$name for ${seconds}s"
  if ! build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$name" \
      >"build-fuzz/fuzz_$name.log" 2>&1; then
    failed+=("$name")
    echo "fuzz_$name FAILED: see build-fuzz/fuzz_$name.log and $findings/"
    grep -m1 -E "^==[0-9]+==ERROR|runtime error|^(frame reader|field items|filter|ini file):" \
      "build-fuzz/fuzz_$name.log" || true
  fi
  grep -E "^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE" "build-fuzz/fuzz_$name.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: no findings"

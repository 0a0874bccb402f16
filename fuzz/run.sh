#!/usr/bin/env bash
# Build the libFuzzer harnesses with clang and run each for SECONDS seconds.
#   fuzz/run.sh [SECONDS] [harness ...]
# Findings land in fuzz/artifacts/; the growing corpora in fuzz/corpus-NAME/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DTARVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do harnesses+=("$(basename "$f" .cpp)"); done
fi
cmake --build "$build" -j"${JOBS:-2}" --target "${harnesses[@]}"
mkdir -p fuzz/artifacts
for h in "${harnesses[@]}"; do
  mkdir -p "fuzz/corpus-$h"
  echo "== $h for ${seconds}s"
  "$build/$h" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=20000 \
    -print_final_stats=1 -artifact_prefix="fuzz/artifacts/$h-" \
    "fuzz/corpus-$h" "fuzz/seeds/$h" 2>&1 | grep -E '^(#[0-9]+ +DONE|stat::|==[0-9]+==|SUMMARY|INFO: -max_total_time)' || true
done

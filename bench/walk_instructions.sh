#!/bin/sh
# Instructions per pass of each bench_decode benchmark, counted by callgrind
# (deterministic, so it can be taken while the machine is busy): a run with
# three repetitions of one iteration minus a run with one, halved.
# Usage: bench/walk_instructions.sh [build dir]
set -e
build=${1:-build}
out=$(mktemp -d)
for b in BM_DecodeCorpusUncompressed BM_DecodeCorpusCompressed BM_DecodeCorpusUncompressedRecursive; do
  for r in 1 3; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$b.$r" "$build/bench_decode" \
      --benchmark_filter="^$b\$" --benchmark_min_time=0 --benchmark_repetitions=$r >/dev/null 2>&1
  done
  one=$(sed -n 's/^summary: //p' "$out/$b.1")
  three=$(sed -n 's/^summary: //p' "$out/$b.3")
  echo "$b $(( (three - one) / 2 ))"
done
rm -rf "$out"

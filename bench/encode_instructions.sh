#!/bin/sh
# Instructions per record of reading and of writing the largest compressed
# corpus message, counted by callgrind (deterministic, so it can be taken
# while the machine is busy): a run with three repetitions of one iteration
# minus a run with one, halved, over the message's records.
# Usage: bench/encode_instructions.sh [build dir]
set -e
build=${1:-build}
out=$(mktemp -d)
records=$("$build/bench_encode" --benchmark_filter='^BM_EncodeLargestCompressed$' --benchmark_min_time=0 \
  --benchmark_format=csv 2>/dev/null | awk -F, 'NR > 1 { print $(NF - 1) }' | tail -1)
for b in BM_DecodeLargestCompressed BM_EncodeLargestCompressed BM_DecodeLargestUncompressed BM_EncodeLargestUncompressed; do
  for r in 1 3; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$b.$r" "$build/bench_encode" \
      --benchmark_filter="^$b\$" --benchmark_min_time=0 --benchmark_repetitions=$r >/dev/null 2>&1
  done
  one=$(sed -n 's/^summary: //p' "$out/$b.1")
  three=$(sed -n 's/^summary: //p' "$out/$b.3")
  per=$(( (three - one) / 2 ))
  echo "$b $per instructions, $(awk "BEGIN { printf \"%.1f\", $per / $records }") per record ($records records)"
done
rm -rf "$out"

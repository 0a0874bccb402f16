#!/bin/sh
# Instructions per value of compressed decoding, counted by callgrind (so it
# can be taken while the machine is busy): the core's record path
# (BM_DecodeCorpusCompressed), the core's column path (decode_columns as the
# reading layer calls it) and the whole Python path (Message(...).decode()
# .value), each over the corpus's compressed edition-4 messages. Each is a
# run of three passes minus a run of one, halved, over the values.
# Usage: bench/compressed_instructions.sh [build dir]
set -e
build=${1:-build}
out=$(mktemp -d)
count() { sed -n 's/^summary: //p' "$1"; }
for b in BM_DecodeCorpusCompressed BM_DecodeColumnsCompressed; do
  for r in 1 3; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$b.$r" "$build/bench_decode" \
      --benchmark_filter="^$b\$" --benchmark_min_time=0 --benchmark_repetitions=$r >"$out/$b.log" 2>&1
  done
  records=$(sed -n 's/.*records=\([0-9.]*\)M.*/\1/p' "$out/$b.log" | head -1)
  echo "$b: $(( ($(count "$out/$b.3") - $(count "$out/$b.1")) / 2 )) instructions per pass, ${records}M records"
done
for p in 1 3; do
  # One OpenBLAS thread: NumPy's idle ones spin, and callgrind would count them.
  OPENBLAS_NUM_THREADS=1 PYTHONPATH=$build/python valgrind --tool=callgrind --callgrind-out-file="$out/py.$p" \
    "${PYTHON:-.venv/bin/python}" bench/bench_compressed_python.py $p >"$out/py.log" 2>/dev/null
done
echo "python path: $(( ($(count "$out/py.3") - $(count "$out/py.1")) / 2 )) instructions per pass, $(cat "$out/py.log")"
rm -rf "$out"

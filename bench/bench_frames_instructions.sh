#!/bin/sh
# Instructions (callgrind) per read_dataframe call of each bench_frames case:
# a load-independent figure. Runs the cases N=0 and N=5 times after one
# warm-up call each and prints the difference divided by 5.
#   PYTHONPATH=build/python [CASES="0 3"] sh bench/bench_frames_instructions.sh [.venv/bin/python]
PY=${1:-.venv/bin/python}
HERE=$(dirname "$0")
# One OpenBLAS thread: NumPy's idle ones spin, and callgrind would count them.
run() {
  OPENBLAS_NUM_THREADS=1 valgrind --tool=callgrind --callgrind-out-file=/dev/null "$PY" -c "
import sys; sys.path.insert(0, '$HERE')
import bench_frames as b, tarvane
case = b.CASES[$1]
tarvane.read_dataframe(case[1], case[2], filters=eval(case[3]))
for _ in range($2): tarvane.read_dataframe(case[1], case[2], filters=eval(case[3]))
" 2>&1 | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
for case in ${CASES:-0 1 2 3 4 5}; do
  base=$(run $case 0)
  more=$(run $case 5)
  echo "case $case: $(( (more - base) / 5 )) instructions per call"
done

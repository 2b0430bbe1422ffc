#!/usr/bin/env bash
# The example command: builds corvane when needed, then runs the whole pipeline on the example data
# set (example/), from its PLINK and from its BGEN copy: computation on 2 threads, merge of the two
# per-thread files, variant list, table and matrix, all into build/example-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build --target corvane -j "${CORVANE_JOBS:-$(nproc)}" >/dev/null
out=build/example-output
mkdir -p "$out"
for input in plink bgen; do
  bcor="$out/example_$input.bcor"
  if [ "$input" = plink ]; then
    build/corvane --bcor "$bcor" --bplink example/example --n-threads 2 --ld-thold 0.05
  else
    build/corvane --bcor "$bcor" --bgen example/example.bgen --n-threads 2 --ld-thold 0.05
  fi
  build/corvane --bcor "$bcor" --merge 2
  build/corvane --bcor "$bcor" --meta "$out/example_$input.meta"
  build/corvane --bcor "$bcor" --table "$out/example_$input.table" --ld-thold 0.1
  build/corvane --bcor "$bcor" --matrix "$out/example_$input.matrix"
done
ls -l "$out"

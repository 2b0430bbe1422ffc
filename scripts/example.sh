#!/usr/bin/env bash
# The example command: builds corvane when needed, then computes the LD of the example data set
# (example/) from its PLINK and its BGEN copy, on 2 threads each, into build/example-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build --target corvane -j "${CORVANE_JOBS:-$(nproc)}" >/dev/null
out=build/example-output
mkdir -p "$out"
build/corvane --bcor "$out/example_plink.bcor" --bplink example/example --n-threads 2 --ld-thold 0.05
build/corvane --bcor "$out/example_bgen.bcor" --bgen example/example.bgen --n-threads 2 --ld-thold 0.05
ls -l "$out"

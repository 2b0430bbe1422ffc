#!/usr/bin/env bash
# The test command: setup, build, then the whole suite under CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd build
# The tests run up to 8 threads; --n-threads is capped at OpenMP's thread count, which follows the
# cores unless set: the same suite then passes on a machine of 2 cores.
export OMP_NUM_THREADS="${OMP_NUM_THREADS:-8}"
ctest --output-on-failure -j "${CORVANE_JOBS:-$(nproc)}"

#!/usr/bin/env bash
# The test command: setup, build, then the whole suite under CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd build
ctest --output-on-failure -j "${CORVANE_JOBS:-$(nproc)}"

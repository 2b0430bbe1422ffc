#!/usr/bin/env bash
# The example command: builds corvane when needed, then shows its option table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build --target corvane -j "${CORVANE_JOBS:-$(nproc)}" >/dev/null
build/corvane --help

#!/usr/bin/env bash
# Configures and builds corvane (Release) and its tests in ./build (CORVANE_JOBS caps the jobs).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "${CORVANE_JOBS:-$(nproc)}"

#!/usr/bin/env bash
# Checked runs, after the plain test run: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc, build-asan), the whole suite under ThreadSanitizer (clang with
# LLVM's OpenMP runtime and its Archer tool, which tells TSan about OpenMP's barriers and locks;
# build-tsan), then every libFuzzer harness for a bounded time (clang, build-fuzz).
#   scripts/test-sanitize.sh [asan] [tsan] [fuzz]      (default: all three)
# CORVANE_JOBS caps build and test jobs; CORVANE_FUZZ_SECONDS is each harness's time (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${CORVANE_JOBS:-$(nproc)}
fuzz_seconds=${CORVANE_FUZZ_SECONDS:-20}
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(asan tsan fuzz)

# clang, its sanitizer and libFuzzer runtimes, LLVM's OpenMP runtime (with Archer).
scripts/setup.sh clang-14 libclang-rt-14-dev libomp-14-dev llvm-14
llvm_lib=/usr/lib/llvm-14/lib
export LLVM_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
# Sanitizer findings exit with their own statuses, never with the status 1 that refusals use.
export ASAN_OPTIONS="detect_leaks=1:exitcode=86:check_initialization_order=1:strict_init_order=1:external_symbolizer_path=$LLVM_SYMBOLIZER_PATH"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87:external_symbolizer_path=$LLVM_SYMBOLIZER_PATH"
# As in scripts/test.sh: the tests' thread counts must not depend on the machine's cores.
export OMP_NUM_THREADS="${OMP_NUM_THREADS:-8}"
checked=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1)

run_asan() {
  export CORVANE_SANITIZER=address,undefined
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole suite (build-asan)"
  cmake -S . -B build-asan "${checked[@]}" -DCORVANE_SANITIZE=address,undefined >/dev/null
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ctest --output-on-failure -j "$jobs")
}

run_tsan() {
  export CORVANE_SANITIZER=thread
  echo "== ThreadSanitizer: whole suite (build-tsan, clang + libomp + Archer)"
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-tsan "${checked[@]}" -DCORVANE_SANITIZE=thread >/dev/null
  cmake --build build-tsan -j "$jobs"
  # Archer makes OpenMP's synchronisation visible to TSan; the runtime itself is not instrumented.
  (cd build-tsan &&
    OMP_TOOL_LIBRARIES=$llvm_lib/libarcher.so \
    TSAN_OPTIONS="ignore_noninstrumented_modules=1:halt_on_error=1:exitcode=88:external_symbolizer_path=$LLVM_SYMBOLIZER_PATH" \
    ctest --output-on-failure -j "$jobs")
}

# Replays the inputs that once failed, then fuzzes from the seeds; the verdict goes to NAME.result.
fuzz_one() {
  local name=$1 work=$2
  local exe=build-fuzz/fuzz/$name corpus=$work/$name result=$work/$name.result
  mkdir -p "$corpus"
  if [ -d "$work/seeds/$name" ]; then cp "$work/seeds/$name"/* "$corpus"/; fi
  if [ -d "fuzz/regressions/$name" ]; then
    if ! "$exe" fuzz/regressions/"$name"/* >"$work/$name.replay.log" 2>&1; then
      { echo "FAIL: $name: an input of fuzz/regressions/$name fails again"; tail -40 "$work/$name.replay.log"; } >"$result"
      return 1
    fi
  fi
  if "$exe" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$work/$name-" "$corpus" >"$work/$name.log" 2>&1; then
    echo "$name: $(grep -o 'number_of_executed_units: [0-9]*' "$work/$name.log" | grep -o '[0-9]*') executions, no finding" >"$result"
  else
    {
      echo "FAIL: $name found a fault; the input is $(ls "$work/$name"-* 2>/dev/null | head -1)"
      grep -E -A30 'FINDING|ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error' "$work/$name.log" | head -60
    } >"$result"
    return 1
  fi
}

run_fuzz() {
  echo "== libFuzzer: every harness for ${fuzz_seconds} s (build-fuzz)"
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz "${checked[@]}" -DCORVANE_SANITIZE=address,undefined \
    -DCORVANE_FUZZ=ON -DCORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build build-fuzz --target fuzzers -j "$jobs"
  local work=build-fuzz/fuzz-work
  rm -rf "$work"
  mkdir -p "$work"
  build-fuzz/fuzz/fuzz_seed_corpus "$work/seeds"
  local harnesses=() failed=0 running=0
  for exe in build-fuzz/fuzz/fuzz_*; do
    name=$(basename "$exe")
    [ -x "$exe" ] && [ -f "$exe" ] && [ "$name" != fuzz_seed_corpus ] && harnesses+=("$name")
  done
  # One process per harness, as many at a time as there are jobs.
  for name in "${harnesses[@]}"; do
    fuzz_one "$name" "$work" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
      wait -n || failed=1
      running=$((running - 1))
    fi
  done
  while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
  done
  for name in "${harnesses[@]}"; do cat "$work/$name.result"; done
  return $failed
}

for part in "${parts[@]}"; do
  case "$part" in
    asan) run_asan ;;
    tsan) run_tsan ;;
    fuzz) run_fuzz ;;
    *) echo "unknown part '$part' (asan, tsan, fuzz)"; exit 2 ;;
  esac
done

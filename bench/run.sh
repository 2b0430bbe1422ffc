#!/usr/bin/env bash
# The performance benchmark: corvane against plink1.9 --r2 on one simulated chromosome, side by side.
#
#   bench/run.sh [--runs N] [--threads "8 2"] [--quick] [--reference REF | --no-check]
#                [--corvane PATH] [--no-build]
#
# Builds corvane and the benchmark tools in build-bench/ (Release, -DCORVANE_BUILD_BENCH=ON), builds or
# reuses the cached data set (bench/generate.sh), then, with hyperfine (N rounds of one run of each
# command, medians):
#   for T in the thread counts (default 8 and 2):
#     a. corvane --bplink ... --ld-thold 0.0316 --n-threads T
#     b. plink1.9 --bfile ... --r2 --ld-window 999999 --ld-window-kb 5000 --ld-window-r2 0.001 --threads T
#     c. corvane --bgen ... (the same genotypes as BGEN layout 2, 8 bits, zlib)
#   corvane on the PLINK set with 1 thread (scaling 8 vs 1);
#   d. the product stage alone (build-bench/bench/corvane_bench_product) against a plain DGEMM of the
#      same shapes (corvane_bench_dgemm: Eigen built with -march=native) on the same thread counts;
#   peak memory of single runs (/usr/bin/time -v).
# Then it checks that corvane's BCOR files are byte-identical to those of a reference build (the commit
# in bench/REFERENCE, or --reference REF: built from `git archive` into the cache, its outputs' checksums
# kept there): the timed runs, plus --accuracy high runs (every bit of every stored correlation) on
# 8 threads and 1, from PLINK and BGEN input. It prints the ratios and the targets, and writes them to
# summary.md in the run's directory under the cache.
#
# --quick: 2 runs, no 1-thread run, no high-accuracy runs (for iterating). Nothing here runs in CI.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
cache="${CORVANE_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-bench}"
runs=5
threads="8 2"
quick=0
build=1
check=1
reference=""
corvane=""
jobs="${CORVANE_JOBS:-4}"

usage() { sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 1; }
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --threads) threads="$2"; shift 2 ;;
    --quick) quick=1; runs=2; shift ;;
    --reference) reference="$2"; shift 2 ;;
    --no-check) check=0; shift ;;
    --corvane) corvane="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    *) usage ;;
  esac
done

for tool in hyperfine plink1.9 /usr/bin/time python3 cmake; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed" >&2; exit 1; }
done

bdir="$repo/build-bench"
if [ "$build" = 1 ]; then
  cmake -S "$repo" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON >/dev/null
  cmake --build "$bdir" -j "$jobs" --target corvane corvane_testgen corvane_bench_product corvane_bench_dgemm \
    >/dev/null
fi
[ -n "$corvane" ] || corvane="$bdir/corvane"
corvane="$(cd "$(dirname "$corvane")" && pwd)/$(basename "$corvane")"
data="$("$repo/bench/generate.sh" --testgen "$bdir/tests/corvane_testgen")"

stamp="$(date -u +%Y%m%dT%H%M%SZ)"
work="$cache/runs/$stamp"
mkdir -p "$work"
ln -sfn "$work" "$cache/runs/latest"
echo "run.sh: data $data"
echo "run.sh: results in $work"

{
  echo "date=$stamp"
  echo "nproc=$(nproc)"
  echo "cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)"
  echo "commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null)$(git -C "$repo" diff --quiet HEAD -- src include CMakeLists.txt 2>/dev/null || echo '+changes')"
  echo "corvane=$corvane"
  echo "runs=$runs"
  echo "threads=$threads"
  echo "load_start=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "plink=$(plink1.9 --version 2>/dev/null | head -1)"
  echo "hyperfine=$(hyperfine --version)"
} > "$work/machine.txt"

q() { printf '%q' "$1"; }
corvane_plink() { echo "$(q "$corvane") --bplink $(q "$data/bench") --bcor $(q "$1/out.bcor") --n-threads $2 --ld-thold 0.0316"; }
corvane_bgen() { echo "$(q "$corvane") --bgen $(q "$data/bench.bgen") --bcor $(q "$1/out.bcor") --n-threads $2 --ld-thold 0.0316"; }
plink19() { echo "plink1.9 --bfile $(q "$data/bench") --r2 --ld-window 999999 --ld-window-kb 5000 --ld-window-r2 0.001 --threads $2 --out $(q "$1/plink")"; }

# One untimed run of every command first: it warms the page cache, gives the peak memory
# (/usr/bin/time -v) and the count of stored pairs, and leaves out of the timing a command that fails
# (a corvane without BGEN input, say) instead of stopping the benchmark.
: > "$work/memory.txt"
: > "$work/failed.txt"
peak() {  # name command
  local name="$1"; shift
  if /usr/bin/time -v -o "$work/mem-$name.txt" bash -c "$*" > "$work/log-$name.txt" 2>&1; then
    echo "$name $(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$work/mem-$name.txt")" >> "$work/memory.txt"
  else
    echo "run.sh: $name failed; see $work/log-$name.txt" >&2
    echo "$name" >> "$work/failed.txt"
    return 1
  fi
}

# hyperfine runs the commands through a shell and throws their output away; medians of N runs.
for T in $threads; do
  args=()
  for k in corvane-plink plink19 corvane-bgen; do
    mkdir -p "$work/T$T/$k"
    case "$k" in
      corvane-plink) cmd="$(corvane_plink "$work/T$T/$k" "$T" '')" ;;
      plink19) cmd="$(plink19 "$work/T$T/$k" "$T")" ;;
      corvane-bgen) cmd="$(corvane_bgen "$work/T$T/$k" "$T" '')" ;;
    esac
    if peak "$k-T$T" "$cmd"; then args+=(-n "$k-T$T" "$cmd"); fi
  done
  # Rounds of one run per command, so that a change in the machine's other load falls on all of
  # them alike; the report takes the medians over the rounds.
  if [ ${#args[@]} -gt 0 ]; then
    for round in $(seq 1 "$runs"); do
      hyperfine --style basic --runs 1 --export-json "$work/T$T/hyperfine-$round.json" "${args[@]}"
    done
  fi
done
# The memory without stored pairs: the same runs keeping none (--ld-thold 1), for the memory target.
for T in $threads; do
  mkdir -p "$work/T$T/nopairs"
  peak "corvane-plink-nopairs-T$T" "$(q "$corvane") --bplink $(q "$data/bench") --bcor $(q "$work/T$T/nopairs/out.bcor") --n-threads $T --ld-thold 1" || true
  rm -f "$work/T$T/nopairs"/out.bcor_*
done
# Scaling: rounds of one 1-thread and one 8-thread run, side by side.
if [ "$quick" = 0 ]; then
  mkdir -p "$work/T1/corvane-plink" "$work/T1/corvane-plink-T8"
  for round in $(seq 1 "$(( runs < 3 ? runs : 3 ))"); do
    hyperfine --style basic --runs 1 --export-json "$work/T1/hyperfine-$round.json" \
      -n "corvane-plink-T1" "$(corvane_plink "$work/T1/corvane-plink" 1)" \
      -n "corvane-plink-T8-beside-T1" "$(corvane_plink "$work/T1/corvane-plink-T8" 8)"
  done
fi

# The product stage against a plain DGEMM of the same shapes (chunk 1000 x batch 1000, 5000 samples).
: > "$work/product.txt"
for T in $threads 1; do
  reps=$(( T == 1 ? 4 : 6 ))
  "$bdir/bench/corvane_bench_product" --threads "$T" --samples 5000 --n 1000 --reps "$reps" >> "$work/product.txt"
  "$bdir/bench/corvane_bench_dgemm" --threads "$T" --samples 5000 --n 1000 --reps "$reps" >> "$work/product.txt"
done

# Byte identity against the reference build.
if [ "$check" = 1 ]; then
  [ -n "$reference" ] || reference="$(cat "$repo/bench/REFERENCE" 2>/dev/null || true)"
  if [ -z "$reference" ]; then
    echo "check skipped: no reference commit (bench/REFERENCE or --reference)" > "$work/check.txt"
  else
    "$repo/bench/check.sh" --reference "$reference" --data "$data" --work "$work" --corvane "$corvane" \
      --threads "$threads" $([ "$quick" = 1 ] && echo --quick) | tee "$work/check.txt"
  fi
else
  echo "check skipped (--no-check)" > "$work/check.txt"
fi

echo "load_end=$(cut -d' ' -f1-3 /proc/loadavg)" >> "$work/machine.txt"
python3 "$repo/bench/report.py" "$work" | tee "$work/summary.md"

#!/usr/bin/env bash
# Byte identity of corvane's BCOR files against a reference build; called by bench/run.sh.
#
#   bench/check.sh --reference REF --data DIR --work DIR --corvane PATH --threads "8 2" [--quick]
#
# The reference commit is built once from `git archive` under the cache; the checksums of its outputs
# are kept there per data set and case, so later checks only run the current binary. Cases: the timed
# runs (whose outputs run.sh leaves in WORK/T<n>/), and unless --quick, runs with --accuracy high (all
# 64 bits of every stored correlation) on 8 threads and 1, from PLINK and BGEN input. Prints one line
# per case and a last line "check: ..."; the exit status is 0 unless the check could not be made.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
cache="${CORVANE_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-bench}"
quick=0
while [ $# -gt 0 ]; do
  case "$1" in
    --reference) reference="$2"; shift 2 ;;
    --data) data="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --corvane) corvane="$2"; shift 2 ;;
    --threads) threads="$2"; shift 2 ;;
    --quick) quick=1; shift ;;
    *) echo "check.sh: unknown argument $1" >&2; exit 1 ;;
  esac
done

sha="$(git -C "$repo" rev-parse --short=12 "$reference^{commit}")"
ref="$cache/reference/$sha"
if [ ! -x "$ref/build/corvane" ]; then
  echo "check.sh: building reference $sha" >&2
  rm -rf "$ref/src" "$ref/build"
  mkdir -p "$ref/src"
  git -C "$repo" archive "$sha" | tar -x -C "$ref/src"
  cmake -S "$ref/src" -B "$ref/build" -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$ref/build" -j "${CORVANE_JOBS:-4}" --target corvane >/dev/null
fi

sums_dir="$ref/sums/$(basename "$data")"
mkdir -p "$sums_dir"

# run BINARY OUTDIR INPUT THREADS ACCURACY
run() {
  local input_args
  if [ "$3" = plink ]; then input_args=(--bplink "$data/bench"); else input_args=(--bgen "$data/bench.bgen"); fi
  rm -rf "$2"
  mkdir -p "$2"
  "$1" "${input_args[@]}" --bcor "$2/out.bcor" --n-threads "$4" --ld-thold 0.0316 --accuracy "$5" > "$2/log.txt"
}
sums() { (cd "$1" && sha256sum out.bcor_*); }

cases=()
for T in $threads; do cases+=("plink T$T medium" "bgen T$T medium"); done
if [ "$quick" = 0 ]; then
  cases+=("plink T1 medium" "plink T8 high" "plink T1 high" "bgen T8 high" "bgen T1 high")
fi

failed=0
for c in "${cases[@]}"; do
  read -r input tn accuracy <<< "$c"
  T="${tn#T}"
  name="$input-$tn-$accuracy"
  if [ ! -f "$sums_dir/$name.sha256" ]; then
    echo "check.sh: reference outputs for $name" >&2
    if ! run "$ref/build/corvane" "$ref/out" "$input" "$T" "$accuracy"; then
      echo "$name: the reference build fails on it (see $ref/out/log.txt)"
      failed=$((failed + 1))
      continue
    fi
    sums "$ref/out" > "$sums_dir/$name.sha256"
    rm -rf "$ref/out"
  fi
  out="$work/T$T/corvane-$input"
  if [ "$accuracy" != medium ] || [ ! -f "$out/out.bcor_1" ]; then
    out="$work/check/$name"
    if ! run "$corvane" "$out" "$input" "$T" "$accuracy"; then
      echo "$name: the current build fails on it (see $out/log.txt)"
      failed=$((failed + 1))
      continue
    fi
  fi
  if diff -q <(sums "$out") "$sums_dir/$name.sha256" >/dev/null; then
    echo "$name: identical ($(wc -l < "$sums_dir/$name.sha256") files)"
  else
    echo "$name: DIFFERENT from reference $sha"
    failed=$((failed + 1))
  fi
  [ "$out" = "$work/check/$name" ] && rm -f "$out"/out.bcor_*
done
if [ "$failed" = 0 ]; then
  echo "check: all ${#cases[@]} cases byte-identical to reference $sha"
else
  echo "check: $failed of ${#cases[@]} cases DIFFER from reference $sha"
fi

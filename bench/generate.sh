#!/usr/bin/env bash
# Builds the benchmark data set once and caches it outside the repository; prints its directory.
#
#   bench/generate.sh [--testgen PATH]
#
# 5,000 samples x 20,000 variants of one chromosome (about 30 Mb), simulated with LD by the project's
# own test data tool, as a PLINK set (bench.bed/.bim/.fam) and as BGEN layout 2, 8 bits, zlib
# (bench.bgen, bench.sample). Variants lie 1,500 bp apart on average, so the default 5 Mb window
# holds about 3,300 downstream partners per variant. The tool is deterministic: the same command gives
# the same bytes, and SHA256SUMS in the data directory lets a reused copy be checked.
#
# Cache: $CORVANE_BENCH_CACHE, else ${XDG_CACHE_HOME:-$HOME/.cache}/corvane-bench.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
cache="${CORVANE_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-bench}"
testgen="$repo/build-bench/tests/corvane_testgen"
while [ $# -gt 0 ]; do
  case "$1" in
    --testgen) testgen="$2"; shift 2 ;;
    *) echo "usage: bench/generate.sh [--testgen PATH]" >&2; exit 1 ;;
  esac
done

samples=5000
variants=20000
spacing=1500
missing=0.005
seed=8
name="s${samples}-v${variants}-sp${spacing}-m${missing}-seed${seed}"
dir="$cache/data/$name"
args=(--samples "$samples" --variants "$variants" --seed "$seed" --spacing "$spacing" --missing "$missing"
      --plink --bgen --layout 2 --bits 8 --compression zlib)

if [ -f "$dir/SHA256SUMS" ] && [ "$(cat "$dir/COMMAND" 2>/dev/null)" = "${args[*]}" ]; then
  if (cd "$dir" && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1); then
    echo "$dir"
    exit 0
  fi
  echo "generate.sh: cached data in $dir fails its checksums; building it again" >&2
fi

if [ ! -x "$testgen" ]; then
  echo "generate.sh: test data tool not found at $testgen (run bench/run.sh, or pass --testgen)" >&2
  exit 1
fi

mkdir -p "$cache/data"
tmp="$(mktemp -d "$cache/data/.tmp.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
echo "generate.sh: building $samples samples x $variants variants in $dir" >&2
"$testgen" "${args[@]}" --out "$tmp/bench" >&2
(cd "$tmp" && sha256sum bench.bed bench.bim bench.fam bench.bgen bench.sample > SHA256SUMS)
echo "${args[*]}" > "$tmp/COMMAND"
rm -rf "$dir"
mv "$tmp" "$dir"
trap - EXIT
echo "$dir"

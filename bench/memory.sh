#!/usr/bin/env bash
# Peak memory of corvane runs of several shapes, each beside what the README's Memory section
# predicts for it, and their ratio.
#
#   bench/memory.sh [CORVANE [SCRATCH]]
#
#   CORVANE  the binary (or $CORVANE; default build/corvane); corvane_testgen is taken from
#            tests/ beside it (or $TESTGEN)
#   SCRATCH  directory for the data (or $MEMORY_SCRATCH; default $TMPDIR or /tmp); a directory
#            made in it is removed at the end unless MEMORY_KEEP=1
#   MEMORY_SCALE    multiplies the sizes (default 1: peaks up to about 5 GB, a few minutes)
#   MEMORY_THREADS  threads of the multi-thread runs (default the smaller of 8 and nproc)
#
# Data from the project's own generator (corvane_testgen), PLINK sets. Shapes: many stored pairs,
# with and without missing genotypes; many variants on 1 thread and on MEMORY_THREADS, with one pair
# each; many variants with missing genotypes; a large --n-variants-chunk; many samples on a few
# threads, at the default chunk and at a chunk of 10; the merge, meta and table runs of the
# many-variants set. Each peak is /usr/bin/time -f %M. Exits 1 when a ratio lies outside 0.60-1.15.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
corvane="${1:-${CORVANE:-$repo/build/corvane}}"
scratch="${2:-${MEMORY_SCRATCH:-${TMPDIR:-/tmp}}}"
scale="${MEMORY_SCALE:-1}"
threads="${MEMORY_THREADS:-$(( $(nproc) < 8 ? $(nproc) : 8 ))}"

[ -x "$corvane" ] || { echo "memory.sh: no corvane binary at $corvane" >&2; exit 1; }
corvane="$(cd "$(dirname "$corvane")" && pwd)/$(basename "$corvane")"
testgen="${TESTGEN:-$(dirname "$corvane")/tests/corvane_testgen}"
[ -x "$testgen" ] || { echo "memory.sh: no corvane_testgen at $testgen (set TESTGEN)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "memory.sh: /usr/bin/time is needed" >&2; exit 1; }

mkdir -p "$scratch"
work="$(mktemp -d "$scratch/corvane-memory.XXXXXX")"
[ "${MEMORY_KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
cd "$work"
# corvane refuses more threads than the OpenMP default.
export OMP_NUM_THREADS="$threads"
few=$(( threads < 4 ? threads : 4 ))

# Sizes times MEMORY_SCALE; pair counts grow with the square of the variants, chunk memory with the
# square of the chunk, so those take its square root.
sized() { awk -v n="$1" -v s="$scale" -v root="${2:-0}" 'BEGIN { f = root ? sqrt(s) : s; v = int(n * f + 0.5); print (v < 2 ? 2 : v) }'; }
pair_variants=$(sized 10000 1)
many_variants=$(sized 2000000)
chunk=$(sized 20000 1)
chunk_variants=$(( 2 * chunk ))
many_samples=$(sized 40000)
wide_samples=$(sized 200000)

gen() { "$testgen" "$@" --plink > /dev/null; }
echo "memory.sh: generating data in $work" >&2
gen --samples 16 --variants "$pair_variants" --seed 4 --out pairs
gen --samples 16 --variants "$pair_variants" --seed 4 --missing 0.2 --out pairs_missing
gen --samples 16 --variants "$many_variants" --seed 3 --spacing 1 --no-jitter --out variants
gen --samples 16 --variants "$many_variants" --seed 3 --spacing 1 --no-jitter --missing 0.2 --out variants_missing
gen --samples 16 --variants "$chunk_variants" --seed 5 --out chunk
gen --samples "$many_samples" --variants 4000 --seed 6 --out samples
gen --samples "$wide_samples" --variants 200 --seed 7 --out wide

# The README's Memory section, term by term (keep the two in step). A computation: 10 MB, per
# thread 8 c^2 + (16 c + 130) N bytes (c the chunk, at most the variants; N the samples), per variant
# 550 bytes (800 with missing genotypes) and 50 more for each further thread, per stored pair 50
# bytes (100 with missing genotypes). A merge, meta or table run: 10 MB and 260 bytes per variant.
predict_compute() {  # samples variants threads chunk pairs missing
  awk -v n="$1" -v v="$2" -v t="$3" -v c="$4" -v p="$5" -v m="$6" 'BEGIN {
    if (c > v) c = v
    per_variant = m ? 800 : 550; per_pair = m ? 100 : 50
    printf "%.0f", 10e6 + t * (8 * c * c + (16 * c + 130) * n) + v * (per_variant + 50 * (t - 1)) + p * per_pair }'
}
predict_file() { awk -v v="$1" 'BEGIN { printf "%.0f", 10e6 + 260 * v }'; }

rows=()
outside=0
record() {  # name description pairs predicted_bytes time_file
  local kb measured ratio
  kb="$(tail -1 "$5")"
  measured=$(( kb * 1024 ))
  ratio="$(awk -v a="$measured" -v b="$4" 'BEGIN { printf "%.2f", a / b }')"
  if awk -v r="$ratio" 'BEGIN { exit !(r < 0.60 || r > 1.15) }'; then outside=1; ratio="$ratio (outside)"; fi
  rows+=("$(awk -v n="$1" -v d="$2" -v p="$3" -v m="$measured" -v q="$4" -v r="$ratio" 'BEGIN {
    printf "| %s | %s | %s | %.0f | %.0f | %s |", n, d, p, m / 1e6, q / 1e6, r }')")
  echo "memory.sh: $1 done" >&2
}

compute() {  # name description input samples variants threads chunk missing [corvane options]
  local name="$1" description="$2" input="$3" samples="$4" variants="$5" t="$6" c="$7" missing="$8"
  shift 8
  /usr/bin/time -f %M -o "$name.time" "$corvane" --bplink "$input" --bcor "$name.bcor" --n-threads "$t" \
    --n-variants-chunk "$c" "$@" > "$name.log"
  local pairs
  pairs="$(sed -n 's/^- Number of stored correlations : //p' "$name.log")"
  record "$name" "$description" "$pairs" "$(predict_compute "$samples" "$variants" "$t" "$c" "$pairs" "$missing")" \
    "$name.time"
}

all=(--variant-window-size 2000000000 --ld-thold 0 --ld-n-samples-avail-prop 0)
neighbour=(--variant-window-size 2 --ld-thold 0 --ld-n-samples-avail-prop 0)

compute pairs "$pair_variants variants x 16 samples, every pair, 1 thread" pairs 16 "$pair_variants" 1 1000 0 "${all[@]}"
compute pairs-missing "$pair_variants variants x 16 samples, 20% missing, every pair, 1 thread" pairs_missing 16 \
  "$pair_variants" 1 1000 1 "${all[@]}"
compute variants-1 "$many_variants variants x 16 samples, one pair each, 1 thread" variants 16 "$many_variants" 1 1000 0 \
  "${neighbour[@]}"
compute variants-$threads "$many_variants variants x 16 samples, one pair each, $threads threads" variants 16 \
  "$many_variants" "$threads" 1000 0 "${neighbour[@]}"
compute variants-missing "$many_variants variants x 16 samples, 20% missing, one pair each, 1 thread" variants_missing \
  16 "$many_variants" 1 1000 1 "${neighbour[@]}"
compute chunk "$chunk_variants variants x 16 samples, --n-variants-chunk $chunk, 1 thread" chunk 16 "$chunk_variants" 1 \
  "$chunk" 0 --variant-window-size 2
compute samples "$many_samples samples x 4000 variants, default options, $few threads" samples "$many_samples" 4000 \
  "$few" 1000 0
compute samples-chunk10 "$wide_samples samples x 200 variants, --n-variants-chunk 10, $few threads" wide "$wide_samples" \
  200 "$few" 10 0 --variant-window-size 2

# The merge, meta and table runs of the many-variants set's per-thread files.
/usr/bin/time -f %M -o merge.time "$corvane" --bcor "variants-$threads.bcor" --merge "$threads" > merge.log
rm -f "variants-$threads.bcor_"*
record merge "merge of the $threads files of variants-$threads" "" "$(predict_file "$many_variants")" merge.time
/usr/bin/time -f %M -o meta.time "$corvane" --bcor "variants-$threads.bcor" --meta variants.meta > meta.log
record meta "meta of the merged file" "" "$(predict_file "$many_variants")" meta.time
/usr/bin/time -f %M -o table.time "$corvane" --bcor "variants-$threads.bcor" --table variants.table --ld-thold 0 \
  --ld-n-samples-avail-prop 0 > table.log
record table "table of the merged file, every pair" "" "$(predict_file "$many_variants")" table.time

echo "corvane: $corvane"
echo "scale $scale; $(nproc) cores; $(awk '/^MemTotal/ { printf "%.1f GB", $2 / 1048576 }' /proc/meminfo) memory;" \
  "load $(cut -d' ' -f1-3 /proc/loadavg); $(date -u +%Y-%m-%dT%H:%MZ)"
echo
echo "| run | shape | stored pairs | peak MB | README predicts, MB | peak / predicted |"
echo "|---|---|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
if [ "$outside" = 1 ]; then
  echo "memory.sh: a peak lies outside 0.60-1.15 of its prediction" >&2
  exit 1
fi

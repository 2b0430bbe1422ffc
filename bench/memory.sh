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
#   MEMORY_SCALE    multiplies the sizes (default 1: peaks up to about 4 GB, about 5 minutes)
#   MEMORY_THREADS  threads of the multi-thread runs (default the smaller of 8 and nproc)
#
# Data from the project's own generator (corvane_testgen), PLINK sets (and a BGEN copy of the small
# region). Shapes: many stored pairs, with and without missing genotypes; many variants on 1 thread
# and on MEMORY_THREADS, with one pair each; many variants with missing genotypes; a large
# --n-variants-chunk; many samples on a few threads, at the default chunk and at a chunk of 10; a
# small region of a large cohort (1,000 variants) on 1, a few and MEMORY_THREADS threads, from PLINK
# and BGEN, with a 2 kb window, with every pair and keeping 1 sample in 100 (--incl-samples); the
# merge, meta and table runs of the many-variants set; the same set with long RSIDs and alleles (40
# and 20 characters) computed, merged, listed and tabled; tables of an --incl-variants list in
# shuffled order, of the many variants (half of them listed with their alleles swapped) and of a
# small file with many pairs.
# Each peak is /usr/bin/time -f %M. Exits 1 when a ratio lies outside 0.60-1.15.
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
command -v python3 > /dev/null || { echo "memory.sh: python3 is needed (for the shuffled lists)" >&2; exit 1; }

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
region_samples=$(sized 100000)

gen() { "$testgen" "$@" --plink > /dev/null; }
echo "memory.sh: generating data in $work" >&2
gen --samples 16 --variants "$pair_variants" --seed 4 --out pairs
gen --samples 16 --variants "$pair_variants" --seed 4 --missing 0.2 --out pairs_missing
gen --samples 16 --variants "$many_variants" --seed 3 --spacing 1 --no-jitter --out variants
gen --samples 16 --variants "$many_variants" --seed 3 --spacing 1 --no-jitter --missing 0.2 --out variants_missing
gen --samples 16 --variants "$chunk_variants" --seed 5 --out chunk
gen --samples "$many_samples" --variants 4000 --seed 6 --out samples
gen --samples "$wide_samples" --variants 200 --seed 7 --out wide
gen --samples "$region_samples" --variants 1000 --seed 12 --bgen --out region
gen --samples 16 --variants 3000 --seed 11 --out list_pairs
# The many-variants set with 40-character RSIDs and 20-character alleles.
ln -s variants.bed long_ids.bed
ln -s variants.fam long_ids.fam
awk 'BEGIN { OFS = "\t"; a = "AAAAAAAAAAAAAAAAAAAA"; c = "CCCCCCCCCCCCCCCCCCCC" }
     { $2 = sprintf("rs%038d", NR); $5 = a; $6 = c; print }' variants.bim > long_ids.bim
# A variant list of a .bim file in shuffled order (fixed seed); with a third argument, every other
# variant is listed with its alleles swapped.
shuffled_list() {  # bim list [swap]
  python3 - "$1" "$2" "${3:-}" <<'PY'
import random, sys
lines = []
for i, line in enumerate(open(sys.argv[1])):
    r = line.split()
    a, b = (r[5], r[4]) if sys.argv[3] and i % 2 else (r[4], r[5])
    lines.append("%s %s %s %s %s\n" % (r[1], r[3], r[0], a, b))
random.Random(5).shuffle(lines)
with open(sys.argv[2], "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n" + "".join(lines))
PY
}
shuffled_list variants.bim variants_shuffled.txt swap
shuffled_list list_pairs.bim list_pairs_shuffled.txt

# The README's Memory section, term by term (keep the two in step). A computation: 10 MB; the larger
# of 80 x F bytes (F the file's samples, kept or not) and the threads' matrices: per thread
# 8 x chunk x batch + (8 x chunk + 60) x N + 10 x F bytes (N the samples kept; batch the chunk
# option or the variants when fewer; chunk the batch or a thread's share, V / T, when smaller), and
# 8 N bytes per column of the threads' batches of later variants, min(T x batch, later) columns
# with later = (2 T + 1) V / 3 - T x chunk; per variant 550 bytes (800 with missing genotypes) and
# 50 more for each further thread; per stored pair 50 bytes (100 with missing genotypes). A merge,
# meta or table run: 10 MB and 260 bytes per variant; a table of a list not in file order holds 24
# bytes per line up to 1,048,576 lines; a list takes 15 bytes per listed variant and 45 more for one
# listed with its alleles swapped. Every run: an RSID or allele longer than 15 characters adds its
# length and 30 bytes per variant.
predict_compute() {  # samples variants threads chunk_option pairs missing [bytes_per_variant_for_ids [file_samples]]
  awk -v n="$1" -v v="$2" -v t="$3" -v o="$4" -v p="$5" -v m="$6" -v ids="${7:-0}" -v f="${8:-$1}" 'BEGIN {
    batch = o < v ? o : v
    chunk = batch < v / t ? batch : v / t
    later = (2 * t + 1) * v / 3 - t * chunk
    columns = t * batch < later ? t * batch : later
    per_variant = m ? 800 : 550; per_pair = m ? 100 : 50
    threads = t * (8 * chunk * batch + (8 * chunk + 60) * n + 10 * f) + 8 * n * columns
    printf "%.0f", 10e6 + (80 * f > threads ? 80 * f : threads) + v * (per_variant + 50 * (t - 1) + ids) \
      + p * per_pair }'
}
predict_file() {  # variants [bytes_per_variant_for_ids [table_lines_held [listed [swapped]]]]
  awk -v v="$1" -v ids="${2:-0}" -v lines="${3:-0}" -v listed="${4:-0}" -v swapped="${5:-0}" 'BEGIN {
    if (lines > 1048576) lines = 1048576
    printf "%.0f", 10e6 + (260 + ids) * v + 24 * lines + 15 * listed + 45 * swapped }'
}
# The long RSIDs and alleles: (40 + 30) + 2 x (20 + 30) bytes per variant.
long_id_bytes=170

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

# The file's samples are the samples unless file_samples is set (a sample list keeps fewer).
compute() {  # name description input samples variants threads chunk missing ids [corvane options]
  local name="$1" description="$2" input="$3" samples="$4" variants="$5" t="$6" c="$7" missing="$8" ids="$9"
  shift 9
  local source=(--bplink "$input")
  case "$input" in *.bgen) source=(--bgen "$input") ;; esac
  /usr/bin/time -f %M -o "$name.time" "$corvane" "${source[@]}" --bcor "$name.bcor" --n-threads "$t" \
    --n-variants-chunk "$c" "$@" > "$name.log"
  local pairs
  pairs="$(sed -n 's/^- Number of stored correlations : //p' "$name.log")"
  record "$name" "$description" "$pairs" \
    "$(predict_compute "$samples" "$variants" "$t" "$c" "$pairs" "$missing" "$ids" "${file_samples:-$samples}")" \
    "$name.time"
}

all=(--variant-window-size 2000000000 --ld-thold 0 --ld-n-samples-avail-prop 0)
neighbour=(--variant-window-size 2 --ld-thold 0 --ld-n-samples-avail-prop 0)

compute pairs "$pair_variants variants x 16 samples, every pair, 1 thread" pairs 16 "$pair_variants" 1 1000 0 0 \
  "${all[@]}"
compute pairs-missing "$pair_variants variants x 16 samples, 20% missing, every pair, 1 thread" pairs_missing 16 \
  "$pair_variants" 1 1000 1 0 "${all[@]}"
compute variants-1 "$many_variants variants x 16 samples, one pair each, 1 thread" variants 16 "$many_variants" 1 1000 0 \
  0 "${neighbour[@]}"
compute variants-$threads "$many_variants variants x 16 samples, one pair each, $threads threads" variants 16 \
  "$many_variants" "$threads" 1000 0 0 "${neighbour[@]}"
compute variants-missing "$many_variants variants x 16 samples, 20% missing, one pair each, 1 thread" variants_missing \
  16 "$many_variants" 1 1000 1 0 "${neighbour[@]}"
compute chunk "$chunk_variants variants x 16 samples, --n-variants-chunk $chunk, 1 thread" chunk 16 "$chunk_variants" 1 \
  "$chunk" 0 0 --variant-window-size 2
compute samples "$many_samples samples x 4000 variants, default options, $few threads" samples "$many_samples" 4000 \
  "$few" 1000 0 0
compute samples-chunk10 "$wide_samples samples x 200 variants, --n-variants-chunk 10, $few threads" wide "$wide_samples" \
  200 "$few" 10 0 0 --variant-window-size 2

# A small region of a large cohort: every thread's share is smaller than a chunk, and its batch of
# later variants is wider than its share. The work split gives equal shares with the 2 kb window;
# with every pair (the default window spans the region) the first threads take fewer variants.
for t in $(printf '%s\n' 1 "$few" "$threads" | awk '!seen[$0]++'); do
  on="$t thread$([ "$t" = 1 ] || echo s)"
  compute region-$t "$region_samples samples x 1000 variants, 2 kb window, $on" region "$region_samples" 1000 \
    "$t" 1000 0 0 --variant-window-size 2000
  compute region-bgen-$t "the same from BGEN, $on" region.bgen "$region_samples" 1000 "$t" 1000 0 0 \
    --variant-window-size 2000
done
compute region-all-$few "$region_samples samples x 1000 variants, every pair, $few threads" region "$region_samples" \
  1000 "$few" 1000 0 0

# The same region keeping 1 sample in 100: the threads hold the kept samples; one thread reads the
# file's sample identifiers to find them.
awk 'NR % 100 == 1 { print $2 }' region.fam > region_keep.txt
kept=$(wc -l < region_keep.txt)
for t in $(printf '%s\n' 1 "$few" "$threads" | awk '!seen[$0]++'); do
  on="$t thread$([ "$t" = 1 ] || echo s)"
  file_samples="$region_samples" compute region-list-$t \
    "$kept of the $region_samples samples x 1000 variants (--incl-samples), 2 kb window, $on" region "$kept" 1000 "$t" \
    1000 0 0 --variant-window-size 2000 --incl-samples region_keep.txt
  file_samples="$region_samples" compute region-list-bgen-$t "the same from BGEN, $on" region.bgen "$kept" 1000 "$t" \
    1000 0 0 --variant-window-size 2000 --samples region.sample --incl-samples region_keep.txt
done

# The merge, meta and table runs of the many-variants set's per-thread files.
/usr/bin/time -f %M -o merge.time "$corvane" --bcor "variants-$threads.bcor" --merge "$threads" > merge.log
rm -f "variants-$threads.bcor_"*
record merge "merge of the $threads files of variants-$threads" "" "$(predict_file "$many_variants")" merge.time
/usr/bin/time -f %M -o meta.time "$corvane" --bcor "variants-$threads.bcor" --meta variants.meta > meta.log
record meta "meta of the merged file" "" "$(predict_file "$many_variants")" meta.time
/usr/bin/time -f %M -o table.time "$corvane" --bcor "variants-$threads.bcor" --table variants.table --ld-thold 0 \
  --ld-n-samples-avail-prop 0 > table.log
record table "table of the merged file, every pair" "" "$(predict_file "$many_variants")" table.time
rm -f variants.table

# A list in shuffled order: the table's lines wait in memory (then in the sort file) until all are
# found.
extracted() { tr '\r' '\n' < "$1" | sed -n 's/^- Number of extracted correlations : //p'; }
/usr/bin/time -f %M -o table-list.time "$corvane" --bcor "variants-$threads.bcor" --table variants-list.table \
  --incl-variants variants_shuffled.txt --ld-thold 0 --ld-n-samples-avail-prop 0 > table-list.log
lines="$(extracted table-list.log)"
record table-list "table of the merged file, every variant listed in shuffled order, half with alleles swapped" \
  "$lines" "$(predict_file "$many_variants" 0 "$lines" "$many_variants" $(( many_variants / 2 )))" table-list.time
rm -f variants-list.table

"$corvane" --bplink list_pairs --bcor list_pairs.bcor --n-threads 1 "${all[@]}" > list_pairs.log
"$corvane" --bcor list_pairs.bcor --merge 1 > /dev/null
rm -f list_pairs.bcor_*
/usr/bin/time -f %M -o table-list-small.time "$corvane" --bcor list_pairs.bcor --table list_pairs.table \
  --incl-variants list_pairs_shuffled.txt --ld-thold 0 --ld-n-samples-avail-prop 0 > table-list-small.log
lines="$(extracted table-list-small.log)"
record table-list-small "table of 3000 variants x 16 samples, every pair, listed in shuffled order" "$lines" \
  "$(predict_file 3000 0 "$lines" 3000)" table-list-small.time
rm -f list_pairs.table

# Long RSIDs and alleles: held once per variant in every run.
compute long-ids-$threads "$many_variants variants x 16 samples, long RSIDs and alleles, one pair each, $threads threads" \
  long_ids 16 "$many_variants" "$threads" 1000 0 "$long_id_bytes" "${neighbour[@]}"
/usr/bin/time -f %M -o long-merge.time "$corvane" --bcor "long-ids-$threads.bcor" --merge "$threads" > long-merge.log
rm -f "long-ids-$threads.bcor_"*
record long-merge "merge of the $threads files of long-ids-$threads" "" \
  "$(predict_file "$many_variants" "$long_id_bytes")" long-merge.time
/usr/bin/time -f %M -o long-meta.time "$corvane" --bcor "long-ids-$threads.bcor" --meta long_ids.meta > long-meta.log
record long-meta "meta of the merged file" "" "$(predict_file "$many_variants" "$long_id_bytes")" long-meta.time
/usr/bin/time -f %M -o long-table.time "$corvane" --bcor "long-ids-$threads.bcor" --table long_ids.table --ld-thold 0 \
  --ld-n-samples-avail-prop 0 > long-table.log
record long-table "table of the merged file, every pair" "" "$(predict_file "$many_variants" "$long_id_bytes")" \
  long-table.time
rm -f long_ids.table long_ids.meta

echo "corvane: $corvane"
echo "scale $scale; $(nproc) cores; $(awk '/^MemTotal/ { printf "%.1f GB", $2 / 1048576 }' /proc/meminfo) memory;" \
  "load $(cut -d' ' -f1-3 /proc/loadavg); $(date -u +%Y-%m-%dT%H:%MZ)"
echo
echo "| run | shape | stored pairs (table lines) | peak MB | README predicts, MB | peak / predicted |"
echo "|---|---|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
if [ "$outside" = 1 ]; then
  echo "memory.sh: a peak lies outside 0.60-1.15 of its prediction" >&2
  exit 1
fi

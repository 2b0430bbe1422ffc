#!/usr/bin/env bash
# Table extraction from a variant list in ascending, descending and shuffled order: time and peak
# memory of each, and the ratios to the ascending run.
#
#   bench/table_order.sh [--rounds N] [--variants M] [--corvane PATH] [--no-build]
#
# Builds corvane and corvane_testgen in build-bench/ (Release), then, in a directory under the cache:
# simulates M variants (default 3,000) x 200 samples as a PLINK set, computes every pair on 2 threads
# keeping all of them (--ld-thold 0 --ld-n-samples-avail-prop 0, a window wider than the chromosome:
# M (M - 1) / 2 pairs, 4.5 M for 3,000 variants), merges, and writes three variant lists of all the
# variants: ascending, descending, and shuffled with a fixed seed. Each table run is timed with
# /usr/bin/time -v in N rounds (default 3) of one run per order; the report gives the median wall time
# and the largest peak resident memory of each order, the ratios to ascending, the line counts, and
# the SHA-256 of each table, so that another build's tables can be compared byte for byte.
# Nothing here runs in CI.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
cache="${CORVANE_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-bench}"
rounds=3
variants=3000
build=1
corvane=""
jobs="${CORVANE_JOBS:-4}"

usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 1; }
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --variants) variants="$2"; shift 2 ;;
    --corvane) corvane="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    *) usage ;;
  esac
done

bdir="$repo/build-bench"
if [ "$build" = 1 ]; then
  cmake -S "$repo" -B "$bdir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$bdir" -j "$jobs" --target corvane corvane_testgen >/dev/null
fi
[ -n "$corvane" ] || corvane="$bdir/corvane"
corvane="$(cd "$(dirname "$corvane")" && pwd)/$(basename "$corvane")"

work="$cache/table-order/v$variants"
mkdir -p "$work"
cd "$work"
if [ ! -f all.bcor ]; then
  "$bdir/tests/corvane_testgen" --samples 200 --variants "$variants" --seed 11 --plink --out data >/dev/null
  OMP_NUM_THREADS=2 "$corvane" --bplink data --bcor all.bcor --n-threads 2 --ld-thold 0 \
    --ld-n-samples-avail-prop 0 --variant-window-size 2000000000 >/dev/null
  "$corvane" --bcor all.bcor --merge 2 >/dev/null
  rm -f all.bcor_1 all.bcor_2
fi
python3 - "$work/data.bim" <<'PY'
import random, sys
rows = [line.split() for line in open(sys.argv[1])]
lines = ["%s %s %s %s %s\n" % (r[1], r[3], r[0], r[4], r[5]) for r in rows]
orders = {"ascending": lines, "descending": lines[::-1]}
shuffled = list(lines)
random.Random(5).shuffle(shuffled)
orders["shuffled"] = shuffled
for name, body in orders.items():
    with open(name + ".txt", "w") as f:
        f.write("RSID position chromosome A_allele B_allele\n" + "".join(body))
PY

: > times.txt
for round in $(seq 1 "$rounds"); do
  for order in ascending descending shuffled; do
    /usr/bin/time -v -o "time-$order.txt" "$corvane" --bcor all.bcor --table "$order.table" \
      --incl-variants "$order.txt" --ld-thold 0 --ld-n-samples-avail-prop 0 > "log-$order.txt"
    seconds="$(sed -n 's/^[[:space:]]*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "time-$order.txt" |
               awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')"
    kb="$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "time-$order.txt")"
    echo "$order $seconds $kb" >> times.txt
  done
done

echo "corvane: $corvane"
echo "rounds: $rounds; variants: $variants; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$work" <<'PY'
import hashlib, os, statistics, sys
work = sys.argv[1]
runs = {}
for line in open(os.path.join(work, "times.txt")):
    order, seconds, kb = line.split()
    runs.setdefault(order, []).append((float(seconds), int(kb)))
base_t = statistics.median(s for s, _ in runs["ascending"])
base_m = max(k for _, k in runs["ascending"]) / 1024
print("| list order | lines | median s | peak MB | time vs ascending | memory above ascending, MB | table SHA-256 (first 16) |")
print("|---|---:|---:|---:|---:|---:|---|")
for order in ("ascending", "descending", "shuffled"):
    t = statistics.median(s for s, _ in runs[order])
    m = max(k for _, k in runs[order]) / 1024
    path = os.path.join(work, order + ".table")
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    lines = sum(1 for _ in open(path)) - 1
    print("| %s | %d | %.2f | %.0f | %.2f | %+.0f | %s |" % (order, lines, t, m, t / base_t, m - base_m, digest))
PY

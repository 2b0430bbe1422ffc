#!/usr/bin/python3
"""Validates the test data tools against peers nobody here wrote: the plain LD reference against
plink1.9 --r on complete data, the PLINK writer through the reference's own .bed decoder and plink1.9, and
the BGEN writer through plink2's BGEN import. Also the reference's own rules on hand-made cases."""
import math
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402
import reference_ld as ref  # noqa: E402

args = corvane_test.parse_args()
check = corvane_test.Checker()
work = args.work_dir
testgen = os.path.join(args.tools_dir, "corvane_testgen")


def run(cmd):
    p = subprocess.run(cmd, cwd=work, capture_output=True, text=True, timeout=300)
    if p.returncode != 0:
        print("command failed: %s\n%s%s" % (" ".join(cmd), p.stdout[-2000:], p.stderr[-2000:]))
    return p.returncode


def generate(prefix, *extra):
    return run([testgen, "--out", prefix] + list(extra))


def read_plink_ld(path, rsid_index):
    pairs = {}
    with open(path) as f:
        f.readline()
        for line in f:
            chr_a, bp_a, snp_a, chr_b, bp_b, snp_b, r = line.split()
            pairs[(rsid_index[snp_a], rsid_index[snp_b])] = float(r)
    return pairs


# --- The reference's rules on hand-made data -------------------------------------------------------------
nan = math.nan
x = np.array([[0, 1, 2, 0, 1, 2],
              [0, 1, 2, 0, 1, 1],
              [2, 1, 0, 2, 1, 0],
              [1, 1, 1, 1, 1, 1],     # monomorphic: NaN correlations, never kept
              [0, 1, 2, 0, 1, 2]], dtype=float)
pos = [100, 150, 199, 200, 300]
w = ref.window_pairs(pos, x, window=100)
check.equal(sorted(w), [(0, 1), (0, 2), (1, 2), (1, 3), (2, 3)],
            "window: a partner exactly the window away is out and ends the scan")
check.check(abs(w[(0, 2)][0] + 1.0) < 1e-15, "r = -1 for mirrored dosages")
check.check(math.isnan(w[(2, 3)][0]), "monomorphic partner gives NaN")
check.equal(sorted(ref.ld_pairs(pos, x, window=1000, ld_thold=0, prop=0)),
            [(0, 1), (0, 2), (0, 4), (1, 2), (1, 4), (2, 4)], "thresholds 0 keep every non-NaN pair")
r01 = w[(0, 1)][0]
check.check(ref.passes(r01, 6, 6, ld_thold=abs(r01), prop=1.0), "LD threshold inclusive")
check.check(ref.passes(-r01, 6, 6, ld_thold=abs(r01), prop=1.0) and not ref.passes(r01, 6, 6, abs(r01) + 1e-9, 0),
            "LD threshold applies to |r|")
check.equal(sorted(ref.ld_pairs(pos, x, window=1000, ld_thold=0.99, prop=0)), [(0, 2), (0, 4), (2, 4)],
            "LD threshold filters pairs")
check.equal(sorted(ref.window_pairs([5, 3, 9], x[:3], window=100)), [(1, 2)],
            "a partner at a smaller position ends the scan")

y = np.array([[nan] + [float(k % 3) for k in range(1, 100)],
              [0.0, nan] + [float(k % 2) for k in range(2, 100)]])
r, n = ref.window_pairs([1, 2], y)[(0, 1)]
check.equal(n, 99, "pair sample count is the smaller count (99), not the count at both (98)")
check.check(ref.passes(r, n, 100, ld_thold=0, prop=0.99) and not ref.passes(r, n, 100, ld_thold=0, prop=0.991),
            "availability proportion inclusive")
filled = np.array([np.where(np.isnan(v), np.nanmean(v), v) for v in y])
check.check(abs(r - np.corrcoef(filled)[0, 1]) < 1e-12, "missing dosages filled with the variant's mean")
check.check(math.isnan(ref.window_pairs([1, 2], np.array([[1.0], [2.0]]))[(0, 1)][0]), "one sample: NaN")
c = 1.0980392156862746
check.check(math.isnan(ref.window_pairs([1, 2], np.array([[c] * 7 + [nan], [0, 1, 2, 0, 1, 2, 0, 1.0]]))[(0, 1)][0]),
            "a constant fractional dosage is monomorphic")

p4 = [100, 200, 300, 400]
check.equal(ref.range_indices(p4, 150, 300), (1, 2), "range 150-300")
check.equal(ref.range_indices(p4, 150, 250), (1, 2), "range 150-250 reaches the first variant past 250")
check.equal(ref.range_indices(p4, 150, 1000), (1, 3), "range past the end")
check.equal(ref.range_indices(p4, 500, 600), None, "range after the last variant")
check.equal(ref.range_indices(p4, 50, 60), (0, 0), "range before the first variant")
check.equal(ref.sample_columns(["a", "b", "c", "d", "e", "f", "g", "h", "i", "j"], ["f", "c", "j"]), [2, 5, 9],
            "samples in ascending file order")
z = ref.window_pairs(pos, x, window=1000, first=1, last=3, samples=[0, 1, 2, 4])
check.equal(sorted(z), [(1, 2), (1, 3), (2, 3)], "a run's range bounds both variants")
check.check(abs(z[(1, 2)][0] - np.corrcoef(x[1, [0, 1, 2, 4]], x[2, [0, 1, 2, 4]])[0, 1]) < 1e-12,
            "sample selection")

# --- The PLINK writer and the reference against plink1.9 -------------------------------------------------
if generate("c", "--samples", "300", "--variants", "150", "--spacing", "2000", "--seed", "11", "--plink",
            "--dosages") == 0:
    table = ref.read_dosage_table(os.path.join(work, "c.dosages.tsv"))
    bed = ref.read_plink(os.path.join(work, "c"))
    check.check(np.array_equal(table.dosages, bed.dosages, equal_nan=True), ".bed decodes to the written dosages")
    check.equal(bed.variants, table.variants, ".bim holds the written variants")
    rsid_index = {v["rsid"]: v["index"] for v in table.variants}
    for kb in (5, 37, 400):
        if run(["plink1.9", "--bfile", "c", "--r", "--ld-window", "999999", "--ld-window-kb", str(kb),
                "--ld-window-r2", "0", "--keep-allele-order", "--out", "c%d" % kb]) != 0:
            check.check(False, "plink1.9 --r ran")
            continue
        theirs = read_plink_ld(os.path.join(work, "c%d.ld" % kb), rsid_index)
        window = kb * 1000
        p = table.positions
        check.check(all(p[j] - p[i] <= window for i, j in theirs), "plink1.9 stays within its window")
        theirs = {k: v for k, v in theirs.items() if p[k[1]] - p[k[0]] < window}
        ours = ref.ld_pairs(p, table.dosages, window=window, ld_thold=0, prop=0)
        check.equal(sorted(ours), sorted(theirs), "same pairs as plink1.9 in a %d kb window" % kb)
        worst = max([abs(ours[k][0] - theirs[k]) for k in ours if k in theirs] or [0.0])
        check.check(worst < 1e-5, "r within 1e-5 of plink1.9 (%d kb window, worst %.2g)" % (kb, worst))
        print("%d kb window: %d pairs, worst difference from plink1.9 %.2g" % (kb, len(ours), worst))
        check.check(all(n == 300 for _, n in ours.values()), "complete data: every pair counts all samples")
        check.check(len(ours) > 150, "the %d kb window holds pairs (%d)" % (kb, len(ours)))

# --- The BGEN writer through plink2's import ------------------------------------------------------------
configurations = [("1", "8", "zlib"), ("1", "8", "none"), ("2", "8", "zlib"), ("2", "16", "none"),
                  ("2", "3", "zlib"), ("2", "1", "none")]
for layout, bits, compression in configurations:
    name = "b%s_%s_%s" % (layout, bits, compression)
    what = "layout %s, %s bits, %s" % (layout, bits, compression)
    if generate(name, "--samples", "40", "--variants", "25", "--seed", "9", "--missing", "0.1", "--soft", "0.5",
                "--bgen", "--layout", layout, "--bits", bits, "--compression", compression, "--dosages",
                "--sample-ids") != 0:
        check.check(False, "corvane_testgen wrote " + what)
        continue
    if run(["plink2", "--bgen", name + ".bgen", "ref-first", "--sample", name + ".sample", "--export", "A",
            "--out", name]) != 0:
        check.check(False, "plink2 reads the BGEN file of " + what)
        continue
    table = ref.read_dosage_table(os.path.join(work, name + ".dosages.tsv"))
    with open(os.path.join(work, name + ".raw")) as f:
        header = f.readline().split()
        rows = [line.split() for line in f]
    # plink2 names the allele it counts in each column; count the B allele either way.
    counted = [h.rsplit("_", 1)[1] for h in header[6:]]
    check.check(all(c in (v["allele_a"], v["allele_b"]) for c, v in zip(counted, table.variants)),
                "plink2 sees the written alleles: " + what)
    theirs = np.array([[nan if x == "NA" else float(x) for x in row[6:]] for row in rows]).T
    for k, v in enumerate(table.variants):
        if counted[k] == v["allele_a"]:
            theirs[k] = 2 - theirs[k]
    same_missing = np.array_equal(np.isnan(theirs), np.isnan(table.dosages))
    check.check(same_missing, "missing samples agree with plink2: " + what)
    if same_missing:
        diff = np.nanmax(np.abs(theirs - table.dosages))
        check.check(diff < 3e-4, "dosages agree with plink2 (%s, worst %.2g)" % (what, diff))
    if bits != "1":
        check.check(bool(np.any((table.dosages % 1) > 0)), "soft probabilities give fractional dosages: " + what)

# --- Hard calls: the PLINK and BGEN copies are the same data ---------------------------------------------
if generate("both", "--samples", "120", "--variants", "40", "--seed", "4", "--missing", "0.05", "--plink",
            "--bgen", "--dosages") == 0:
    a = ref.read_dosage_table(os.path.join(work, "both.plink.dosages.tsv"))
    b = ref.read_dosage_table(os.path.join(work, "both.bgen.dosages.tsv"))
    check.check(np.array_equal(a.dosages, 2 - b.dosages, equal_nan=True), "BGEN dosage = 2 - PLINK dosage")
    pa = ref.ld_pairs(a.positions, a.dosages, window=30000)
    pb = ref.ld_pairs(b.positions, b.dosages, window=30000)
    check.equal(sorted(pa), sorted(pb), "same pairs from both copies")
    check.check(all(abs(pa[k][0] - pb[k][0]) < 1e-12 and pa[k][1] == pb[k][1] for k in pa if k in pb),
                "same r and counts from both copies")
    check.check(any(n < 120 for _, n in pa.values()), "missing genotypes lower pair counts")

# --- The shipped example is what its README's command writes --------------------------------------------
example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example")
if generate("example", "--samples", "500", "--variants", "300", "--seed", "2024", "--spacing", "20000",
            "--missing", "0.01", "--plink", "--bgen", "--layout", "2", "--bits", "8", "--compression", "zlib",
            "--sample-ids") == 0:
    for suffix in (".bed", ".bim", ".fam", ".bgen", ".sample"):
        with open(os.path.join(work, "example" + suffix), "rb") as f:
            made = f.read()
        with open(os.path.join(example, "example" + suffix), "rb") as f:
            shipped = f.read()
        check.check(made == shipped, "example/example%s is reproduced by its README's command" % suffix)

check.finish()

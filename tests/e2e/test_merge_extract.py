#!/usr/bin/python3
"""The whole pipeline through the binary: computation on 1, 2, 3 and 8 threads, merge, then meta list,
table and matrix. The outputs must not depend on the thread count and must agree with the plain LD
reference (and, on complete data, with plink1.9 --r). Also the merged file's layout, the merge's
refusals, inclusion lists in any order with allele swaps, ranges and unwritable outputs."""
import math
import os
import shutil
import struct
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

WINDOW = 20000
COMPUTE_THOLD = 0.05
TABLE_THOLD = 0.1
TABLE_PROP = 0.95
TOL = 2e-6  # the table and matrix print 6 significant digits


def corvane(*argv):
    return corvane_test.run(args.corvane, [str(a) for a in argv], cwd=work)


def succeeded(result, what):
    ok = result.status == 0 and "- Done!" in result.stdout
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-3000:]))
    check.check(ok, what + " ends with status 0 and '- Done!'")
    return ok


def refused(result, message, what):
    ok = result.status == 1 and message in result.stdout and "- Done!" not in result.stdout
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-2000:]))
    check.check(ok, what + ": status 1 with '%s' and no '- Done!'" % message.strip())


def generate(prefix, *extra):
    p = subprocess.run([testgen, "--out", prefix, "--plink"] + [str(e) for e in extra], cwd=work,
                       capture_output=True, text=True, timeout=300)
    if p.returncode != 0:
        raise SystemExit("corvane_testgen failed: " + p.stderr)


def read_table(path):
    """{(index1, index2): (r, n)} with the 1-based numbers of the extracted set, and the lines' RSIDs."""
    pairs, names = {}, {}
    with open(path) as f:
        check.equal(f.readline(), "chromosome index1 RSID1 position1 index2 RSID2 position2 correlation "
                                  "n_samples\n", "table header line")
        for line in f:
            chrom, i1, rs1, p1, i2, rs2, p2, r, n = line.split(" ")
            pairs[(int(i1), int(i2))] = (float(r), int(n))
            names[(int(i1), int(i2))] = (rs1, rs2)
    return pairs, names


def read_matrix(path):
    with open(path) as f:
        text = f.read()
    check.check(text.endswith("\n") and "  " not in text and " \n" not in text, "matrix: single spaces, newline")
    return np.array([[float(v) for v in line.split(" ")] for line in text.splitlines()])


def negative_zero(path):
    with open(path) as f:
        return "-0" in f.read().split()


def header_fields(data):
    """Fields 1 to 14 of a BCOR header."""
    return struct.unpack_from("<12I2Q", data, 0)


def compute_run(name, prefix, threads, *extra):
    base = os.path.join(work, name, "ld.bcor")
    os.makedirs(os.path.dirname(base), exist_ok=True)
    succeeded(corvane("--bplink", prefix, "--bcor", base, "--n-threads", threads, "--n-variants-chunk", 17,
                      "--variant-window-size", WINDOW, "--ld-thold", COMPUTE_THOLD, *extra),
              "computation on %d threads" % threads)
    return base


# --- Data with missing genotypes, and the plain reference ------------------------------------------------
data = os.path.join(work, "data")
generate(data, "--samples", 150, "--variants", 160, "--seed", 11, "--missing", 0.03, "--spacing", 1500)
genotypes = ref.read_plink(data)
positions = genotypes.positions
n_variants = len(positions)
reference = ref.ld_pairs(positions, genotypes.dosages, window=WINDOW, ld_thold=COMPUTE_THOLD, prop=0.1)
n_samples = genotypes.dosages.shape[1]


def near(x, threshold):
    return abs(abs(x) - threshold) < 1e-6


# --- Computation on 1, 2, 3 and 8 threads, merge, meta, table, matrix ------------------------------------
outputs = {}
for threads in (1, 2, 3, 8):
    base = compute_run("t%d" % threads, data, threads)
    merged = corvane("--bcor", base, "--merge", threads)
    succeeded(merged, "merge of %d files" % threads)
    label = "- Merging files                 : "
    check.check("".join("\r%s%d/%d" % (label, k, threads) for k in range(1, threads + 1)) + "\n" in merged.stdout,
                "merge progress 1/%d .. %d/%d, one line end" % (threads, threads, threads))

    with open(base, "rb") as f:
        merged_bytes = f.read()
    fields = header_fields(merged_bytes)
    header_size, n = fields[0], fields[2]
    check.equal((fields[2], fields[3]), (n_variants, n_variants), "merged header: variants of run and of file")
    check.equal((fields[8], fields[9]), (fields[4], fields[5]), "merged header: positions 9, 10 = 5, 6")
    check.equal(fields[12], fields[13], "merged header: stored pairs 14 = 13")
    n_border = len([k for k, v in reference.items() if near(v[0], COMPUTE_THOLD)])
    check.check(abs(fields[12] - len(reference)) <= n_border, "merged header: the reference's count of pairs")
    table_bytes = merged_bytes[header_size:header_size + 16 * (n - 1)]
    offsets = [o for o in struct.unpack("<%dQ" % (2 * (n - 1)), table_bytes) if o != 0]
    if threads == 1:
        with open(base + "_1", "rb") as f:
            check.check(f.read() == merged_bytes, "merge of one file keeps the input's layout byte for byte")
        check.equal(min(offsets), header_size + 16 * (n - 1), "one file: records follow two tables of n - 1")
    else:
        spare = merged_bytes[header_size + 16 * (n - 1):header_size + 16 * n]
        check.equal(spare, bytes(16), "%d files: spare sample-count entry and 8 zero bytes" % threads)
        check.equal(min(offsets), header_size + 16 * n, "%d files: records start after 16 n bytes" % threads)

    meta, table, matrix = (os.path.join(work, "t%d" % threads, name) for name in ("meta.txt", "table.txt",
                                                                                  "matrix.txt"))
    succeeded(corvane("--bcor", base, "--meta", meta), "meta list (%d threads)" % threads)
    extracted = corvane("--bcor", base, "--table", table, "--ld-thold", TABLE_THOLD,
                        "--ld-n-samples-avail-prop", TABLE_PROP)
    succeeded(extracted, "table (%d threads)" % threads)
    succeeded(corvane("--bcor", base, "--matrix", matrix), "matrix (%d threads)" % threads)
    outputs[threads] = [open(p).read() for p in (meta, table, matrix)]
    outputs[threads].append(extracted.stdout[extracted.stdout.index("EXTRACTING"):])

for threads in (2, 3, 8):
    for k, what in enumerate(("meta list", "table", "matrix", "table run's extraction output")):
        check.check(outputs[threads][k] == outputs[1][k], "%s on %d threads identical to 1 thread" % (what, threads))

# Meta list against the .bim file and the dosages.
meta_lines = outputs[1][0].splitlines()
check.equal(meta_lines[0], "index RSID position chromosome A_allele B_allele A_allele_freq B_allele_freq",
            "meta header")
check.equal(len(meta_lines), n_variants + 1, "meta: one line per variant")
meta_ok = True
for v, line in zip(genotypes.variants, meta_lines[1:]):
    idx, rsid, pos, chrom, a, b, fa, fb = line.split(" ")
    x = genotypes.dosages[v["index"]]
    freq_a = float(np.nansum(x)) / (2.0 * np.count_nonzero(~np.isnan(x)))
    meta_ok &= (int(idx), rsid, int(pos), chrom, a, b) == (v["index"] + 1, v["rsid"], v["position"],
                                                           v["chromosome"], v["allele_a"], v["allele_b"])
    meta_ok &= len(fa.split(".")[1]) == 10 and abs(float(fa) - freq_a) < 1e-9 and abs(float(fb) - (1 - freq_a)) < 1e-9
check.check(meta_ok, "meta lines: index from 1, identifying data and frequencies with ten decimals")

# BGEN layouts 0 and 1 may store probabilities that sum below 1, and samples whose three are all 0 (no
# dosage): the frequencies come from the probabilities scaled to 1, over the samples with a dosage.
for layout in (0, 1):
    below = os.path.join(work, "below%d" % layout)
    generate(below, "--samples", 150, "--variants", 40, "--seed", 13, "--missing", 0.1, "--bgen", "--layout",
             layout, "--below-one", "--dosages")
    doses = ref.read_dosage_table(below + ".bgen.dosages.tsv")
    check.check(np.isnan(doses.dosages).any(), "layout %d: samples without a dosage" % layout)
    succeeded(corvane("--bgen", below + ".bgen", "--bcor", below + ".bcor", "--n-threads", 2), "layout %d" % layout)
    succeeded(corvane("--bcor", below + ".bcor", "--merge", 2), "layout %d merge" % layout)
    succeeded(corvane("--bcor", below + ".bcor", "--meta", below + ".meta"), "layout %d meta" % layout)
    with open(below + ".meta") as f:
        freqs = [[float(x) for x in line.split(" ")[6:8]] for line in f.read().splitlines()[1:]]
    half_mean = [float(np.nanmean(x)) / 2 for x in doses.dosages]
    check.equal(len(freqs), len(half_mean), "layout %d: one meta line per variant" % layout)
    check.check(all(abs(fa + fb - 1) < 2e-10 and abs(fb - h) < 1e-9 for (fa, fb), h in zip(freqs, half_mean)),
                "layout %d below 1: A + B = 1 and B is half the mean dosage" % layout)

# Table against the reference with the extraction's thresholds.
table_pairs, _ = read_table(os.path.join(work, "t1", "table.txt"))
want = {(i + 1, j + 1): v for (i, j), v in reference.items()
        if abs(v[0]) >= TABLE_THOLD and v[1] / n_samples >= TABLE_PROP}
border = {(i + 1, j + 1) for (i, j), v in reference.items() if near(v[0], TABLE_THOLD) or near(v[0], COMPUTE_THOLD)}
check.equal(set(table_pairs) - border, set(want) - border, "table: the reference's pairs above both thresholds")
check.check(all(abs(table_pairs[k][0] - want[k][0]) <= TOL and table_pairs[k][1] == want[k][1]
                for k in set(table_pairs) & set(want)), "table: correlations and sample counts of the reference")
check.check(any(v[1] < n_samples for v in table_pairs.values()), "table: some pairs with fewer samples than all")
check.check("- Number of extracted correlations : %d\n" % len(table_pairs) in outputs[1][3],
            "table: count line reports the lines written")

# Matrix against the reference: every stored pair, 1 on the diagonal, 0 elsewhere.
m = read_matrix(os.path.join(work, "t1", "matrix.txt"))
expected = np.identity(n_variants)
for (i, j), (r, _) in reference.items():
    expected[i, j] = expected[j, i] = r
check.equal(m.shape, (n_variants, n_variants), "matrix: one row and column per variant")
check.check(np.array_equal(m, m.T), "matrix: symmetric")
check.check(float(np.max(np.abs(m - expected))) <= TOL, "matrix: the reference's stored correlations")

# --- Complete data against plink1.9 --r ---------------------------------------------------------------
full = os.path.join(work, "full")
generate(full, "--samples", 100, "--variants", 80, "--seed", 5, "--spacing", 1500)
base = compute_run("full", full, 3, "--ld-n-samples-avail-prop", 0)
succeeded(corvane("--bcor", base, "--merge", 3), "merge of the complete-data run")
full_table = os.path.join(work, "full", "table.txt")
succeeded(corvane("--bcor", base, "--table", full_table, "--ld-thold", 0, "--ld-n-samples-avail-prop", 0),
          "table of the complete-data run")
p = subprocess.run(["plink1.9", "--bfile", full, "--r", "--ld-window", "999999", "--ld-window-kb",
                    str(WINDOW // 1000), "--ld-window-r2", "0", "--keep-allele-order", "--out",
                    os.path.join(work, "full", "plink")], capture_output=True, text=True, timeout=300)
check.equal(p.returncode, 0, "plink1.9 --r runs")
full_positions = ref.read_plink(full).positions
plink_pairs = {}
with open(os.path.join(work, "full", "plink.ld")) as f:
    f.readline()
    for line in f:
        _, bp_a, snp_a, _, bp_b, snp_b, r = line.split()
        plink_pairs[(snp_a, snp_b)] = float(r)
ours, names = read_table(full_table)
ours_by_name = {names[k]: v[0] for k, v in ours.items()}
inside = {k: r for k, r in plink_pairs.items()
          if full_positions[int(k[1][2:]) - 1] - full_positions[int(k[0][2:]) - 1] < WINDOW and abs(r) >= COMPUTE_THOLD
          and not near(r, COMPUTE_THOLD)}
check.check(len(inside) > 50, "plink1.9 gives pairs inside the window")
check.check(set(inside) <= set(ours_by_name), "table holds plink1.9's pairs inside the window")
check.check(all(abs(ours_by_name[k] - plink_pairs[k]) <= 1e-5 for k in ours_by_name if k in plink_pairs),
            "table correlations agree with plink1.9 --r within 1e-5")

# --- Inclusion lists: any order gives the same pairs, allele swaps change signs ----------------------------
base = os.path.join(work, "t3", "ld.bcor")
chosen = list(range(20, 60, 3))  # 14 variants with pairs among them
swapped = {chosen[1], chosen[4], chosen[5]}


def list_file(name, order):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write("RSID position chromosome A_allele B_allele\n")
        for k in order:
            v = genotypes.variants[k]
            a, b = (v["allele_b"], v["allele_a"]) if k in swapped else (v["allele_a"], v["allele_b"])
            f.write("%s %d %s %s %s\n" % (v["rsid"], v["position"], v["chromosome"], a, b))
    return path


def sign(i, j):
    return -1.0 if (i in swapped) != (j in swapped) else 1.0


for name, order in (("ascending", chosen), ("descending", chosen[::-1]), ("shuffled", chosen[5:] + chosen[:5])):
    lst = list_file(name + ".txt", order)
    t = os.path.join(work, name + ".table")
    mx = os.path.join(work, name + ".matrix")
    succeeded(corvane("--bcor", base, "--table", t, "--incl-variants", lst, "--ld-thold", 0,
                      "--ld-n-samples-avail-prop", 0), "table of the %s list" % name)
    succeeded(corvane("--bcor", base, "--matrix", mx, "--incl-variants", lst), "matrix of the %s list" % name)
    got, _ = read_table(t)
    want = {}
    for p_, i in enumerate(order):
        for q_, j in enumerate(order):
            if p_ < q_ and (min(i, j), max(i, j)) in reference:
                r, n = reference[(min(i, j), max(i, j))]
                want[(p_ + 1, q_ + 1)] = (sign(i, j) * r, n)
    check.check(len(want) > 10, "%s list: pairs to find" % name)
    check.equal(sorted(got), sorted(want), "%s list: the table holds every stored pair, numbered by list place" % name)
    check.check(all(abs(got[k][0] - want[k][0]) <= TOL and got[k][1] == want[k][1] for k in set(got) & set(want)),
                "%s list: signs follow the allele swaps" % name)
    lines = [l.split(" ")[1:5:3] for l in open(t).read().splitlines()[1:]]
    check.check(lines == sorted(lines, key=lambda x: (int(x[0]), int(x[1]))), "%s list: lines in list order" % name)
    mm = read_matrix(mx)
    exp = np.identity(len(order))
    for (p_, q_), (r, _) in want.items():
        exp[p_ - 1, q_ - 1] = exp[q_ - 1, p_ - 1] = r
    check.check(mm.shape == exp.shape and float(np.max(np.abs(mm - exp))) <= TOL,
                "%s list: matrix by list place with signs" % name)
    check.check(not negative_zero(mx), "%s list: pairs not stored are 0 under a swap, not -0" % name)

# --- A base-pair range: numbering from the range's first variant ---------------------------------------
lo, hi = positions[40], positions[70]
t = os.path.join(work, "range.table")
succeeded(corvane("--bcor", base, "--table", t, "--incl-range", "%d-%d" % (lo, hi), "--ld-thold", 0,
                  "--ld-n-samples-avail-prop", 0), "table of a range")
got, names = read_table(t)
want = {(i - 39, j - 39): v for (i, j), v in reference.items() if 40 <= i and j <= 70}
check.equal(sorted(got), sorted(want), "range table: pairs inside the range, numbered from 1 at its first variant")
check.equal(names.get((1, 2), ("rs41",))[0], "rs41", "range table: number 1 is the range's first variant")
none = os.path.join(work, "none.table")
result = corvane("--bcor", base, "--table", none, "--incl-range", "1-2")
succeeded(result, "table of an empty range")
check.check(not os.path.exists(none), "an empty set writes no table file")

# --- Pairs whose exact |r| is a round threshold ----------------------------------------------------------
# Neighbours 2k + 1 and 2k + 2 repeat a pattern of that exact r over the samples, in a shuffled order
# and either one mirrored (2 - x): the computed r misses the exact value by a rounding either way. At
# low and medium accuracy the threshold holds on the stored magnitude, so every such pair is stored
# at its own value and listed by a table at it; at high accuracy the table at the computation's
# threshold still lists every stored pair.
EXACT = {0.0: ((0, 2, 0, 2), (0, 0, 2, 2)), 0.1: ((0, 0, 0, 1, 1, 2), (0, 0, 2, 0, 1, 1)),
         0.2: ((0, 0, 0, 0, 0, 1), (0, 0, 0, 1, 2, 1)), 0.3: ((0, 0, 0, 0, 0, 1, 1), (0, 0, 0, 0, 1, 0, 1)),
         0.5: ((1, 0, 2, 1), (2, 1, 0, 1)), 0.6: ((0, 0, 0, 0, 0, 1, 1, 1), (0, 0, 0, 1, 1, 1, 1, 1)),
         0.8: ((0, 0, 0, 0, 0, 1), (0, 0, 0, 1, 1, 2))}


def exact_pairs(prefix, n_samples, per_value, seed):
    """A PLINK set of such pairs; returns the exact |r| of each pair by its table numbers."""
    rng = np.random.RandomState(seed)
    rows, exact = [], {}
    for value, (x0, y0) in sorted(EXACT.items()):
        for _ in range(per_value):
            order = rng.permutation(n_samples)
            x, y = (np.tile(p, n_samples // len(p))[order] for p in (x0, y0))
            mirror = rng.randint(4)
            rows += [2 - x if mirror & 1 else x, 2 - y if mirror & 2 else y]
            exact[(len(rows) - 1, len(rows))] = value
    with open(prefix + ".bed", "wb") as bed:
        bed.write(bytes([0x6C, 0x1B, 0x01]))
        for dosages in rows:  # codes 3, 2, 0 for 0, 1, 2 copies of the .bim's first allele
            codes = np.array([3, 2, 0])[dosages]
            packed = np.zeros(n_samples + (-n_samples) % 4, dtype=np.uint8)
            packed[:n_samples] = codes
            bed.write(bytes((packed.reshape(-1, 4) << np.array([0, 2, 4, 6], dtype=np.uint8)).sum(1, dtype=np.uint8)))
    with open(prefix + ".bim", "w") as bim:
        bim.writelines("1 rs%d 0 %d A G\n" % (v + 1, 10000 * (v // 2) + 1 + v % 2) for v in range(len(rows)))
    with open(prefix + ".fam", "w") as fam:
        fam.writelines("F%d I%d 0 0 0 -9\n" % (s + 1, s + 1) for s in range(n_samples))
    return exact


os.makedirs(os.path.join(work, "exact"))
for n_exact, seed in ((168, 21), (840, 22)):
    prefix = os.path.join(work, "exact", "n%d" % n_exact)
    exact = exact_pairs(prefix, n_exact, 30, seed)
    for accuracy in ("low", "medium", "high"):
        for thold in (0.1, 0.2, 0.3, 0.5, 0.6, 0.8):
            what = "%d samples, %s accuracy, exact pairs at %g" % (n_exact, accuracy, thold)
            stem = "%s_%s_%g" % (prefix, accuracy, thold)
            succeeded(corvane("--bplink", prefix, "--bcor", stem + ".bcor", "--n-threads", 1, "--accuracy", accuracy,
                              "--variant-window-size", 1000, "--ld-thold", thold, "--ld-n-samples-avail-prop", 0),
                      what + ": computation")
            succeeded(corvane("--bcor", stem + ".bcor", "--merge", 1), what + ": merge")
            succeeded(corvane("--bcor", stem + ".bcor", "--table", stem + ".table", "--ld-thold", thold),
                      what + ": table")
            stored = header_fields(open(stem + ".bcor", "rb").read())[12]
            listed, _ = read_table(stem + ".table")
            check.equal(len(listed), stored, what + ": the table at the computation's threshold lists every pair")
            want = {k for k, v in exact.items() if v >= thold}
            if accuracy != "high":
                check.equal(sorted(listed), sorted(want), what + ": every pair from the threshold up, no other")
            else:
                check.check({k for k in want if exact[k] > thold} <= set(listed) <= want,
                            what + ": the pairs above the threshold, ties either side")
    # Exact zeros, stored at low accuracy with either sign; a list swaps the second variant of each pair.
    stem = prefix + "_zero"
    succeeded(corvane("--bplink", prefix, "--bcor", stem + ".bcor", "--n-threads", 1, "--accuracy", "low",
                      "--variant-window-size", 1000, "--ld-thold", 0, "--ld-n-samples-avail-prop", 0),
              "exact zeros: computation")
    succeeded(corvane("--bcor", stem + ".bcor", "--merge", 1), "exact zeros: merge")
    with open(stem + ".list", "w") as f:
        f.write("RSID position chromosome A_allele B_allele\n")
        f.writelines("rs%d %d 1 %s\n" % (v + 1, 10000 * (v // 2) + 1 + v % 2, "G A" if v % 2 else "A G")
                     for v in range(2 * len(exact)))
    for listed in ((), ("--incl-variants", stem + ".list")):
        for mode in ("--table", "--matrix"):
            out = stem + (".listed" if listed else "") + mode[1:]
            extra = ("--ld-thold", 0) if mode == "--table" else ()
            succeeded(corvane("--bcor", stem + ".bcor", mode, out, *(listed + extra)), "exact zeros: " + out)
            check.check(not negative_zero(out), "exact zeros: 0, not -0, in " + os.path.basename(out))

# --- The merge's refusals ------------------------------------------------------------------------------
base3 = os.path.join(work, "t3", "ld.bcor")
refused(corvane("--bcor", base3, "--merge", 4), "Error: File '%s_4' cannot be opened!" % base3, "merge of 4 from 3")
refused(corvane("--bcor", base3, "--merge", 2),
        "Error: Number of read variants is not equal to total number of variants operated on!", "merge of 2 from 3")
other = compute_run("other", data, 3, "--ld-n-samples-avail-prop", 0.99)
mixed = os.path.join(work, "mixed", "ld.bcor")
os.makedirs(os.path.dirname(mixed))
for k, source in ((1, base3), (2, other), (3, base3)):
    shutil.copy(source + "_%d" % k, mixed + "_%d" % k)
refused(corvane("--bcor", mixed, "--merge", 3), "Error: Total number of correlations is not the same in each BCOR file!",
        "merge of files from two runs")
with open(base3 + "_2", "rb") as f:
    patched = bytearray(f.read())
struct.pack_into("<Q", patched, 56, struct.unpack_from("<Q", patched, 56)[0] + 1)
shutil.copy(base3 + "_1", mixed + "_1")
with open(mixed + "_2", "wb") as f:
    f.write(patched)
refused(corvane("--bcor", mixed, "--merge", 3),
        "Error: Number of read correlations is not equal to total number of computed correlations!",
        "merge whose stored pairs do not add up")
blocked = os.path.join(work, "blocked", "ld.bcor")
os.makedirs(blocked)  # the merged name is taken by a directory
for k in (1, 2, 3):
    shutil.copy(base3 + "_%d" % k, blocked + "_%d" % k)
refused(corvane("--bcor", blocked, "--merge", 3), "Error: File '%s' cannot be written!" % blocked,
        "merge into a name that cannot be written")

# --- Outputs that cannot be written, and a per-thread file named as input --------------------------------
nowhere = os.path.join(work, "no", "such", "dir", "out.txt")
for mode in ("--meta", "--table", "--matrix"):
    refused(corvane("--bcor", base3, mode, nowhere), "Error: File '%s' cannot be written!" % nowhere,
            "%s into a missing directory" % mode)
refused(corvane("--bcor", base3, "--table", "/dev/full"), "Error: File '/dev/full' cannot be written!",
        "table onto a full device")
refused(corvane("--bcor", base3 + "_1", "--table", os.path.join(work, "x.table")),
        "is a thread-specific BCOR file!", "table of one thread's file")

check.finish()

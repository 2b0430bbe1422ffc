#!/usr/bin/python3
"""The computation end to end: generated data with LD and missing genotypes, computed by the real binary
with several thread counts, chunk sizes, windows, selections and thresholds; the per-thread BCOR files are
decoded here and compared with the plain reference (reference_ld.py) and with each other; on complete data
the correlations are checked against plink1.9 --r. Also the computation's standard output and its stops."""
import math
import os
import re
import resource
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402
import reference_ld as ref  # noqa: E402

args = corvane_test.parse_args()
check = corvane_test.Checker()
work = args.work_dir
testgen = os.path.join(args.tools_dir, "corvane_testgen")

WIDTH = {"low": 2, "medium": 4, "high": 8}
SCALE = {"low": 2.0 ** -15, "medium": 2.0 ** -31, "high": 2.0 ** -63}


def generate(prefix, *extra):
    cmd = [testgen, "--out", os.path.join(work, prefix)] + list(extra)
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    if p.returncode != 0:
        raise SystemExit("corvane_testgen failed: %s\n%s%s" % (" ".join(cmd), p.stdout, p.stderr))
    return os.path.join(work, prefix)


# --- BCOR decoding, from the file format alone -----------------------------------------------------------

class BcorFile:
    def __init__(self, path, last_thread):
        with open(path, "rb") as f:
            data = f.read()
        self.path = path
        (self.header_size, self.n_samples, self.n_variants, self.n_in_file, self.run_start, self.run_end,
         self.first_variant, self.last_variant, self.start_position, self.end_position,
         self.n_corr_records, self.n_count_records) = struct.unpack_from("<12I", data, 0)
        self.total, self.in_file = struct.unpack_from("<2Q", data, 48)
        (length,) = struct.unpack_from("<H", data, 64)
        self.accuracy = data[66:66 + length].decode()
        p = 66 + length
        self.variants = []
        while p < self.header_size:
            (size,) = struct.unpack_from("<I", data, p)
            record = data[p + 4:p + 4 + size]
            (index,) = struct.unpack_from("<I", record, 0)
            self.variants.append(index)
            p += 4 + size
        if p != self.header_size:
            raise ValueError("variant records overrun the header: " + path)
        entries = self.n_in_file - (1 if last_thread else 0)
        corr_table = struct.unpack_from("<%dQ" % entries, data, p)
        count_table = struct.unpack_from("<%dQ" % entries, data, p + 8 * entries)
        p += 16 * entries
        width, scale = WIDTH[self.accuracy], SCALE[self.accuracy]
        magnitude = {2: "<H", 4: "<I", 8: "<Q"}[width]
        self.r = {}
        self.n = {}
        self.table_ok = True
        first_share = self.variants[0] if self.variants else 0
        for kind, count, table in (("r", self.n_corr_records, corr_table),
                                   ("n", self.n_count_records, count_table)):
            for _ in range(count):
                (size,) = struct.unpack_from("<I", data, p)
                record = data[p + 4:p + 4 + size]
                i, entries_in_record = struct.unpack_from("<2I", record, 0)
                k = i - first_share
                if not (0 <= k < len(table)) or table[k] != p:
                    self.table_ok = False
                q = 8
                for _ in range(entries_in_record):
                    (j,) = struct.unpack_from("<I", record, q)
                    if kind == "r":
                        sign = record[q + 4]
                        (m,) = struct.unpack_from(magnitude, record, q + 5)
                        self.r[(i, j)] = m * scale * (1.0 if sign else -1.0)
                        q += 5 + width
                    else:
                        (self.n[(i, j)],) = struct.unpack_from("<I", record, q + 4)
                        q += 8
                if q != size:
                    raise ValueError("record size disagrees with its entries: " + path)
                p += 4 + size
        if p != len(data):
            raise ValueError("bytes after the last record: " + path)
        self.tables_hold = sum(1 for e in corr_table if e) == self.n_corr_records and \
            sum(1 for e in count_table if e) == self.n_count_records


def run_corvane(name, input_args, threads, extra=()):
    out = os.path.join(work, name + ".bcor")
    for f in os.listdir(work):
        if f.startswith(name + ".bcor_"):
            os.remove(os.path.join(work, f))
    res = corvane_test.run(args.corvane, ["--bcor", out] + input_args +
                           ["--n-threads", str(threads)] + list(extra), cwd=work)
    files = [BcorFile("%s_%d" % (out, t + 1), t + 1 == threads) if os.path.exists("%s_%d" % (out, t + 1))
             else None for t in range(threads)]
    return res, files


def combine(files):
    """The run's stored pairs from its per-thread files: {(i, j): r}, {(i, j): n}."""
    r, n = {}, {}
    for f in files:
        r.update(f.r)
        n.update(f.n)
    return r, n


def compare_with_reference(files, expected, n_samples, accuracy, what):
    """Same pairs, r within the quantisation, the same sample counts (stored only below all samples)."""
    r, n = combine(files)
    check.equal(sorted(r), sorted(expected), what + ": stored pairs")
    tolerance = SCALE[accuracy] / 2 + 1e-12
    worst = max([abs(r[k] - expected[k][0]) for k in expected if k in r] + [0.0])
    check.check(worst <= tolerance, "%s: r within the quantisation (worst %.3g)" % (what, worst))
    expected_n = {k: v[1] for k, v in expected.items() if v[1] != n_samples}
    check.equal(n, expected_n, what + ": sample counts")
    check.check(sum(f.in_file for f in files) == len(r), what + ": per-file counts add up")
    check.check(all(f.total == len(r) for f in files), what + ": run total in every header")
    check.check(all(f.table_ok and f.tables_hold for f in files), what + ": offset tables point at records")
    return r, n


# --- data ------------------------------------------------------------------------------------------------
# LD with missing genotypes and two monomorphic variants, as PLINK and BGEN (layout 2, 8 bits) with the
# same genotypes; exact spacing, so that partners lie exactly at the window. A second set with random
# spacing (BGEN layout 1); a third, BGEN only, with uncertain probabilities (16 bits), so that dosages
# are not whole numbers.
exact = generate("exact", "--samples", "120", "--variants", "150", "--seed", "61", "--spacing", "1000",
                 "--no-jitter", "--missing", "0.05", "--monomorphic", "4,33", "--plink", "--bgen",
                 "--sample-ids", "--dosages")
jitter = generate("jitter", "--samples", "90", "--variants", "200", "--seed", "62", "--spacing", "700",
                  "--missing", "0.08", "--plink", "--bgen", "--layout", "1", "--dosages")
soft = generate("soft", "--samples", "70", "--variants", "120", "--seed", "64", "--spacing", "800",
                "--missing", "0.05", "--bgen", "--soft", "0.4", "--bits", "16", "--dosages")
data_exact = ref.read_dosage_table(exact + ".plink.dosages.tsv")
data_exact_bgen = ref.read_dosage_table(exact + ".bgen.dosages.tsv")
data_jitter = ref.read_dosage_table(jitter + ".plink.dosages.tsv")
data_jitter_bgen = ref.read_dosage_table(jitter + ".bgen.dosages.tsv")
data_soft = ref.read_dosage_table(soft + ".dosages.tsv")


def plink(prefix):
    return ["--bplink", prefix]


def bgen(prefix):
    return ["--bgen", prefix + ".bgen"]


# --- thread counts and chunk sizes: the reference, and the same result every time -----------------------
for source, data, window, thold, prop in ((plink(exact), data_exact, 5000, 0.001, 0.1),
                                          (bgen(exact), data_exact_bgen, 5000, 0.001, 0.1),
                                          (plink(exact), data_exact, 12000, 0.0, 0.0),
                                          (bgen(jitter), data_jitter_bgen, 20000, 0.3, 0.9),
                                          (plink(jitter), data_jitter, 20000, 0.3, 0.9),
                                          (bgen(soft), data_soft, 6000, 0.01, 0.5)):
    expected = ref.ld_pairs(data.positions, data.dosages, window, thold, prop)
    check.check(len(expected) > 150, "enough pairs in the reference (%d)" % len(expected))
    first = None
    for threads in (1, 2, 3, 8):
        for chunk in (1, 7, 1000):
            what = "%s window %d thold %g prop %g threads %d chunk %d" % (
                " ".join(source), window, thold, prop, threads, chunk)
            extra = ["--variant-window-size", str(window), "--n-variants-chunk", str(chunk)]
            if (thold, prop) != (0.001, 0.1):
                extra += ["--ld-thold", str(thold), "--ld-n-samples-avail-prop", str(prop)]
            res, files = run_corvane("t", source, threads, extra)
            if not check.equal(res.status, 0, what + ": status") or None in files:
                print(res.stdout[-3000:])
                continue
            pairs = compare_with_reference(files, expected, len(data.sample_ids), "medium", what)
            if first is None:
                first = pairs
            else:
                check.check(pairs == first, what + ": the same pairs and values as 1 thread, chunk 1")
            shares = [(f.variants[0], f.variants[-1]) for f in files if f.variants]
            check.check(all(a[1] + 1 == b[0] for a, b in zip(shares, shares[1:])) and shares[0][0] == 0 and
                        shares[-1][1] == len(data.positions) - 1, what + ": shares cover the run in order")

# The same genotypes through either reader: the same pairs; r agrees (the BGEN dosage counts the other
# allele, which leaves r unchanged).
res_p, files_p = run_corvane("fp", plink(exact), 2, ["--accuracy", "high"])
res_b, files_b = run_corvane("fb", bgen(exact), 3, ["--accuracy", "high"])
if None not in files_p and None not in files_b:
    rp, np_ = combine(files_p)
    rb, nb = combine(files_b)
    check.equal(sorted(rp), sorted(rb), "PLINK and BGEN input: the same pairs")
    check.check(max(abs(rp[k] - rb[k]) for k in rp) < 1e-12, "PLINK and BGEN input: the same r")
    check.equal(np_, nb, "PLINK and BGEN input: the same sample counts")

# --- --accuracy high shows every bit of r: still independent of threads and chunks ------------------------
high = None
for threads, chunk in ((1, 1000), (3, 7), (8, 1)):
    res, files = run_corvane("h", ["--bplink", jitter], threads,
                             ["--accuracy", "high", "--n-variants-chunk", str(chunk),
                              "--variant-window-size", "15000"])
    r, _ = combine(files)
    if high is None:
        high = r
        expected = ref.ld_pairs(data_jitter.positions, data_jitter.dosages, 15000)
        check.equal(sorted(r), sorted(expected), "accuracy high: stored pairs")
        check.check(max(abs(r[k] - expected[k][0]) for k in expected) < 1e-12, "accuracy high: r")
    else:
        check.check(r == high, "accuracy high, %d threads chunk %d: bit-identical r" % (threads, chunk))

# --- --incl-range and --incl-samples ---------------------------------------------------------------------
pos = data_jitter.positions
range_start, range_end = pos[40] - 5, pos[150] + 3  # the run ends at the first variant past the end
first, last = ref.range_indices(pos, range_start, range_end)
kept_ids = data_jitter.sample_ids[::3]
with open(os.path.join(work, "keep.txt"), "w") as f:
    f.write("".join(s + " extra\n" for s in reversed(kept_ids)))
cols = ref.sample_columns(data_jitter.sample_ids, kept_ids)
for source, data in ((plink(jitter), data_jitter), (bgen(jitter) + ["--samples", jitter + ".sample"],
                                                    data_jitter_bgen)):
    expected = ref.ld_pairs(pos, data.dosages, 9000, 0.05, 0.1, first, last, cols)
    for threads, chunk in ((1, 1000), (3, 7), (8, 1)):
        what = "%s range and samples, %d threads chunk %d" % (source[0], threads, chunk)
        res, files = run_corvane("r", source, threads,
                                 ["--incl-range", "%d-%d" % (range_start, range_end), "--incl-samples",
                                  os.path.join(work, "keep.txt"), "--n-variants-chunk", str(chunk),
                                  "--variant-window-size", "9000", "--ld-thold", "0.05"])
        if not check.equal(res.status, 0, what + ": status") or None in files:
            print(res.stdout[-3000:])
            continue
        compare_with_reference(files, expected, len(cols), "medium", what)
        check.check(all(f.first_variant == first and f.last_variant == last for f in files),
                    what + ": run bounds in the headers")
        check.check(files[0].variants[0] == first and files[-1].variants[-1] == last, what + ": shares")
        check.check(all(f.n_samples == len(cols) for f in files), what + ": samples used")

# --- one sample: nothing stored, the run completes --------------------------------------------------------
with open(os.path.join(work, "one.txt"), "w") as f:
    f.write(data_exact.sample_ids[5] + "\n")
res, files = run_corvane("one", ["--bplink", exact], 2, ["--incl-samples", os.path.join(work, "one.txt"),
                                                         "--ld-thold", "0", "--ld-n-samples-avail-prop", "0"])
check.equal(res.status, 0, "one sample: status")
check.check(None not in files and combine(files)[0] == {}, "one sample: no pair stored")
check.check("- Done!" in res.stdout, "one sample: done")

# --- peer: plink1.9 --r on complete data ------------------------------------------------------------------
complete = generate("complete", "--samples", "150", "--variants", "120", "--seed", "63", "--spacing", "900",
                    "--plink")
window_kb = 8
p = subprocess.run(["plink1.9", "--bfile", complete, "--r", "--ld-window", "999999", "--ld-window-kb",
                    str(window_kb), "--ld-window-r2", "0", "--keep-allele-order", "--out",
                    os.path.join(work, "peer")], capture_output=True, text=True, timeout=300)
check.equal(p.returncode, 0, "plink1.9 --r ran")
peer = {}
if p.returncode == 0:
    with open(os.path.join(work, "peer.ld")) as f:
        f.readline()
        for line in f:
            _, bp_a, _, _, bp_b, _, r = line.split()
            peer[(int(bp_a), int(bp_b))] = float(r)
res, files = run_corvane("peer", ["--bplink", complete], 3,
                         ["--variant-window-size", str(window_kb * 1000), "--ld-thold", "0",
                          "--ld-n-samples-avail-prop", "0", "--accuracy", "high"])
check.equal(res.status, 0, "peer run: status")
if None not in files and peer:
    data_complete = ref.read_plink(complete)
    cpos = data_complete.positions
    r, n = combine(files)
    check.equal(n, {}, "complete data: no sample counts stored")
    inside = {k: v for k, v in peer.items() if k[1] - k[0] < window_kb * 1000}
    ours = {(cpos[i], cpos[j]): v for (i, j), v in r.items()}
    check.equal(sorted(ours), sorted(inside), "plink1.9: the same pairs inside the window")
    worst = max(abs(ours[k] - inside[k]) for k in inside if k in ours)
    check.check(worst <= 1e-5, "plink1.9: r within 1e-5 (worst %.2g)" % worst)

# --- standard output of a computation ---------------------------------------------------------------------
res, files = run_corvane("out", ["--bplink", exact], 3, ["--n-variants-chunk", "20"])
out = res.stdout
check.equal(res.status, 0, "output run: status")
settings = out.index("--------\nSETTINGS\n--------\n")
inout = out.index("---------\nIN/OUTPUT\n---------\n")
computing = out.index("\n---------\nCOMPUTING\n---------\n")
final = out.index("\n----\nBCOR\n----\n")
check.check(settings < inout < computing < final, "blocks in order")
check.check("- Number of parallel processes : 3\n" in out and "- Number of variants per chunk : 20\n" in out,
            "settings block")
check.check("- Preprocessing ...    \r- Genomic range      : " in out, "summary overwrites the preprocessing text")
plan = re.findall(r"^- Process (\d) : is handling (.*)$", out, re.M)
check.equal([q for q, _ in plan], ["1", "2", "3"], "one plan line per process")
progress = re.findall(r"^- Process (\d) : is processing variants? (\d+)-(\d+) \((\d+) variants?\) in chunk "
                      r"(\d+)/(\d+)$", out, re.M)
lines = [line for line in out.split("\n") if "is processing" in line]
check.equal(len(progress), len(lines), "every progress line whole")
covered = sorted((int(a), int(b)) for _, a, b, _, _, _ in progress)
check.check(covered[0][0] == 1 and covered[-1][1] == 150 and
            all(x[1] + 1 == y[0] for x, y in zip(covered, covered[1:])), "progress lines cover the run")
check.check(all(int(b) - int(a) + 1 == int(c) and int(c) <= 20 for _, a, b, c, _, _ in progress),
            "progress line counts")
stored = sum(len(f.r) for f in files)
check.check(("- Total number of correlations  : 11175\n- Number of stored correlations : %d\n" % stored) in out,
            "BCOR block with the totals")
check.check(out.endswith("- Done!\n\n"), "ends with Done and an empty line")
check.check(out.index("- Done!") > final and out.rindex("is processing") < final, "progress before BCOR")

single = re.findall(r"is processing variant (\d+)-(\d+) \(1 variant\)",
                    run_corvane("o1", ["--bplink", exact], 2, ["--n-variants-chunk", "1"])[0].stdout)
check.check(len(single) == 150 and all(a == b for a, b in single), "one-variant chunks: singular words")

# --- stops ------------------------------------------------------------------------------------------------
res, files = run_corvane("few", ["--bplink", exact], 8, ["--incl-range", "%d-%d" % (
    data_exact.positions[10], data_exact.positions[12])])
check.equal(res.status, 1, "fewer variants than threads: status 1")
check.check("Error: Requested 8 parallel processes but 3 variants were selected!" in res.stdout,
            "fewer variants than threads: message")
check.check(res.stdout.count("Error: Requested") == 1, "the message printed once")

# A matrix that cannot be allocated: a message and status 1 (48 MB of dosages under a 40 MB limit).


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (40 << 20, 40 << 20))


# Sanitizer runtimes reserve far more address space than the limit and end the process themselves.
if not os.environ.get("CORVANE_SANITIZER"):
    big = generate("big", "--samples", "3000", "--variants", "2000", "--seed", "65", "--plink")
    p = subprocess.run([args.corvane, "--bcor", os.path.join(work, "big.bcor"), "--bplink", big, "--n-threads", "1",
                        "--n-variants-chunk", "2000", "--variant-window-size", "100000000"],
                       capture_output=True, text=True, timeout=300, preexec_fn=limit_memory)
    check.equal(p.returncode, 1, "out of memory: status 1")
    check.check(re.search(r"^Error: Cannot allocate memory for a matrix of \d+ x \d+ values!$", p.stdout, re.M)
                is not None, "out of memory: message")

# Descriptors for only some threads' files: the run is refused before the work, naming the limit and
# what it needs (each thread's inputs and BCOR file, the directory's hold, the descriptor that makes a
# file), with status 1 rather than failing part way. As many
# threads as the binary accepts (--n-threads is capped at the cores), up to eight; half of them would
# find their descriptors. Not under sanitizers, whose runtimes need descriptors of their own.
omp_threads = os.environ.get("OMP_NUM_THREADS", "")
threads = min(8, int(omp_threads) if omp_threads.isdigit() else len(os.sched_getaffinity(0)))
if threads >= 2 and not os.environ.get("CORVANE_SANITIZER"):
    for source, files_per_thread in ((plink(exact), 3), (bgen(exact), 1)):
        limit = 3 + (threads // 2) * files_per_thread  # standard streams, then room for half the threads

        def limit_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

        for attempt in range(3):
            p = subprocess.run([args.corvane, "--bcor", os.path.join(work, "fd.bcor"), "--n-threads", str(threads)]
                               + source, capture_output=True, text=True, timeout=300, preexec_fn=limit_descriptors)
            what = "%s, descriptors for some threads only" % source[0]
            check.equal(p.returncode, 1, what + ": status 1")
            refusal = "Error: The open-file limit (ulimit -n) of %d is below the %d files this run holds at once!" % (
                limit, 3 + threads * (files_per_thread + 1) + 2)
            check.equal(p.stdout.rstrip("\n").split("\n")[-1], refusal, what + ": message")
            check.check("- Done!" not in p.stdout, what + ": no Done")

check.finish()

"""BGEN files written by plink2 (a tool nobody here wrote) read as plink2 itself reports them.

plink2 generates a small data set with fractional dosages and missing genotypes, exports it as
BGEN 1.1, 1.2 (8 and 16 bits, unphased and phased) and 1.3, and as an additive table (--export A).
Every dosage Corvane's reader gives must agree with the table within the probability precision of
the format; the 1.3 file (zstd) must be refused.
"""
import math
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402


def plink2(work, args):
    p = subprocess.run(["plink2"] + args, cwd=work, capture_output=True, text=True, timeout=120)
    if p.returncode != 0:
        raise AssertionError("plink2 %s failed:\n%s" % (" ".join(args), p.stdout + p.stderr))


def load_additive(path):
    """plink2 --export A: per variant (name, counted allele) and per sample the counted dosage."""
    rows = [line.rstrip("\n").split("\t") for line in open(path)]
    columns = [c.rsplit("_", 1) for c in rows[0][6:]]
    iids = [r[1] for r in rows[1:]]
    values = [[None if x == "NA" else float(x) for x in r[6:]] for r in rows[1:]]
    return columns, iids, values


def run_reader(tool, bgen, extra=()):
    p = subprocess.run([tool, bgen] + list(extra), capture_output=True, timeout=120)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


def parse_reader(text):
    lines = text.split("\n")
    samples = lines[0].split()[1:]
    variants = []
    for line in lines[1:]:
        if not line:
            continue
        t = line.split()
        variants.append({"rsid": t[0], "position": int(t[1]), "a": t[3], "b": t[4],
                         "freq_a": float(t[5]), "freq_b": float(t[6]),
                         "dosages": [float(x) for x in t[7:]]})
    return samples, variants


def compare(check, label, reader_out, additive, tolerance, has_ids):
    columns, iids, values = additive
    samples, variants = parse_reader(reader_out)
    # BGEN 1.1 has no sample identifier block; 1.2 carries the IIDs.
    check.equal(samples, iids if has_ids else ["."] * len(iids), label + ": sample identifiers from the file")
    check.equal(len(variants), len(columns), label + ": number of variants")
    worst, mismatched, missing_disagree = 0.0, 0, 0
    for j, v in enumerate(variants[:len(columns)]):
        name, counted = columns[j]
        if v["rsid"] != name or counted not in (v["a"], v["b"]):
            mismatched += 1
            continue
        n = 0
        total = 0.0
        for i, d in enumerate(v["dosages"]):
            expected = values[i][j]
            if expected is None or math.isnan(d):
                missing_disagree += (expected is None) != math.isnan(d)
                continue
            # The reader counts the second allele; the table counts the allele its header names.
            got = d if counted == v["b"] else 2.0 - d
            worst = max(worst, abs(got - expected))
            n += 1
            total += d
        # Frequencies are over the non-missing samples; the B frequency is half the mean dosage.
        if n > 0 and abs(v["freq_b"] - total / n / 2.0) > 1e-3:
            mismatched += 1
        if abs(v["freq_a"] + v["freq_b"] - 1.0) > 1e-3 and n > 0:
            mismatched += 1
    check.equal(mismatched, 0, label + ": variants whose names, alleles or frequencies disagree")
    check.equal(missing_disagree, 0, label + ": samples missing on one side only")
    check.check(worst <= tolerance, "%s: largest dosage difference %g exceeds %g" % (label, worst, tolerance))


def main():
    args = corvane_test.parse_args()
    check = corvane_test.Checker()
    tool = os.path.join(args.tools_dir, "bgen_dosages")
    work = args.work_dir
    if shutil.which("plink2") is None:
        check.check(False, "plink2 is not installed (scripts/setup.sh installs it)")
        check.finish()

    for dataset, dummy_extra in (("unphased", []), ("phased", ["phase-freq=0.7"])):
        d = os.path.join(work, dataset)
        os.makedirs(d)
        plink2(d, ["--dummy", "40", "30", "0.05", "dosage-freq=0.5", "acgt"] + dummy_extra +
               ["--seed", "17", "--make-pgen", "--out", "data"])
        plink2(d, ["--pfile", "data", "--export", "A", "--out", "additive"])
        additive = load_additive(os.path.join(d, "additive.raw"))

        exports = [("bgen-1.1", ["bgen-1.1"], 2.0 / 32768),
                   ("bgen-1.2 bits=8", ["bgen-1.2", "bits=8"], 2.0 / 255),
                   ("bgen-1.2 bits=16", ["bgen-1.2", "bits=16"], 2.0 / 65535)]
        for label, export, precision in exports:
            out = "export_" + "_".join(export).replace("=", "").replace(".", "")
            plink2(d, ["--pfile", "data", "--export"] + export + ["--out", out])
            bgen = os.path.join(d, out + ".bgen")
            label = dataset + " " + label
            status, text, err = run_reader(tool, bgen)
            check.equal(status, 0, label + ": reader status (" + text[-300:] + err + ")")
            if status != 0:
                continue
            # plink2 prints dosages rounded to a few decimals: allow that on top of the format's step.
            compare(check, label, text, additive, precision + 1e-4, export[0] != "bgen-1.1")
            status_t, text_t, _ = run_reader(tool, bgen, ["--table"])
            check.equal((status_t, text_t), (0, text), label + ": probability table path agrees")

        # BGEN 1.3 compresses with zstd (compression value 2): refused, not decoded as garbage.
        plink2(d, ["--pfile", "data", "--export", "bgen-1.3", "--out", "export_13"])
        bgen13 = os.path.join(d, "export_13.bgen")
        status, text, _ = run_reader(tool, bgen13)
        check.equal(status, 1, dataset + " bgen-1.3: exit status")
        check.equal(text, "Error: File '%s' uses a compression method that is not supported!\n\n" % bgen13,
                    dataset + " bgen-1.3: message")

    check.finish()


if __name__ == "__main__":
    main()

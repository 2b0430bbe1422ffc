#!/usr/bin/python3
"""A deliberately plain LD reference for the end-to-end tests.

Every pair is decided one at a time in double precision, in the order Corvane's rules describe:

- a variant's dosages have their missing values (NaN) filled with the mean of its present ones; its
  correlation with another variant is the Pearson correlation of the two filled columns over all samples
  used (NaN when either column is constant, has no value, or there is only one sample);
- pairs (i, j), i < j, are those of the run's variants whose distance pos[j] - pos[i], taken as an unsigned
  32-bit difference, is below the window; i's scan stops at the first partner at or beyond it (so a partner
  with a smaller position also ends it) and never reaches past the run's last variant;
- a pair's sample count is the smaller of the two variants' counts of samples with a dosage (not the count
  of samples with dosages at both);
- a pair is kept when count / samples used >= the availability proportion and |r| >= the LD threshold
  (both inclusive; NaN fails).

Indices are 0-based positions in the genotype input. Importable (ld_pairs, window_pairs, read_dosage_table,
read_plink, range_indices, sample_columns) and runnable:

    reference_ld.py (--dosages FILE.tsv | --bfile PREFIX) [--window BP] [--ld-thold T]
                    [--prop P] [--incl-range START END] [--incl-samples FILE] [--all]

which prints one line per kept pair: i, j, rsid_i, rsid_j, pos_i, pos_j, r (17 significant digits), n.
"""
import argparse
import math
import sys

import numpy as np

DEFAULT_WINDOW = 5000000
DEFAULT_LD_THOLD = 0.001
DEFAULT_PROP = 0.1


class GenotypeData:
    """Variants (dicts with index, chromosome, rsid, position, allele_a, allele_b), sample identifiers and
    a variants x samples matrix of dosages (NaN for missing)."""

    def __init__(self, variants, sample_ids, dosages):
        self.variants = variants
        self.sample_ids = sample_ids
        self.dosages = dosages

    @property
    def positions(self):
        return [v["position"] for v in self.variants]


def read_dosage_table(path):
    """Reads a corvane_testgen --dosages table."""
    variants, rows = [], []
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        sample_ids = header[6:]
        for line in f:
            fields = line.rstrip("\n").split("\t")
            variants.append({"index": int(fields[0]), "chromosome": fields[1], "rsid": fields[2],
                             "position": int(fields[3]), "allele_a": fields[4], "allele_b": fields[5]})
            rows.append([float(x) for x in fields[6:]])
    dosages = np.array(rows, dtype=np.float64).reshape(len(variants), len(sample_ids))
    return GenotypeData(variants, sample_ids, dosages)


def read_plink(prefix):
    """Reads a PLINK 1 binary file set on its own: dosage = copies of the A allele (.bim column 5);
    codes 00, 10, 11 give 2, 1, 0 and 01 is missing."""
    with open(prefix + ".fam") as f:
        sample_ids = [(line.split("\t") if "\t" in line else line.split(" "))[1].rstrip("\n")
                      for line in f if line.strip()]
    variants = []
    with open(prefix + ".bim") as f:
        for k, line in enumerate(f):
            fields = line.rstrip("\n").split("\t") if "\t" in line else line.split()
            variants.append({"index": k, "chromosome": fields[0], "rsid": fields[1],
                             "position": int(fields[3]), "allele_a": fields[4], "allele_b": fields[5]})
    n = len(sample_ids)
    per = (n + 3) // 4
    with open(prefix + ".bed", "rb") as f:
        data = f.read()
    if data[:3] != b"\x6c\x1b\x01":
        raise ValueError("not a SNP-major .bed file: " + prefix + ".bed")
    if len(data) < 3 + per * len(variants):
        raise ValueError(".bed file shorter than its .bim says")
    value = [2.0, math.nan, 1.0, 0.0]
    dosages = np.empty((len(variants), n))
    for v in range(len(variants)):
        record = data[3 + v * per: 3 + (v + 1) * per]
        for i in range(n):
            dosages[v, i] = value[(record[i // 4] >> (2 * (i % 4))) & 3]
    return GenotypeData(variants, sample_ids, dosages)


def range_indices(positions, start, end):
    """First and last variant index of an --incl-range START END selection: the first variant at or past
    START, and the first at or past END (the file's last when none is); None when no variant reaches START."""
    first = last = None
    for i, p in enumerate(positions):
        if first is None and p >= start:
            first = i
        if last is None and p >= end:
            last = i
        if first is not None and last is not None:
            break
    if first is None:
        return None
    if last is None:
        last = len(positions) - 1
    return first, last


def sample_columns(sample_ids, wanted):
    """Columns of the named samples, ascending whatever the list's order (as the readers order them)."""
    where = {s: k for k, s in enumerate(sample_ids)}
    cols = sorted(where[s] for s in wanted)
    if len(set(cols)) != len(cols):
        raise ValueError("a sample is named twice")
    return cols


class _Variant:
    """A variant's centred, mean-filled dosages and its count of samples with a dosage."""

    def __init__(self, x):
        present = ~np.isnan(x)
        self.count = int(present.sum())
        if self.count == 0:
            self.centred = np.full(len(x), math.nan)
        else:
            mean = float(x[present].sum()) / self.count
            filled = np.where(present, x, mean)
            self.centred = filled - mean
            values = x[present]
            if np.all(values == values[0]):
                # Constant: exactly zero spread, even where sum / count rounds away from the value.
                self.centred = np.zeros(len(x))
        self.sum_squares = float(np.dot(self.centred, self.centred))


def _pearson(a, b):
    if len(a.centred) < 2:
        return math.nan
    denominator = math.sqrt(a.sum_squares * b.sum_squares)
    if denominator == 0.0 or math.isnan(denominator):
        return math.nan
    return float(np.dot(a.centred, b.centred)) / denominator


def window_pairs(positions, dosages, window=DEFAULT_WINDOW, first=0, last=None, samples=None):
    """Every pair inside the window: {(i, j): (r, n)} with r possibly NaN, n the pair's sample count."""
    if last is None:
        last = len(positions) - 1
    x = np.asarray(dosages, dtype=np.float64)
    if samples is not None:
        x = x[:, samples]
    prepared = {}

    def variant(k):
        if k not in prepared:
            prepared[k] = _Variant(x[k])
        return prepared[k]

    pairs = {}
    for i in range(first, last + 1):
        for j in range(i + 1, last + 1):
            if (positions[j] - positions[i]) % (1 << 32) >= window:
                break
            a, b = variant(i), variant(j)
            pairs[(i, j)] = (_pearson(a, b), min(a.count, b.count))
    return pairs


def passes(r, n, n_samples, ld_thold=DEFAULT_LD_THOLD, prop=DEFAULT_PROP):
    """Both thresholds, inclusive; a NaN proportion or correlation fails."""
    share = n / n_samples if n_samples > 0 else math.nan
    return share >= prop and abs(r) >= ld_thold


def ld_pairs(positions, dosages, window=DEFAULT_WINDOW, ld_thold=DEFAULT_LD_THOLD, prop=DEFAULT_PROP,
             first=0, last=None, samples=None):
    """The pairs Corvane keeps: {(i, j): (r, n)}."""
    n_samples = len(samples) if samples is not None else np.asarray(dosages).shape[1]
    return {key: value for key, value in
            window_pairs(positions, dosages, window, first, last, samples).items()
            if passes(value[0], value[1], n_samples, ld_thold, prop)}


def main(argv=None):
    p = argparse.ArgumentParser(description="Plain reference LD pairs.")
    source = p.add_mutually_exclusive_group(required=True)
    source.add_argument("--dosages", help="corvane_testgen --dosages table")
    source.add_argument("--bfile", help="PLINK file set prefix")
    p.add_argument("--window", type=int, default=DEFAULT_WINDOW)
    p.add_argument("--ld-thold", type=float, default=DEFAULT_LD_THOLD)
    p.add_argument("--prop", type=float, default=DEFAULT_PROP)
    p.add_argument("--incl-range", type=int, nargs=2, metavar=("START", "END"))
    p.add_argument("--incl-samples", help="file with one sample identifier per line (first field)")
    p.add_argument("--all", action="store_true", help="every pair in the window, thresholds ignored")
    a = p.parse_args(argv)
    data = read_dosage_table(a.dosages) if a.dosages else read_plink(a.bfile)
    first, last = 0, len(data.variants) - 1
    if a.incl_range:
        found = range_indices(data.positions, a.incl_range[0], a.incl_range[1])
        if found is None:
            sys.exit("no variant at or past the start coordinate")
        first, last = found
    samples = None
    if a.incl_samples:
        with open(a.incl_samples) as f:
            samples = sample_columns(data.sample_ids, [line.rstrip("\n").split(" ")[0] for line in f])
    if a.all:
        pairs = window_pairs(data.positions, data.dosages, a.window, first, last, samples)
    else:
        pairs = ld_pairs(data.positions, data.dosages, a.window, a.ld_thold, a.prop, first, last, samples)
    out = sys.stdout
    out.write("i\tj\trsid_i\trsid_j\tpos_i\tpos_j\tr\tn\n")
    for (i, j), (r, n) in sorted(pairs.items()):
        vi, vj = data.variants[i], data.variants[j]
        out.write("%d\t%d\t%s\t%s\t%d\t%d\t%.17g\t%d\n" % (i, j, vi["rsid"], vj["rsid"], vi["position"],
                                                          vj["position"], r, n))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Positions through the binary: a variant list names any BGEN position up to 2^32 - 1 and selects what
the range does, a larger one (1e400 too), one in hexadecimal or with a fraction however small is
refused; a set whose positions go down is refused before any BCOR file is written, for PLINK and BGEN
input, while two variants at one position still compute and merge."""
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
args, check, work, path, corvane = session.args, session.check, session.work, session.path, session.corvane


def generate(prefix, *extra):
    subprocess.run([os.path.join(args.tools_dir, "corvane_testgen"), "--out", prefix, "--samples", "50",
                    "--seed", "31", "--spacing", "1000"] + list(extra), cwd=work, check=True, capture_output=True,
                   timeout=120)


def succeeded(result, what):
    ok = result.status == 0 and "- Done!" in result.stdout and "Error" not in result.stdout
    if not ok:
        print(result.stdout[-1500:])
    check.check(ok, what)


def refused(result, message, what):
    last = result.stdout.rstrip("\n").split("\n")[-1]
    ok = result.status == 1 and last.startswith("Error: ") and message in last
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-1500:]))
    check.check(ok, "%s: status 1, %r" % (what, message))


def pairs(table, listed=None):
    """Pairs of a table by RSID, with correlation and sample count; the numbers in the set are left out."""
    with open(path(table)) as f:
        lines = f.read().splitlines()[1:]
    out = set()
    for line in lines:
        f = line.split(" ")
        if listed is None or (f[2] in listed and f[5] in listed):
            out.add((f[2], f[3], f[5], f[6], f[7], f[8]))
    return out


# --- a variant list of positions near 2^32 ---------------------------------------------------------------
generate("high", "--variants", "40", "--bgen", "--no-jitter", "--start", "4294927295")
succeeded(corvane("--bgen", "high.bgen", "--bcor", "high.bcor", "--n-threads", 2, "--ld-thold", 0), "high compute")
succeeded(corvane("--bcor", "high.bcor", "--merge", 2), "high merge")
succeeded(corvane("--bcor", "high.bcor", "--meta", "high.meta"), "high meta")
with open(path("high.meta")) as f:
    meta = [line.split(" ") for line in f.read().splitlines()[1:]]
chosen = meta[1::5]
with open(path("high.list"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n")
    f.write("".join(" ".join(m[1:6]) + "\n" for m in chosen))
succeeded(corvane("--bcor", "high.bcor", "--table", "list.table", "--incl-variants", "high.list", "--ld-thold", 0,
                  "--ld-n-samples-avail-prop", 0), "table of the list")
succeeded(corvane("--bcor", "high.bcor", "--table", "range.table", "--incl-range", "%s-%s" % (chosen[0][2], chosen[-1][2]),
                  "--ld-thold", 0, "--ld-n-samples-avail-prop", 0), "table of the range")
listed = set(m[1] for m in chosen)
from_list = pairs("list.table")
check.equal(len(from_list), len(chosen) * (len(chosen) - 1) // 2, "the list's pairs are all there")
check.equal(from_list, pairs("range.table", listed), "the list selects what the range does")

with open(path("beyond.list"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n%s 4294967296 %s\n" % (chosen[0][1], " ".join(chosen[0][3:6])))
result = corvane("--bcor", "high.bcor", "--table", "beyond.table", "--incl-variants", "beyond.list")
refused(result, "Error: Position '4294967296' in line 1 in beyond.list is beyond the largest position (4294967295)!",
        "a position past 2^32 - 1")
check.check(not os.path.exists(path("beyond.table")), "no table after the refused list")
# A position in hexadecimal (strtod reads 0x7d0 as 2000) is no position: the list is refused.
for k, text in enumerate(("0x%x" % int(chosen[0][2]), "0X%X" % int(chosen[0][2]))):
    with open(path("hex.list"), "w") as f:
        f.write("RSID position chromosome A_allele B_allele\n%s\n%s %s %s\n" % (
            " ".join(chosen[1][1:6]), chosen[0][1], text, " ".join(chosen[0][3:6])))
    for mode in ("table", "matrix"):
        result = corvane("--bcor", "high.bcor", "--" + mode, "hex.out", "--incl-variants", "hex.list")
        refused(result, "Error: Encountered non-numeric data '%s' in line 2 in hex.list!" % text,
                "a hexadecimal position %s in the list (%s)" % (text, mode))
        check.check(not os.path.exists(path("hex.out")), "no %s after the hexadecimal position" % mode)
# Read exactly: a tiny fraction is no whole number, and 1e400 (past any double) is too large.
exact = [("10000.0000000000001", "Error: Encountered non-numeric data '%s' in line 2 in exact.list!"),
         ("1e400", "Error: Position '%s' in line 2 in exact.list is beyond the largest position (4294967295)!")]
for k, (text, message) in enumerate(exact):
    with open(path("exact.list"), "w") as f:
        f.write("RSID position chromosome A_allele B_allele\n%s\n%s %s %s\n" % (
            " ".join(chosen[1][1:6]), chosen[0][1], text, " ".join(chosen[0][3:6])))
    result = corvane("--bcor", "high.bcor", "--table", "exact%d.out" % k, "--incl-variants", "exact.list")
    refused(result, message % text, "position %s in the list" % text)
    check.check(not os.path.exists(path("exact%d.out" % k)), "no table after position %s" % text)

# --- positions that go down ------------------------------------------------------------------------------
generate("set", "--variants", "30", "--plink", "--bgen")
with open(path("set.bim")) as f:
    bim = [line.split("\t") for line in f.read().splitlines()]


def plink_copy(name, tenth_position):
    for ext in ("bed", "fam"):
        if not os.path.exists(path(name + "." + ext)):
            os.symlink(path("set." + ext), path(name + "." + ext))
    rows = [list(r) for r in bim]
    rows[9][3] = str(tenth_position)
    with open(path(name + ".bim"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in rows))


def no_bcor(prefix):
    return not any(n.startswith(prefix + ".bcor") for n in os.listdir(work))


down = "Error: File '%s' is not sorted by position: variant 11 (rs11) at position %s follows variant 10 (rs10) at " \
       "position 5000000! Sort the set by position first."
plink_copy("unsorted", 5000000)
refused(corvane("--bplink", "unsorted", "--bcor", "unsorted.bcor", "--n-threads", 2),
        down % ("unsorted.bim", bim[10][3]), "unsorted .bim")
check.check(no_bcor("unsorted"), "no BCOR file of the unsorted .bim")
# A drop within a range is refused too; a range before it computes.
plink_copy("lower", bim[2][3])
refused(corvane("--bplink", "lower", "--bcor", "lower.bcor", "--n-threads", 1, "--incl-range",
                "%s-%s" % (bim[5][3], bim[20][3])),
        "variant 10 (rs10) at position %s follows variant 9 (rs9)" % bim[2][3], "unsorted .bim within the range")
succeeded(corvane("--bplink", "unsorted", "--bcor", "before.bcor", "--n-threads", 1, "--incl-range",
                  "%s-%s" % (bim[0][3], bim[7][3])), "a range before the drop")

with open(path("set.bgen"), "rb") as f:
    bgen = bytearray(f.read())
# Layout 2 identifying data: ..., u16 + RSID, u16 + chromosome, u32 position.
mark = struct.pack("<H", 4) + b"rs10" + struct.pack("<H", 1) + b"1"
at = bgen.index(mark) + len(mark)
bgen[at:at + 4] = struct.pack("<I", 5000000)
with open(path("unsorted.bgen"), "wb") as f:
    f.write(bgen)
refused(corvane("--bgen", "unsorted.bgen", "--bcor", "unsorted.bcor", "--n-threads", 2),
        down % ("unsorted.bgen", bim[10][3]), "unsorted BGEN")
check.check(no_bcor("unsorted"), "no BCOR file of the unsorted BGEN file")

plink_copy("equal", bim[8][3])
succeeded(corvane("--bplink", "equal", "--bcor", "equal.bcor", "--n-threads", 2, "--ld-thold", 0),
          "two variants at one position compute")
succeeded(corvane("--bcor", "equal.bcor", "--merge", 2), "and merge")
succeeded(corvane("--bcor", "equal.bcor", "--table", "equal.table", "--ld-thold", 0), "and extract")
check.check(any(p[0] == "rs9" and p[2] == "rs10" for p in pairs("equal.table")), "the pair at one position is stored")

check.finish()

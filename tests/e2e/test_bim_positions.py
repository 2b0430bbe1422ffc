#!/usr/bin/python3
"""The .bim position field through the binary, read whole: 1e+04 and its kin (as R and spreadsheet exports
write 10000) compute the same BCOR files as 10000; a fraction (however small), trailing text, no number,
hexadecimal, a negative number and a number past 4294967295 (1e400 too) are refused with the file, the
line and the text, status 1 and no BCOR file; 4294967295 itself is a position."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
check, work, path, corvane = session.check, session.work, session.path, session.corvane
succeeded = session.succeeded

example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example", "example")
with open(example + ".bim") as f:
    rows = [line.split("\t") for line in f.read().splitlines()]
THREADS = 2


def plink_copy(name, positions):
    """The example set as `name`, with the .bim positions of some lines (from 0) written as given."""
    for ext in ("bed", "fam"):
        shutil.copyfile(example + "." + ext, path(name + "." + ext))
    copy = [list(r) for r in rows]
    for line, text in positions.items():
        copy[line][3] = text
    with open(path(name + ".bim"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in copy))


def compute(name):
    return corvane("--bplink", name, "--bcor", name + ".bcor", "--n-threads", THREADS)


def per_thread_files(name):
    out = []
    for k in range(1, THREADS + 1):
        with open(path("%s.bcor_%d" % (name, k)), "rb") as f:
            out.append(f.read())
    return out


def refused(name, message, what):
    result = compute(name)
    last = result.stdout.rstrip("\n").split("\n")[-1]
    check.equal((result.status, last), (1, message), what)
    left = [n for n in os.listdir(work) if n.startswith(name + ".bcor")]
    check.equal(left, [], what + ": no BCOR file left")


first = rows[0][3]
check.equal(first, "10000", "the example's first position")
plink_copy("plain", {})
succeeded(compute("plain"), "the example as shipped")
plain = per_thread_files("plain")

# --- one number, other spellings: the same files, byte for byte -----------------------------------------
# Line 200 lies in the second thread's share, which that thread parses again on its own.
middle = rows[199][3]
forms = [("1e4", {0: "1e4"}), ("1e+04", {0: "1e+04"}), ("10000.0", {0: "10000.0"}), ("1.0E4", {0: "1.0E4"}),
         ("1e+04 and a later %s.0" % middle, {0: "1e+04", 199: middle + ".0"})]
for k, (what, positions) in enumerate(forms):
    name = "form%d" % k
    plink_copy(name, positions)
    if succeeded(compute(name), "positions written %s compute" % what):
        check.check(per_thread_files(name) == plain, "positions written %s give the plain number's BCOR files" % what)

# --- refused, naming the file, the line and the text -------------------------------------------------------
non_numeric = "Error: Encountered non-numeric data '%s' in column 4 of line %d of file '%s.bim'!"
# strtod would read 0x2710 as 10000: in a .bim file it is damage, not a position.
for name, line, text in [("fraction", 1, "10000.5"), ("trailing", 1, "10000abc"), ("empty", 1, ""),
                         ("letters", 200, "abc"), ("hex", 1, "0x2710"), ("hex_later", 200, "0X7D0"),
                         ("hex_float", 1, "0x1.388p13"), ("infinity", 300, "inf"),
                         ("tiny_fraction", 1, "10000.0000000000001")]:
    plink_copy(name, {line - 1: text})
    refused(name, non_numeric % (text, line, name), "position %r on line %d" % (text, line))
beyond = "Error: Position '%s' in column 4 of line %d of file '%s.bim' is beyond the largest position (4294967295)!"
# 1e400 is past any double, yet plainly a number too large.
for name, line, text in [("beyond", 300, "4294967296"), ("beyond_exponent", 1, "1e400")]:
    plink_copy(name, {line - 1: text})
    refused(name, beyond % (text, line, name), "position %r past 4294967295" % text)
plink_copy("negative", {0: "-5"})
refused("negative", "Error: Encountered negative position in column 4 of file 'negative.bim'!", "a negative position")

# --- the largest position ------------------------------------------------------------------------------------
plink_copy("largest", {299: "4294967295"})
if succeeded(compute("largest"), "a last position of 4294967295 computes"):
    succeeded(corvane("--bcor", "largest.bcor", "--merge", THREADS), "and merges")
    succeeded(corvane("--bcor", "largest.bcor", "--meta", "largest.meta"), "and lists")
    with open(path("largest.meta")) as f:
        last = f.read().splitlines()[-1].split(" ")
    check.equal(last[1:3], [rows[299][1], "4294967295"], "the meta file shows the position")

check.finish()

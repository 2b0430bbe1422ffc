#!/usr/bin/env python3
"""The least open-file limit (ulimit -n) at which each kind of run of the example succeeds.

    bench/open_file_limits.py [--corvane BIN] [--runs 3] [--top 80] [--only NAME,...]

For every configuration (the computation from PLINK and from BGEN, with and without a sample list,
on 1, 2, 4 and 8 threads; the merge of 1, 2, 4 and 8 per-thread files; the meta, matrix and table
runs; the table of an --incl-variants list in the file's order and of one that needs the sort file)
it lowers the soft limit from --top one by one and runs --runs runs at each, and prints the lowest
limit of the unbroken stretch where every run succeeded, with how the first failing run below it
ended. The computation's figures are its need; the other runs' too. A run refused before its work by
the program's own count ends with its message: the line is printed so that the count can be held
against what the run really needs (the count is right when the least limit is the count itself).
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
EXAMPLE = os.path.join(REPO, "example", "example")


def limited(n):
    def set_limit():
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (n, hard))
    return set_limit


def run(binary, argv, work, limit=None):
    p = subprocess.run([binary] + argv, cwd=work, capture_output=True, timeout=600,
                       preexec_fn=limited(limit) if limit else None,
                       env=dict(os.environ, OMP_NUM_THREADS="8"))
    return p.returncode, p.stdout.decode(errors="replace") + p.stderr.decode(errors="replace")


def configurations(binary, work, tools):
    """(name, argv) of every configuration, their inputs made in `work`."""
    def must(argv):
        status, out = run(binary, argv, work)
        if status != 0:
            sys.exit("preparing %s failed:\n%s" % (" ".join(argv), out[-800:]))

    with open(EXAMPLE + ".fam") as f:
        fam = [line.split() for line in f]
    with open(os.path.join(work, "keep.txt"), "w") as f:
        f.writelines("%s\n" % row[1] for row in fam[::2])
    for threads in (1, 2, 4, 8):
        must(["--bplink", EXAMPLE, "--bcor", "m%d.bcor" % threads, "--n-threads", str(threads)])
    with open(EXAMPLE + ".bim") as f:
        bim = [line.split() for line in f]
    with open(os.path.join(work, "list.txt"), "w") as f:
        f.write("RSID position chromosome A_allele B_allele\n")
        f.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in bim)
    # A table of more than 1,048,576 lines of a list out of order puts them in a sort file.
    subprocess.run([os.path.join(tools, "corvane_testgen"), "--out", "big", "--plink", "--samples", "50",
                    "--variants", "1600", "--spacing", "10", "--seed", "7"], cwd=work, check=True,
                   capture_output=True)
    must(["--bplink", "big", "--bcor", "big.bcor", "--n-threads", "1", "--ld-thold", "0"])
    must(["--bcor", "big.bcor", "--merge", "1"])
    with open(os.path.join(work, "big.bim")) as f:
        big = [line.split() for line in f]
    with open(os.path.join(work, "reversed.txt"), "w") as f:
        f.write("RSID position chromosome A_allele B_allele\n")
        f.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in reversed(big))

    configs = []
    for threads in (1, 2, 4, 8):
        t = ["--n-threads", str(threads)]
        configs += [
            ("plink-%d" % threads, ["--bplink", EXAMPLE, "--bcor", "o.bcor"] + t),
            ("plink-list-%d" % threads, ["--bplink", EXAMPLE, "--bcor", "o.bcor", "--incl-samples", "keep.txt"] + t),
            ("bgen-%d" % threads, ["--bgen", EXAMPLE + ".bgen", "--bcor", "o.bcor"] + t),
            ("bgen-samples-%d" % threads, ["--bgen", EXAMPLE + ".bgen", "--bcor", "o.bcor", "--samples",
                                           EXAMPLE + ".sample", "--incl-samples", "keep.txt"] + t),
        ]
    for k in (1, 2, 4, 8):
        configs.append(("merge-%d" % k, ["--bcor", "m%d.bcor" % k, "--merge", str(k)]))
    configs += [
        ("meta", ["--bcor", "m1.bcor", "--meta", "o.meta"]),
        ("matrix", ["--bcor", "m1.bcor", "--matrix", "o.matrix"]),
        ("table", ["--bcor", "m1.bcor", "--table", "o.table"]),
        ("table-list", ["--bcor", "m1.bcor", "--table", "o.table", "--incl-variants", "list.txt"]),
        ("table-sort-file", ["--bcor", "big.bcor", "--table", "o.table", "--incl-variants", "reversed.txt",
                             "--ld-thold", "0"]),
    ]
    return configs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corvane", default=os.path.join(REPO, "build", "corvane"))
    ap.add_argument("--tools", default=os.path.join(REPO, "build", "tests"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--top", type=int, default=80)
    ap.add_argument("--only", default="")
    a = ap.parse_args()
    binary = os.path.abspath(a.corvane)
    work = tempfile.mkdtemp(prefix="corvane-nofile-")
    try:
        only = set(filter(None, a.only.split(",")))
        print("%-18s %5s  %s" % ("run", "least", "below it"))
        for name, argv in configurations(binary, work, os.path.abspath(a.tools)):
            if only and name not in only:
                continue
            least, below = None, ""
            for limit in range(a.top, 3, -1):
                ended = [run(binary, argv, work, limit) for _ in range(a.runs)]
                failed = [(s, out) for s, out in ended if s != 0]
                if failed:
                    status, out = failed[0]
                    errors = [line for line in out.splitlines() if "rror" in line]
                    below = "status %d: %s" % (status, errors[-1].strip() if errors else out.strip()[-120:])
                    break
                least = limit
            print("%-18s %5s  %s" % (name, least, below), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

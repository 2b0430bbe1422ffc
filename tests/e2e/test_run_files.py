#!/usr/bin/python3
"""The files of a run, through the binary: an input that is a pipe, FIFO or device is refused before
any output exists; no output is written over one of the run's own inputs, whatever link reaches it;
CR LF .bim/.fam files compute as their LF copies; a matrix or table run with an empty set leaves no
earlier output behind."""
import hashlib
import os
import shlex
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

args = corvane_test.parse_args()
check = corvane_test.Checker()
work = args.work_dir
binary = os.path.abspath(args.corvane)
NOT_REGULAR = "' is not a regular file: inputs are read more than once, so a pipe or device must be written " \
              "to a file first!"


def path(name):
    return os.path.join(work, name)


def corvane(*argv):
    return corvane_test.run(binary, [str(a) for a in argv], cwd=work, timeout=120)


def shell(command):
    """Runs a bash command line (for pipes and process substitution); corvane is $C."""
    try:
        p = subprocess.run(["bash", "-c", "C=%s; %s" % (shlex.quote(binary), command)], cwd=work,
                           capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        raise AssertionError("corvane hung: " + command)
    return corvane_test.Result(p.returncode, p.stdout.decode("utf-8", "replace"), "")


def digest(name):
    with open(path(name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def succeeded(result, what):
    ok = result.status == 0 and "- Done!" in result.stdout
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-2000:]))
    check.check(ok, what + " ends with status 0 and '- Done!'")


def refused(result, message, what):
    """Status 1, the message once, as the last line, and nothing done."""
    lines = result.stdout.rstrip("\n").split("\n")
    ok = (result.status == 1 and result.stdout.count("Error: ") == 1 and message in lines[-1] and
          "- Done!" not in result.stdout)
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-2000:]))
    check.check(ok, what + ": status 1 and only '%s'" % message)


def generate(prefix):
    p = subprocess.run([os.path.join(args.tools_dir, "corvane_testgen"), "--out", prefix, "--plink",
                        "--samples", "60", "--variants", "30", "--seed", "21", "--missing", "0.05",
                        "--spacing", "1000", "--bgen"], cwd=work, capture_output=True, text=True, timeout=120)
    if p.returncode != 0:
        raise SystemExit("corvane_testgen failed: " + p.stderr)


def compute_and_merge(base, bcor, threads):
    succeeded(corvane("--bplink", base, "--bcor", bcor, "--n-threads", threads, "--ld-thold", 0), "compute " + base)
    succeeded(corvane("--bcor", bcor, "--merge", threads), "merge " + bcor)


generate("d")
compute_and_merge("d", "d.bcor", 2)
succeeded(corvane("--bcor", "d.bcor", "--meta", "d.meta"), "meta of d.bcor")
with open(path("d.meta")) as f:
    meta = [line.split(" ") for line in f.read().splitlines()[1:]]
with open(path("list.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n")
    for v in (meta[3], meta[7]):
        f.write(" ".join(v[1:6]) + "\n")
with open(path("none.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\nnot_there 5 1 A G\n")
with open(path("d.fam")) as f:
    with open(path("keep.txt"), "w") as keep:
        keep.writelines(line.split()[1] + "\n" for line in f.readlines()[:40])


def test_pipe_inputs():
    """Every input of every mode must be a regular file: a pipe read by several threads, or rewound after
    its header check, would give a partial or empty result."""
    os.mkfifo(path("fifo"))  # never written: opening it would hang the run
    for ext in ("bed", "fam"):
        shutil.copy(path("d." + ext), path("f." + ext))
    os.mkfifo(path("f.bim"))
    os.mkfifo(path("pt.bcor_1"))
    cases = [
        ("$C --bcor d.bcor --table p1.out --incl-variants <(cat list.txt)", "/dev/fd/", "p1.out"),
        ("cat list.txt | $C --bcor d.bcor --table p2.out --incl-variants /dev/stdin", "/dev/stdin", "p2.out"),
        ("$C --bcor d.bcor --matrix p3.out --incl-variants fifo", "fifo", "p3.out"),
        ("$C --bcor <(cat d.bcor) --meta p4.out", "/dev/fd/", "p4.out"),
        ("$C --bplink d --bcor p5.bcor --n-threads 2 --incl-samples <(cat keep.txt)", "/dev/fd/", "p5.bcor_1"),
        ("$C --bplink f --bcor p6.bcor --n-threads 1", "f.bim", "p6.bcor_1"),
        ("$C --bcor pt.bcor --merge 1", "pt.bcor_1", "pt.bcor"),
        ("$C --bcor d.bcor --meta p8.out", None, None),  # a regular file still passes
    ]
    for command, named, output in cases:
        r = shell(command)
        if named is None:
            succeeded(r, command)
            continue
        refused(r, NOT_REGULAR, command)
        check.check("Error: File '" + named in r.stdout, command + ": the message names " + named)
        check.check(not os.path.lexists(path(output)), command + ": no output " + output)


def test_self_overwrites():
    """No output of a run may be one of its inputs, by any name: the input is left as it was."""
    compute_and_merge("d", "y.bcor", 1)
    os.remove(path("y.bcor"))
    shutil.copy(path("list.txt"), path("l.txt"))
    shutil.copy(path("d.bgen"), path("c.bcor_1"))  # a genotype file named like the computation's output
    for ext in ("bed", "bim", "fam"):
        shutil.copy(path("d." + ext), path("s." + ext))
    os.symlink("s.bim", path("o.bcor_1"))
    os.symlink("l.txt", path("l.link"))
    os.symlink("l.txt", path("t.out.corvane-sort.tmp"))
    protected = ["y.bcor_1", "l.txt", "c.bcor_1", "s.bim"]
    before = {name: digest(name) for name in protected}
    written = "Error: File '%s' cannot be written: it is the input file '%s' of this run!"
    for link in (os.symlink, os.link):
        link(path("y.bcor_1") if link is os.link else "y.bcor_1", path("y.bcor"))
        refused(corvane("--bcor", "y.bcor", "--merge", 1), written % ("y.bcor", "y.bcor_1"),
                "merge into a %s of its input" % link.__name__)
        os.remove(path("y.bcor"))
    cases = [
        (["--bcor", "d.bcor", "--table", "l.txt", "--incl-variants", "l.txt"], written % ("l.txt", "l.txt")),
        (["--bcor", "d.bcor", "--matrix", "l.link", "--incl-variants", "./l.txt"], written % ("l.link", "./l.txt")),
        (["--bcor", "d.bcor", "--table", "t.out", "--incl-variants", "l.txt"],
         written % ("t.out.corvane-sort.tmp", "l.txt")),
        (["--bgen", "c.bcor_1", "--bcor", "c.bcor", "--n-threads", 1], written % ("c.bcor_1", "c.bcor_1")),
        (["--bplink", "s", "--bcor", "o.bcor", "--n-threads", 2], written % ("o.bcor_1", "s.bim")),
        (["--bcor", "d.bcor", "--meta", "./d.bcor"], "Error: File './d.bcor' cannot be written: it is the BCOR "
                                                     "file being read!"),
    ]
    for argv, message in cases:
        refused(corvane(*argv), message, " ".join(str(a) for a in argv))
    for name in protected:
        check.equal(digest(name), before[name], name + " is unchanged")
    check.check(not os.path.lexists(path("t.out")) and not os.path.lexists(path("c.bcor_2")),
                "no output of a refused run exists")


def test_crlf_plink_set():
    """A set saved with CR LF line ends computes as its LF copy: same merged file, no CR in any allele."""
    for ext in ("bim", "fam"):
        with open(path("d." + ext), "rb") as f:
            text = f.read()
        with open(path("w." + ext), "wb") as f:
            f.write(text.replace(b"\n", b"\r\n"))
    shutil.copy(path("d.bed"), path("w.bed"))
    compute_and_merge("w", "w.bcor", 2)
    check.equal(digest("w.bcor"), digest("d.bcor"), "merged file of the CR LF copy")
    succeeded(corvane("--bcor", "w.bcor", "--table", "w.table", "--incl-variants", "list.txt"), "table of w.bcor")
    r = corvane("--bcor", "w.bcor", "--table", "w.table", "--incl-variants", "list.txt")
    check.check("Number of requested variants     : 2/30" in r.stdout, "the list names both variants of w.bcor")


def test_empty_set_leaves_no_earlier_output():
    """No file means an empty set: an older file at the output path is removed, a link is left."""
    for mode in ("--matrix", "--table"):
        with open(path("old.out"), "w") as f:
            f.write("from an earlier run\n")
        succeeded(corvane("--bcor", "d.bcor", mode, "old.out", "--incl-variants", "none.txt"), mode + " of no variant")
        check.check(not os.path.lexists(path("old.out")), mode + " of no variant removes the earlier output")
    os.symlink("list.txt", path("old.link"))
    succeeded(corvane("--bcor", "d.bcor", "--table", "old.link", "--incl-variants", "none.txt"), "table to a link")
    check.check(os.path.islink(path("old.link")) and digest("list.txt") == digest("old.link"),
                "a link at the output path and its target are left")


test_pipe_inputs()
test_self_overwrites()
test_crlf_plink_set()
test_empty_set_leaves_no_earlier_output()
check.finish()

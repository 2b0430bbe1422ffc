#!/usr/bin/python3
"""The files of a run, through the binary: an input that is a pipe or FIFO is refused before any output
exists; no output is written over one of the run's own inputs, by any link; CR LF .bim/.fam files,
sample files and lists compute and extract as their LF copies; an empty matrix or table set leaves no
earlier output behind, also at the end of a link, which stays."""
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


def path(name):
    return os.path.join(work, name)


def corvane(*argv):
    return corvane_test.run(binary, [str(a) for a in argv], cwd=work, timeout=120)


def digest(name):
    with open(path(name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def outcome(result, status, message, what):
    """The status, and for a refusal its message once, as the last line."""
    ok = result.status == status and (result.stdout.rstrip("\n").split("\n")[-1] == message and
                                      result.stdout.count("Error: ") == 1 if message else "- Done!" in result.stdout)
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-2000:]))
    check.check(ok, "%s: status %d, %s" % (what, status, message or "- Done!"))


def compute_and_merge(base, bcor, threads):
    outcome(corvane("--bplink", base, "--bcor", bcor, "--n-threads", threads, "--ld-thold", 0), 0, None, base)
    outcome(corvane("--bcor", bcor, "--merge", threads), 0, None, "merge " + bcor)


subprocess.run([os.path.join(args.tools_dir, "corvane_testgen"), "--out", "d", "--plink", "--bgen", "--samples",
                "60", "--variants", "30", "--seed", "21", "--missing", "0.05", "--spacing", "1000"], cwd=work,
               check=True, capture_output=True, timeout=120)
compute_and_merge("d", "d.bcor", 2)
with open(path("d.bim")) as f:
    bim = [line.split() for line in f]
with open(path("list.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n")
    f.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in (bim[3], bim[7]))
with open(path("none.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\nnot_there 5 1 A G\n")
with open(path("d.fam")) as f, open(path("keep.txt"), "w") as keep:
    keep.writelines(line.split()[1] + "\n" for line in f.readlines()[:40])

# Inputs are read by every thread and rewound: a pipe must be refused, a FIFO never opened (it would hang).
os.mkfifo(path("fifo"))
os.mkfifo(path("pt.bcor_1"))
for command, named, output in [
        ("$C --bcor d.bcor --table p1 --incl-variants <(cat list.txt)", "/dev/fd/63", "p1"),
        ("cat list.txt | $C --bcor d.bcor --table p2 --incl-variants /dev/stdin", "/dev/stdin", "p2"),
        ("$C --bcor d.bcor --matrix p3 --incl-variants fifo", "fifo", "p3"),
        ("$C --bcor <(cat d.bcor) --meta p4", "/dev/fd/63", "p4"),
        ("$C --bplink d --bcor p5 --n-threads 2 --incl-samples <(cat keep.txt)", "/dev/fd/63", "p5_1"),
        ("$C --bcor pt.bcor --merge 1", "pt.bcor_1", "pt.bcor")]:
    r = corvane_test.run("bash", ["-c", "C=%s; %s" % (shlex.quote(binary), command)], cwd=work, timeout=120)
    outcome(r, 1, "Error: File '%s' is not a regular file: inputs are read more than once, so a pipe or device "
                  "must be written to a file first!" % named, command)
    check.check(not os.path.lexists(path(output)), command + ": no output")

# No output may be an input of its run, by any name; the input stays as it was.
compute_and_merge("d", "y.bcor", 1)
os.remove(path("y.bcor"))
shutil.copy(path("list.txt"), path("l.txt"))
shutil.copy(path("d.bgen"), path("c.bcor_1"))
os.symlink("l.txt", path("l.link"))
before = {name: digest(name) for name in ("y.bcor_1", "l.txt", "c.bcor_1")}
written = "Error: File '%s' cannot be written: it is the input file '%s' of this run!"
for link in (os.symlink, os.link):
    link("y.bcor_1" if link is os.symlink else path("y.bcor_1"), path("y.bcor"))
    outcome(corvane("--bcor", "y.bcor", "--merge", 1), 1, written % ("y.bcor", "y.bcor_1"), link.__name__)
    os.remove(path("y.bcor"))
for argv, message in [
        (["--bcor", "d.bcor", "--table", "l.txt", "--incl-variants", "l.txt"], written % ("l.txt", "l.txt")),
        (["--bcor", "d.bcor", "--matrix", "l.link", "--incl-variants", "./l.txt"], written % ("l.link", "./l.txt")),
        (["--bgen", "c.bcor_1", "--bcor", "c.bcor", "--n-threads", 1], written % ("c.bcor_1", "c.bcor_1"))]:
    outcome(corvane(*argv), 1, message, " ".join(str(a) for a in argv))
for name, value in before.items():
    check.equal(digest(name), value, name + " is unchanged")

# Nor may two outputs of one run be one file, there or not: a link between per-thread names, a
# directory reached by a link and "..", hard links of one file. Refused before the work, nothing
# created or changed, the links kept.
os.mkdir(path("sub"))
os.symlink("sub", path("sub-link"))
os.symlink("a.bcor_1", path("a.bcor_2"))
os.symlink("sub-link/..//b.bcor_1", path("b.bcor_3"))
shutil.copy(path("y.bcor_1"), path("c.bcor_1"))
os.link(path("c.bcor_1"), path("c.bcor_2"))
one_file = "Error: File '%s' cannot be written: it is the output file '%s' of this run!"
for bcor, threads, second, first in (("a.bcor", 2, "a.bcor_2", "a.bcor_1"), ("b.bcor", 3, "b.bcor_3", "b.bcor_1"),
                                     ("c.bcor", 2, "c.bcor_2", "c.bcor_1")):
    listing = sorted(os.listdir(work))
    kept = digest("c.bcor_1")
    r = corvane("--bplink", "d", "--bcor", bcor, "--n-threads", threads)
    outcome(r, 1, one_file % (second, first), "%s and %s lead to one file" % (second, first))
    check.check("Preprocessing" not in r.stdout, bcor + ": before the work")
    check.equal(sorted(os.listdir(work)), listing, bcor + ": nothing created")
    check.equal(digest("c.bcor_1"), kept, bcor + ": the hard-linked file is unchanged")
check.check(os.readlink(path("a.bcor_2")) == "a.bcor_1" and os.readlink(path("b.bcor_3")) == "sub-link/..//b.bcor_1",
            "the links are kept")

# A set saved with CR LF line ends gives the very same merged file.
for ext in ("bim", "fam"):
    with open(path("d." + ext), "rb") as f, open(path("w." + ext), "wb") as w:
        w.write(f.read().replace(b"\n", b"\r\n"))
shutil.copy(path("d.bed"), path("w.bed"))
compute_and_merge("w", "w.bcor", 2)
check.equal(digest("w.bcor"), digest("d.bcor"), "merged file of the CR LF copy")

# So do the sample file and both lists: the same BCOR files, the same table and matrix as from LF copies.
def crlf_copy(name):
    with open(path(name), "rb") as f, open(path("crlf_" + name), "wb") as w:
        w.write(f.read().replace(b"\n", b"\r\n"))
    return "crlf_" + name


def per_thread(bcor):
    return [digest("%s_%d" % (bcor, k)) for k in (1, 2)]


for name in ("d.sample", "keep.txt", "list.txt"):
    crlf_copy(name)
for label, lf, crlf in [
        ("BGEN input with a sample file and a sample list",
         ["--bgen", "d.bgen", "--samples", "d.sample", "--incl-samples", "keep.txt"],
         ["--bgen", "d.bgen", "--samples", "crlf_d.sample", "--incl-samples", "crlf_keep.txt"]),
        ("PLINK input with a sample list", ["--bplink", "d", "--incl-samples", "keep.txt"],
         ["--bplink", "d", "--incl-samples", "crlf_keep.txt"])]:
    outcome(corvane(*(lf + ["--bcor", "lf.bcor", "--n-threads", 2])), 0, None, label + ", LF")
    outcome(corvane(*(crlf + ["--bcor", "crlf.bcor", "--n-threads", 2])), 0, None, label + ", CR LF")
    check.equal(per_thread("crlf.bcor"), per_thread("lf.bcor"), label + ": CR LF gives the LF copy's BCOR files")
for mode in ("--table", "--matrix"):
    for name in ("list.txt", "crlf_list.txt"):
        outcome(corvane("--bcor", "d.bcor", mode, name + ".out", "--incl-variants", name, "--ld-thold", 0), 0, None,
                mode + " of " + name)
    check.equal(digest("crlf_list.txt.out"), digest("list.txt.out"), mode + ": CR LF list gives the LF list's output")
    check.check(os.path.getsize(path("list.txt.out")) > 20, mode + " of the list holds its variants")
# CR alone ends no line (old Mac files): the list is one line, refused, its carriage returns shown as \r.
with open(path("cr.txt"), "w", newline="") as f:
    f.write("ID0\rID1\r")
r = corvane("--bplink", "d", "--incl-samples", "cr.txt", "--bcor", "cr.bcor", "--n-threads", 2)
outcome(r, 1, "Error: File 'cr.txt' includes a sample 'ID0\\rID1 that cannot be found in file 'd.fam'!", "CR-only list")
check.check("\r" not in r.stdout.replace("\r- ", ""), "no message prints a carriage return")

# No file means an empty set: an older file at the output path is removed.
for mode in ("--matrix", "--table"):
    with open(path("old.out"), "w") as f:
        f.write("from an earlier run\n")
    outcome(corvane("--bcor", "d.bcor", mode, "old.out", "--incl-variants", "none.txt"), 0, None, mode)
    check.check(not os.path.lexists(path("old.out")), mode + " of no variant removes the earlier output")
    # Through a link: the file at its end goes, the link stays.
    with open(path("old.target"), "w") as f:
        f.write("from an earlier run\n")
    os.symlink("old.target", path("old.link"))
    outcome(corvane("--bcor", "d.bcor", mode, "old.link", "--incl-variants", "none.txt"), 0, None, mode + " via a link")
    check.check(not os.path.lexists(path("old.target")) and os.path.islink(path("old.link")),
                mode + " of no variant through a link removes the earlier output at its end, keeps the link")
    os.remove(path("old.link"))

check.finish()

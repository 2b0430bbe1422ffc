#!/usr/bin/python3
"""What stands at an output's name, through the binary. A BCOR output that is a FIFO or a device is
refused before the work, and nothing is written into it, reader or not. Every output is a new file at its
name: other names of the earlier file (hard links of a snapshot tree) keep their content whether the run
ends whole or fails; the earlier file stays the earlier file whatever is done to it while the run works.
Where the earlier file cannot be replaced (another user's file in a sticky directory, a directory that
takes no new file or keeps its files, an append-only file) the run is refused before the work and the
file kept."""
import glob
import hashlib
import os
import resource
import signal
import stat
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
check, work, path, corvane = session.check, session.work, session.path, session.corvane
example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example", "example")


def digest(name):
    with open(path(name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run(argv, timeout=20, **kwargs):
    """Status and standard output; a run still waiting after the timeout is killed and counts as None."""
    p = subprocess.Popen([session.binary] + [str(a) for a in argv], cwd=work, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, **kwargs)
    try:
        out = p.communicate(timeout=timeout)[0]
    except subprocess.TimeoutExpired:
        p.kill()
        return None, p.communicate()[0].decode("utf-8", "replace")
    return p.returncode, out.decode("utf-8", "replace")


def last_line(text):
    return text.rstrip("\n").split("\n")[-1]


def names():
    return sorted(os.listdir(work))


check.equal(corvane("--bplink", example, "--bcor", "e.bcor", "--n-threads", 2).status, 0, "computation")
check.equal(corvane("--bcor", "e.bcor", "--merge", 2).status, 0, "merge")

# ---- a BCOR output that is a FIFO or a device ----
# Sought back into, a BCOR file cannot go there: refused before the work, with or without a reader, the
# FIFO left a FIFO and nothing written into it; the run neither waits for a reader nor pushes the file.
os.mkfifo(path("f.bcor_2"))
os.symlink("f.bcor_2", path("lf.bcor"))
for f in ("e.bcor_1", "e.bcor_2"):
    os.link(path(f), path(f.replace("e.", "lf.")))
cases = [(["--bplink", example, "--bcor", "f.bcor", "--n-threads", 2], "f.bcor_2"),
         (["--bcor", "lf.bcor", "--merge", 2], "lf.bcor")]
message = "Error: File '%s' cannot be written: a BCOR file must be a regular file, not a FIFO, device or socket!"
for argv, fifo in cases:
    for reader in (False, True):
        what = "a FIFO at %s, %s" % (fifo, "a reader waiting" if reader else "no reader")
        before = names()
        received = []
        if reader:
            def read_all():
                with open(path("f.bcor_2"), "rb") as f:
                    received.append(f.read())
            thread = threading.Thread(target=read_all, daemon=True)
            thread.start()
        status, out = run(argv)
        check.equal((status, last_line(out)), (1, message % fifo), what + ": refused")
        check.check(stat.S_ISFIFO(os.stat(path("f.bcor_2")).st_mode) and names() == before,
                    what + ": the FIFO stays, nothing is created")
        if reader:
            # Let the reader go, if it still waits: it must have had no byte.
            try:
                os.close(os.open(path("f.bcor_2"), os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass
            thread.join(timeout=10)
            check.equal(received, [b""], what + ": nothing written into it")
os.remove(path("lf.bcor"))
os.symlink("/dev/zero", path("dev.bcor"))
for f in ("e.bcor_1", "e.bcor_2"):
    os.link(path(f), path(f.replace("e.", "dev.")))
status, out = run(["--bcor", "dev.bcor", "--merge", 2])
check.equal((status, last_line(out)), (1, message % "dev.bcor"), "a device at the merged name: refused")

# ---- other names of an earlier output keep their content ----
# A snapshot tree (cp -al, rsync --link-dest) holds hard links to an earlier run's files: a rerun, whole or
# failed part way, writes new files at the names and leaves the snapshot as it was.
os.mkdir(path("snap"))
outputs = {"e.bcor_1": None, "e.bcor_2": None, "e.bcor": None, "e.meta": ["--meta"], "e.table": ["--table"]}
for name, mode in outputs.items():
    if mode:
        check.equal(corvane("--bcor", "e.bcor", *(mode + [name])).status, 0, "earlier " + name)
    os.link(path(name), path("snap/" + name))
snapshot = {name: digest("snap/" + name) for name in outputs}


def limited(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


reruns = [("computation", ["--bplink", example, "--bcor", "e.bcor", "--n-threads", 2, "--ld-thold", 0.2],
           ["e.bcor_1", "e.bcor_2"]),
          ("merge", ["--bcor", "e.bcor", "--merge", 2], ["e.bcor"]),
          ("meta", ["--bcor", "e.bcor", "--meta", "e.meta"], ["e.meta"]),
          ("table", ["--bcor", "e.bcor", "--table", "e.table", "--ld-thold", 0.3], ["e.table"])]
# The thread sanitizer's runtime keeps its own state in files that a file-size limit cuts short.
fail_part_way = os.environ.get("CORVANE_SANITIZER") != "thread"
for what, argv, written in reruns:
    if fail_part_way:
        # Every output here is larger than 10,000 bytes: each run fails part way.
        status, out = run(argv, preexec_fn=limited(10000))
        check.check(status == 1 and "cannot be written!" in last_line(out), what + " past the file-size limit fails")
        check.equal({n: digest("snap/" + n) for n in outputs}, snapshot, what + " failed: the snapshot is unchanged")
    status, out = run(argv)
    check.equal(status, 0, what + " whole")
    check.equal({n: digest("snap/" + n) for n in outputs}, snapshot, what + " whole: the snapshot is unchanged")
    check.check(all(os.stat(path(n)).st_nlink == 1 for n in written), what + ": new files at the names")

# A snapshot taken, or a chmod made, while a computation computes leaves the earlier file the same file:
# a run that then fails past the file-size limit leaves no earlier file at its name, where it would pass
# for this run's result; the snapshot keeps it.
subprocess.run([os.path.join(session.args.tools_dir, "corvane_testgen"), "--out", "mid", "--plink", "--samples",
                "1000", "--variants", "4000", "--spacing", "10", "--seed", "11"], cwd=work, check=True,
               capture_output=True, timeout=120)
computation = ["--bplink", "mid", "--bcor", "h.bcor", "--n-threads", 1, "--ld-thold", 0.2]


def changed_while_computing(change):
    """Status and last line of a computation past the file-size limit, `change` made while it computes."""
    with open(path("h.log"), "wb") as log:
        p = subprocess.Popen([session.binary] + [str(a) for a in computation], cwd=work, stdout=log,
                             stderr=subprocess.DEVNULL, preexec_fn=limited(100000))
    while p.poll() is None and b"SETTINGS" not in session.read("h.log"):
        time.sleep(0.001)
    p.send_signal(signal.SIGSTOP)
    change()
    p.send_signal(signal.SIGCONT)
    p.wait(timeout=120)
    return p.returncode, last_line(session.read("h.log").decode("utf-8", "replace"))


if fail_part_way:
    for what, change in (("a chmod", lambda: os.chmod(path("h.bcor_1"), 0o600)),
                         ("a snapshot", lambda: os.link(path("h.bcor_1"), path("snap/h.bcor_1")))):
        check.equal(corvane(*computation).status, 0, "the earlier computation")
        earlier = digest("h.bcor_1")
        status, last = changed_while_computing(change)
        check.equal((status, last, os.path.exists(path("h.bcor_1"))), (1, "Error: File 'h.bcor_1' cannot be written!",
                    False), what + " while computing, then past the file-size limit: no earlier file at the name")
    check.equal(digest("snap/h.bcor_1"), earlier, "the snapshot taken while computing keeps the earlier file")

# ---- names that cannot be replaced ----
# Another user's file in a sticky directory (/tmp, a shared scratch) and a file in a directory that takes
# no new file cannot be replaced by a new one: refused before the work, the file kept.


def as_nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


if os.geteuid() == 0:
    os.chmod(work, 0o755)
    nobody_ok = subprocess.run([session.binary, "--bcor", "e.bcor", "--meta", "/dev/null"], cwd=work,
                               capture_output=True, timeout=60, preexec_fn=as_nobody).returncode == 0
    if nobody_ok:
        os.mkdir(path("sticky"))
        os.chmod(path("sticky"), 0o1777)
        os.mkdir(path("closed"))
        os.chmod(path("closed"), 0o555)
        for d in ("sticky", "closed"):
            for name in ("s.bcor_1", "s.bcor_2", "s.bcor", "s.table"):
                with open(path(d + "/" + name), "w") as f:
                    f.write("root's file\n")
                os.chmod(path(d + "/" + name), 0o666)
        reason = {"sticky": "it is another user's file in the sticky directory '%s'",
                  "closed": "its directory '%s' takes no new file"}
        for d in ("sticky", "closed"):
            for argv, name in ((["--bplink", example, "--bcor", d + "/s.bcor", "--n-threads", 2], "s.bcor_1"),
                               (["--bcor", "e.bcor", "--table", d + "/s.table"], "s.table")):
                status, out = run(argv, preexec_fn=as_nobody)
                target = d + "/" + name
                check.equal((status, last_line(out)),
                            (1, "Error: File '%s' cannot be replaced: %s!" % (target, reason[d] % d)),
                            "another user's %s in %s: refused" % (name, d))
                check.check("Preprocessing" not in out and "Processing" not in out, target + ": before the work")
                check.equal(sorted(glob.glob(path(d + "/*"))),
                            sorted(path(d + "/" + n) for n in ("s.bcor_1", "s.bcor_2", "s.bcor", "s.table")),
                            target + ": nothing created")
            check.check(all(session.read(d + "/" + n) == b"root's file\n"
                            for n in ("s.bcor_1", "s.bcor_2", "s.bcor", "s.table")), d + ": the files are kept")
        os.chmod(path("closed"), 0o755)
        # The owner of the sticky directory's files replaces them as before.
        status, _ = run(["--bplink", example, "--bcor", "sticky/s.bcor", "--n-threads", 2])
        check.equal(status, 0, "the files' owner in the sticky directory")

# A directory that keeps its files (append-only, chattr +a) takes new files but lets the run neither rename
# its own into place nor remove them: refused before the work, whether a file stands at the name or not,
# nothing created; so is an append-only earlier file, and an append-only TMPDIR for a table's sort file.
os.mkdir(path("keeping"))
os.mkdir(path("keeping-tmp"))
for name in ("keeping/k.table", "a.table"):
    with open(path(name), "w") as f:
        f.write("an earlier table\n")
with open(path("none.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\nrs_none 5 1 A C\n")
marked = [path("keeping"), path("keeping-tmp"), path("a.table")]
chattr = subprocess.run(["chattr", "+a"] + marked, capture_output=True)
if chattr.returncode != 0:
    print("SKIP append-only directories: chattr +a fails here: %s" % chattr.stderr.decode("utf-8", "replace").strip())
else:
    try:
        keeps = "Error: File '%s' cannot be replaced: its directory 'keeping' keeps its files!"
        cases = [(["--bplink", example, "--bcor", "keeping/k.bcor", "--n-threads", 2], keeps % "keeping/k.bcor_1", None),
                 (["--bcor", "e.bcor", "--table", "keeping/k.table"], keeps % "keeping/k.table", None),
                 (["--bcor", "e.bcor", "--table", "a.table"], "Error: File 'a.table' cannot be replaced: it is append-only!",
                  None),
                 (["--bcor", "e.bcor", "--table", "/dev/stdout", "--incl-variants", "none.txt"],
                  "Error: Directory '%s' for the table's sort file keeps its files!" % path("keeping-tmp"),
                  dict(os.environ, TMPDIR=path("keeping-tmp")))]
        def listed():
            # ThreadSanitizer's runtime leaves a file of its own in TMPDIR.
            return names() + os.listdir(path("keeping")) + [n for n in os.listdir(path("keeping-tmp"))
                                                            if not n.startswith("tsan.")]

        for argv, message, env in cases:
            before = listed()
            status, out = run(argv, env=env)
            check.equal((status, last_line(out)), (1, message), " ".join(str(a) for a in argv) + ": refused")
            check.check("Preprocessing" not in out and "Processing" not in out and
                        listed() == before,
                        " ".join(str(a) for a in argv) + ": before the work, nothing created")
        check.equal(session.read("keeping/k.table") + session.read("a.table"), b"an earlier table\n" * 2,
                    "append-only: the earlier files are kept")
    finally:
        subprocess.run(["chattr", "-a"] + marked, capture_output=True)

check.finish()

#!/usr/bin/python3
"""Extractions stopped part way, through the binary: SIGTERM, SIGINT, SIGHUP and the signals schedulers
send before they kill (SIGXCPU, also again and again from a CPU-time limit, SIGUSR1, SIGUSR2) remove the
unfinished file and end the run with status 128 + the signal; after SIGKILL only the unfinished name stays. In
every case nothing is left at the output's path, not even an earlier run's output, also through a link to
nowhere. Two runs writing one path never touch each other's files. The table's sort file is a file of the
run's own, beside the table's final target or in TMPDIR. A signal ignored at the start (nohup) is not
taken. A stop at any moment of a short run ends it one of two ways, never a mix; a stop ends a run within
seconds even when nobody reads its standard output."""
import fcntl
import glob
import hashlib
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
args, check, work, path, corvane = session.args, session.check, session.work, session.path, session.corvane

# Every pair of 2,000 variants stored: a table of some 90 MB that takes a good second to write.
subprocess.run([os.path.join(args.tools_dir, "corvane_testgen"), "--out", "big", "--plink", "--samples", "50",
                "--variants", "2000", "--spacing", "10", "--seed", "7"], cwd=work, check=True,
               capture_output=True, timeout=120)
check.equal(corvane("--bplink", "big", "--bcor", "big.bcor", "--n-threads", 2, "--ld-thold", 0,
                    "--ld-n-samples-avail-prop", 0).status, 0, "compute")
check.equal(corvane("--bcor", "big.bcor", "--merge", 2).status, 0, "merge")



def unfinished_files(name="t.table"):
    """The unfinished files beside a path: its name, ".corvane-unfinished" and the run's own characters."""
    return glob.glob(path(name + ".corvane-unfinished*"))


def no_core():
    # A signal whose default action dumps core (SIGXCPU) must not leave one the size of the run.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def near_cpu_limit():
    """A CPU-time limit of one second (ulimit -S -t 1, SGE's s_cpu), most of it spent before the run."""
    no_core()
    hard = resource.getrlimit(resource.RLIMIT_CPU)[1]
    resource.setrlimit(resource.RLIMIT_CPU, (1, 30 if hard == resource.RLIM_INFINITY else min(30, hard)))
    while sum(os.times()[:2]) < 0.8:
        pass


def size_of(name):
    """0 for a file gone since it was listed: a run moves an earlier output aside under a name of its own
    for the instant of its removal."""
    try:
        return os.path.getsize(name)
    except OSError:
        return 0


for number, name in ((signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT"), (signal.SIGHUP, "SIGHUP"),
                     (signal.SIGXCPU, "SIGXCPU"), (signal.SIGUSR1, "SIGUSR1"), (signal.SIGUSR2, "SIGUSR2"),
                     (signal.SIGKILL, "SIGKILL")):
    with open(path("t.table"), "w") as f:
        f.write("an earlier run's table\n")
    run = subprocess.Popen([session.binary, "--bcor", "big.bcor", "--table", "t.table", "--ld-thold", "0"],
                           cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=no_core)
    # Part way: once some megabytes of the table are written.
    deadline = time.time() + 60
    while run.poll() is None and time.time() < deadline:
        files = unfinished_files()
        if any(size_of(f) > 4 << 20 for f in files):
            break
        time.sleep(0.002)
    part_way = run.poll() is None
    check.check(part_way, name + ": the table was part way when the signal came")
    run.send_signal(number)
    if number == signal.SIGXCPU:
        # As a CPU-time limit sends it: again while the run ends.
        for repeat in range(3):
            time.sleep(0.005)
            run.send_signal(number)
    stdout = run.communicate(timeout=60)[0].decode("utf-8", "replace")
    if number == signal.SIGKILL:
        check.equal(run.returncode, -number, name + ": killed")
        check.check(len(unfinished_files()) == 1, name + ": the unfinished name stays")
    else:
        check.equal(run.returncode, 128 + number, name + ": status 128 + signal")
        last = stdout.rstrip("\n").split("\n")[-1][-200:]
        check.equal(last, "Error: The run was stopped by %s!" % name, name + ": message")
        check.equal(stdout.count("Error: "), 1, name + ": one message")
        check.check(not unfinished_files(), name + ": the unfinished file is removed")
    check.check(not os.path.exists(path("t.table")), name + ": nothing at the table's path")
    for f in unfinished_files():
        os.remove(f)

# A real CPU-time limit: SIGXCPU at the soft limit, again every second up to the hard limit's SIGKILL.
with open(path("t.table"), "w") as f:
    f.write("an earlier run's table\n")
result = subprocess.run([session.binary, "--bcor", "big.bcor", "--table", "t.table", "--ld-thold", "0"], cwd=work,
                        capture_output=True, preexec_fn=near_cpu_limit, timeout=120)
stdout = result.stdout.decode("utf-8", "replace")
check.equal((result.returncode, stdout.rstrip("\n").split("\n")[-1], stdout.count("Error: ")),
            (128 + signal.SIGXCPU, "Error: The run was stopped by SIGXCPU!", 1), "a CPU-time limit: status, message")
check.check(not os.path.exists(path("t.table")) and not unfinished_files(), "a CPU-time limit: no table, nothing left")
for f in unfinished_files():
    os.remove(f)

# Uninterrupted, the table appears whole at its path and nothing else stays.
result = corvane("--bcor", "big.bcor", "--table", "t.table", "--ld-thold", 0)
check.equal(result.status, 0, "whole table")
with open(path("t.table")) as f:
    lines = sum(1 for _ in f)
check.equal(lines, 1 + 2000 * 1999 // 2, "every pair in the whole table")
check.check(not unfinished_files(), "no unfinished file after a whole run")

with open(path("t.table"), "rb") as f:
    whole_table = hashlib.sha256(f.read()).hexdigest()


def digest(name):
    if not os.path.isfile(path(name)):
        return None
    with open(path(name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def start_table(name, log, *extra, **kwargs):
    """A table run with its messages in a file: a pipe that nobody reads would hold it up."""
    with open(path(log), "wb") as out:
        return subprocess.Popen([session.binary, "--bcor", "big.bcor", "--table", name, "--ld-thold", "0"] +
                                [str(a) for a in extra], cwd=work, stdout=out, stderr=subprocess.DEVNULL, **kwargs)


def wait_for_new_file(pattern, known, run):
    """The first file matching `pattern`, not among `known`, that holds some megabytes while `run` runs."""
    deadline = time.time() + 60
    while run.poll() is None and time.time() < deadline:
        for f in glob.glob(path(pattern)):
            if f not in known and size_of(f) > 4 << 20:
                return f
        time.sleep(0.002)
    return None


def wait_for_log(run, log, text):
    deadline = time.time() + 60
    while run.poll() is None and time.time() < deadline:
        with open(path(log), "rb") as f:
            if text in f.read():
                return
        time.sleep(0.001)


def finished(run, log):
    run.wait(timeout=120)
    if not os.path.exists(path(log)):
        return False
    with open(path(log), "rb") as f:
        return run.returncode == 0 and f.read().endswith(b"- Done!\n\n")


# ---- two runs at one path ----
# The second starts while the first writes (a job submitted twice): each writes a file of its own, both
# end whole and the table at the path is whole; stopping either leaves the other's table whole.
for stopped in (None, "first", "second"):
    what = "two runs at one path, %s" % ("both finishing" if stopped is None else "the %s stopped" % stopped)
    first = start_table("t.table", "first.log")
    own_first = wait_for_new_file("t.table.corvane-unfinished*", [], first)
    second = start_table("t.table", "second.log")
    own_second = wait_for_new_file("t.table.corvane-unfinished*", [own_first], second)
    check.check(own_first and own_second and first.poll() is None and second.poll() is None,
                what + ": both were writing at once")
    if stopped:
        run = first if stopped == "first" else second
        run.send_signal(signal.SIGTERM)
        run.wait(timeout=60)
        check.equal(run.returncode, 128 + signal.SIGTERM, what + ": the stopped run's status")
        other, log = (second, "second.log") if stopped == "first" else (first, "first.log")
        check.check(finished(other, log), what + ": the other run ends with status 0 and - Done!")
    else:
        check.check(finished(first, "first.log") and finished(second, "second.log"),
                    what + ": both end with status 0 and - Done!")
    check.equal(digest("t.table"), whole_table, what + ": the table at the path is whole")
    check.equal(unfinished_files(), [], what + ": no unfinished file left")

# The second is held once it has begun its work (its settings are printed), before it writes, while the
# first finishes: the table at the path is then the first's, finished while the second ran, not the file
# that stood there when it began; stopping the second leaves it.
first = start_table("t.table", "first.log")
second = start_table("t.table", "second.log")
wait_for_log(second, "second.log", b"SETTINGS")
second.send_signal(signal.SIGSTOP)
check.check(finished(first, "first.log"), "a held second run: the first ends with status 0 and - Done!")
second.send_signal(signal.SIGCONT)
wait_for_new_file("t.table.corvane-unfinished*", [], second)
second.send_signal(signal.SIGTERM)
second.wait(timeout=60)
check.equal((second.returncode, digest("t.table"), unfinished_files()), (128 + signal.SIGTERM, whole_table, []),
            "a held second run stopped: the first's table stays whole at the path")

# Runs that begin while other runs at the path publish theirs and move the file there aside for an
# instant: each is written beside the path, never through the file that stands there (whose hard link
# keeps its bytes), and none is refused as if the path could not be written.
mover = subprocess.Popen([sys.executable, "-c", """
import os, sys, time
end = time.time() + float(sys.argv[1])
for i in range(1 << 62):
    if time.time() > end:
        break
    if i % 200 == 0:
        with open("mover.new", "w") as f:
            f.write("another run's meta\\n")
        keep = "mover.keep%d" % (i // 200 % 20)
        if os.path.exists(keep):
            os.remove(keep)
        os.link("mover.new", keep)
        os.rename("mover.new", "m.meta")
    try:
        os.rename("m.meta", "m.meta.aside")
        os.rename("m.meta.aside", "m.meta")
    except FileNotFoundError:
        pass
""", "30"], cwd=work)
statuses = []
for _ in range(60):
    statuses.append(corvane("--bcor", "big.bcor", "--meta", "m.meta").status)
mover.kill()
mover.wait()
check.equal(statuses, [0] * len(statuses), "runs beside another run that moves and publishes its file: status 0")
kept = [session.read(k) for k in sorted(glob.glob(path("mover.keep*")))]
check.check(kept and all(k == b"another run's meta\n" for k in kept),
            "runs beside another run that moves and publishes its file: its files keep their bytes")
for f in glob.glob(path("m.meta*")) + glob.glob(path("mover.*")):
    os.remove(f)

# ---- the earlier output, whatever the clocks ----
# The earlier output is the file that stood at the path when the run began, known by identity: one
# stamped ahead of the run's clock (a copy kept with cp -p from a host whose clock is ahead) goes as any
# earlier output goes, with an empty set and with a stop part way; one that appears while the run works
# (another run's, published from a host whose clock is behind) stays.
with open(path("none.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\nrs_none 5 1 A C\n")


def stale_table(ahead):
    with open(path("t.table"), "w") as f:
        f.write("an earlier run's table\n")
    t = time.time() + ahead
    os.utime(path("t.table"), (t, t))


stale_table(3600)
result = corvane("--bcor", "big.bcor", "--table", "t.table", "--incl-variants", "none.txt")
check.equal((result.status, os.path.exists(path("t.table"))), (0, False),
            "an earlier table stamped ahead, an empty set: status 0 and no table")
stale_table(3600)
run = start_table("t.table", "ahead.log")
part_way = wait_for_new_file("t.table.corvane-unfinished*", [], run)
check.check(part_way is not None and run.poll() is None, "an earlier table stamped ahead: the run was part way")
run.send_signal(signal.SIGTERM)
run.wait(timeout=60)
check.equal((run.returncode, os.path.exists(path("t.table")), unfinished_files()), (128 + signal.SIGTERM, False, []),
            "an earlier table stamped ahead, a stop part way: nothing at the path")
# A long list of variants the file does not hold keeps the run reading, with an empty set at its end.
with open(path("long.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n")
    f.writelines("rs_none%d %d 1 A C\n" % (k, k + 1) for k in range(400000))
run = start_table("t.table", "published.log", "--incl-variants", "long.txt")
wait_for_log(run, "published.log", b"SETTINGS")
run.send_signal(signal.SIGSTOP)
stale_table(-3600)
run.send_signal(signal.SIGCONT)
run.wait(timeout=60)
check.equal((run.returncode, digest("t.table") is not None), (0, True),
            "a table published while an empty-set run worked, stamped behind its clock: it stays")
if os.path.exists(path("t.table")):
    os.remove(path("t.table"))

# Held from before the work: a chmod, a touch or a hard link (a snapshot made with cp -al) given to the
# earlier table while the run reads its list leaves it the earlier table, which goes with an empty set
# and with a stop part way; the snapshot's link keeps it.
with open(path("big.bim")) as f, open(path("held.txt"), "w") as held:
    held.write("RSID position chromosome A_allele B_allele\n")
    held.writelines("rs_none%d %d 1 A C\n" % (k, k + 1) for k in range(1000000))
    held.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in (line.split() for line in f))


def snapshot():
    if os.path.exists(path("snap.table")):
        os.remove(path("snap.table"))
    os.link(path("t.table"), path("snap.table"))


changes = (("a chmod", lambda: os.chmod(path("t.table"), 0o600)), ("a touch", lambda: os.utime(path("t.table"))),
           ("a hard link", snapshot))
for what, change in changes:
    for variants in ("long.txt", "held.txt"):
        stale_table(0)
        run = start_table("t.table", "held.log", "--incl-variants", variants)
        wait_for_log(run, "held.log", b"SETTINGS")
        run.send_signal(signal.SIGSTOP)
        change()
        run.send_signal(signal.SIGCONT)
        if variants == "long.txt":
            run.wait(timeout=60)
            check.equal((run.returncode, os.path.exists(path("t.table"))), (0, False),
                        "an earlier table given %s while the run worked, an empty set: no table" % what)
            continue
        wait_for_new_file("t.table.corvane-unfinished*", [], run)
        run.send_signal(signal.SIGTERM)
        run.wait(timeout=60)
        check.equal((run.returncode, os.path.exists(path("t.table")), unfinished_files()),
                    (128 + signal.SIGTERM, False, []),
                    "an earlier table given %s while the run worked, a stop part way: nothing at the path" % what)
check.equal(session.read("snap.table"), b"an earlier run's table\n", "the snapshot's link keeps the earlier table")

# ---- stopped through a link to nowhere ----
# Nothing may stand at the link's target afterwards that could pass for a whole table; the link stays.
os.mkdir(path("sub"))
os.symlink("sub/t.table", path("l.table"))
for number in (signal.SIGTERM, signal.SIGKILL):
    what = "a link to nowhere, %s part way" % signal.Signals(number).name
    run = start_table("l.table", "link.log")
    part_way = wait_for_new_file("sub/t.table.corvane-unfinished*", [], run)
    check.check(part_way is not None and run.poll() is None, what + ": the table was part way")
    run.send_signal(number)
    run.wait(timeout=60)
    check.equal(run.returncode, 128 + number if number != signal.SIGKILL else -number, what + ": status")
    check.check(not os.path.lexists(path("sub/t.table")), what + ": nothing at the link's target")
    check.check(os.path.islink(path("l.table")) and os.readlink(path("l.table")) == "sub/t.table",
                what + ": the link stays")
    for f in unfinished_files("sub/t.table") + [path("sub/t.table")]:
        if os.path.lexists(f):
            os.remove(f)

# ---- a directory link re-pointed while the run works ----
# `ln -sfn B dl` while a run writes dl/x.table: the run's own files stay in the directory that the link
# named when the run began. A run that finishes puts its table there; one that is stopped or fails part
# way leaves nothing of its own in either directory, and B's table stays.
# The thread sanitizer's runtime keeps its own state in files that a file-size limit cuts short.
def file_size_limit():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (40 << 20, 40 << 20))


for ending in ("finishes", "stopped", "fails") if os.environ.get("CORVANE_SANITIZER") != "thread" else \
        ("finishes", "stopped"):
    what = "a directory link re-pointed while the run writes, the run %s" % ending
    for d in ("A", "B"):
        os.mkdir(path(d))
    session.write("A/x.table", b"an earlier run's table\n")
    session.write("B/x.table", b"B's table\n")
    os.symlink("A", path("dl"))
    run = start_table("dl/x.table", "dl.log", preexec_fn=file_size_limit if ending == "fails" else None)
    part_way = wait_for_new_file("A/x.table.corvane-unfinished*", [], run)
    os.symlink("B", path("dl.new"))
    os.rename(path("dl.new"), path("dl"))
    check.check(part_way is not None and run.poll() is None, what + ": re-pointed part way")
    if ending == "stopped":
        run.send_signal(signal.SIGTERM)
    run.wait(timeout=120)
    with open(path("dl.log"), "rb") as f:
        last = f.read().decode("utf-8", "replace").rstrip("\n").split("\n")[-1]
    expected = {"finishes": (0, "- Done!"), "stopped": (143, "Error: The run was stopped by SIGTERM!"),
                "fails": (1, "Error: File 'dl/x.table' cannot be written!")}[ending]
    check.equal((run.returncode, last), expected, what + ": status and last line")
    check.equal((sorted(os.listdir(path("A"))), os.listdir(path("B")), session.read("B/x.table")),
                (["x.table"] if ending == "finishes" else [], ["x.table"], b"B's table\n"),
                what + ": what each directory holds")
    if ending == "finishes":
        check.equal(digest("A/x.table"), whole_table, what + ": the table is whole, where the link led at the start")
    for d in ("A", "B"):
        shutil.rmtree(path(d))
    os.remove(path("dl"))

# ---- the table's sort file ----
# A list in reverse order: all 1,999,000 lines wait for the sort, more than memory holds, so they go
# to a sort file, created under a name of the run's own beside the file at the end of the table's
# links, or in TMPDIR when the table is no regular file; never through what stands at a name.
with open(path("big.bim")) as f:
    bim = [line.split() for line in f]
with open(path("reverse.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n")
    f.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in reversed(bim))


def run_watching(name, log, pattern, env=None):
    """A table of the reversed list; the files matching `pattern` seen while it ran."""
    run = start_table(name, log, "--incl-variants", "reverse.txt", env=env)
    seen = set()
    while run.poll() is None:
        seen.update(glob.glob(path(pattern)))
        time.sleep(0.002)
    seen.update(glob.glob(path(pattern)))
    return run, seen


run, seen = run_watching("r.table", "r.log", "r.table.corvane-sort-*")
check.check(finished(run, "r.log") and len(seen) == 1, "a reversed list: one sort file, beside the table")
reversed_table = digest("r.table")
with open(path("r.table")) as f:
    check.equal(sum(1 for _ in f), 1 + 2000 * 1999 // 2, "every pair in the reversed list's table")

# A link at the old fixed name, to a user's file: the file stays as it was, the link too.
with open(path("precious.txt"), "w") as f:
    f.write("a user's file\n")
os.symlink("precious.txt", path("p.table.corvane-sort.tmp"))
run, seen = run_watching("p.table", "p.log", "p.table.corvane-sort-*")
check.check(finished(run, "p.log") and len(seen) == 1, "a link at the old sort name: the sort file beside the table")
check.equal(digest("p.table"), reversed_table, "a link at the old sort name: the table is whole")
with open(path("precious.txt"), "rb") as f:
    check.equal(f.read(), b"a user's file\n", "a link at the old sort name: the user's file is unchanged")
check.check(os.path.islink(path("p.table.corvane-sort.tmp")), "the link at the old sort name stays")
if os.path.lexists(path("p.table.corvane-sort.tmp")):
    os.remove(path("p.table.corvane-sort.tmp"))

# Through a link: beside the link's target.
os.symlink("sub/final.table", path("lf.table"))
run, seen = run_watching("lf.table", "lf.log", "sub/final.table.corvane-sort-*")
check.check(finished(run, "lf.log") and len(seen) == 1, "a table through a link: the sort file beside its target")
check.equal(digest("sub/final.table"), reversed_table, "a table through a link: the target is whole")

# To /dev/stdout: in TMPDIR; the table whole in the job's log.
os.mkdir(path("tmp"))
env = dict(os.environ, TMPDIR=path("tmp"))
run, seen = run_watching("/dev/stdout", "s.log", "tmp/corvane-sort-*", env=env)
check.check(finished(run, "s.log") and len(seen) == 1, "a table to /dev/stdout: the sort file in TMPDIR")
with open(path("r.table"), "rb") as t:
    log = open(path("s.log"), "rb").read() if os.path.exists(path("s.log")) else b""
    check.check(t.read() in log, "a table to /dev/stdout: the whole table in the log")
check.equal(os.listdir(path("tmp")), [], "a table to /dev/stdout: TMPDIR left empty")
check.check(not glob.glob("/dev/stdout.corvane*") and not glob.glob("/dev/*corvane-sort*"), "nothing in /dev")

# A TMPDIR that takes no file is refused before the work.
env = dict(os.environ, TMPDIR=path("no-such-directory"))
result = subprocess.run([session.binary, "--bcor", "big.bcor", "--table", "/dev/stdout", "--incl-variants",
                         "reverse.txt"], cwd=work, capture_output=True, timeout=120, env=env)
stdout = result.stdout.decode("utf-8", "replace")
check.equal((result.returncode, stdout.rstrip("\n").split("\n")[-1], "Processing" in stdout),
            (1, "Error: Directory '%s' for the table's sort file cannot be written!" % path("no-such-directory"),
             False), "a TMPDIR that takes no file: refused before the work")

check.equal(glob.glob(path("*corvane-*")) + glob.glob(path("sub/*corvane-*")), [], "nothing left beside any table")

def line_count(name):
    if not os.path.exists(path(name)):
        return None
    with open(path(name)) as f:
        return sum(1 for _ in f)


# ---- signals ignored at the start ----
# nohup ignores SIGHUP, a script's background job SIGINT, `trap '' TERM` SIGTERM: the run goes on and
# ends as it would have.
def ignoring(*numbers):
    def preexec():
        for number in numbers:
            signal.signal(number, signal.SIG_IGN)
    return preexec


def written_part_way(output, size):
    """Whether the run's unfinished file for `output`, by whatever name, holds `size` bytes."""
    return any(size_of(path(name)) >= size for name in os.listdir(work)
               if name.startswith(output + ".corvane-unfinished"))


def stopped_part_way(argv, number, preexec, part_way):
    """Runs corvane, sends `number` once part_way() holds, and returns (status, standard output)."""
    run = subprocess.Popen([session.binary] + argv, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           preexec_fn=preexec, bufsize=0)
    first = run.stdout.readline()
    deadline = time.time() + 60
    while run.poll() is None and time.time() < deadline and not part_way():
        time.sleep(0.002)
    check.check(run.poll() is None, "%s: still running when %s came" % (" ".join(argv), number.name))
    run.send_signal(number)
    stdout = first + run.communicate(timeout=120)[0]
    return run.returncode, stdout.decode("utf-8", "replace")


for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
    status, stdout = stopped_part_way(["--bcor", "big.bcor", "--table", "t.table", "--ld-thold", "0"], number,
                                      ignoring(number), lambda: written_part_way("t.table", 4 << 20))
    check.equal((status, stdout[-9:]), (0, "- Done!\n\n"), "table, %s ignored at the start: whole run" % number.name)
    check.equal(line_count("t.table"), 1 + 2000 * 1999 // 2, "table, %s ignored at the start: every pair" % number.name)
    status, stdout = stopped_part_way(["--bplink", "big", "--bcor", "n.bcor", "--n-threads", "2"], number,
                                      ignoring(number), lambda: True)
    check.equal((status, stdout[-9:]), (0, "- Done!\n\n"), "computation, %s ignored at the start" % number.name)
    check.check(os.path.exists(path("n.bcor_1")) and os.path.exists(path("n.bcor_2")),
                "computation, %s ignored at the start: both files" % number.name)
# A scheduler's notice to a job started with it ignored.
for number in (signal.SIGXCPU, signal.SIGUSR1, signal.SIGUSR2):
    status, stdout = stopped_part_way(["--bplink", "big", "--bcor", "u.bcor", "--n-threads", "2"], number,
                                      ignoring(number), lambda: True)
    check.equal((status, stdout[-9:]), (0, "- Done!\n\n"), "computation, %s ignored at the start" % number.name)
    check.check(os.path.exists(path("u.bcor_1")) and os.path.exists(path("u.bcor_2")),
                "computation, %s ignored at the start: both files" % number.name)
# Under nohup the other stop signals still stop the run.
status, stdout = stopped_part_way(["--bcor", "big.bcor", "--table", "h.table", "--ld-thold", "0"], signal.SIGTERM,
                                  ignoring(signal.SIGHUP), lambda: written_part_way("h.table", 1 << 20))
check.equal((status, stdout.rstrip("\n").split("\n")[-1][-40:]), (143, "Error: The run was stopped by SIGTERM!"),
            "SIGTERM under nohup")
check.check(not os.path.exists(path("h.table")), "SIGTERM under nohup: no table")


# ---- a stop at any moment of a short run ----
# Either status 0, "- Done!" last and every output whole at its path, or status 128 + the signal, the
# stop message last and no output of the run at its path. The moments span the run and a little past
# its end, where finishing and stopping race.
example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example", "example")
check.equal(corvane("--bplink", example, "--bcor", "s.bcor", "--n-threads", 2).status, 0, "short computation")
for k in (1, 2):
    with open(path("s.bcor_%d" % k), "rb") as f, open(path("g.bcor_%d" % k), "wb") as g:
        g.write(f.read())
check.equal(corvane("--bcor", "s.bcor", "--merge", 2).status, 0, "short merge")
short_runs = [
    ("computation", ["--bplink", example, "--bcor", "c.bcor", "--n-threads", "2"], ["c.bcor_1", "c.bcor_2"]),
    ("merge", ["--bcor", "g.bcor", "--merge", "2"], ["g.bcor"]),
    ("meta", ["--bcor", "s.bcor", "--meta", "s.meta"], ["s.meta"]),
    ("matrix", ["--bcor", "s.bcor", "--matrix", "s.matrix"], ["s.matrix"]),
    ("table", ["--bcor", "s.bcor", "--table", "s.table"], ["s.table"])]
moments = random.Random(25)
repeats = 150 if not os.environ.get("CORVANE_SANITIZER") else 20
for mode, argv, outputs in short_runs:
    # How long the run takes from its first line to "- Done!", the median of five (the process's exit,
    # which a sanitizer's runtime can make long, does not count).
    durations = []
    for attempt in range(5):
        run = subprocess.Popen([session.binary] + argv, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               bufsize=0)
        received = run.stdout.readline()
        start = time.time()
        while b"- Done!" not in received[-4096:]:
            chunk = os.read(run.stdout.fileno(), 1 << 16)
            if not chunk:
                break
            received += chunk
        durations.append(time.time() - start)
        run.communicate(timeout=120)
    duration = sorted(durations)[2]
    whole = {name: digest(name) for name in outputs}
    endings = {"finished": 0, "stopped": 0}
    faults = {}
    for attempt in range(repeats):
        for name in outputs:
            if os.path.exists(path(name)):
                os.remove(path(name))
        number = moments.choice([signal.SIGTERM, signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
        moment = moments.uniform(0.1 * duration, 1.2 * duration)
        # Unbuffered: communicate() reads past what a buffered readline() took.
        run = subprocess.Popen([session.binary] + argv, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               bufsize=0)
        first = run.stdout.readline()  # the signals are taken from before the first line
        time.sleep(moment)
        run.send_signal(number)
        stdout = (first + run.communicate(timeout=120)[0]).decode("utf-8", "replace")
        last = stdout.rstrip("\n").split("\n")[-1]
        present = [name for name in outputs if os.path.exists(path(name))]
        left = [name for name in os.listdir(work) if ".corvane-" in name]
        if run.returncode == 0:
            ending = "finished"
            ok = stdout.endswith("- Done!\n\n") and present == outputs and \
                all(digest(name) == whole[name] for name in outputs)
        elif run.returncode == 128 + number:
            ending = "stopped"
            ok = last == "Error: The run was stopped by %s!" % number.name and not present and "- Done!" not in stdout
        else:
            ending, ok = "status %d" % run.returncode, False
        endings[ending] = endings.get(ending, 0) + 1
        if not ok or left:
            fault = "%s, last line %r, outputs %d of %d, left %r" % (ending, last[-45:], len(present), len(outputs), left)
            faults[fault] = faults.get(fault, 0) + 1
        for name in left:
            os.remove(path(name))
    print("%s: %s" % (mode, endings))
    check.equal(faults, {}, "%s stopped at %d moments %s: one ending or the other" % (mode, repeats, endings))

# ---- a stop while standard output is full ----
# A reader that stops reading (`| sleep 25`) leaves the run blocked in a write: the stop still removes the
# files and ends the run within seconds, its message given up.
reader, writer = os.pipe()
run = subprocess.Popen([session.binary, "--bcor", "big.bcor", "--table", "f.table", "--ld-thold", "0"], cwd=work,
                       stdout=writer, stderr=subprocess.DEVNULL)
os.close(writer)
deadline = time.time() + 60
while run.poll() is None and time.time() < deadline and \
        struct.unpack("i", fcntl.ioctl(reader, termios.FIONREAD, b"\0\0\0\0"))[0] < 60000:
    time.sleep(0.01)
time.sleep(0.2)
check.check(run.poll() is None, "full standard output: the run is still writing")
start = time.time()
run.send_signal(signal.SIGTERM)
try:
    run.wait(timeout=15)
except subprocess.TimeoutExpired:
    run.kill()
    run.wait()
took = time.time() - start
check.check(run.returncode == 143 and took < 5, "full standard output: SIGTERM ends the run in %.1f s, status %d"
            % (took, run.returncode))
check.check(not [name for name in os.listdir(work) if name.startswith("f.table")], "full standard output: no table")
os.close(reader)

check.finish()

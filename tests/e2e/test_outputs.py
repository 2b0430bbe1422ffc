#!/usr/bin/python3
"""Outputs, through the binary: an output that cannot be created (a missing directory, a directory at its
path) ends the run before any genotype or record is read, and an earlier run's files stay byte for byte;
a computation whose writing step fails leaves none of its per-thread files, on 1, 2 and 8 threads, every
time; a meta, matrix or table that names the run's own standard output (or error) comes whole between
its messages, and one through links keeps every link and replaces the file at their end; one named by a
descriptor (/dev/fd/N) is written through it, whatever became of the file's name. The file-size
limit fails a write as a full disk does; a reader that closes standard output stops the run (status 141)
with the same clean-up."""
import glob
import hashlib
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
check, work, path, corvane = session.check, session.work, session.path, session.corvane
example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example", "example")


def digest(name):
    with open(path(name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def refused(result, message, what):
    """Status 1 and the message as the last line, before the run printed any of its work."""
    last = result.stdout.rstrip("\n").split("\n")[-1]
    ok = result.status == 1 and last == message and "Preprocessing" not in result.stdout and \
        "Merging" not in result.stdout and "Processing" not in result.stdout
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-1500:]))
    check.check(ok, "%s: status 1, %s, before the work" % (what, message))


def per_thread_files(bcor):
    return sorted(glob.glob(path(bcor + "_*")))


check.equal(corvane("--bplink", example, "--bcor", "e.bcor", "--n-threads", 3).status, 0, "earlier run")
earlier = {k: digest("e.bcor_%d" % k) for k in (1, 2)}
check.equal(corvane("--bcor", "e.bcor", "--merge", 3).status, 0, "earlier merge")

# ---- outputs that cannot be created ----
refused(corvane("--bplink", example, "--bcor", "nodir/x.bcor", "--n-threads", 8),
        "Error: File 'nodir/x.bcor_1' cannot be opened!", "computation into a missing directory")
os.remove(path("e.bcor_3"))
os.mkdir(path("e.bcor_3"))
refused(corvane("--bplink", example, "--bcor", "e.bcor", "--n-threads", 3),
        "Error: File 'e.bcor_3' cannot be opened!", "a directory at a per-thread file's name")
check.equal({k: digest("e.bcor_%d" % k) for k in (1, 2)}, earlier, "the earlier run's files are unchanged")
for mode in ("--meta", "--matrix", "--table"):
    refused(corvane("--bcor", "e.bcor", mode, "nodir/out"), "Error: File 'nodir/out' cannot be written!",
            mode + " into a missing directory")
    refused(corvane("--bcor", "e.bcor", mode, "e.bcor_3"), "Error: File 'e.bcor_3' cannot be written!",
            mode + " to a directory")
os.rmdir(path("e.bcor_3"))
refused(corvane("--bcor", "nodir/e.bcor", "--merge", 2), "Error: File 'nodir/e.bcor' cannot be written!",
        "merge into a missing directory")

# ---- a writing step that fails ----
# A file-size limit below the largest per-thread file fails that thread's writes (EFBIG, with SIGXFSZ
# ignored) while the other threads complete theirs: none of the set may stay.
# The thread sanitizer's runtime keeps its own state in files that the limit cuts short (SIGBUS).
for threads in (1, 2, 8) if os.environ.get("CORVANE_SANITIZER") != "thread" else ():
    check.equal(corvane("--bplink", example, "--bcor", "s.bcor", "--n-threads", threads).status, 0,
                "sizes on %d threads" % threads)
    sizes = {f: os.path.getsize(f) for f in per_thread_files("s.bcor")}
    largest = max(sizes, key=sizes.get)
    limit = sizes[largest] - 1
    for f in sizes:
        os.remove(f)

    def limited(limit=limit):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    message = "Error: File '%s' cannot be written!" % os.path.basename(largest).replace("s.bcor", "f.bcor")
    for attempt in range(5):
        p = subprocess.run([session.binary, "--bplink", example, "--bcor", "f.bcor", "--n-threads", str(threads)],
                           cwd=work, capture_output=True, timeout=120, preexec_fn=limited)
        last = p.stdout.decode().rstrip("\n").split("\n")[-1]
        left = [os.path.basename(f) for f in per_thread_files("f.bcor")]
        ok = p.returncode == 1 and last == message and not left
        if not ok:
            print("status %d, last line %r, left %r" % (p.returncode, last, left))
        check.check(ok, "%d threads, writing fails (run %d): status 1, %s, no file left" % (threads, attempt, message))
        for f in per_thread_files("f.bcor"):
            os.remove(f)

# ---- outputs that name the run's own standard output ----
# Written through it, in order with the messages: with > the messages after the output do not
# overwrite it, with >> the earlier content stays, and the file is never removed or replaced.
references = {"--meta": "ref.meta", "--matrix": "ref.matrix", "--table": "ref.table"}
for mode, reference in references.items():
    session.succeeded(corvane("--bcor", "e.bcor", mode, reference), mode + " to a file")
# The line right before the output, and everything after it.
around = {
    "--meta": ("- Number of variants : 300/300\n", "- Done!\n\n"),
    "--matrix": ("- Writing matrix                   : \n", "- Writing matrix                   : done!\n- Done!\n\n"),
    "--table": ("- Number of requested variants     : 300/300\n",
                "- Processing variant               : 300/300\n- Number of extracted correlations : 43185\n"
                "- Done!\n\n")}


def run_into(argv, log, append, **kwargs):
    """Runs corvane with standard output going to `log`, as > (or >> when `append`) would send it."""
    with open(path(log), "ab" if append else "wb") as f:
        return subprocess.run([session.binary] + [str(a) for a in argv], cwd=work, stdout=f,
                              stderr=subprocess.PIPE, timeout=120, **kwargs).returncode


def read(name):
    """The file's bytes; None when there is nothing at the name."""
    return session.read(name) if os.path.lexists(path(name)) else None


def leftovers():
    return glob.glob(path("*corvane-*")) + glob.glob(path("sub/*corvane-*")) + glob.glob("/dev/*corvane*")


def through_standard_output(log, mode, earlier, status, what):
    """Status 0; the earlier content, the messages, the whole output right after its progress line,
    and the messages that follow it, in this order; nothing left beside."""
    text = (read(log) or b"").decode("utf-8", "replace")
    output = session.read(references[mode]).decode()
    before, after = around[mode]
    at = text.find(before + output)
    ok = status == 0 and text.startswith(earlier) and text.count(output) == 1 and at >= 0 and \
        text[at + len(before) + len(output):] == after and "Error" not in text and not leftovers()
    if not ok:
        print("%s: status %d, %d bytes, left %r\n%s" % (what, status, len(text), leftovers(), text[-600:]))
    check.check(ok, what + ": the whole output, in order with the messages, the earlier content kept")


for mode in references:
    for name in ("/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "run.log"):
        for append in (False, True):
            earlier = "a line of the job's log\n" if append else ""
            session.write("run.log", earlier.encode())
            status = run_into(["--bcor", "e.bcor", mode, name], "run.log", append)
            through_standard_output("run.log", mode, earlier, status,
                                    "%s %s %s run.log" % (mode, name, ">>" if append else ">"))
    # Standard error alike: the output whole, the messages on standard output.
    with open(path("err.log"), "wb") as err, open(path("out.log"), "wb") as out:
        status = subprocess.run([session.binary, "--bcor", "e.bcor", mode, "/dev/stderr"], cwd=work, stdout=out,
                                stderr=err, timeout=120).returncode
    ok = status == 0 and read("err.log") == session.read(references[mode]) and \
        (read("out.log") or b"").endswith(b"- Done!\n\n") and not leftovers()
    check.check(ok, mode + " /dev/stderr 2> err.log: the whole output there, the messages on standard output")

# A job log that its user cannot open (a root shell's redirection, a scheduler's log) is written all the same.
def as_nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def nobody_can_run():
    """Whether the binary and the BCOR file can be reached by another user from here (not so in a
    checkout under a private home directory)."""
    try:
        return subprocess.run([session.binary, "--bcor", "e.bcor", "--meta", "/dev/null"], cwd=work,
                              capture_output=True, timeout=120, preexec_fn=as_nobody).returncode == 0
    except OSError:
        return False


if os.geteuid() == 0:
    os.chmod(work, 0o755)
if os.geteuid() == 0 and nobody_can_run():
    session.write("root.log", b"started by root\n")
    os.chmod(path("root.log"), 0o600)
    for mode in references:
        status = run_into(["--bcor", "e.bcor", mode, "/dev/stdout"], "root.log", True,
                          preexec_fn=as_nobody)
        through_standard_output("root.log", mode, "started by root\n", status, mode + " as another user, >> root.log")
        session.write("root.log", b"started by root\n")

    # A user whose umask takes the owner's write (read-only results): the run's own file is made
    # read-only, and is still written in every mode, whole, with the mode that the umask gives it.
    os.mkdir(path("shared"))
    os.chmod(path("shared"), 0o1777)
    session.succeeded(corvane("--bplink", example, "--bcor", "shared/m.bcor", "--n-threads", 3), "files to merge")
    for mask in (0o222, 0o277):
        def as_nobody_masked(mask=mask):
            as_nobody()
            os.umask(mask)
        for argv, output in ((["--bplink", example, "--bcor", "o.bcor", "--n-threads", 2], "o.bcor_2"),
                             (["--bcor", "m.bcor", "--merge", 3], "m.bcor"),
                             (["--bcor", "../e.bcor", "--meta", "o.meta"], "o.meta"),
                             (["--bcor", "../e.bcor", "--matrix", "o.matrix"], "o.matrix"),
                             (["--bcor", "../e.bcor", "--table", "o.table"], "o.table")):
            what = "%s %s as another user, umask %04o" % (argv[2], argv[3], mask)
            result = subprocess.run([session.binary] + [str(a) for a in argv], cwd=path("shared"),
                                    capture_output=True, timeout=120, preexec_fn=as_nobody_masked)
            made = path("shared/" + output)
            mode = os.stat(made).st_mode & 0o777 if os.path.exists(made) else None
            reference = references.get(argv[2])
            ok = result.returncode == 0 and mode == 0o666 & ~mask and \
                (reference is None or session.read(reference) == session.read("shared/" + output)) and \
                not [f for f in os.listdir(path("shared")) if "corvane-" in f]
            if not ok:
                print("%s: status %d, mode %s\n%s" % (what, result.returncode, mode, result.stdout[-600:]))
            check.check(ok, what + ": status 0, the output whole with the umask's mode, nothing beside")
            for f in glob.glob(path("shared/o.*")) + [path("shared/m.bcor")]:
                if os.path.exists(f):
                    os.remove(f)

# ---- outputs through links ----
# Every link stays; the file at the end of the links is replaced (or created) whole, nothing beside it.
os.mkdir(path("sub"))
for mode, reference in references.items():
    for kind in ("link", "chain", "nowhere"):
        for f in glob.glob(path("sub/*")) + [path("out"), path("sub-link")]:
            if os.path.lexists(f):
                os.remove(f)
        final = "sub/final"
        if kind != "nowhere":
            session.write(final, b"an earlier run's output\n")
        if kind == "chain":
            # out -> sub-link -> sub/mid -> final (relative to sub/)
            os.symlink("final", path("sub/mid"))
            os.symlink("sub/mid", path("sub-link"))
            os.symlink("sub-link", path("out"))
            links = {"out": "sub-link", "sub-link": "sub/mid", "sub/mid": "final"}
        else:
            os.symlink(final, path("out"))
            links = {"out": final}
        what = "%s through a %s" % (mode, "link to nowhere" if kind == "nowhere" else kind)
        session.succeeded(corvane("--bcor", "e.bcor", mode, "out"), what)
        kept = all(os.path.islink(path(link)) and os.readlink(path(link)) == dest for link, dest in links.items())
        check.check(kept, what + ": every link kept")
        whole = os.path.isfile(path(final)) and not os.path.islink(path(final)) and \
            read(final) == session.read(reference)
        check.check(whole, what + ": the file at the end of the links is the whole output")
        check.equal(leftovers(), [], what + ": nothing left beside")
for f in glob.glob(path("sub/*")) + [path("out"), path("sub-link")]:
    if os.path.lexists(f):
        os.remove(f)
# Links that never end lead to no file: refused before the work.
os.symlink("loop-b", path("loop-a"))
os.symlink("loop-a", path("loop-b"))
for mode in references:
    refused(corvane("--bcor", "e.bcor", mode, "loop-a"), "Error: File 'loop-a' cannot be written!",
            mode + " through links that never end")

# ---- outputs named by a descriptor ----
# A script's `exec 3>>a` (or 3>a) while a hard link b keeps the file, then a removed or renamed over (a log
# rotation): /dev/fd/3 and /proc/self/fd/3 are written through the descriptor, into the file that b
# shows. The kernel's link text (".../a (deleted)", or a file of the same name now) is never a path: a
# user's file of that name stays, and none is made.
def through_descriptor(argv, name, fd, what, expected):
    """Runs corvane with `fd` passed on, naming it as `name`; b must then hold `expected`."""
    p = subprocess.run([session.binary] + [str(a) for a in argv] + [name], cwd=work, capture_output=True,
                       timeout=120, pass_fds=(fd,))
    os.close(fd)
    stdout = p.stdout.decode("utf-8", "replace")
    ok = p.returncode == 0 and "- Done!" in stdout and read("b") == expected and not leftovers()
    if not ok:
        print("%s: status %d, b has %r bytes, left %r\n%s" % (what, p.returncode, len(read("b") or b""),
                                                              leftovers(), stdout[-600:]))
    check.check(ok, what + ": status 0, the output in the descriptor's file, nothing beside")


def descriptor_of_a_lost_name(append, renamed_over):
    """A descriptor of a (kept by the hard link b) whose name a is then removed or renamed over."""
    for f in ("a", "b", "a (deleted)", "new-a"):
        if os.path.lexists(path(f)):
            os.remove(path(f))
    session.write("a", b"an earlier log line\n")
    os.link(path("a"), path("b"))
    fd = os.open(path("a"), os.O_WRONLY | (os.O_APPEND if append else os.O_TRUNC))
    if renamed_over:
        session.write("new-a", b"the rotated log\n")
        os.rename(path("new-a"), path("a"))
    else:
        os.remove(path("a"))
        session.write("a (deleted)", b"a user's file\n")
    return fd


for mode, reference in references.items():
    for append in (False, True):
        for renamed_over in (False, True):
            for name in ("/proc/self/fd/%d", "/dev/fd/%d"):
                fd = descriptor_of_a_lost_name(append, renamed_over)
                what = "%s %s of %s a, %s" % (mode, name % fd, ">>" if append else ">",
                                             "renamed over" if renamed_over else "removed")
                through_descriptor(["--bcor", "e.bcor", mode], name % fd, fd, what, session.read(reference))
                if renamed_over:
                    check.equal((read("a"), read("a (deleted)")), (b"the rotated log\n", None),
                                what + ": the new a unchanged, no 'a (deleted)' made")
                else:
                    check.equal(read("a (deleted)"), b"a user's file\n", what + ": the user's 'a (deleted)' unchanged")
# The caller's own descriptor by its process number, the thread's, and a link to /dev/fd/N.
for name in ("/proc/%d/fd/%%d" % os.getpid(), "/proc/thread-self/fd/%d", "fd-link"):
    fd = descriptor_of_a_lost_name(True, False)
    if name == "fd-link":
        if os.path.lexists(path("fd-link")):
            os.remove(path("fd-link"))
        os.symlink("/dev/fd/%d" % fd, path("fd-link"))
    what = "--table %s of a removed" % (name if name == "fd-link" else name % fd)
    through_descriptor(["--bcor", "e.bcor", "--table"], name if name == "fd-link" else name % fd, fd, what,
                       session.read("ref.table"))
    check.equal(read("a (deleted)"), b"a user's file\n", what + ": the user's 'a (deleted)' unchanged")
# A BCOR file is replaced whole, never written in place: a merge named by a descriptor is refused before
# the work, and b keeps its bytes.
for k in (1, 2):
    shutil.copyfile(path("e.bcor_%d" % k), path("fd.bcor_%d" % k))
fd = descriptor_of_a_lost_name(True, False)
os.symlink("/dev/fd/%d" % fd, path("fd.bcor"))
p = subprocess.run([session.binary, "--bcor", "fd.bcor", "--merge", "2"], cwd=work, capture_output=True,
                   timeout=120, pass_fds=(fd,))
os.close(fd)
refused(corvane_test.Result(p.returncode, p.stdout.decode(), p.stderr.decode()),
        "Error: File 'fd.bcor' cannot be written!", "a merge through a link to /dev/fd/N")
check.equal((read("b"), read("a (deleted)")), (b"an earlier log line\n", b"a user's file\n"),
            "a merge named by a descriptor: b and the user's 'a (deleted)' unchanged")
for f in ("a", "b", "a (deleted)", "fd.bcor", "fd.bcor_1", "fd.bcor_2", "fd-link"):
    if os.path.lexists(path(f)):
        os.remove(path(f))

# A file system mounted over the descriptor's directory: the file now at the link text's path is
# another, and stays. Needs root and a mount namespace of its own.
MOUNTED_OVER = r"""
cd "$1" && mkdir -p over && exec 3<>over/out.meta && printf 'fd 3\n' >&3 && mount -t tmpfs none over &&
printf 'on the new mount\n' > over/out.meta && "$2" --bcor e.bcor --meta /dev/fd/3 > /dev/null; status=$?
new=$(cat over/out.meta); umount over && cmp -s over/out.meta ref.meta && echo "$status $new"
"""
if os.geteuid() == 0 and shutil.which("unshare") and subprocess.run(
        ["unshare", "-m", "--propagation", "private", "true"], capture_output=True).returncode == 0:
    p = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", MOUNTED_OVER, "sh", work,
                        session.binary], capture_output=True, timeout=120)
    check.equal(p.stdout.decode(), "0 on the new mount\n",
                "--meta /dev/fd/3 of a file mounted over: written through fd 3, the new mount's file unchanged")
    shutil.rmtree(path("over"), ignore_errors=True)
else:
    print("skipped: a descriptor's file mounted over (needs root and unshare -m)")

# What an earlier killed run left at a fixed unfinished name (a directory, a link to a user's file)
# is no business of this run.
os.mkdir(path("t.table.corvane-unfinished"))
session.write("precious.txt", b"keep me\n")
os.symlink("precious.txt", path("m.corvane-unfinished"))
session.succeeded(corvane("--bcor", "e.bcor", "--table", "t.table"), "a directory at the old unfinished name")
check.equal(read("t.table"), session.read("ref.table"), "the table is whole")
session.succeeded(corvane("--bcor", "e.bcor", "--matrix", "m"), "a link at the old unfinished name")
check.equal(read("precious.txt"), b"keep me\n", "what the link points to is unchanged")
check.check(os.path.islink(path("m.corvane-unfinished")), "the link stays")
for f in ("t.table.corvane-unfinished", "m.corvane-unfinished"):
    if os.path.isdir(path(f)) and not os.path.islink(path(f)):
        os.rmdir(path(f))
    elif os.path.lexists(path(f)):
        os.remove(path(f))

# ---- the longest names and paths ----
# Every name and path that the file system takes works: the run's own files beside an output take a
# shortened name. A name it does not take, or a directory whose path leaves no room for a name of the
# run's own, is refused before the work, nothing created.
longest = "n" * 255
for mode, reference in references.items():
    session.succeeded(corvane("--bcor", "e.bcor", mode, longest), mode + " at a 255-byte name")
    check.check(read(longest) == session.read(reference), mode + " at a 255-byte name: whole")
    if os.path.lexists(path(longest)):
        os.remove(path(longest))
check.equal(corvane("--bplink", example, "--bcor", "two.bcor", "--n-threads", 2).status, 0, "2 threads")
session.succeeded(corvane("--bplink", example, "--bcor", "n" * 253, "--n-threads", 2), "per-thread names of 255 bytes")
check.check(all(read("n" * 253 + end) == session.read("two.bcor" + end) for end in ("_1", "_2")),
            "255-byte per-thread names: the same files")
refused(corvane("--bplink", example, "--bcor", "n" * 255, "--n-threads", 2),
        "Error: File '%s_1' cannot be opened!" % ("n" * 255), "per-thread names of 257 bytes")
check.equal(leftovers() + glob.glob(path("n" * 255 + "*")), [], "255-byte names: nothing left beside")
for f in glob.glob(path("n" * 253 + "*")):
    os.remove(f)
# A run killed after its writing leaves its files under their unfinished names, which keep the end of a
# long name (its "_k"): four per-thread files of a 250-byte name can be told apart, renamed to their paths
# and merged, as the finished run's would be.
shim = os.path.join(session.args.tools_dir, "own_names_shim.so")
# The checked builds' runtime would refuse a library loaded before it.
shim_env = dict(os.environ, LD_PRELOAD=shim,
                ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
check.equal(corvane("--bplink", example, "--bcor", "four.bcor", "--n-threads", 4).status, 0, "4 threads")
check.equal(corvane("--bcor", "four.bcor", "--merge", 4).status, 0, "4 threads merged")
named = "b" * 245 + ".bcor"
killed = subprocess.run([session.binary, "--bplink", example, "--bcor", named, "--n-threads", "4"], cwd=work,
                        capture_output=True, timeout=120,
                        env=dict(shim_env, CORVANE_SHIM_MARK=".corvane-unfinished-", CORVANE_SHIM_KILL="1"))
check.equal(killed.returncode, -signal.SIGKILL, "a 250-byte name on 4 threads: killed at its first rename")
left = sorted(os.path.basename(f) for f in glob.glob(path("b" * 100 + "*")))
ends = [re.fullmatch(r"(b{114}b{106}\.bcor_([1-4]))\.corvane-unfinished-[a-z0-9]{8}", f) for f in left]
check.equal(sorted(m.group(2) for m in ends if m), ["1", "2", "3", "4"],
            "a 250-byte name on 4 threads: the unfinished names keep their start and their _k, %r" % left)
for f, m in zip(left, ends):
    if m:
        os.rename(path(f), path(named + "_" + m.group(2)))
session.succeeded(corvane("--bcor", named, "--merge", 4), "the killed run's files renamed to their paths, merged")
check.check(read(named) == session.read("four.bcor"), "the killed run's files, merged: the finished run's file")
for f in glob.glob(path("b" * 100 + "*")):
    os.remove(f)
# Paths of up to 4,095 bytes, relative to the working directory (which the test takes as its own: the
# absolute paths would be longer than the kernel takes).
os.chdir(work)


def read_here(name):
    if not os.path.lexists(name):
        return None
    with open(name, "rb") as f:
        return f.read()


deep = "/".join(["p" * 200] * 20)
os.makedirs(deep)
deepest = deep + "/" + "q" * (4095 - len(deep) - 1)
session.succeeded(corvane("--bcor", "e.bcor", "--table", deepest), "a table at a 4,095-byte path")
check.check(read_here(deepest) == session.read("ref.table"), "the table at a 4,095-byte path is whole")
session.succeeded(corvane("--bplink", example, "--bcor", deepest[:-2], "--n-threads", 2),
                  "per-thread files at 4,095-byte paths")
check.check(all(read_here(deepest[:-2] + end) == session.read("two.bcor" + end) for end in ("_1", "_2")),
            "per-thread files at 4,095-byte paths: the same files")
refused(corvane("--bcor", "e.bcor", "--meta", deepest + "q"), "Error: File '%s' cannot be written!" % (deepest + "q"),
        "a meta file at a 4,096-byte path")
crowded = deep + "/" + "s" * (4085 - len(deep) - 1)
os.mkdir(crowded)
for argv, name in ((["--bcor", "e.bcor", "--matrix", crowded + "/m"], crowded + "/m"),
                   (["--bplink", example, "--bcor", crowded + "/c", "--n-threads", 2], crowded + "/c_1")):
    refused(corvane(*argv), "Error: File '%s' cannot be written: its path leaves no room for a file of the run's "
            "own beside it!" % name, name[-12:] + " in a directory with no room for a name of its own")
check.equal(os.listdir(crowded), [], "no room: nothing created")
check.equal(sorted(os.listdir(deep)), sorted(os.path.basename(f) for f in
                                             (deepest, deepest[:-2] + "_1", deepest[:-2] + "_2", crowded)),
            "long paths: nothing left beside")
shutil.rmtree(deep.split("/")[0])

# ---- the file-size limit, as a scheduler sets it ----
# Without anything ignored by the caller: a write past the limit fails (EFBIG) and ends the run with its
# message and status 1, not with SIGXFSZ (status 153) and a partial file.
def size_limited(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def files_named(*prefixes):
    return sorted(name for name in os.listdir(work) if name.startswith(prefixes))


for argv, message, prefix in [
        (["--bcor", "e.bcor", "--table", "l.table"], "Error: File 'l.table' cannot be written!", "l.table"),
        (["--bcor", "e.bcor", "--matrix", "l.matrix"], "Error: File 'l.matrix' cannot be written!", "l.matrix"),
        (["--bcor", "e.bcor", "--merge", "2"], None, None),
        (["--bplink", example, "--bcor", "l.bcor", "--n-threads", "2"], "Error: File 'l.bcor_2' cannot be written!",
         "l.bcor")] if os.environ.get("CORVANE_SANITIZER") != "thread" else ():
    if prefix is None:  # the merge: its inputs are under the limit, its output is not
        check.equal(corvane("--bplink", example, "--bcor", "lm.bcor", "--n-threads", 2).status, 0, "lm.bcor")
        argv, message, prefix = ["--bcor", "lm.bcor", "--merge", "2"], "Error: File 'lm.bcor' cannot be written!", \
            "lm.bcor"
    if prefix != "l.bcor":
        with open(path(prefix), "w") as f:
            f.write("an earlier run's output\n")
    p = subprocess.run([session.binary] + argv, cwd=work, capture_output=True, timeout=120,
                       preexec_fn=size_limited(100000))
    last = p.stdout.decode().rstrip("\n").split("\n")[-1]
    left = [name for name in files_named(prefix) if name not in ("lm.bcor_1", "lm.bcor_2")]
    if prefix == "l.bcor":  # the other thread's file is complete, but the set goes whole
        check.check(p.returncode == 1 and last.startswith("Error: File 'l.bcor_") and
                    last.endswith("' cannot be written!") and not left,
                    "computation past the file-size limit: status %d, %r, left %r" % (p.returncode, last, left))
    else:
        check.check((p.returncode, last, left) == (1, message, []),
                    "%s past the file-size limit: status %d, %r, left %r" % (argv[2], p.returncode, last, left))

# A merge through a link that fails takes the file at the link's end, as a text output does; the
# link stays.
if os.environ.get("CORVANE_SANITIZER") != "thread":
    os.makedirs(path("linked"), exist_ok=True)
    os.symlink("linked/real.bcor", path("lk.bcor"))
    for k in (1, 2):
        shutil.copyfile(path("lm.bcor_%d" % k), path("lk.bcor_%d" % k))
    p = subprocess.run([session.binary, "--bcor", "lk.bcor", "--merge", "2"], cwd=work, capture_output=True,
                       timeout=120, preexec_fn=size_limited(100000))
    last = p.stdout.decode().rstrip("\n").split("\n")[-1]
    check.check((p.returncode, last) == (1, "Error: File 'lk.bcor' cannot be written!") and
                os.path.islink(path("lk.bcor")) and not os.listdir(path("linked")),
                "merge through a link past the file-size limit: status %d, %r, left %r" %
                (p.returncode, last, os.listdir(path("linked"))))

# ---- a reader that closes standard output ----
# `corvane ... | head -1` once the run has begun writing: status 141 as from SIGPIPE, after the clean-up.
with open(path("big.table"), "w") as f:
    f.write("an earlier run's table\n")
subprocess.run([os.path.join(session.args.tools_dir, "corvane_testgen"), "--out", "big", "--plink", "--samples",
                "50", "--variants", "2000", "--spacing", "10", "--seed", "7"], cwd=work, check=True,
               capture_output=True, timeout=120)
check.equal(corvane("--bplink", "big", "--bcor", "big.bcor", "--n-threads", 2, "--ld-thold", 0).status, 0,
            "large computation")
check.equal(corvane("--bcor", "big.bcor", "--merge", 2).status, 0, "large merge")


def closed_part_way(argv, seen, preexec=None):
    """Runs corvane, closes its standard output once seen(what came) holds, and returns its status."""
    run = subprocess.Popen([session.binary] + argv, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           bufsize=0, preexec_fn=preexec)
    received = b""
    while not seen(received):
        chunk = run.stdout.read(4096)
        if not chunk:
            break
        received += chunk
    run.stdout.close()
    return run.wait(timeout=120)


status = closed_part_way(["--bcor", "big.bcor", "--table", "big.table", "--ld-thold", "0"],
                         lambda received: b"Processing variant" in received)
left = files_named("big.table")
check.check(status == 141 and not left, "table, standard output closed part way: status %d, left %r" % (status, left))
# Closed once both threads have computed their last chunk, while they write their files: either the
# run stops (141) and takes the whole set, or it had finished.
for attempt in range(5):
    status = closed_part_way(["--bplink", "big", "--bcor", "p.bcor", "--n-threads", "2", "--ld-thold", "0"],
                             lambda received: len(re.findall(rb"in chunk (\d+)/\1\b", received)) == 2)
    left = files_named("p.bcor")
    check.check((status, left) in ((141, []), (0, ["p.bcor_1", "p.bcor_2"])),
                "computation, standard output closed at its end (run %d): status %d, left %r" % (attempt, status, left))
    for name in left:
        os.remove(path(name))
# A FIFO output whose reader goes away fails as that output's write: status 1 and its message.
os.mkfifo(path("out.fifo"))
reader = subprocess.Popen(["head", "-c", "100", "out.fifo"], cwd=work, stdout=subprocess.DEVNULL)
result = corvane("--bcor", "big.bcor", "--table", "out.fifo", "--ld-thold", 0)
reader.wait(timeout=60)
check.equal((result.status, result.stdout.rstrip("\n").split("\n")[-1]),
            (1, "Error: File 'out.fifo' cannot be written!"), "FIFO output whose reader goes away")
# A FIFO without a reader holds the run in its open: a stop still ends it.
os.mkfifo(path("unread.fifo"))
waiting = subprocess.Popen([session.binary, "--bcor", "big.bcor", "--meta", "unread.fifo"], cwd=work,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(0.5)
waiting.send_signal(signal.SIGTERM)
try:
    status = waiting.wait(timeout=5)
except subprocess.TimeoutExpired:
    waiting.kill()
    status = waiting.wait()
check.equal(status, 128 + signal.SIGTERM, "a FIFO output without a reader: SIGTERM ends the run")
# A BCOR file cannot be written through standard output: refused before anything changes, so that
# what >> held stays.
check.equal(corvane("--bplink", example, "--bcor", "sm.bcor", "--n-threads", 2).status, 0, "sm.bcor")
for argv, name in ((["--bplink", example, "--bcor", "so.bcor", "--n-threads", "2"], "so.bcor_1"),
                   (["--bcor", "sm.bcor", "--merge", "2"], "sm.bcor")):
    with open(path(name), "wb") as f:
        f.write(b"an earlier log\n")
    status = run_into(argv, name, True)
    with open(path(name), "rb") as f:
        text = f.read()
    check.check(status == 1 and text.startswith(b"an earlier log\n") and text.rstrip(b"\n").endswith(
        ("Error: File '%s' cannot be written: it is the standard output of this run!" % name).encode()),
        "a BCOR output that is standard output (%s): status %d, %r" % (name, status, text[-120:]))

# A run started with SIGPIPE ignored has its messages fail to be written, and goes on.
status = closed_part_way(["--bcor", "big.bcor", "--table", "big.table", "--ld-thold", "0"],
                         lambda received: b"Processing variant" in received,
                         lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
check.equal((status, files_named("big.table")), (0, ["big.table"]), "SIGPIPE ignored at the start: a whole table")

# ---- a link put at the run's own name ----
# Anyone who may write in the output's directory may replace the run's own file by a link to another file,
# right after the run created it. The run writes only through the descriptor that created its file: the
# other file keeps its bytes, and no link is published as an output. An output is refused (status 1 and
# its message); the table's sort file, never published, goes on unharmed.
session.write("victim.txt", b"a user's file\n")
for k in (1, 2, 3, 4):
    shutil.copy(path("four.bcor_%d" % k), path("pl.bcor_%d" % k))
with open(path("big.bim")) as f:
    bim = [line.split() for line in f]
with open(path("reverse.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n")
    f.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in reversed(bim))
with open(example + ".bim") as f, open(path("plist.txt"), "w") as out:
    out.write("RSID position chromosome A_allele B_allele\n")
    out.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in [l.split() for l in f][7:2:-1])
session.succeeded(corvane("--bcor", "big.bcor", "--table", "reverse.table", "--incl-variants", "reverse.txt"),
                  "the reversed list's table")
for argv, mark, output in (
        (["--bcor", "pl.bcor", "--merge", "4"], ".corvane-unfinished-", "pl.bcor"),
        (["--bplink", example, "--bcor", "pl.bcor", "--n-threads", "2"], ".corvane-unfinished-", "pl.bcor_[12]"),
        (["--bcor", "e.bcor", "--meta", "pl.meta"], ".corvane-unfinished-", "pl.meta"),
        (["--bcor", "e.bcor", "--matrix", "pl.matrix"], ".corvane-unfinished-", "pl.matrix"),
        (["--bcor", "e.bcor", "--table", "pl.table"], ".corvane-unfinished-", "pl.table"),
        (["--bcor", "e.bcor", "--table", "pl.table", "--incl-variants", "plist.txt"], ".corvane-unfinished-",
         "pl.table"),
        (["--bcor", "big.bcor", "--table", "pl.table", "--incl-variants", "reverse.txt"], ".corvane-sort-", None)):
    what = "a link put at the run's own %s name: %s" % (mark.strip(".-"), " ".join(argv[2:4]))
    result = subprocess.run([session.binary] + argv, cwd=work, capture_output=True, timeout=300,
                            env=dict(shim_env, CORVANE_SHIM_MARK=mark, CORVANE_SHIM_VICTIM=path("victim.txt")))
    stdout = result.stdout.decode("utf-8", "replace")
    if output:
        last = stdout.rstrip("\n").split("\n")[-1]
        check.check(result.returncode == 1 and re.fullmatch("Error: File '%s' cannot be written!" % output, last),
                    what + ": status %d, %r" % (result.returncode, last))
    else:
        check.equal(result.returncode, 0, what + ": status")
        check.check(read("pl.table") == session.read("reverse.table"), what + ": the table is whole")
    check.equal(session.read("victim.txt"), b"a user's file\n", what + ": the linked file keeps its bytes")
    check.check(not [f for f in glob.glob(path("pl.*")) if os.path.islink(f) and ".corvane-" not in f],
                what + ": no link published")
    for f in glob.glob(path("pl.*corvane-*")) + glob.glob(path("pl.table")):
        os.remove(f)
    session.write("victim.txt", b"a user's file\n")

check.finish()

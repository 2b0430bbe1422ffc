#!/usr/bin/python3
"""Outputs, through the binary: an output that cannot be created (a missing directory, a directory at its
path) ends the run before any genotype or record is read, and an earlier run's files stay byte for byte;
a computation whose writing step fails leaves none of its per-thread files, on 1, 2 and 8 threads, every
time."""
import glob
import hashlib
import os
import resource
import signal
import subprocess
import sys

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

check.finish()

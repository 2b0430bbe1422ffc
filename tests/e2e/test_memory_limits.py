#!/usr/bin/python3
"""Computations under an address-space limit (ulimit -v, as a scheduler's h_vmem sets) at many limits
below and around what they need, on several threads: each ends with "- Done!" and status 0, or with a
memory error as its last line, status 1 and no per-thread file left; or, where the OpenMP runtime
itself cannot start, with the runtime's own message and status 1. Never an abort, a hang, a lost
message or a bare std::bad_alloc. A stop under a limit ends with its status and message, never an
abort."""
import concurrent.futures
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
check, work = session.check, session.work

if os.environ.get("CORVANE_SANITIZER"):
    # A sanitizer's runtime reserves terabytes of address space: no limit near a run's needs lets it start.
    print("skipped: the sanitizers cannot run under an address-space limit")
    check.finish()

example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example", "example")
MEMORY_ERROR = re.compile(r"^Error: .*(memory|matrix)", re.IGNORECASE)


def limited_run(argv, limit_kib):
    """(status or None for a hang, stdout, stderr, files left) of one run in a directory of its own."""
    directory = tempfile.mkdtemp(dir=work)
    try:
        run = subprocess.run(["bash", "-c", 'ulimit -v %d; exec "$@"' % limit_kib, "bash", session.binary] + argv,
                             cwd=directory, env=dict(os.environ, OMP_NUM_THREADS="8"), capture_output=True,
                             timeout=20)
        status, out, err = run.returncode, run.stdout, run.stderr
    except subprocess.TimeoutExpired as e:
        status, out, err = None, e.stdout or b"", e.stderr or b""
    left = sorted(os.path.basename(p) for p in glob.glob(os.path.join(directory, "out.bcor_*")))
    shutil.rmtree(directory, ignore_errors=True)
    return status, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"), left


def ending(result):
    """done, error or runtime for the endings a run may have, else a description of what went wrong."""
    status, out, err, left = result
    lines = [line for line in out.splitlines() if line.strip()]
    last = lines[-1] if lines else ""
    if status == 0 and last == "- Done!":
        return "done"
    if status == 1 and not left:
        if MEMORY_ERROR.match(last) and "bad_alloc" not in out:
            return "error"
        if err.lstrip().startswith("libgomp: "):
            return "runtime"
    return "status %s, last line %r, stderr %r, left %s" % ("hang" if status is None else status, last,
                                                            err[-200:], left)


for kind in ("plink", "bgen"):
    source = ["--bplink", example] if kind == "plink" else ["--bgen", example + ".bgen"]
    for threads in (4, 8):
        argv = source + ["--bcor", "out.bcor", "--n-threads", str(threads)]
        name = "%s on %d threads" % (kind, threads)
        # The smallest limit that succeeds, to within 1 MiB (failures on the way count too).
        results = []
        low, high = 1024, 4 << 20
        while high - low > 1024:
            middle = (low + high) // 2
            results.append((middle, limited_run(argv, middle)))
            if ending(results[-1][1]) == "done":
                high = middle
            else:
                low = middle
        # Then 100 limits from a tenth of it, where threads cannot even start, to a little above.
        limits = [high // 10 + (high * 105 // 100 - high // 10) * k // 99 for k in range(100)]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            results += zip(limits, pool.map(lambda limit: limited_run(argv, limit), limits))
        endings = [(limit, ending(result)) for limit, result in results]
        for limit, what in endings:
            check.check(what in ("done", "error", "runtime"), "%s under %d KiB: %s" % (name, limit, what))
        check.check(any(what == "done" for _, what in endings), "%s: some limit succeeds" % name)
        check.check(any(what == "error" for _, what in endings), "%s: some limit fails with a message" % name)

# ---- a stop under a limit ----
# A matrix or a table run that waits for the reader of its FIFO, stopped there, at the least limits
# that take it so far: every byte of address space left is one the stop must not need.
check.equal(session.corvane("--bplink", example, "--bcor", "s.bcor", "--n-threads", 2).status, 0, "stop: compute")
check.equal(session.corvane("--bcor", "s.bcor", "--merge", 2).status, 0, "stop: merge")


def stopped_at_fifo(mode, limit_kib):
    """(whether the run got to the FIFO, status, last line, files of the run's left)."""
    directory = tempfile.mkdtemp(dir=work)
    os.mkfifo(os.path.join(directory, "fifo"))
    with open(os.path.join(directory, "log"), "wb") as log:
        run = subprocess.Popen(["bash", "-c", 'ulimit -v %d; exec "$@"' % limit_kib, "bash", session.binary,
                                "--bcor", os.path.join(work, "s.bcor"), mode, "fifo"], cwd=directory, stdout=log,
                               stderr=subprocess.DEVNULL)
        waiting, deadline = False, time.time() + 20
        while not waiting and run.poll() is None and time.time() < deadline:
            try:
                with open("/proc/%d/wchan" % run.pid) as f:
                    waiting = f.read() == "wait_for_partner"
            except OSError:
                pass
            time.sleep(0.002)
        if waiting:
            run.send_signal(signal.SIGTERM)
        try:
            status = run.wait(timeout=20)
        except subprocess.TimeoutExpired:
            run.kill()
            status = None
    with open(os.path.join(directory, "log"), "rb") as f:
        lines = [line for line in f.read().decode("utf-8", "replace").splitlines() if line.strip()]
    left = [name for name in os.listdir(directory) if name not in ("fifo", "log")]
    shutil.rmtree(directory, ignore_errors=True)
    return waiting, status, lines[-1] if lines else "", left


for mode in ("--table", "--matrix"):
    low, high = 1024, 64 << 10
    while high - low > 4:
        middle = (low + high) // 2
        if stopped_at_fifo(mode, middle)[0]:
            high = middle
        else:
            low = middle
    limits = [high + 4 * k for k in range(12)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda limit: stopped_at_fifo(mode, limit), limits))
    for limit, (waiting, status, last, left) in zip(limits, results):
        check.equal((waiting, status, last, left), (True, 143, "Error: The run was stopped by SIGTERM!", []),
                    "%s to a FIFO under %d KiB, stopped" % (mode, limit))

check.finish()

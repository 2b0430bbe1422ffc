#!/usr/bin/python3
"""Computations under an address-space limit (ulimit -v, as a scheduler's h_vmem sets) at many limits
below and around what they need, on several threads: each ends with "- Done!" and status 0, or with a
memory error as its last line, status 1 and no per-thread file left; or, where the OpenMP runtime
itself cannot start, with the runtime's own message and status 1. Never an abort, a hang, a lost
message or a bare std::bad_alloc. A stop under a limit ends with its status and message, never an
abort. Under an open-file limit (ulimit -n) below what a run holds at once, the run is refused before
any progress line, naming the limit and its need, and creates nothing; at its need it succeeds."""
import concurrent.futures
import glob
import os
import re
import resource
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

# ---- the open-file limit ----
# Each thread holds its inputs (.bed, .bim, .fam, or the BGEN file) and its BCOR file to the end, and
# the run holds the outputs' directory, for a moment the descriptor that made one output, and each
# earlier output it will replace: on 8 threads 3 + 8 x 4 + 2 (PLINK) or 3 + 8 x 2 + 2 (BGEN)
# descriptors, 8 more where the earlier files stand. A limit below that is refused before the work;
# one at it succeeds, every time (the need must not drift from what the run really opens).
NOFILE_REFUSED = "Error: The open-file limit (ulimit -n) of %d is below the %d files this run holds at once!"


def files_run(argv, limit, directory, pass_fds=()):
    """(status, stdout) of one run under the soft open-file limit `limit`."""
    def set_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    run = subprocess.run([session.binary] + argv, cwd=directory, env=dict(os.environ, OMP_NUM_THREADS="8"),
                         capture_output=True, timeout=120, preexec_fn=set_limit, pass_fds=pass_fds)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def snapshot(directory):
    return {name: open(os.path.join(directory, name), "rb").read() for name in sorted(os.listdir(directory))}


def refused_at(argv, limit, need, directory, what, pass_fds=()):
    before = snapshot(directory)
    status, out = files_run(argv, limit, directory, pass_fds)
    lines = [line for line in out.splitlines() if line.strip()]
    ok = status == 1 and lines[-1:] == [NOFILE_REFUSED % (limit, need)] and out.count("Error: ") == 1 and \
        not any(line.startswith("- ") for line in lines) and snapshot(directory) == before
    if not ok:
        print("%s: status %d\n%s" % (what, status, out[-600:]))
    check.check(ok, "%s under ulimit -n %d: refused before the work, need %d, nothing changed" % (what, limit, need))


def succeeds_at(argv, limit, directory, what, runs=3):
    for attempt in range(runs):
        status, out = files_run(argv, limit, directory)
        ok = status == 0 and out.rstrip("\n").endswith("- Done!")
        if not ok:
            print("%s: status %d\n%s" % (what, status, out[-600:]))
        check.check(ok, "%s under ulimit -n %d (run %d): done" % (what, limit, attempt))


nofile = tempfile.mkdtemp(dir=work)
nofile_example = os.path.join(nofile, "ex")
for end in (".bed", ".bim", ".fam", ".bgen", ".sample"):
    shutil.copyfile(example + end, nofile_example + end)
for kind, source, per_thread in (("plink", ["--bplink", nofile_example], 4), ("bgen", ["--bgen", nofile_example + ".bgen"], 2)):
    argv = source + ["--bcor", "f.bcor", "--n-threads", "8"]
    for name in glob.glob(os.path.join(nofile, "f.bcor_*")):
        os.remove(name)
    fresh, earlier = 3 + 8 * per_thread + 2, 3 + 8 * (per_thread + 1) + 2
    for limit in [limit for limit in (8, 16, 24, 28) if limit < fresh - 1] + [fresh - 1]:
        refused_at(argv, limit, fresh, nofile, "%s on 8 threads" % kind)
    for attempt in range(3):
        succeeds_at(argv, fresh, nofile, "%s on 8 threads, no earlier files" % kind, runs=1)
        if attempt < 2:
            for k in range(1, 9):
                os.remove(os.path.join(nofile, "f.bcor_%d" % k))
    refused_at(argv, earlier - 1, earlier, nofile, "%s on 8 threads over earlier files" % kind)
    succeeds_at(argv, earlier, nofile, "%s on 8 threads over earlier files" % kind)
# A descriptor the run is started with takes a place too.
extra = os.open(os.path.join(nofile, "ex.fam"), os.O_RDONLY)
refused_at(argv, earlier, earlier + 1, nofile, "bgen on 8 threads with a descriptor passed on", pass_fds=(extra,))
os.close(extra)
# The runs of a BCOR file: its output, the descriptor that made it, the directory's hold and the
# earlier output's beside the file read (and the list and sort file of a table of a list).
check.equal(files_run(["--bcor", "f.bcor", "--merge", "8"], 64, nofile)[0], 0, "merge")
with open(nofile_example + ".bim") as f:
    bim = [line.split() for line in f]
with open(os.path.join(nofile, "list.txt"), "w") as f:
    f.write("RSID position chromosome A_allele B_allele\n")
    f.writelines("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]) for v in reversed(bim))
for argv, need in ((["--bcor", "f.bcor", "--merge", "8"], 8), (["--bcor", "f.bcor", "--meta", "o.meta"], 8),
                   (["--bcor", "f.bcor", "--matrix", "o.matrix"], 8), (["--bcor", "f.bcor", "--table", "o.table"], 8),
                   (["--bcor", "f.bcor", "--table", "o.table", "--incl-variants", "list.txt"], 10)):
    what = " ".join(argv[2:4])
    files_run(argv, 64, nofile)  # the earlier output, held
    refused_at(argv, need - 1, need, nofile, what)
    succeeds_at(argv, need, nofile, what, runs=1)
# A limit lowered under a running computation (prlimit), once its threads hold their inputs: the
# BCOR file it then cannot open is not blamed, and none of the set is left.
subprocess.run([os.path.join(session.args.tools_dir, "corvane_testgen"), "--out", os.path.join(nofile, "mid"),
                "--plink", "--samples", "2000", "--variants", "3000", "--spacing", "100", "--seed", "7"],
               check=True, capture_output=True, timeout=120)
run = subprocess.Popen([session.binary, "--bplink", "mid", "--bcor", "lowered.bcor", "--n-threads", "2",
                        "--ld-thold", "0"], cwd=nofile, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def held_files():
    """The files the run holds; None once it has ended."""
    while run.poll() is None:
        try:
            return [os.readlink("/proc/%d/fd/%s" % (run.pid, n)) for n in os.listdir("/proc/%d/fd" % run.pid)]
        except OSError:
            continue  # a descriptor closed between the two looks
    return None


lowered = False
while not lowered:
    held = held_files()
    if held is None:
        break
    if sum(name.endswith(("mid.bed", "mid.bim", "mid.fam")) for name in held) == 6:
        os.kill(run.pid, signal.SIGSTOP)
        held = held_files()
        lowered = not any("lowered.bcor" in name for name in held)
        resource.prlimit(run.pid, resource.RLIMIT_NOFILE, (len(held), resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        os.kill(run.pid, signal.SIGCONT)
out = run.communicate(timeout=120)[0].decode("utf-8", "replace").rstrip("\n").split("\n")[-1]
left = [name for name in os.listdir(nofile) if name.startswith("lowered")]
check.check(lowered, "the limit lowered while the threads held their inputs only")
check.check(run.returncode == 1 and re.fullmatch(r"Error: File 'lowered\.bcor_[12]' cannot be opened: no file "
                                                 r"descriptor is left \(ulimit -n\)!", out) and not left,
            "a BCOR file opened past a lowered limit: status %d, %r, left %r" % (run.returncode, out, left))
shutil.rmtree(nofile, ignore_errors=True)

check.finish()

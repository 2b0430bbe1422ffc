#!/usr/bin/env python3
"""How runs of the example end under an address-space limit (ulimit -v) near what they need.

    bench/limit_sweep.py [--corvane BIN] [--steps 60] [--span 0.9] [--jobs 4] [--timeout 20]
                         [--modes compute,merge,meta,table,matrix]

For every configuration (PLINK and BGEN input, 4 and 8 threads, OMP_NUM_THREADS=8; the merge, meta,
table and matrix runs of a computed file on one thread) it finds the smallest limit in KiB that
succeeds by bisection, then runs --steps limits spread evenly over [smallest x (1 - span), smallest
x (1 + span / 4)] (the single-thread modes from half of it: below that the loader cannot map the
program's libraries, and fails before any of its code runs) and counts the endings:

    done   status 0, "- Done!" the last line
    error  status 1, an "Error: " line last that names memory or the matrix, no output left behind
    omp    status 1, the OpenMP runtime's own message on standard error ("libgomp: Thread creation
           failed", or its own allocation failing as it starts)
    loader status 127, the dynamic loader could not map the program's libraries or ran out of memory
           itself (nothing of the program ran; it never ends with 127). Just above that band the
           loader may also crash (SIGSEGV in ld.so, nothing printed): counted as bad
    bad    anything else: another status, a hang (--timeout), a missing line, a bare bad_alloc, an
           abort, or outputs left behind after a failure

Prints one line per configuration and every bad ending in full; exits 1 when any ending was bad.
"""
import argparse
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MEMORY_WORDS = re.compile(r"memory|matrix", re.IGNORECASE)


def run_limited(argv, limit_kib, cwd, timeout):
    script = 'ulimit -v %d; exec "$@"' % limit_kib
    env = dict(os.environ, OMP_NUM_THREADS="8")
    try:
        proc = subprocess.run(["bash", "-c", script, "bash"] + argv, cwd=cwd, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return None, (e.stdout or b"").decode(errors="replace"), (e.stderr or b"").decode(errors="replace")
    return proc.returncode, proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace")


def classify(status, out, err, leftovers):
    lines = [line for line in out.splitlines() if line.strip()]
    last = lines[-1] if lines else ""
    if status == 0 and last == "- Done!":
        return "done"
    if status == 1 and err.lstrip().startswith("libgomp: ") and not leftovers:
        return "omp"
    if status == 127:
        return "loader"
    if (status == 1 and last.startswith("Error: ") and MEMORY_WORDS.search(last) and
            "bad_alloc" not in last and not leftovers):
        return "error"
    return "bad"


class Config:
    def __init__(self, name, argv, outputs, prepare=None, span=None):
        self.name, self.argv, self.outputs, self.prepare, self.span = name, argv, outputs, prepare, span

    def attempt(self, limit_kib, timeout):
        work = tempfile.mkdtemp(prefix="corvane-sweep-")
        try:
            if self.prepare:
                self.prepare(work)
            status, out, err = run_limited(self.argv, limit_kib, work, timeout)
            leftovers = [] if status == 0 else sorted(
                p for pattern in self.outputs for p in glob.glob(os.path.join(work, pattern)))
            return limit_kib, classify(status, out, err, leftovers), status, out, err, leftovers
        finally:
            shutil.rmtree(work, ignore_errors=True)


def smallest_success(config, timeout):
    low, high = 1024, 1 << 20
    while config.attempt(high, timeout)[1] != "done":
        high *= 2
        if high > 1 << 26:
            raise SystemExit("%s: no limit up to 64 GiB succeeds" % config.name)
    while high - low > 256:
        middle = (low + high) // 2
        if config.attempt(middle, timeout)[1] == "done":
            high = middle
        else:
            low = middle
    return high


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corvane", default=os.path.join(REPO, "build", "corvane"))
    parser.add_argument("--steps", type=int, default=60)
    parser.add_argument("--span", type=float, default=0.9)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--timeout", type=float, default=20)
    parser.add_argument("--modes", default="compute")
    args = parser.parse_args()
    corvane = os.path.abspath(args.corvane)
    example = os.path.join(REPO, "example", "example")
    modes = args.modes.split(",")

    configs = []
    if "compute" in modes:
        for kind in ("plink", "bgen"):
            source = ["--bplink", example] if kind == "plink" else ["--bgen", example + ".bgen"]
            for threads in (4, 8):
                configs.append(Config("%s/%d threads" % (kind, threads),
                                      [corvane] + source + ["--bcor", "out.bcor", "--n-threads", str(threads)],
                                      ["out.bcor_*"]))
    extractions = {
        "merge": (["--merge", "2"], ["out.bcor"]),
        "meta": (["--meta", "out.meta"], ["out.meta"]),
        "table": (["--table", "out.table"], ["out.table"]),
        "matrix": (["--matrix", "out.matrix"], ["out.matrix"]),
    }
    if any(mode in extractions for mode in modes):
        computed = tempfile.mkdtemp(prefix="corvane-sweep-input-")
        subprocess.run([corvane, "--bplink", example, "--bcor", "out.bcor", "--n-threads", "2"], cwd=computed,
                       stdout=subprocess.DEVNULL, check=True)
        subprocess.run([corvane, "--bcor", "out.bcor", "--merge", "2"], cwd=computed,
                       stdout=subprocess.DEVNULL, check=True)
        for mode in modes:
            if mode not in extractions:
                continue
            options, outputs = extractions[mode]
            files = ["out.bcor_1", "out.bcor_2"] if mode == "merge" else ["out.bcor"]

            def prepare(work, files=files):
                for name in files:
                    shutil.copy(os.path.join(computed, name), work)
            configs.append(Config(mode, [corvane, "--bcor", "out.bcor"] + options, outputs, prepare,
                                  min(args.span, 0.5)))

    any_bad = False
    for config in configs:
        smallest = smallest_success(config, args.timeout)
        span = args.span if config.span is None else config.span
        low = int(smallest * (1 - span))
        high = int(smallest * (1 + span / 4))
        limits = [low + (high - low) * i // max(1, args.steps - 1) for i in range(args.steps)]
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            results = list(pool.map(lambda limit: config.attempt(limit, args.timeout), limits))
        counts = {"done": 0, "error": 0, "omp": 0, "loader": 0, "bad": 0}
        for result in results:
            counts[result[1]] += 1
        print("%-16s smallest %7d KiB, %d limits %d-%d: done %d, error %d, omp %d, loader %d, bad %d" %
              (config.name, smallest, len(limits), low, high, counts["done"], counts["error"], counts["omp"],
               counts["loader"], counts["bad"]), flush=True)
        for limit, kind, status, out, err, leftovers in results:
            if kind != "bad":
                continue
            any_bad = True
            tail = "\n".join(out.splitlines()[-3:])
            print("  bad at %d KiB: status %s%s\n    stdout tail: %r\n    stderr: %r" %
                  (limit, "hang" if status is None else status,
                   ", left " + " ".join(os.path.basename(p) for p in leftovers) if leftovers else "",
                   tail, err[-300:]), flush=True)
    return 1 if any_bad else 0


if __name__ == "__main__":
    sys.exit(main())

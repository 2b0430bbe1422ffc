#!/usr/bin/env python3
"""The address-space limits (ulimit -v) from which every run of the example succeeds.

    bench/limit_every.py [--corvane BIN] [--runs 20] [--jobs 3] [--step 0.01] [--top 1.6] [--top-mb MB]
                         [--threads 1,2,4,8] [--only NAME,...]

Near what a run needs, whether it succeeds varies from run to run and from limit to limit (the
threads' memory pools of the C library), so one success at a limit says little. For every
configuration (the computation from PLINK and BGEN on 1, 2, 4 and 8 threads, or on those of
--threads, and on 8 threads with MALLOC_ARENA_MAX=1; the merge, meta, table and matrix runs of a
computed file; the table of an --incl-variants list in the file's order and of lists not in it, of 2
variants and of all) it finds the smallest limit at which one run succeeds (bisection, as
limit_sweep.py), then walks down from --top times it in steps of --step times it, running --runs runs
at each limit (a limit's runs stop at the first that fails), and prints the lowest limit of the
unbroken stretch where every run succeeded, in KiB and in MB (10^6 bytes), and how the runs at the
step below it ended. On more than one thread that lowest limit lies far above the smallest success
(a pool made by reserving twice its size for a moment): --top-mb starts the walk at a limit in MB
instead, for the configurations chosen with --only. Configuration names: compute-plink-1 ...
compute-bgen-8-arena1, merge, meta, table, matrix, table-list-in-order, table-list-reversed,
table-list-two-reversed. An ending that is neither a success nor a clean failure (see
limit_sweep.py) is printed in full; it makes the exit status 1.
"""
import argparse
import concurrent.futures
import glob
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
_spec = importlib.util.spec_from_file_location("limit_sweep", os.path.join(HERE, "limit_sweep.py"))
sweep = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sweep)


def mb(kib):
    return kib * 1024 / 1e6


class Config(sweep.Config):
    def __init__(self, name, argv, outputs, prepare=None, env=None):
        super().__init__(name, argv, outputs, prepare)
        self.env = env or {}

    def attempt(self, limit_kib, timeout):
        work = tempfile.mkdtemp(prefix="corvane-every-")
        try:
            if self.prepare:
                self.prepare(work)
            env = dict(os.environ, OMP_NUM_THREADS="8", **self.env)
            script = 'ulimit -v %d; exec "$@"' % limit_kib
            try:
                proc = subprocess.run(["bash", "-c", script, "bash"] + self.argv, cwd=work, env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
                status, out, err = (proc.returncode, proc.stdout.decode(errors="replace"),
                                    proc.stderr.decode(errors="replace"))
            except subprocess.TimeoutExpired as e:
                status, out, err = (None, (e.stdout or b"").decode(errors="replace"),
                                    (e.stderr or b"").decode(errors="replace"))
            leftovers = [] if status == 0 else sorted(
                p for pattern in self.outputs for p in glob.glob(os.path.join(work, pattern)))
            return limit_kib, sweep.classify(status, out, err, leftovers), status, out, err, leftovers
        finally:
            shutil.rmtree(work, ignore_errors=True)


def every(config, limit, runs, jobs, timeout, stop_early=True):
    """The endings of up to `runs` runs at `limit`; with stop_early, none after the first failure."""
    results = []
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        while len(results) < runs:
            batch = min(jobs, runs - len(results))
            got = list(pool.map(lambda _: config.attempt(limit, timeout), range(batch)))
            results.extend(got)
            if stop_early and any(r[1] != "done" for r in got):
                break
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corvane", default=os.path.join(REPO, "build", "corvane"))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=20)
    parser.add_argument("--step", type=float, default=0.01, help="step as a share of the smallest success")
    parser.add_argument("--top", type=float, default=1.6, help="top of the scan as a multiple of it")
    parser.add_argument("--top-mb", type=float, default=0,
                        help="top of the scan in MB (10^6 bytes), instead of --top")
    parser.add_argument("--threads", default="1,2,4,8", help="thread counts of the computation")
    parser.add_argument("--only", default="", help="comma-separated configuration names")
    args = parser.parse_args()
    corvane = os.path.abspath(args.corvane)
    example = os.path.join(REPO, "example", "example")
    # The environment already set (MALLOC_ARENA_MAX, say) would change every configuration.
    for name in ("MALLOC_ARENA_MAX",):
        os.environ.pop(name, None)

    configs = []
    for kind in ("plink", "bgen"):
        source = ["--bplink", example] if kind == "plink" else ["--bgen", example + ".bgen"]
        for threads in (int(t) for t in args.threads.split(",")):
            configs.append(Config("compute-%s-%d" % (kind, threads),
                                  [corvane] + source + ["--bcor", "out.bcor", "--n-threads", str(threads)],
                                  ["out.bcor_*"]))
        configs.append(Config("compute-%s-8-arena1" % kind,
                              [corvane] + source + ["--bcor", "out.bcor", "--n-threads", "8"],
                              ["out.bcor_*"], env={"MALLOC_ARENA_MAX": "1"}))

    computed = tempfile.mkdtemp(prefix="corvane-every-input-")
    subprocess.run([corvane, "--bplink", example, "--bcor", "out.bcor", "--n-threads", "2"], cwd=computed,
                   stdout=subprocess.DEVNULL, check=True)
    subprocess.run([corvane, "--bcor", "out.bcor", "--merge", "2"], cwd=computed,
                   stdout=subprocess.DEVNULL, check=True)
    with open(example + ".bim") as bim:
        variants = [line.split() for line in bim if line.strip()]
    lists = {
        "in-order": variants,
        "reversed": variants[::-1],
        "two-reversed": [variants[1], variants[0]],
    }
    for name, rows in lists.items():
        with open(os.path.join(computed, name + ".txt"), "w") as f:
            f.write("RSID position chromosome A_allele B_allele\n")
            for v in rows:
                f.write("%s %s %s %s %s\n" % (v[1], v[3], v[0], v[4], v[5]))
    extractions = [
        ("merge", ["--merge", "2"], ["out.bcor"], ["out.bcor_1", "out.bcor_2"]),
        ("meta", ["--meta", "out.meta"], ["out.meta"], ["out.bcor"]),
        ("table", ["--table", "out.table"], ["out.table"], ["out.bcor"]),
        ("matrix", ["--matrix", "out.matrix"], ["out.matrix"], ["out.bcor"]),
    ]
    for name in lists:
        extractions.append(("table-list-" + name, ["--table", "out.table", "--incl-variants", name + ".txt"],
                            ["out.table"], ["out.bcor", name + ".txt"]))
    for name, options, outputs, files in extractions:
        def prepare(work, files=files):
            for f in files:
                shutil.copy(os.path.join(computed, f), work)
        configs.append(Config(name, [corvane, "--bcor", "out.bcor"] + options, outputs, prepare))

    if args.only:
        wanted = args.only.split(",")
        configs = [c for c in configs if c.name in wanted]

    any_bad = False
    for config in configs:
        smallest = sweep.smallest_success(config, args.timeout)
        step = max(64, int(smallest * args.step))
        top = int(args.top_mb * 1e6 / 1024) if args.top_mb else int(smallest * args.top)
        # Downwards from the top: the figure is the lowest limit of the unbroken stretch below the top
        # where every run succeeds, so that every limit above it (to the top, at this step) does too.
        limit, lowest, tried, ran = top, None, 0, 0
        while limit > step:
            results = every(config, limit, args.runs, args.jobs, args.timeout)
            tried += 1
            ran += len(results)
            for limit_kib, kind, status, out, err, leftovers in results:
                if kind in ("done", "error", "omp", "loader"):
                    continue
                any_bad = True
                print("  bad at %d KiB: status %s%s\n    stdout tail: %r\n    stderr: %r" %
                      (limit_kib, "hang" if status is None else status,
                       ", left " + " ".join(os.path.basename(p) for p in leftovers) if leftovers else "",
                       "\n".join(out.splitlines()[-3:]), err[-300:]), flush=True)
            if any(r[1] != "done" for r in results):
                failed = results
                break
            lowest = limit
            limit -= step
        else:
            failed = []
        if lowest is None:
            print("%-26s one run from %7d KiB (%7.2f MB); the top, %d KiB, fails" % (
                config.name, smallest, mb(smallest), top), flush=True)
            continue
        endings = {}
        for r in failed:
            endings[r[1]] = endings.get(r[1], 0) + 1
        print("%-26s one run from %7d KiB (%7.2f MB); every run of %d at each of %d limits from %7d KiB "
              "(%7.2f MB) to %d KiB; at %d KiB: %s" % (
                  config.name, smallest, mb(smallest), args.runs, tried - (1 if failed else 0), lowest,
                  mb(lowest), top, lowest - step,
                  ", ".join("%s %d" % kv for kv in sorted(endings.items())) if failed else "not tried"),
              flush=True)
    shutil.rmtree(computed, ignore_errors=True)
    return 1 if any_bad else 0


if __name__ == "__main__":
    sys.exit(main())

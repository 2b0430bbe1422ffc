#!/usr/bin/python3
"""The product kernels through the program: the test build of corvane (corvane_with_kernel, which takes its
kernel from CORVANE_TEST_KERNEL) computes the same sets with every kernel this machine runs, the plain one
included, and the per-thread BCOR files must agree byte for byte, also with the shipped corvane's, which
takes the machine's widest kernel whatever that variable says."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
args, check, work, path = session.args, session.check, session.work, session.path
read = session.read
with_kernel = os.path.join(os.path.abspath(args.tools_dir), "corvane_with_kernel")
example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example", "example")


def machine_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


flags = machine_flags()
kernels = ["plain"] + (["avx"] if "avx" in flags else []) + (["avx512"] if "avx512f" in flags else [])
absent = [k for k in ("avx", "avx512") if k not in kernels]


def run(binary, kernel, argv):
    env = dict(os.environ, CORVANE_TEST_KERNEL=kernel)
    try:
        p = subprocess.run([binary] + [str(a) for a in argv], cwd=work, env=env, capture_output=True,
                           timeout=120)
    except subprocess.TimeoutExpired:
        raise AssertionError("hung: %s" % " ".join(str(a) for a in argv))
    return corvane_test.Result(p.returncode, p.stdout.decode("utf-8", "replace"),
                               p.stderr.decode("utf-8", "replace"))


def generate(prefix, *extra):
    testgen = os.path.join(args.tools_dir, "corvane_testgen")
    subprocess.run([testgen, "--out", prefix, "--plink"] + [str(a) for a in extra], cwd=work, check=True,
                   capture_output=True, timeout=120)
    return path(prefix)


def compute(name, data, threads, chunk):
    """The set with every kernel, then with the shipped program; every per-thread file against the plain
    kernel's."""
    options = ["--bplink", data, "--n-threads", threads, "--n-variants-chunk", chunk, "--ld-thold", 0,
               "--accuracy", "high"]
    runs = [(with_kernel, k, k) for k in kernels] + [(session.binary, "shipped", "bogus")]
    for binary, label, variable in runs:
        res = run(binary, variable, ["--bcor", "%s_%s.bcor" % (name, label)] + options)
        ok = res.status == 0 and "- Done!" in res.stdout
        if not ok:
            print(res.stdout[-1500:])
        check.check(ok, "%s: %s kernel computes" % (name, label))
        if binary == with_kernel:
            check.check("product kernel: %s" % label in res.stderr, "%s: %s kernel taken" % (name, label))
    for t in range(1, threads + 1):
        plain = read("%s_plain.bcor_%d" % (name, t))
        # Enough stored pairs that a wrong bit anywhere shows.
        check.check(len(plain) > 10000, "%s: thread %d stores pairs (%d bytes)" % (name, t, len(plain)))
        for _, label, _ in runs[1:]:
            same = read("%s_%s.bcor_%d" % (name, label, t)) == plain
            check.check(same, "%s: thread %d, the %s kernel's file is the plain kernel's byte for byte" %
                        (name, t, label))


# Each kernel the machine runs is taken, one it lacks refused; a name that is none is refused too.
for kernel in absent + ["sse"]:
    res = run(with_kernel, kernel, ["--bcor", "refused.bcor", "--bplink", example])
    message = "cannot be run on this machine!" if kernel in absent else "is not known!"
    check.check(res.status == 1 and "Error: Product kernel '%s' %s" % (kernel, message) in res.stdout,
                "kernel %s refused, status 1" % kernel)
check.check(not any(f.startswith("refused.bcor") for f in os.listdir(work)), "a refused kernel writes nothing")

# The example's 500 samples (a multiple of 4, not of 8) in one chunk and in chunks with batches; then
# sample counts off the multiples of 4, with missing genotypes.
compute("example", example, 3, 1000)
compute("example_batches", example, 2, 37)
compute("odd", generate("odd", "--samples", 499, "--variants", 90, "--missing", 0.05, "--seed", 41), 3, 23)
compute("few", generate("few", "--samples", 13, "--variants", 60, "--missing", 0.1, "--seed", 42), 2, 7)
check.finish()

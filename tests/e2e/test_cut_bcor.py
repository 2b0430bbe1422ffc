#!/usr/bin/python3
"""A BCOR file whose length is not the end of its last record is refused by every run that reads one,
through the binary: the meta, matrix and table runs for a cut or lengthened merged file, the merge for a
cut or lengthened per-thread file. Status 1, the exact message, no output left; the whole files still
work, also a merged file without any record."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
check, path, corvane = session.check, session.path, session.corvane
read, write, succeeded = session.read, session.write, session.succeeded
example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "example", "example")

TRUNCATED = "Error: File '%s' is truncated!"
CORRUPT = "Error: File '%s' is corrupt: it is longer than its header and offset tables say!"
MODES = ("meta", "matrix", "table")


def refused(result, message, what):
    last = result.stdout.rstrip("\n").split("\n")[-1]
    ok = result.status == 1 and last == message and "- Done!" not in result.stdout
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-1500:]))
    check.check(ok, "%s: status 1 with '%s'" % (what, message))


def read_runs(name, message, what):
    """Each reading mode on `name`: refused with `message` and no output, or, without one, done."""
    for mode in MODES:
        output = "out." + mode
        if os.path.exists(path(output)):
            os.remove(path(output))
        result = corvane("--bcor", name, "--" + mode, output)
        if message is None:
            succeeded(result, "%s of %s" % (mode, what))
            check.check(os.path.exists(path(output)), "%s of %s writes its file" % (mode, what))
        else:
            refused(result, message, "%s of %s" % (mode, what))
            check.check(not os.path.exists(path(output)), "%s of %s leaves no file" % (mode, what))


succeeded(corvane("--bplink", example, "--bcor", "e.bcor", "--n-threads", 2), "compute")
succeeded(corvane("--bcor", "e.bcor", "--merge", 2), "merge")
merged = read("e.bcor")
read_runs("e.bcor", None, "the whole merged file")

n = len(merged)
for length in (n // 4, n // 2, 3 * n // 4, n - 1, n - 2, n - 4):
    write("c.bcor", merged[:length])
    read_runs("c.bcor", TRUNCATED % "c.bcor", "the merged file cut to %d of %d bytes" % (length, n))
write("c.bcor", merged + b"\0\0\0")
read_runs("c.bcor", CORRUPT % "c.bcor", "the merged file with 3 bytes appended")

# The merge, one damaged per-thread file at a time.
threads = {k: read("e.bcor_%d" % k) for k in (1, 2)}
for k, data, message in ((1, threads[1][:-1], TRUNCATED), (2, threads[2][:len(threads[2]) // 2], TRUNCATED),
                         (2, threads[2] + b"\0", CORRUPT)):
    for j in (1, 2):
        write("p.bcor_%d" % j, data if j == k else threads[j])
    what = "merge of p.bcor_%d of %d bytes (whole: %d)" % (k, len(data), len(threads[k]))
    refused(corvane("--bcor", "p.bcor", "--merge", 2), message % ("p.bcor_%d" % k), what)
    check.check(not os.path.exists(path("p.bcor")), what + " leaves no merged file")

# Without any record a merge of two files ends 16 zero bytes after the tables its readers see.
succeeded(corvane("--bplink", example, "--bcor", "z.bcor", "--n-threads", 2, "--variant-window-size", 1),
          "compute without pairs")
succeeded(corvane("--bcor", "z.bcor", "--merge", 2), "merge without pairs")
empty = read("z.bcor")
check.check(empty[40:48] == b"\0" * 8, "the merged file without pairs holds no record")
read_runs("z.bcor", None, "the merged file without records")
write("c.bcor", empty[:-1])
read_runs("c.bcor", TRUNCATED % "c.bcor", "the merged file without records, cut by 1 byte")

# One thread's file has tables of n - 1 entries and no spare bytes: without records the two layouts
# differ only by those 16 zero bytes, so a two-thread merged file cut by exactly 16 bytes is a sound
# one-thread file (and reads as the whole file did). Any other byte after the tables was added.
succeeded(corvane("--bplink", example, "--bcor", "y.bcor", "--n-threads", 1, "--variant-window-size", 1),
          "compute on one thread without pairs")
single = read("y.bcor_1")
check.check(empty[:-16] == single, "without records, the merged file less 16 bytes is the one-thread file")
read_runs("y.bcor_1", None, "the one-thread file without records")
for k in (1, 8, 15, 16, 17):
    write("c.bcor", single + b"\x01" * k)
    read_runs("c.bcor", CORRUPT % "c.bcor", "the one-thread file without records, %d bytes appended" % k)
    write("c.bcor", empty + b"\x01" * k)
    read_runs("c.bcor", CORRUPT % "c.bcor", "the merged file without records, %d bytes appended" % k)
write("c.bcor", single + b"\0" * 15 + b"\x01")
read_runs("c.bcor", CORRUPT % "c.bcor", "the one-thread file without records, 16 bytes appended, the last not 0")
for k in (2, 15):
    write("c.bcor", empty[:-k])
    read_runs("c.bcor", TRUNCATED % "c.bcor", "the merged file without records, cut by %d bytes" % k)

check.finish()

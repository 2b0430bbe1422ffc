#!/usr/bin/python3
"""A stored pair that counts more samples than its BCOR file holds is refused as corrupt, through the
binary, by the table and by the merge, with status 1 and no output left; as many as the file holds is
read."""
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
args, check, work, path, corvane = session.args, session.check, session.work, session.path, session.corvane
read, write, succeeded = session.read, session.write, session.succeeded


def refused_as_corrupt(result, name, what):
    last = result.stdout.rstrip("\n").split("\n")[-1]
    ok = result.status == 1 and last.startswith("Error: File '%s' is corrupt: the pair of variants " % name)
    if not ok:
        print("%s: status %d\n%s" % (what, result.status, result.stdout[-1500:]))
    check.check(ok, what + ": status 1, corrupt")


# Missing genotypes, so that some pairs store their own number of samples.
subprocess.run([os.path.join(args.tools_dir, "corvane_testgen"), "--out", "m", "--plink", "--samples", "40",
                "--variants", "30", "--missing", "0.1", "--seed", "41"], cwd=work, check=True, capture_output=True,
               timeout=120)
succeeded(corvane("--bplink", "m", "--bcor", "m.bcor", "--n-threads", 2, "--ld-thold", 0), "compute")
succeeded(corvane("--bcor", "m.bcor", "--merge", 2), "merge")
merged = read("m.bcor")
header_size, n_samples, n_variants = struct.unpack_from("<III", merged, 0)
entries = n_variants - 1
count_offsets = [o for o in struct.unpack_from("<%dQ" % entries, merged, header_size + 8 * entries) if o]
check.check(len(count_offsets) > 0, "the set stores sample counts")
# A record: u32 size, u32 variant, u32 entries, then (u32 partner, u32 samples) per entry.
record_at = count_offsets[len(count_offsets) // 2]
(size,) = struct.unpack_from("<I", merged, record_at)
record = merged[record_at:record_at + 4 + size]
count_at = 16  # size, variant, entries, first partner: the first entry's number of samples


def with_count(data, at, count):
    return data[:at + count_at] + struct.pack("<I", count) + data[at + count_at + 4:]


for count in (n_samples, n_samples + 1, 0xFFFFFFFF):
    write("c.bcor", with_count(merged, record_at, count))
    result = corvane("--bcor", "c.bcor", "--table", "c.table", "--ld-thold", 0, "--ld-n-samples-avail-prop", 0)
    if count == n_samples:
        succeeded(result, "a pair of all %d samples is read" % n_samples)
    else:
        refused_as_corrupt(result, "c.bcor", "table of a pair of %d samples" % count)
        check.check(not os.path.exists(path("c.table")), "no table left by the corrupt count %d" % count)

# The merge reads the per-thread files' records: the same record, found in whichever holds it.
for k in (1, 2):
    write("p.bcor_%d" % k, read("m.bcor_%d" % k))
holder = next(k for k in (1, 2) if record in read("m.bcor_%d" % k))
thread_file = read("m.bcor_%d" % holder)
write("p.bcor_%d" % holder, with_count(thread_file, thread_file.index(record), n_samples + 1))
refused_as_corrupt(corvane("--bcor", "p.bcor", "--merge", 2), "p.bcor_%d" % holder, "merge of a pair of too many samples")
check.check(not os.path.exists(path("p.bcor")), "no merged file left")

check.finish()

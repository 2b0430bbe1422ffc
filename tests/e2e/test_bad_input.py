#!/usr/bin/python3
"""Bad input through the real binary, as a table of cases. Every case must end with a line that
starts with "Error: " and status 1 (a "clean" case may instead succeed normally), within its time,
with nothing on standard error from a sanitizer, and without an output file that looks complete:
no "- Done!", no BCOR file whose header size is set, no meta, matrix or table file left behind.

Cases whose mode is not yet in the binary are skipped, and counted as skipped, until it answers
a valid run: the suite probes each mode with good input first."""
import concurrent.futures
import os
import re
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

args = corvane_test.parse_args()
check = corvane_test.Checker()
work = args.work_dir
corvane = args.corvane
testgen = os.path.join(args.tools_dir, "corvane_testgen")
# Checked builds (sanitizers) run several times slower: the limit is for hangs, not speed.
TIMEOUT = float(os.environ.get("CORVANE_BAD_INPUT_TIMEOUT", "120"))
WORKERS = max(1, min(4, os.cpu_count() or 1))
# Every mode is in the binary: a mode that does not answer its probe is a failure, not a skip.
REQUIRE_ALL_MODES = True


# --- fixtures --------------------------------------------------------------------------------------------

def path(*parts):
    return os.path.join(work, *parts)


def read(p):
    with open(p, "rb") as f:
        return f.read()


def write(p, data):
    os.makedirs(os.path.dirname(p), exist_ok=True)
    with open(p, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return p


def generate(prefix, *extra):
    cmd = [testgen, "--out", path(prefix)] + list(extra)
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    if p.returncode != 0:
        raise SystemExit("corvane_testgen failed: %s\n%s%s" % (" ".join(cmd), p.stdout, p.stderr))
    return path(prefix)


def run(argv, cwd=None, timeout=TIMEOUT):
    started = time.monotonic()
    try:
        p = subprocess.run([corvane] + argv, cwd=cwd or work, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, "", "", timeout
    return (p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace"),
            time.monotonic() - started)


def u32(v):
    return struct.pack("<I", v)


def patch(data, offset, raw):
    return data[:offset] + raw + data[offset + len(raw):]


# PLINK set and BGEN files of every layout, small enough to cut at every byte.
plink = generate("p", "--samples", "24", "--variants", "12", "--plink", "--seed", "3")
# One variant: two threads are more threads than variants, on any machine (--n-threads is capped
# at the number of cores).
one = generate("one", "--samples", "10", "--variants", "1", "--plink", "--bgen", "--seed", "4")
big = generate("big", "--samples", "60", "--variants", "300", "--plink", "--spacing", "100", "--seed", "7")
bgen_small = {}
for layout in (0, 1, 2):
    for compression in ("zlib", "none"):
        extra = ["--sample-ids"] if layout == 2 else []
        prefix = generate("b%d_%s" % (layout, compression), "--samples", "4", "--variants", "3", "--bgen",
                          "--layout", str(layout), "--compression", compression, "--seed", "5", *extra)
        bgen_small[(layout, compression)] = prefix + ".bgen"
bgen_ids = generate("bs", "--samples", "6", "--variants", "4", "--bgen", "--sample-ids", "--seed", "6")


def bgen_offsets(data):
    """File offsets of the fields of a layout 2 file: header, sample block, first variant's pieces."""
    (offset, header_size) = struct.unpack_from("<II", data, 0)
    (flags,) = struct.unpack_from("<I", data, 4 + header_size - 4)
    o = {"offset": 0, "header_size": 4, "n_variants": 8, "n_samples": 12, "magic": 16, "flags": header_size}
    if flags & 0x80000000:
        o["id_block_length"] = 4 + header_size
        o["id_block_count"] = 8 + header_size
        o["first_id_length"] = 12 + header_size
    p = offset + 4
    o["snpid_length"] = p
    p += 2 + struct.unpack_from("<H", data, p)[0]
    o["rsid_length"] = p
    p += 2 + struct.unpack_from("<H", data, p)[0]
    o["chromosome_length"] = p
    p += 2 + struct.unpack_from("<H", data, p)[0]
    o["position"] = p
    o["n_alleles"] = p + 4
    p += 6
    o["allele1_length"] = p
    p += 4 + struct.unpack_from("<I", data, p)[0]
    o["allele2_length"] = p
    p += 4 + struct.unpack_from("<I", data, p)[0]
    o["block_length"] = p
    o["decompressed_size"] = p + 4
    o["end_of_first_variant"] = p + 4 + struct.unpack_from("<I", data, p)[0]
    return o


# --- the table ---------------------------------------------------------------------------------------------

class Case:
    def __init__(self, name, argv, expect=None, needs=(), outputs=(), clean=False, cwd=None, after=None):
        self.name = name
        self.argv = argv
        self.expect = expect          # text the message must contain (None: any "Error: " line)
        self.needs = set(needs)       # modes the case runs through
        self.outputs = list(outputs)  # (path, "bcor" | "text") that must not look complete afterwards
        self.clean = clean            # a successful run is acceptable too
        self.cwd = cwd
        self.after = after            # a run that must succeed on the output of a successful clean case


cases = []


def case(*a, **k):
    cases.append(Case(*a, **k))


def scratch(name):
    d = path("cases", name)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    return d


def bgen_case(name, data, expect=None, extra=(), clean=False, threads=2):
    d = scratch(name)
    f = write(os.path.join(d, "in.bgen"), data)
    out = os.path.join(d, "out")
    outputs = [(out + "_%d" % t, "bcor") for t in range(1, threads + 1)]
    case(name, ["--bgen", f, "--bcor", out, "--n-threads", str(threads)] + list(extra), expect,
         needs={"bgen"}, outputs=outputs, clean=clean)


def plink_case(name, bed=None, bim=None, fam=None, expect=None, extra=(), threads=2, clean=False):
    d = scratch(name)
    base = os.path.join(d, "in")
    write(base + ".bed", bed if bed is not None else read(plink + ".bed"))
    write(base + ".bim", bim if bim is not None else read(plink + ".bim").decode())
    write(base + ".fam", fam if fam is not None else read(plink + ".fam").decode())
    out = os.path.join(d, "out")
    outputs = [(out + "_%d" % t, "bcor") for t in range(1, threads + 1)]
    case(name, ["--bplink", base, "--bcor", out, "--n-threads", str(threads)] + list(extra), expect,
         needs={"plink"}, outputs=outputs, clean=clean)


# BGEN: truncated at every byte, each layout, compressed and stored.
for (layout, compression), f in sorted(bgen_small.items()):
    data = read(f)
    for cut in range(len(data)):
        bgen_case("bgen_l%d_%s_cut%d" % (layout, compression, cut), data[:cut])

# BGEN: one byte flipped anywhere in the header, the sample block and the first variant; either the
# run stays sound or it stops with a message.
data = read(bgen_ids + ".bgen")
fields = bgen_offsets(data)
for k in range(fields["end_of_first_variant"]):
    bgen_case("bgen_flip%d" % k, patch(data, k, bytes([data[k] ^ 0xFF])), clean=True)

# BGEN: lengths far beyond the file, and other refusals of the container and the blocks.
huge = {"offset": u32(0xFFFFFFF0), "header_size": u32(0xFFFFFFF0), "n_variants": u32(0x7FFFFFFF),
        "n_samples": u32(0x7FFFFFFF), "id_block_length": u32(0xFFFFFFF0), "id_block_count": u32(0x7FFFFFFF),
        "first_id_length": b"\xff\xff", "snpid_length": b"\xff\xff", "rsid_length": b"\xff\xff",
        "chromosome_length": b"\xff\xff", "n_alleles": b"\xff\xff", "allele1_length": u32(0xFFFFFFFF),
        "allele2_length": u32(0xFFFFFFFF), "block_length": u32(0xFFFFFFF0),
        "decompressed_size": u32(0xFFFFFFF0)}
for field, raw in sorted(huge.items()):
    bgen_case("bgen_huge_" + field, patch(data, fields[field], raw))
bgen_case("bgen_wrong_magic", patch(data, 16, b"BGEN"), "is not a BGEN file!")
bgen_case("bgen_header_size_19", patch(data, 4, u32(19)))
bgen_case("bgen_layout3", patch(data, fields["flags"], u32(struct.unpack_from("<I", data, fields["flags"])[0] | 0xC)),
          "which is not supported!")
bgen_case("bgen_one_allele", patch(data, fields["n_alleles"], b"\x01\x00"))
bgen_case("bgen_more_variants_declared", patch(data, 8, u32(5)))
# Variants after the declared count are not read, like bytes after the last variant.
bgen_case("bgen_fewer_variants_declared", patch(data, 8, u32(3)), clean=True)
bgen_case("bgen_no_variants_declared", patch(data, 8, u32(0)))
bgen_case("bgen_no_samples", patch(patch(data, 12, u32(0)), fields["id_block_count"], u32(0)))
bgen_case("bgen_corrupt_zlib", patch(data, fields["decompressed_size"] + 6, b"\x00\xff\x00\xff"))
bgen_case("bgen_empty", b"")
bgen_case("bgen_trailing_garbage", data + b"\x07" * 9, clean=True)
stored = read(bgen_small[(2, "none")])
so = bgen_offsets(stored)
n_stored = struct.unpack_from("<I", stored, 12)[0]
probability_data = so["block_length"] + 4
bgen_case("bgen_block_sample_count", patch(stored, probability_data, u32(n_stored + 1)))
bgen_case("bgen_block_no_alleles", patch(stored, probability_data + 4, b"\x00\x00"))
bgen_case("bgen_block_bits_0", patch(stored, probability_data + 9 + n_stored, b"\x00"))
bgen_case("bgen_block_bits_33", patch(stored, probability_data + 9 + n_stored, b"\x21"))
bgen_case("bgen_block_sum_above_1", patch(stored, probability_data + 10 + n_stored, b"\xff\xff"))
bgen_case("bgen_compression_bit1", patch(stored, so["flags"], u32(struct.unpack_from("<I", stored, so["flags"])[0] | 2)),
          "uses a compression method that is not supported!")
# The first variant on chromosome 2, the others on chromosome 1.
bgen_case("bgen_two_chromosomes", patch(stored, so["chromosome_length"] + 2, b"2"), "chromosome")
bgen_case("bgen_more_threads_than_variants", read(one + ".bgen"), "parallel processes but")


def bgen_block_starts(data):
    """File offset of every variant's probability block (its length field) in a layout 2 file."""
    (offset,) = struct.unpack_from("<I", data, 0)
    (n_variants,) = struct.unpack_from("<I", data, 8)
    starts, p = [], offset + 4
    for _ in range(n_variants):
        for _ in range(3):  # SNPID, RSID, chromosome
            p += 2 + struct.unpack_from("<H", data, p)[0]
        (n_alleles,) = struct.unpack_from("<H", data, p + 4)
        p += 6
        for _ in range(n_alleles):
            p += 4 + struct.unpack_from("<I", data, p)[0]
        starts.append(p)
        p += 4 + struct.unpack_from("<I", data, p)[0]
    return starts


# A block that only the thread whose share holds it decodes, near the end of the run, while the
# other threads still print progress: the error is printed once and nothing follows it. Repeated,
# since the threads' timing differs from run to run.
late = generate("late", "--samples", "400", "--variants", "300", "--bgen", "--seed", "8")
data = read(late + ".bgen")
block = bgen_block_starts(data)[290]
damaged = patch(data, block + 8 + 4, b"\x00\xff\x00\xff\x00\xff")
for k in range(20):
    bgen_case("bgen_late_damaged_block_run%d" % k, damaged, threads=8, expect="is corrupt",
              extra=["--n-variants-chunk", "7", "--variant-window-size", "20000"])

# zstd-compressed BGEN, as plink2 writes BGEN 1.3.
if shutil.which("plink2"):
    p = subprocess.run(["plink2", "--bfile", plink, "--export", "bgen-1.3", "--out", path("zstd")],
                       capture_output=True, timeout=300)
    if p.returncode == 0:
        bgen_case("bgen_zstd_plink2", read(path("zstd.bgen")), "uses a compression method that is not supported!")

# Sample file and sample list with BGEN input.
ids = [line.split()[0] for line in read(bgen_ids + ".sample").decode().splitlines()[2:]]


def sample_case(name, sample_text, list_text=None, expect=None, clean=False):
    d = scratch(name)
    s = write(os.path.join(d, "in.sample"), sample_text)
    lst = write(os.path.join(d, "list.txt"), list_text if list_text is not None else "\n".join(ids[:4]) + "\n")
    out = os.path.join(d, "out")
    case(name, ["--bgen", bgen_ids + ".bgen", "--samples", s, "--incl-samples", lst, "--bcor", out,
                "--n-threads", "2"], expect, needs={"bgen"}, outputs=[(out + "_1", "bcor"), (out + "_2", "bcor")],
         clean=clean)


body = "".join("%s %s 0\n" % (i, i) for i in ids)
sample_case("sample_wrong_id1", "ID1 ID_2 missing\n0 0 0\n" + body, expect="Error: Encountered 'ID1' in place of 'ID_1' in header")
sample_case("sample_wrong_id2", "ID_1 ID-2 missing\n0 0 0\n" + body, expect="in place of 'ID_2' in header")
sample_case("sample_wrong_missing", "ID_1 ID_2 mising\n0 0 0\n" + body, expect="in place of 'missing' in header")
sample_case("sample_crlf_header", "ID_1 ID_2 missing\r\n0 0 0\r\n" + body, clean=True)
sample_case("sample_cr_only", "ID_1 ID_2 missing\r0 0 0\r" + body.replace("\n", "\r"),
            expect="Error: Encountered 'missing\\r0' in place of 'missing' in header")
sample_case("sample_tab_header", "ID_1\tID_2\tmissing\n0\t0\t0\n" + body, expect="column(s)")
sample_case("sample_two_columns", "ID_1 ID_2\n0 0\n" + body,
            expect="Error: Encountered 2 column(s) in")
sample_case("sample_empty_first_line", "\n0 0 0\n" + body, expect="Error: Encountered 0 column(s) in")
sample_case("sample_empty_file", "", expect="column(s)")
sample_case("sample_empty_line", "ID_1 ID_2 missing\n0 0 0\n" + "%s %s 0\n\n" % (ids[0], ids[0]) +
            "".join("%s %s 0\n" % (i, i) for i in ids[2:]), expect="Error: Encountered emtpy input in line")
sample_case("sample_duplicate", "ID_1 ID_2 missing\n0 0 0\n" + body.replace(ids[1], ids[0]), expect="duplicated sample")
sample_case("sample_too_few", "ID_1 ID_2 missing\n0 0 0\n" + "".join("%s %s 0\n" % (i, i) for i in ids[:-1]),
            expect="but BGEN file contains data on")
sample_case("sample_too_many", "ID_1 ID_2 missing\n0 0 0\n" + body + "extra extra 0\n",
            expect="but BGEN file contains data on")
header = "ID_1 ID_2 missing\n0 0 0\n" + body
sample_case("list_empty_line", header, list_text=ids[0] + "\n\n" + ids[1] + "\n", expect="emtpy input in line")
sample_case("list_unknown_sample", header, list_text=ids[0] + "\nnobody\n", expect="that cannot be found in file")
sample_case("list_duplicate_sample", header, list_text=ids[0] + "\n" + ids[0] + "\n", expect="duplicated sample")
sample_case("list_empty", header, list_text="")
sample_case("list_leading_space", header, list_text=" " + ids[0] + "\n", expect="that cannot be found in file")

# PLINK file sets.
bed = read(plink + ".bed")
bim_lines = read(plink + ".bim").decode().splitlines(True)
fam_lines = read(plink + ".fam").decode().splitlines(True)
plink_case("bed_wrong_magic", bed=b"\x6c\x1b\x00" + bed[3:], expect="is not a BED file in SNP-major format!")
plink_case("bed_empty", bed=b"")
plink_case("bed_magic_only", bed=bed[:3], expect="contains no complete variant record!")
plink_case("bed_short_by_one_byte", bed=bed[:-1])
plink_case("bed_one_record_more", bed=bed + bed[3:3 + (len(bed) - 3) // len(bim_lines)])
d = scratch("plink_missing_files")
case("plink_missing_files", ["--bplink", os.path.join(d, "none"), "--bcor", os.path.join(d, "out")], "cannot be found!")
case("bgen_is_a_directory", ["--bgen", d, "--bcor", os.path.join(d, "out")], "cannot be found!")
# Line 11 of 12 lies in the second thread's share.
plink_case("bim_missing_column_second_share", bim="".join(bim_lines[:10]) + "\t".join(bim_lines[10].split("\t")[:5]) + "\n" +
           "".join(bim_lines[11:]))
plink_case("bim_missing_column_first_line", bim="\t".join(bim_lines[0].split("\t")[:5]) + "\n" + "".join(bim_lines[1:]))
plink_case("bim_extra_column", bim="".join(l.rstrip("\n") + "\tx\n" for l in bim_lines),
           expect="is expected to contain 6 columns!")
plink_case("bim_shorter_than_bed", bim="".join(bim_lines[:-2]))
plink_case("bim_longer_than_bed", bim="".join(bim_lines) + bim_lines[-1])
plink_case("bim_non_numeric_position", bim="".join(bim_lines[:7]) +
           "\t".join(bim_lines[7].split("\t")[:3] + ["abc"] + bim_lines[7].split("\t")[4:]) + "".join(bim_lines[8:]),
           expect="Error: Encountered non-numeric data 'abc' in column 4 of line 8 of file '")
plink_case("bim_hex_position", bim="".join(bim_lines[:7]) +
           "\t".join(bim_lines[7].split("\t")[:3] + ["0x2710"] + bim_lines[7].split("\t")[4:]) + "".join(bim_lines[8:]),
           expect="Error: Encountered non-numeric data '0x2710' in column 4 of line 8 of file '")
plink_case("bim_negative_position", bim="".join(bim_lines[:11]) + "\t".join(bim_lines[11].split("\t")[:3] + ["-5"] +
           bim_lines[11].split("\t")[4:]), expect="negative position")
plink_case("bim_two_chromosomes", bim="".join(bim_lines[:11]) + "2" + bim_lines[11][bim_lines[11].index("\t"):],
           expect="multiple chromosomes")
plink_case("bim_empty_line", bim="".join(bim_lines[:5]) + "\n" + "".join(bim_lines[5:]))
plink_case("fam_empty", fam="")
plink_case("fam_duplicate_sample", fam="".join(fam_lines[:-1]) + fam_lines[0], expect="duplicated sample")
plink_case("fam_short_line", fam="".join(fam_lines[:-1]) + "FAMx\n")
d = scratch("plink_more_threads_than_variants")
case("plink_more_threads_than_variants", ["--bplink", one, "--bcor", os.path.join(d, "out"), "--n-threads", "2"],
     "parallel processes but", needs={"plink"}, outputs=[(os.path.join(d, "out_1"), "bcor"), (os.path.join(d, "out_2"), "bcor")])
iids = [l.split()[1] for l in fam_lines]
for name, text, expect in [("plist_empty_line", iids[0] + "\n\n" + iids[1] + "\n", "emtpy input in line"),
                           ("plist_unknown", iids[0] + "\nnobody\n", "cannot be found"),
                           ("plist_duplicate", iids[0] + "\n" + iids[0] + "\n", "duplicated sample"),
                           ("plist_empty", "", None)]:
    d = scratch(name)
    lst = write(os.path.join(d, "list.txt"), text)
    out = os.path.join(d, "out")
    case(name, ["--bplink", plink, "--incl-samples", lst, "--bcor", out, "--n-threads", "2"], expect,
         needs={"plink"}, outputs=[(out + "_1", "bcor"), (out + "_2", "bcor")])
d = scratch("range_beyond_last_variant")
case("range_beyond_last_variant", ["--bplink", plink, "--incl-range", "900000000-900000100", "--bcor",
                                   os.path.join(d, "out"), "--n-threads", "2"], "smaller than start coordinate", needs={"plink"},
     outputs=[(os.path.join(d, "out_1"), "bcor"), (os.path.join(d, "out_2"), "bcor")])

# Outputs that cannot be written: a full device, a path under a regular file, /proc.
d = scratch("computation_to_dev_full")
os.symlink("/dev/full", os.path.join(d, "out_1"))
case("computation_to_dev_full", ["--bplink", plink, "--bcor", os.path.join(d, "out"), "--n-threads", "1"],
     "cannot be written", needs={"plink"})
d = scratch("computation_under_a_file")
write(os.path.join(d, "somefile"), "x")
case("computation_under_a_file", ["--bplink", plink, "--bcor", os.path.join(d, "somefile", "out"), "--n-threads", "2"],
     "cannot be", needs={"plink"})
case("computation_into_proc", ["--bplink", plink, "--bcor", "/proc/corvane_no_such_dir/out", "--n-threads", "2"],
     "cannot be", needs={"plink"})


# BCOR inputs: a two-thread run over a small PLINK set, merged; built once the modes exist.
def build_bcor():
    d = path("bcor")
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    for name, extra in [("run", []), ("low", ["--accuracy", "low"]), ("one_thread", ["--n-threads", "1"]),
                        ("fewer", ["--incl-samples", write(os.path.join(d, "ids.txt"), "\n".join(iids[:20]) + "\n")])]:
        threads = [] if "--n-threads" in extra else ["--n-threads", "2"]
        status, out, err, _ = run(["--bplink", plink, "--bcor", os.path.join(d, name)] + threads + extra)
        if status != 0:
            raise SystemExit("cannot build the BCOR inputs: %s\n%s%s" % (name, out, err))
    # Large enough that the table and the matrix pass their stream buffers before the last record.
    status, out, err, _ = run(["--bplink", big, "--bcor", os.path.join(d, "big"), "--n-threads", "2"])
    if status != 0:
        raise SystemExit("cannot build the large BCOR input\n%s%s" % (out, err))
    for name in ("run", "big"):
        status, out, err, _ = run(["--bcor", os.path.join(d, name), "--merge", "2"])
        if status != 0:
            raise SystemExit("cannot merge the BCOR inputs\n%s%s" % (out, err))
    return d


def bcor_cases(d):
    merged = read(os.path.join(d, "run"))
    (header_size, n_samples, n_variants) = struct.unpack_from("<III", merged, 0)
    (accuracy_length,) = struct.unpack_from("<H", merged, 64)
    first_record = 66 + accuracy_length
    tables = header_size
    n = n_variants - 1
    corr_offsets = [o for o in struct.unpack_from("<%dQ" % n, merged, tables) if o]
    count_offsets = [o for o in struct.unpack_from("<%dQ" % n, merged, tables + 8 * n) if o]

    def extraction_case(name, content, modes=("meta", "table", "matrix"), expect=None, clean_modes=()):
        for mode in modes:
            c = scratch("%s_%s" % (name, mode))
            f = write(os.path.join(c, "in.bcor"), content)
            out = os.path.join(c, "out.txt")
            case("%s_%s" % (name, mode), ["--bcor", f, "--" + mode, out], expect, needs={mode},
                 outputs=[(out, "text")], clean=mode in clean_modes)

    # Cut at every byte: the table and the matrix read every record; the meta list reads the
    # header alone, so only a cut inside the header must stop it.
    for cut in range(len(merged)):
        extraction_case("bcor_cut%d" % cut, merged[:cut], modes=("table", "matrix") if cut >= header_size else
                        ("meta", "table", "matrix"))
    # One byte flipped anywhere in the fixed header and the first variant record: a sound run or a
    # message (a flipped name or position cannot be told from a real one).
    for k in range(first_record + 4 + struct.unpack_from("<I", merged, first_record)[0]):
        extraction_case("bcor_flip%d" % k, patch(merged, k, bytes([merged[k] ^ 0xFF])), modes=("table",),
                        clean_modes=("table",))
    extraction_case("bcor_empty", b"")
    extraction_case("bcor_header_size_0", patch(merged, 0, u32(0)), expect="incomplete")
    extraction_case("bcor_header_size_huge", patch(merged, 0, u32(0xFFFFFFF0)))
    extraction_case("bcor_header_size_short", patch(merged, 0, u32(first_record - 1)))
    extraction_case("bcor_header_size_plus_one", patch(merged, 0, u32(header_size + 1)))
    extraction_case("bcor_accuracy_length_huge", patch(merged, 64, b"\xff\xff"))
    extraction_case("bcor_accuracy_unknown", patch(merged, 66, b"x"), modes=("table", "matrix"))
    extraction_case("bcor_thread_file", read(os.path.join(d, "run_1")), expect="is a thread-specific BCOR file!")
    for size, label in [(0, "0"), (1, "1"), (0xFFFFFFFF, "huge")]:
        extraction_case("bcor_variant_record_size_" + label, patch(merged, first_record, u32(size)))
    def record_indices(data):
        """File offset and value of every variant header record's index."""
        out, at = [], 66 + struct.unpack_from("<H", data, 64)[0]
        while at < struct.unpack_from("<I", data, 0)[0]:
            out.append((at + 4, struct.unpack_from("<I", data, at + 4)[0]))
            at += 4 + struct.unpack_from("<I", data, at)[0]
        return out

    # Indices run up without a gap, so any other value of one index is another variant's or none: one
    # changed bit is refused by every mode, which would otherwise lose a variant.
    indices = record_indices(merged)
    for k, (at, index) in enumerate(indices):
        for bit in (0, 1, 9):
            changed = index ^ (1 << bit)
            extraction_case("bcor_variant_index%d_bit%d" % (k, bit), patch(merged, at, u32(changed)), expect="is corrupt")
    extraction_case("bcor_variant_index_repeated", patch(merged, indices[5][0], u32(indices[4][1])),
                    expect="is corrupt: two variant header records carry index %d!" % indices[4][1])
    extraction_case("bcor_variant_index_back", patch(merged, indices[6][0], u32(indices[8][1])),
                    expect="is corrupt: the variant header record of index %d follows that of index %d!" % (
                        indices[7][1], indices[8][1]))
    (first_size,) = struct.unpack_from("<I", merged, first_record)
    extraction_case("bcor_variant_record_size_minus_one", patch(merged, first_record, u32(first_size - 1)))
    extraction_case("bcor_variant_record_size_plus_one", patch(merged, first_record, u32(first_size + 1)))
    for kind, offsets in [("corr", corr_offsets), ("count", count_offsets)]:
        if not offsets:
            continue
        o = offsets[0]
        (size,) = struct.unpack_from("<I", merged, o)
        for label, value in [("0", 0), ("1", 1), ("minus_one", size - 1), ("plus_one", size + 1), ("huge", 0xFFFFFFFF)]:
            extraction_case("bcor_%s_record_size_%s" % (kind, label), patch(merged, o, u32(value)),
                            modes=("table", "matrix"))
        extraction_case("bcor_%s_entry_count_huge" % kind, patch(merged, o + 8, u32(0x7FFFFFFF)), modes=("table", "matrix"))
        entry = tables + 8 * (0 if kind == "corr" else n)
        extraction_case("bcor_%s_offset_past_end" % kind, patch(merged, entry, struct.pack("<Q", len(merged) + 100)),
                        modes=("table", "matrix"))
        extraction_case("bcor_%s_offset_into_header" % kind, patch(merged, entry, struct.pack("<Q", 8)),
                        modes=("table", "matrix"))
        extraction_case("bcor_%s_offset_to_other_record" % kind,
                        patch(merged, entry, struct.pack("<Q", offsets[-1])), modes=("table", "matrix"), clean_modes=())

    # A corrupt last record of a large file: the refusal comes after most of the output was written.
    large = read(os.path.join(d, "big"))
    (large_header_size, _, large_n) = struct.unpack_from("<III", large, 0)
    last = max(struct.unpack_from("<%dQ" % (large_n - 1), large, large_header_size))
    extraction_case("bcor_large_last_record_corrupt", patch(large, last, u32(0xFFFFFFF0)), modes=("table", "matrix"))

    # Merges: per-thread files cut at every byte, missing, extra and mismatched.
    per_thread = read(os.path.join(d, "run_2"))

    def merge_case(name, files, n, expect=None, clean=False):
        c = scratch(name)
        for k, content in files.items():
            if content is not None:
                write(os.path.join(c, "m_%d" % k), content)
        # A merge that succeeds must leave a file that the extraction reads whole.
        case(name, ["--bcor", os.path.join(c, "m"), "--merge", str(n)], expect, needs={"merge"},
             outputs=[(os.path.join(c, "m"), "bcor")], clean=clean,
             after=["--bcor", os.path.join(c, "m"), "--table", os.path.join(c, "out.txt")])

    run_1 = read(os.path.join(d, "run_1"))
    for cut in range(len(per_thread)):
        merge_case("merge_cut%d" % cut, {1: run_1, 2: per_thread[:cut]}, 2)
    for k in range(first_record + 4 + struct.unpack_from("<I", per_thread, first_record)[0]):
        merge_case("merge_flip%d" % k, {1: run_1, 2: patch(per_thread, k, bytes([per_thread[k] ^ 0xFF]))}, 2,
                   clean=True)
    for k, data in ((1, run_1), (2, per_thread)):
        at = record_indices(data)
        merge_case("merge_variant_index_repeated_%d" % k, {1: run_1, 2: per_thread, k: patch(data, at[2][0], u32(at[1][1]))},
                   2, "m_%d' is corrupt: two variant header records carry index %d!" % (k, at[1][1]))
    merge_case("merge_missing_second", {1: run_1}, 2, "cannot be opened!")
    merge_case("merge_missing_first", {2: per_thread}, 2, "cannot be opened!")
    merge_case("merge_one_file_too_many", {1: run_1, 2: per_thread}, 3, "cannot be opened!")
    merge_case("merge_one_file_too_few", {1: run_1, 2: per_thread}, 1, "Number of read variants is not equal")
    merge_case("merge_same_file_twice", {1: run_1, 2: run_1}, 2)
    merge_case("merge_other_accuracy", {1: run_1, 2: read(os.path.join(d, "low_2"))}, 2, "Accuracy is not the same")
    merge_case("merge_other_samples", {1: run_1, 2: read(os.path.join(d, "fewer_2"))}, 2, "is not the same in each BCOR file!")
    merge_case("merge_other_split", {1: run_1, 2: read(os.path.join(d, "one_thread_1"))}, 2)
    merge_case("merge_merged_file_as_input", {1: read(os.path.join(d, "run")), 2: per_thread}, 2)
    merge_case("merge_unfinished_input", {1: run_1, 2: patch(per_thread, 0, u32(0))}, 2, "incomplete")

    # Outputs that cannot be written.
    c = scratch("merge_to_dev_full")
    write(os.path.join(c, "m_1"), run_1)
    write(os.path.join(c, "m_2"), per_thread)
    os.symlink("/dev/full", os.path.join(c, "m"))
    case("merge_to_dev_full", ["--bcor", os.path.join(c, "m"), "--merge", "2"], "cannot be written", needs={"merge"})
    c = scratch("merge_onto_a_directory")
    write(os.path.join(c, "m_1"), run_1)
    write(os.path.join(c, "m_2"), per_thread)
    os.makedirs(os.path.join(c, "m"))
    case("merge_onto_a_directory", ["--bcor", os.path.join(c, "m"), "--merge", "2"], "cannot be", needs={"merge"})
    for mode in ("meta", "table", "matrix"):
        case("%s_to_dev_full" % mode, ["--bcor", os.path.join(d, "run"), "--" + mode, "/dev/full"], "cannot be written",
             needs={mode})
        c = scratch("%s_under_a_file" % mode)
        write(os.path.join(c, "somefile"), "x")
        case("%s_under_a_file" % mode, ["--bcor", os.path.join(d, "run"), "--" + mode,
                                        os.path.join(c, "somefile", "out.txt")], "cannot be", needs={mode})
        case("%s_into_proc" % mode, ["--bcor", os.path.join(d, "run"), "--" + mode, "/proc/corvane_no_such/out.txt"],
             "cannot be", needs={mode})

    # Variant inclusion lists with every malformed line the validators know.
    def list_case(name, text, expect, clean=False):
        for mode in ("table", "matrix"):
            c = scratch("%s_%s" % (name, mode))
            lst = write(os.path.join(c, "variants.txt"), text)
            out = os.path.join(c, "out.txt")
            case("%s_%s" % (name, mode), ["--bcor", os.path.join(d, "run"), "--" + mode, out, "--incl-variants", lst],
                 expect, needs={"incl-variants-" + mode}, outputs=[(out, "text")], clean=clean)

    good_header = "RSID position chromosome A_allele B_allele\n"
    bim0 = bim_lines[0].split("\t")
    good_line = "%s %s %s %s %s\n" % (bim0[1], bim0[3], bim0[0], bim0[4], bim0[5].strip())
    for k, word in enumerate(["RSID", "position", "chromosome", "A_allele", "B_allele"]):
        words = good_header.split()
        words[k] = word.lower() + "x"
        list_case("vlist_wrong_%s" % word, " ".join(words) + "\n" + good_line,
                  "Error: Encountered '%s' in place of '%s' in header" % (words[k], word))
    list_case("vlist_six_columns", good_header.rstrip("\n") + " B_allele\n" + good_line,
              "Error: Encountered 6 column(s) in")
    list_case("vlist_crlf_header", good_header.replace("\n", "\r\n") + good_line, None, clean=True)
    list_case("vlist_tab_header", good_header.replace(" ", "\t") + good_line, "in place of 'RSID' in header")
    list_case("vlist_empty_file", "", None, clean=True)
    for label, position in [("fraction", "12.5"), ("zero", "0"), ("negative", "-3"), ("suffix", "12a"),
                            ("nan", "nan"), ("hex_fraction", "0x1.8p0"), ("hex", "0x7d0"), ("inf", "inf"),
                            ("infinity", "infinity"), ("exponent_only", "1e")]:
        list_case("vlist_position_" + label, good_header + good_line.replace(" %s " % bim0[3], " %s " % position, 1),
                  "Error: Encountered non-numeric data '%s' in line" % position)
    list_case("vlist_position_beyond_32_bits", good_header + good_line.replace(" %s " % bim0[3], " 1e10 ", 1),
              "Error: Position '1e10' in line 1 in ")
    list_case("vlist_empty_position", good_header + good_line.replace(" %s " % bim0[3], "  ", 1), "non-numeric data ''")
    list_case("vlist_empty_line", good_header + good_line + "\n", "emtpy input in line")
    list_case("vlist_short_line", good_header + "%s %s\n" % (bim0[1], bim0[3]), "emtpy input in line")


# --- probes, then the table ----------------------------------------------------------------------------------

def probe_modes():
    """Which modes answer a valid run with "- Done!" and their output."""
    modes = set()
    d = path("probe")
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    status, out, _, _ = run(["--bplink", plink, "--bcor", os.path.join(d, "p"), "--n-threads", "2"])
    if status == 0 and "- Done!" in out and os.path.exists(os.path.join(d, "p_2")):
        modes.add("plink")
    status, out, _, _ = run(["--bgen", bgen_ids + ".bgen", "--bcor", os.path.join(d, "g"), "--n-threads", "2"])
    if status == 0 and "- Done!" in out and os.path.exists(os.path.join(d, "g_2")):
        modes.add("bgen")
    if "plink" in modes:
        status, out, _, _ = run(["--bcor", os.path.join(d, "p"), "--merge", "2"])
        if status == 0 and "- Done!" in out and os.path.exists(os.path.join(d, "p")):
            modes.add("merge")
    if "merge" in modes:
        for mode in ("meta", "table", "matrix"):
            o = os.path.join(d, mode + ".txt")
            status, out, _, _ = run(["--bcor", os.path.join(d, "p"), "--" + mode, o])
            if status == 0 and "- Done!" in out and os.path.getsize(o) > 0:
                modes.add(mode)
            if mode != "meta":
                lst = write(os.path.join(d, "v.txt"), "RSID position chromosome A_allele B_allele\n")
                status, out, _, _ = run(["--bcor", os.path.join(d, "p"), "--" + mode, o, "--incl-variants", lst])
                if status == 0 and "- Done!" in out:
                    modes.add("incl-variants-" + mode)
    return modes


def bcor_looks_complete(p):
    data = read(p)
    if len(data) < 4:
        return False
    (header_size,) = struct.unpack_from("<I", data, 0)
    return header_size != 0 and len(data) >= header_size


def judge(c):
    """The case's faults, as a list of texts (empty: it passed)."""
    status, out, err, seconds = run(c.argv, cwd=c.cwd)
    faults = []
    if status is None:
        return ["no end within %d s (hang)" % TIMEOUT]
    if re.search(r"Sanitizer|runtime error:|Segmentation|core dumped", err):
        faults.append("sanitizer or crash report on standard error:\n" + err[-3000:])
    succeeded = status == 0 and c.clean
    if succeeded:
        if "Error: " in out or not out.rstrip("\n").endswith("- Done!"):
            faults.append("status 0 without a clean end")
        if c.after and not faults:
            status, out, err, _ = run(c.after, cwd=c.cwd)
            if status != 0:
                faults.append("its output is refused afterwards (status %s):\n%s" % (status, out[-1000:]))
        return faults
    if status != 1:
        faults.append("status %s instead of 1" % status)
    if not re.search(r"(?m)^Error: ", out):
        faults.append("no line starting with 'Error: '")
    elif len(re.findall(r"Error: ", out)) != 1 or not out.rstrip("\n").split("\n")[-1].startswith("Error: "):
        faults.append("the error is not printed exactly once, as the last line")
    if c.expect is not None and c.expect not in out:
        faults.append("message lacks %r" % c.expect)
    if "- Done!" in out:
        faults.append("'- Done!' on a failed run")
    for p, kind in c.outputs:
        if not os.path.isfile(p) or os.path.islink(p):
            continue
        if kind == "bcor" and bcor_looks_complete(p):
            faults.append("a complete-looking BCOR file left behind: " + p)
        if kind == "text" and os.path.getsize(p) > 0:
            faults.append("an output file left behind: " + p)
    if faults:
        faults.append("standard output ends:\n" + out[-1500:])
    return faults


modes = probe_modes()
all_modes = {"plink", "bgen", "merge", "meta", "table", "matrix", "incl-variants-table", "incl-variants-matrix"}
if REQUIRE_ALL_MODES:
    check.check(modes == all_modes, "every mode answers a valid run (missing: %s)" % sorted(all_modes - modes))
if {"plink", "merge"} <= modes:
    bcor_cases(build_bcor())

runnable = [c for c in cases if c.needs <= modes]
skipped = [c for c in cases if not c.needs <= modes]
started = time.monotonic()
with concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS) as pool:
    for c, faults in zip(runnable, pool.map(judge, runnable)):
        check.check(not faults, "%s: %s\n  corvane %s" % (c.name, "\n  ".join(faults), " ".join(c.argv)))
print("%d bad-input cases run in %.0f s; %d skipped until their mode is in the binary (%s)" %
      (len(runnable), time.monotonic() - started, len(skipped),
       ", ".join(sorted({m for c in skipped for m in c.needs - modes})) or "none"))
check.skipped = len(skipped)
print("%d passed, %d failed, %d skipped" % (check.passed, check.failures, len(skipped)))
sys.exit(1 if check.failures else 0)

"""The command line through the real binary: welcome box, help, option errors, exit statuses."""
import os
import subprocess

import numpy as np

import corvane_test as ct

WELCOME = (
    "\n"
    "|---------------------------------|\n"
    "| Welcome to Corvane v1.1         |\n"
    "|                                 |\n"
    "| (C) The Corvane developers      |\n"
    "|                                 |\n"
    "| Help / Documentation:           |\n"
    "| - ./corvane --help              |\n"
    "| - README.md in the source tree  |\n"
    "|                                 |\n"
    "| Contact:                        |\n"
    "| - the Corvane issue tracker     |\n"
    "|---------------------------------|\n"
    "\n"
)

# (option column, description piece, note) of every entry line of the option table.
HELP_ROWS = [
    ("--bcor", "Name of the BCOR input/output file(s)", "Always required"),
    ("--bgen", "Name of the BGEN input file", "Requires --bcor"),
    ("--bplink", "Basename of the PLINK BED, BIM and FAM input files", "Requires --bcor"),
    ("--merge", "Merge xx BCOR files (having file extensions", "Requires --bcor"),
    ("", ".bcor_processNumber) into a common BCOR file where xx", ""),
    ("", "is the total number of parallel processes used during", ""),
    ("", "estimation of LD information", ""),
    ("--samples", "Name of the SNPTEST2 sample file when using BGEN input", "Requires --bgen and --incl-samples"),
    ("--meta", "Extract variant information and store them in the", "Requires --bcor"),
    ("", "specified text file", ""),
    ("--matrix", "Extract LD information in matrix format and store them", "Requires --bcor"),
    ("", "in the specified text file", ""),
    ("--table", "Extract LD information in table format and store them", "Requires --bcor"),
    ("", "in the specified text file", ""),
    ("--incl-range", "Specify a genomic range xx-yy to operate on where xx", "Default is genomic range of the"),
    ("", "and yy are the start and end coordinate in base pairs", "input file "),
    ("--incl-samples", "Include only samples in the estimation of LD informa-", "Requires --samples with BGEN input"),
    ("", "tion whose sample ID (ID_1 with BGEN input and IID", ""),
    ("", "with PLINK input) lies in the specified text file", ""),
    ("--incl-variants", "Extract LD information for variants given in the", "Requires --matrix or --table"),
    ("", "specified text file. The specified file has 5 columns", ""),
    ("", "with a header: RSID, position, chromosome, A_allele", ""),
    ("", "and B_allele", ""),
    ("--ld-thold", "LD information for two variants is only stored or", "Requires --bgen, --bplink or --table"),
    ("", "extracted if their absolute Pearson correlation is", "Default is 0.001"),
    ("", "above this threshold", ""),
    ("--ld-n-samples-avail-prop", "LD information for two variants is only stored or",
     "Requires --bgen, --bplink or --table"),
    ("", "extracted if the proportion of all samples with", "Default is 0.1"),
    ("", "genotype data for the two variants is above this", ""),
    ("", "threshold", ""),
    ("--n-variants-chunk", "Number of variants processed together", "Requires --bgen or --bplink"),
    ("", "", "Default is 1000"),
    ("--variant-window-size", "LD information for two variants A and B is computed if", "Default is 5 megabase pairs"),
    ("", "B is xx base pairs downstream of A", ""),
    ("--accuracy", "LD information is stored using either low, medium or", "Default is medium  "),
    ("", "high accuracy", ""),
    ("--n-threads", "Specify the number of parallel processes during", "Default is maximum number of CPU cores"),
    ("", "estimation of LD information", ""),
]


def expected_help():
    lines = ["-----------------------", "COMMAND-LINE PARAMETERS", "-----------------------"]
    for option, text, note in HELP_ROWS:
        lines.append(option.ljust(27) + text.ljust(56) + ("  " + note if note else ""))
    lines += ["", "--------", "EXAMPLES", "--------", "See README.md for an example of every mode", ""]
    return "\n".join(lines) + "\n"


def write_plink(base, n_samples=12, n_variants=20, seed=7):
    """A small valid PLINK set on chromosome 1 (SNP-major .bed)."""
    rng = np.random.RandomState(seed)
    codes = rng.randint(0, 4, size=(n_variants, n_samples))
    with open(base + ".bed", "wb") as bed:
        bed.write(bytes([0x6C, 0x1B, 0x01]))
        for v in range(n_variants):
            row = bytearray((n_samples + 3) // 4)
            for s in range(n_samples):
                row[s // 4] |= int(codes[v, s]) << (2 * (s % 4))
            bed.write(bytes(row))
    with open(base + ".bim", "w") as bim:
        for v in range(n_variants):
            bim.write("1\trs%d\t0\t%d\tA\tG\n" % (v + 1, 1000 * (v + 1)))
    with open(base + ".fam", "w") as fam:
        for s in range(n_samples):
            fam.write("F%d I%d 0 0 0 -9\n" % (s + 1, s + 1))


def main():
    args = ct.parse_args()
    chk = ct.Checker()
    binary, work = os.path.abspath(args.corvane), args.work_dir

    def run(argv, env_threads=None):
        env = dict(os.environ)
        if env_threads is not None:
            env["OMP_NUM_THREADS"] = str(env_threads)
        try:
            p = subprocess.run([binary] + argv, cwd=work, capture_output=True, timeout=300, env=env)
        except subprocess.TimeoutExpired:
            raise AssertionError("corvane hung: %s" % " ".join(argv))
        return ct.Result(p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace"))

    def expect_error(argv, message, env_threads=None):
        r = run(argv, env_threads)
        what = " ".join(argv) if argv else "(empty command line)"
        chk.equal(r.stdout, WELCOME + message + "\n\n", "output of " + what)
        chk.equal(r.status, 1, "status of " + what)
        chk.equal(r.stderr, "", "standard error of " + what)

    # Files that exist, for the combinations that must get past the file tests.
    for name in ["g.bgen", "s.sample", "keep.txt", "v.txt", "b.bcor"]:
        with open(os.path.join(work, name), "w") as f:
            f.write("x\n")
    write_plink(os.path.join(work, "data"))
    os.makedirs(os.path.join(work, "adir"))

    # --- empty command line and help ---
    expect_error([], "Error: Option '--bgen', '--bplink' or '--bcor' must be supplied!")
    for h in ["--help", "-h", "-help"]:
        r = run([h])
        chk.equal(r.stdout, WELCOME + expected_help(), "help text for " + h)
        chk.equal(r.status, 0, "status of " + h)
    r = run(["-h", "--bcor", "b"])
    chk.equal(r.stdout, WELCOME + expected_help(), "--bcor after -h is not recognised")
    chk.equal(r.status, 0, "status of -h --bcor b")

    # The option table is all a help run gives: standard output that does not take it fails the run.
    with open("/dev/full", "wb") as full:
        p = subprocess.run([binary, "--help"], cwd=work, stdout=full, stderr=subprocess.PIPE, timeout=60)
    chk.equal((p.returncode, p.stderr), (1, b""), "--help to a full disk")

    help_lines = run(["--help"]).stdout[len(WELCOME):].split("\n")
    entries = help_lines[3:3 + len(HELP_ROWS)]
    chk.check(all(len(line) >= 83 for line in entries), "every entry line is at least 83 characters")
    chk.check(all(line.startswith(" " * 27) for line, row in zip(entries, HELP_ROWS) if not row[0]),
              "continuation lines start with 27 spaces")
    chk.equal(entries[31], " " * 83 + "  Default is 1000", "line 32 of the option table")
    chk.equal(entries[24][83:], "  Default is 0.001", "the threshold note names the real default")

    expect_error(["--bgen", "g.bgen", "--help"], "Error: Option '--bgen' and '--help' cannot be supplied together!")

    # --- combination rules, in their order ---
    cases = [
        (["--bplink", "data", "--help"], "Error: Option '--bplink' and '--help' cannot be supplied together!"),
        (["--bcor", "b", "--bgen", "g.bgen", "--bplink", "data"],
         "Error: Option '--bgen' and '--bplink' cannot be supplied together!"),
        (["--bcor", "b", "--bplink", "data", "--bgen", "g.bgen"],
         "Error: Option '--bgen' and '--bplink' cannot be supplied together!"),
        (["--bcor", "b", "-h"], "Error: Option '--bcor' and '--help' cannot be supplied together!"),
        (["--bgen", "g.bgen"], "Error: Option '--bgen' and '--bcor' must be supplied together!"),
        (["--bplink", "data"], "Error: Option '--bplink' and '--bcor' must be supplied together!"),
        (["--bcor", "b", "--bgen", "g.bgen", "--incl-samples", "keep.txt"],
         "Error: Option '--samples' and '--incl-samples' must be supplied together!"),
        (["--bcor", "b"], "Error: Option '--bcor' must be supplied with either '--bgen', '--bplink', '--merge', "
                          "'--meta', '--matrix' or '--table'!"),
        (["--bcor", "b", "--bgen"], "Error: Name of the BGEN file must be supplied after '--bgen'!"),
        (["--bcor", "b", "--bplink"], "Error: Basename of the PLINK files must be supplied after '--bplink'!"),
        (["--bgen", "g.bgen", "--bcor"], "Error: Basename of the BCOR file(s) must be supplied after '--bcor'!"),
        (["--bcor", "b", "--bgen", "g.bgen", "--incl-samples", "keep.txt", "--samples"],
         "Error: Name of the SAMPLE file must be supplied after '--sample'!"),
        (["--bcor", "b", "--bplink", "data", "--incl-samples"],
         "Error: Name of the SAMPLE incl-file must be supplied after '--incl-samples'!"),
        (["--bcor", "b", "--matrix"], "Error: Name of the MATRIX file must be supplied after '--matrix'!"),
        (["--bcor", "b", "--table"], "Error: Name of the TABLE file must be supplied after '--table'!"),
        (["--bcor", "b", "--meta"], "Error: Name of the META file must be supplied after '--meta'!"),
        (["--bcor", "b.bcor", "--table", "t", "--incl-range", "1-2", "--incl-variants", "v.txt"],
         "Error: Option '--incl-range' and '--incl-variants' cannot be supplied together!"),
        # guards: options before their prerequisites are ignored, so a rule fires instead
        (["--samples", "s.sample", "--bgen", "g.bgen", "--bcor", "b", "--incl-samples", "keep.txt"],
         "Error: Option '--samples' and '--incl-samples' must be supplied together!"),
        (["--matrix", "m", "--bcor", "b"], "Error: Option '--bcor' must be supplied with either '--bgen', "
                                           "'--bplink', '--merge', '--meta', '--matrix' or '--table'!"),
    ]
    for argv, message in cases:
        expect_error(argv, message)

    # --- value errors of the parser ---
    positive = "Error: A positive integer value must be supplied after '%s'!"
    cases = [
        (["--bplink", "data", "--bcor", "b", "--n-threads"], positive % "--n-threads"),
        (["--bplink", "data", "--bcor", "b", "--n-variants-chunk", "2.5"], positive % "--n-variants-chunk"),
        (["--bplink", "data", "--bcor", "b", "--variant-window-size", "0"], positive % "--variant-window-size"),
        (["--bcor", "b", "--merge", "nan"], positive % "--merge"),
        (["--bplink", "data", "--bcor", "b", "--n-variants-chunk", "2147483648"],
         "Error: The value after '--n-variants-chunk' must not be greater than 2147483647!"),
        (["--bplink", "data", "--bcor", "b", "--n-threads", "inf"],
         "Error: The value after '--n-threads' must not be greater than 2147483647!"),
        (["--bplink", "data", "--bcor", "b", "--ld-thold", "abc"],
         "Error: A decimal value between 0.000000 and 1.000000 must be supplied after '--ld-thold'!"),
        (["--bplink", "data", "--bcor", "b", "--ld-thold", "1.5"],
         "Error: '--ld-thold' must be a decimal value between 0. and 1.0!"),
        (["--bplink", "data", "--bcor", "b", "--ld-n-samples-avail-prop", "nan"],
         "Error: '--ld-n-samples-avail-prop' must be a decimal value between 0. and 1.0!"),
        (["--bcor", "b", "--merge", "2", "--incl-range", "200-100"],
         "Error: End coordinate 100 in '--incl-range' is smaller than or equal to start coordinate 200!"),
        (["--bcor", "b", "--merge", "2", "--incl-range", "1,2,3"],
         "Error: Encountered more than 2 integer values in '--incl-range'!"),
        (["--bcor", "b", "--merge", "2", "--incl-range", "100"],
         "Error: Encountered only 1 integer value in '--incl-range'!"),
        (["--bcor", "b", "--merge", "2", "--incl-range", "0-100"],
         "Error: '--incl-range' must be delimiter-separated positive integer values (e.g. ',' or '/')!"),
        (["--bcor", "b", "--merge", "2", "--incl-range", "1--2"],
         "Error: '--incl-range' must be delimiter-separated positive integer values (e.g. ',' or '/')!"),
        (["--bcor", "b", "--merge", "2", "--incl-range", ""],
         "Error: Delimiter-separated positive integer values (e.g. ',' or '/') must be supplied after "
         "'--incl-range'!"),
        (["--bcor", "b", "--merge", "2", "--incl-range", "1-4294967296"],
         "Error: Coordinate 4294967296 in '--incl-range' is greater than 4294967295!"),
        (["--bcor", "b", "--meta", "m", "--bplink", "data"],
         "Error: Option '--meta' and '--bplink' cannot be supplied together!"),
        (["--bcor", "b", "--merge", "2", "--bgen", "g.bgen"],
         "Error: Option '--merge' and '--bgen' cannot be supplied together!"),
        (["--bcor", "b", "--bplink", "data", "--accuracy", "best"],
         "Error: '--accuracy' must be low, medium or high!"),
    ]
    for argv, message in cases:
        expect_error(argv, message)

    # --- file tests ---
    missing = "Error: File '%s' cannot be found!"
    cases = [
        (["--bcor", "b", "--bgen", "nothere.bgen"], missing % "nothere.bgen"),
        (["--bcor", "b", "--bgen", "g.bgen", "--samples", "nothere.sample", "--incl-samples", "keep.txt"],
         missing % "nothere.sample"),
        (["--bcor", "b", "--bplink", "nothere"], missing % "nothere.bed"),
        (["--bcor", "b.bcor", "--matrix", "m", "--incl-variants", "nothere.txt"], missing % "nothere.txt"),
        (["--bcor", "b.bcor", "--matrix", "m", "--incl-variants"], missing % ""),
        (["--bcor", "b", "--bplink", "data", "--incl-samples", "nothere.txt"], missing % "nothere.txt"),
        (["--bcor", "nothere.bcor", "--meta", "m"], missing % "nothere.bcor"),
        (["--bcor", "nothere.bcor", "--table", "t"], missing % "nothere.bcor"),
        (["--bcor", "adir", "--meta", "m"], missing % "adir"),
    ]
    for argv, message in cases:
        expect_error(argv, message)
    os.rename(os.path.join(work, "data.bim"), os.path.join(work, "data.bim.away"))
    expect_error(["--bcor", "b", "--bplink", "data"], missing % "data.bim")
    os.rename(os.path.join(work, "data.bim.away"), os.path.join(work, "data.bim"))

    # --- thread count against the runtime's default team size ---
    expect_error(["--bcor", "out", "--bplink", "data", "--n-threads", "3"],
                 "Error: Requested 3 parallel threads but only up to 2 parallel threads are available!",
                 env_threads=2)
    expect_error(["--bcor", "out", "--bplink", "data", "--n-threads", "64"],
                 "Error: Requested 64 parallel threads but only up to 8 parallel threads are available!",
                 env_threads=8)
    r = run(["--bcor", "out", "--bplink", "data", "--n-threads", "2"], env_threads=2)
    chk.check(r.stdout.startswith(WELCOME), "welcome box first on a run that passes the checks")
    chk.check("parallel threads are available" not in r.stdout, "a thread count equal to the maximum passes")
    chk.equal(r.status, 0, "status of a run with the maximum thread count")

    chk.finish()


if __name__ == "__main__":
    main()

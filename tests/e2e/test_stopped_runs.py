#!/usr/bin/python3
"""Extractions stopped part way, through the binary: SIGTERM, SIGINT and SIGHUP remove the unfinished
file and end the run with status 128 + the signal; after SIGKILL only the unfinished name stays. In
every case nothing is left at the output's path, not even an earlier run's output."""
import glob
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane_test  # noqa: E402

session = corvane_test.Session()
args, check, work, path, corvane = session.args, session.check, session.work, session.path, session.corvane

# Every pair of 2,000 variants stored: a table of some 90 MB that takes a good second to write.
subprocess.run([os.path.join(args.tools_dir, "corvane_testgen"), "--out", "big", "--plink", "--samples", "50",
                "--variants", "2000", "--spacing", "10", "--seed", "7"], cwd=work, check=True,
               capture_output=True, timeout=120)
check.equal(corvane("--bplink", "big", "--bcor", "big.bcor", "--n-threads", 2, "--ld-thold", 0,
                    "--ld-n-samples-avail-prop", 0).status, 0, "compute")
check.equal(corvane("--bcor", "big.bcor", "--merge", 2).status, 0, "merge")



def unfinished_files(name="t.table"):
    """The unfinished files beside a path: its name, ".corvane-unfinished" and the run's own characters."""
    return glob.glob(path(name + ".corvane-unfinished-*"))


for number, name in ((signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT"), (signal.SIGHUP, "SIGHUP"),
                     (signal.SIGKILL, "SIGKILL")):
    with open(path("t.table"), "w") as f:
        f.write("an earlier run's table\n")
    run = subprocess.Popen([session.binary, "--bcor", "big.bcor", "--table", "t.table", "--ld-thold", "0"],
                           cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    # Part way: once some megabytes of the table are written.
    deadline = time.time() + 60
    while run.poll() is None and time.time() < deadline:
        files = unfinished_files()
        if files and os.path.getsize(files[0]) > 4 << 20:
            break
        time.sleep(0.002)
    part_way = run.poll() is None
    check.check(part_way, name + ": the table was part way when the signal came")
    run.send_signal(number)
    stdout = run.communicate(timeout=60)[0].decode("utf-8", "replace")
    if number == signal.SIGKILL:
        check.equal(run.returncode, -number, name + ": killed")
        check.check(len(unfinished_files()) == 1, name + ": the unfinished name stays")
    else:
        check.equal(run.returncode, 128 + number, name + ": status 128 + signal")
        last = stdout.rstrip("\n").split("\n")[-1][-200:]
        check.equal(last, "Error: The run was stopped by %s!" % name, name + ": message")
        check.check(not unfinished_files(), name + ": the unfinished file is removed")
    check.check(not os.path.exists(path("t.table")), name + ": nothing at the table's path")
    for f in unfinished_files():
        os.remove(f)

# Uninterrupted, the table appears whole at its path and nothing else stays.
result = corvane("--bcor", "big.bcor", "--table", "t.table", "--ld-thold", 0)
check.equal(result.status, 0, "whole table")
with open(path("t.table")) as f:
    lines = sum(1 for _ in f)
check.equal(lines, 1 + 2000 * 1999 // 2, "every pair in the whole table")
check.check(not unfinished_files(), "no unfinished file after a whole run")

check.finish()

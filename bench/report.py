#!/usr/bin/env python3
"""Summarises one bench/run.sh run directory as Markdown: medians, ratios, memory, product rates, targets."""
import json
import os
import re
import statistics
import sys

SAMPLES, CHUNK, BATCH = 5000, 1000, 1000
BYTES_PER_STORED_PAIR = 96  # a correlation-map and a sample-count-map entry, ~48 bytes each in libstdc++


def read_kv(path):
    out = {}
    if os.path.exists(path):
        for line in open(path):
            if "=" in line:
                k, v = line.rstrip("\n").split("=", 1)
                out[k] = v
    return out


def main(work):
    machine = read_kv(os.path.join(work, "machine.txt"))
    threads = [int(t) for t in machine.get("threads", "8 2").split()]

    # Every hyperfine*.json of every T<n> directory: one file per round, or one for all runs.
    times, users = {}, {}
    for d in sorted(os.listdir(work)):
        if not d.startswith("T") or not os.path.isdir(os.path.join(work, d)):
            continue
        for f in sorted(os.listdir(os.path.join(work, d))):
            if f.startswith("hyperfine") and f.endswith(".json"):
                for r in json.load(open(os.path.join(work, d, f)))["results"]:
                    times.setdefault(r["command"], []).extend(r["times"])
                    users.setdefault(r["command"], []).extend([r.get("user", 0.0)] * len(r["times"]))
    medians = {}
    for name in times:
        t = times[name]
        medians[name] = (statistics.median(t), min(t), max(t), len(t), statistics.mean(users[name]))

    memory = {}
    if os.path.exists(os.path.join(work, "memory.txt")):
        for line in open(os.path.join(work, "memory.txt")):
            parts = line.split()
            if len(parts) == 2:
                memory[parts[0]] = int(parts[1]) * 1024
    stored = {}
    for name in memory:
        log = os.path.join(work, "log-%s.txt" % name)
        if os.path.exists(log):
            m = re.search(r"Number of stored correlations\s*:\s*(\d+)", open(log).read())
            if m:
                stored[name] = int(m.group(1))

    product = {}
    if os.path.exists(os.path.join(work, "product.txt")):
        for line in open(os.path.join(work, "product.txt")):
            m = re.match(r"(\S+) threads=(\d+) gflops=([\d.]+)", line)
            if m:
                product[(m.group(1), int(m.group(2)))] = float(m.group(3))

    check = open(os.path.join(work, "check.txt")).read().strip() if os.path.exists(
        os.path.join(work, "check.txt")) else "no check"

    p = print
    p("## Run %s" % machine.get("date", "?"))
    p()
    p("- machine: %s, nproc %s; load average %s at the start, %s at the end" % (
        machine.get("cpu", "?"), machine.get("nproc", "?"), machine.get("load_start", "?"),
        machine.get("load_end", "?")))
    p("- corvane commit %s; %s; %s; hyperfine runs per command: %s" % (
        machine.get("commit", "?"), machine.get("plink", "?"), machine.get("hyperfine", "?"),
        machine.get("runs", "?")))
    p()
    p("| command | median s | min s | max s | runs | mean user CPU s |")
    p("|---|---:|---:|---:|---:|---:|")
    for name, (med, lo, hi, n, user) in medians.items():
        p("| %s | %.2f | %.2f | %.2f | %d | %.1f |" % (name, med, lo, hi, n, user))
    p()

    targets = []

    def med(name):
        return medians[name][0] if name in medians else None

    p("| ratio | value | target |")
    p("|---|---:|---|")
    for t in threads:
        a, b, c = med("corvane-plink-T%d" % t), med("plink19-T%d" % t), med("corvane-bgen-T%d" % t)
        if a and b:
            targets.append(("PLINK vs plink1.9 --r2, %d threads" % t, a / b, "<= 1.0", a / b <= 1.0))
        if a and c:
            targets.append(("BGEN vs PLINK input, %d threads" % t, c / a, "<= 1.5", c / a <= 1.5))
    eight = "corvane-plink-T8-beside-T1" if "corvane-plink-T8-beside-T1" in medians else "corvane-plink-T8"
    a1, a8 = med("corvane-plink-T1"), med(eight)
    if a1 and a8:
        targets.append(("speed-up 8 threads vs 1 (PLINK, runs side by side)", a1 / a8, ">= 5", a1 / a8 >= 5.0))
        u1, u8 = medians["corvane-plink-T1"][4], medians[eight][4]
        if u1 and u8:
            # What the speed-up would be with 8 idle cores: the CPU time spent, not the wall time.
            targets.append(("speed-up 8 vs 1 from CPU time (T1 user / (T8 user / 8))", u1 / (u8 / 8), "(info)",
                            True))
    for t in sorted(set(threads + [1]), reverse=True):
        s, d = product.get(("product_stage", t)), product.get(("dgemm", t))
        if s and d:
            targets.append(("product stage vs plain DGEMM, %d threads (%.1f vs %.1f GFLOP/s)" % (t, s, d),
                            s / d, ">= 0.70", s / d >= 0.70))
    for t in threads:
        matrices = t * SAMPLES * (CHUNK + BATCH) * 8
        base = memory.get("corvane-plink-nopairs-T%d" % t)
        for kind in ("plink", "bgen"):
            name = "corvane-%s-T%d" % (kind, t)
            if name not in memory:
                continue
            pairs = stored.get(name, 0)
            if base is not None and kind == "plink":
                # The pairs' share is what the same run keeping none does not use.
                per_pair = (memory[name] - base) / pairs if pairs else 0.0
                targets.append(("peak memory PLINK, %d threads, without the stored pairs (%.0f MB of %.0f MB; "
                                 "matrices %.0f MB; %d pairs at %.0f bytes each)" % (
                                     t, base / 1e6, memory[name] / 1e6, matrices / 1e6, pairs, per_pair),
                                 base / matrices, "<= 1.2", base <= 1.2 * matrices))
            else:
                bound = 1.2 * matrices + pairs * BYTES_PER_STORED_PAIR
                targets.append(("peak memory %s, %d threads (%.0f MB; matrices %.0f MB, %d pairs)" % (
                    kind.upper(), t, memory[name] / 1e6, matrices / 1e6, pairs),
                    memory[name] / bound, "<= 1.0 of the bound", memory[name] <= bound))
    for label, value, target, ok in targets:
        verdict = "" if target == "(info)" else ("met" if ok else "NOT met")
        p("| %s | %.2f | %s %s |" % (label, value, target, verdict))
    p()
    if memory:
        p("Peak resident memory: " + ", ".join("%s %.0f MB" % (k, v / 1e6) for k, v in memory.items()))
        p()
    p("Memory: the matrices are threads x %d samples x (%d + %d) x 8 bytes. PLINK: the peak of the same run "
      "keeping no pair (--ld-thold 1) against 1.2 x the matrices. BGEN: the peak against 1.2 x the matrices "
      "+ %d bytes per stored pair." % (SAMPLES, CHUNK, BATCH, BYTES_PER_STORED_PAIR))
    p()
    failed_path = os.path.join(work, "failed.txt")
    failed = open(failed_path).read().split() if os.path.exists(failed_path) else []
    if failed:
        p("Failed, so not timed: " + ", ".join(failed))
        p()
    p("Byte identity: " + check.replace("\n", "; "))


if __name__ == "__main__":
    main(sys.argv[1])

"""Shared helpers for the end-to-end tests: run the real binary, check output and status."""
import argparse
import os
import shutil
import subprocess
import sys


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--corvane", required=True)
    p.add_argument("--tools-dir", required=True)
    p.add_argument("--work-dir", required=True)
    a = p.parse_args()
    shutil.rmtree(a.work_dir, ignore_errors=True)
    os.makedirs(a.work_dir)
    return a


class Result:
    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr


def run(binary, args, cwd=None, timeout=300):
    """Runs corvane; a hang past the timeout is a failure, not a wait."""
    try:
        p = subprocess.run([binary] + list(args), cwd=cwd, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise AssertionError("corvane hung: %s" % " ".join(args))
    return Result(p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace"))


class Checker:
    """Collects failures so one run reports every broken case, then exits non-zero."""

    def __init__(self):
        self.failures = 0
        self.passed = 0

    def check(self, condition, what):
        if condition:
            self.passed += 1
        else:
            self.failures += 1
            print("FAIL: " + what)

    def equal(self, got, expected, what):
        ok = got == expected
        if not ok:
            print("FAIL: %s\n  expected: %r\n  got:      %r" % (what, expected, got))
            self.failures += 1
        else:
            self.passed += 1
        return ok

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failures))
        sys.exit(1 if self.failures else 0)


class Session:
    """One test file's arguments, checker and work directory, with corvane run inside it."""

    def __init__(self):
        self.args = parse_args()
        self.check = Checker()
        self.work = self.args.work_dir
        self.binary = os.path.abspath(self.args.corvane)

    def path(self, name):
        return os.path.join(self.work, name)

    def corvane(self, *argv):
        return run(self.binary, [str(a) for a in argv], cwd=self.work, timeout=120)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def succeeded(self, result, what):
        """Status 0, "- Done!" and no error; the end of the output when not."""
        ok = result.status == 0 and "- Done!" in result.stdout and "Error" not in result.stdout
        if not ok:
            print("%s: status %d\n%s" % (what, result.status, result.stdout[-1500:]))
        self.check.check(ok, what)
        return ok

"""Helpers for the scripted-step tests: a run of the program that returns
its event stream parsed, and a look at the events by kind."""
import json
import os
import shutil
import tempfile
import time

from harness import Program


def read_events(path):
    """Every line of the event stream as a dict; each line must be one
    JSON object."""
    with open(path, "rb") as f:
        return [json.loads(line) for line in f.read().splitlines()]


def events_from_stderr(err):
    """The event lines written to standard error (--events -), apart from
    the messages that share it."""
    return [json.loads(line) for line in err.splitlines() if line.startswith(b"{")]


def of_kind(events, kind):
    return [e for e in events if e["event"] == kind]


class Scratch:
    """A temporary folder removed at the end of the test."""

    def __init__(self, test):
        self.path = tempfile.mkdtemp(prefix="tvsteps-")
        test.addCleanup(shutil.rmtree, self.path, True)

    def __call__(self, name):
        return os.path.join(self.path, name)


def run_timed(args, timeout=60.0, **kw):
    """Runs to the end with standard output on a pipe, as under CI;
    returns (status, stdout, stderr, seconds taken)."""
    start = time.monotonic()
    with Program(args, tty=False, **kw) as p:
        p.proc.stdin.close()
        rc = p.wait(timeout)
        return rc, bytes(p.output), bytes(p.stderr_data), time.monotonic() - start

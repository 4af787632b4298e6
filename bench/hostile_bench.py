#!/usr/bin/env python3
"""How long the way out takes against hostile lines and servers, with the
servers of the end-to-end tests (tests/e2e/network_support.py): Esc under
a flood on each kind of port; Esc, and a download, against a server that
floods option negotiation and reads nothing; the start against a server
that answers no setting; SIGTERM during an upload to a server that reads
nothing; Ctrl-C (SIGINT) while a name's look-up never answers; Esc while a
re-open's look-up never answers. Prints, for each, the median seconds of
--runs runs and how the runs ended; a run still going after --limit
seconds is killed and counts as "> limit".

usage: hostile_bench.py [--tamborvine PATH] [--sim PATH] [--runs 5] [--limit 40] [--case TEXT]
"""
import argparse
import os
import signal
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402
from boot_support import Workdir  # noqa: E402
from network_support import GONE, START, HostileServer, OwnResolver, every_byte_image, sim_rfc2217_port  # noqa: E402
from test_hostile_runs import flooded_tty  # noqa: E402


class Cleanups:
    """What a test's addCleanup gives the helpers, for one case."""

    def __init__(self):
        self.actions = []

    def addCleanup(self, action, *args):  # noqa: N802 (the helpers call it so)
        self.actions.append((action, args))

    def run(self):
        for action, args in reversed(self.actions):
            action(*args)


def until_end(p, limit):
    """Seconds until the program ends (limit when it had to be killed), and its status."""
    start = time.monotonic()
    while p.proc.poll() is None:
        if time.monotonic() - start > limit:
            p.proc.kill()
            p.proc.wait()
            return limit, "killed"
        p.pump(0.005)
    return time.monotonic() - start, str(p.proc.returncode)


def key_under_flood(port, key=b"\x1b", shown=b"x" * 1000):
    def run(limit, cleanups):
        with harness.Program(["-c", port(cleanups)]) as p:
            p.expect(shown, timeout=limit)
            p.keys(key)
            return until_end(p, limit)
    return run


def download_against(server):
    def run(limit, cleanups):
        hex_path, _ = every_byte_image(Workdir())
        with harness.Program([hex_path, "-w", "-q", "-c", server.url()], tty=False) as p:
            return until_end(p, limit)
    return run


def start_against(server):
    def run(limit, cleanups):
        with harness.Program(["-c", server.url()]) as p:
            start = time.monotonic()
            p.expect(START, timeout=limit)
            elapsed = time.monotonic() - start
            p.keys(b"\x1b")
            until_end(p, limit)
            return elapsed, "terminal"
    return run


def sigterm_during_upload(limit, cleanups):
    with harness.Program(["-c", HostileServer("negotiation").url("socket"), "-d", "/dev/zero"]) as p:
        p.expect(b"send text file = ", timeout=limit)
        dots, still = -1, time.monotonic()
        while time.monotonic() - still < 1.0:  # until the dots stop: the buffers on the way are full
            p.pump(0.05)
            if p.output.count(b".") != dots:
                dots, still = p.output.count(b"."), time.monotonic()
        p.proc.send_signal(signal.SIGTERM)
        return until_end(p, limit)


def sigint_during_look_up(limit, cleanups):
    resolver = OwnResolver(tempfile.mkdtemp(prefix="tvbench-"))
    cleanups.addCleanup(resolver.close)
    with harness.Program(["-c", "rfc2217://nowhere.example:2217"], prefix=resolver.prefix) as p:
        while not resolver.asked():
            p.pump(0.005)
        p.proc.send_signal(signal.SIGINT)
        return until_end(p, limit)


def esc_during_re_open(limit, cleanups):
    resolver = OwnResolver(tempfile.mkdtemp(prefix="tvbench-"))
    sim = harness.Sim("--rfc2217", "0")
    cleanups.addCleanup(resolver.close)
    cleanups.addCleanup(sim.close)
    with harness.Program(["-c", "rfc2217://bench.example:%d" % sim_rfc2217_port(sim)], prefix=resolver.prefix) as p:
        p.expect(START, timeout=limit)
        open(resolver.hosts, "w").close()
        sim.command("drop")
        p.pump_for(1.5)  # the re-opens are under way
        gone = GONE in p.output
        p.keys(b"\x1b")
        elapsed, status = until_end(p, limit)
        return elapsed, status + ("" if gone else ", never said gone")


CASES = [
    ("Esc, flood on a pseudo-terminal", key_under_flood(flooded_tty)),
    ("Esc, flood over socket://", key_under_flood(lambda c: HostileServer("data").url("socket"))),
    ("Ctrl-C, flood over rfc2217://", key_under_flood(lambda c: HostileServer("data").url(), key=b"\x03")),
    ("Esc, server flooding negotiation, reading nothing",
     key_under_flood(lambda c: HostileServer("negotiation").url(), shown=START)),
    ("Download (-w -q) against that server, to its end", download_against(HostileServer("negotiation"))),
    ("Start to the terminal, server answering no setting", start_against(HostileServer("mute"))),
    ("SIGTERM during an upload to a server reading nothing", sigterm_during_upload),
    ("SIGINT while the look-up never answers (start)", sigint_during_look_up),
    ("Esc while a re-open's look-up never answers", esc_during_re_open),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tamborvine", default=os.path.join(HERE, "..", "build", "release", "tamborvine"))
    parser.add_argument("--sim", default=os.path.join(HERE, "..", "build", "release", "sim", "tamborvine-sim"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--limit", type=float, default=40.0)
    parser.add_argument("--case", default="", help="only the cases whose name holds this text")
    args = parser.parse_args()
    harness.TAMBORVINE, harness.SIM = os.path.abspath(args.tamborvine), os.path.abspath(args.sim)
    print("%s, %d runs each, load average %.1f" % (args.tamborvine, args.runs, os.getloadavg()[0]))
    for name, case in [(name, case) for name, case in CASES if args.case in name]:
        times, ends = [], []
        for _ in range(args.runs):
            cleanups = Cleanups()
            try:
                elapsed, status = case(args.limit, cleanups)
            except AssertionError:
                elapsed, status = args.limit, "never got there"
            finally:
                cleanups.run()
            times.append(elapsed)
            ends.append(status)
        median = statistics.median(times)
        shown = "> %.0f" % args.limit if median >= args.limit else "%.3f" % median
        print("  %-54s %8s s  (%s)" % (name, shown, ", ".join(sorted(set(ends)))))


if __name__ == "__main__":
    main()

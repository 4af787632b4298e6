#!/usr/bin/env python3
"""Idle cost: N instances of the terminal, each on a quiet simulated target
and with its keyboard and screen on a pseudo-terminal of its own, are left
alone for a while; each one's CPU time over that while is read from
/proc/PID/stat (utime + stime, in clock ticks) and, finer, from
/proc/PID/schedstat (nanoseconds on a CPU), with the number of times it
went to sleep (voluntary context switches). picocom is measured the same
way in the same run, on quiet targets of its own. Prints the share of one
core per instance and the load average, then how long a key and a
received byte take after the terminal has been idle.

usage: idle_bench.py [--tamborvine PATH] [--sim PATH] [--instances 16] [--seconds 10]
                     [--other LABEL=PATH ...] [--no-picocom] [--no-latency]
"""
import argparse
import fcntl
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
TICKS = os.sysconf("SC_CLK_TCK")


class QuietTarget:
    """The simulated board, its application running and saying nothing."""

    def __init__(self, sim):
        self.proc = subprocess.Popen([sim, "--target", "--quiet"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.path = self.proc.stdout.readline().decode().strip()

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


class OnTerminal:
    """A program with its standard input and output on a pseudo-terminal."""

    def __init__(self, argv):
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        os.close(slave)
        self.output = bytearray()

    def drain(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            r, _, _ = select.select([self.master], [], [], max(0.0, deadline - time.monotonic()))
            if r:
                try:
                    self.output += os.read(self.master, 65536)
                except OSError:
                    return

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        os.close(self.master)


def cpu_sample(pid):
    """(ticks, nanoseconds, voluntary switches) of the process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    with open("/proc/%d/schedstat" % pid) as f:
        ns = int(f.read().split()[0])
    switches = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches"):
                switches = int(line.split()[1])
    return ticks, ns, switches


def start_group(label, argv_for, sim, count):
    targets = [QuietTarget(sim) for _ in range(count)]
    programs = [OnTerminal(argv_for(t.path)) for t in targets]
    return {"label": label, "targets": targets, "programs": programs}


def report(group, before, after, seconds):
    shares_ticks, shares_ns, wakes = [], [], []
    for p in group["programs"]:
        b, a = before[p.proc.pid], after[p.proc.pid]
        shares_ticks.append(100.0 * (a[0] - b[0]) / TICKS / seconds)
        shares_ns.append(100.0 * (a[1] - b[1]) / 1e9 / seconds)
        wakes.append((a[2] - b[2]) / seconds)
    n = len(shares_ns)
    print("%-22s %2d instances: CPU share of one core per instance: /proc/PID/stat %.4f %% (max %.4f %%), "
          "schedstat %.5f %% (max %.5f %%); sleeps %.1f/s per instance"
          % (group["label"], n, sum(shares_ticks) / n, max(shares_ticks), sum(shares_ns) / n, max(shares_ns),
             sum(wakes) / n))


def latencies(tamborvine, sim, count=20, pause=0.2):
    """After a pause each time: how long a key takes from the keyboard to
    the target, and a byte from the target to the screen (both through the
    simulator's reports, so an upper bound)."""
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    import harness
    harness.SIM, harness.TAMBORVINE = sim, tamborvine
    keys, shown = [], []
    with harness.Sim() as target:
        p = harness.Program(["-c", target.link])
        try:
            p.expect(b"Start terminal emulation")
            for i in range(count):
                time.sleep(pause)
                n = len(target.lines)
                start = time.monotonic()
                p.keys(b"k")
                target.wait_line(r"^rx ", start=n)
                keys.append(time.monotonic() - start)
                time.sleep(pause)
                mark = b"<%d>" % i
                start = time.monotonic()
                target.send(mark)
                p.expect(mark)
                shown.append(time.monotonic() - start)
        finally:
            p.close()
    for name, values in (("a key to the target", keys), ("a byte to the screen", shown)):
        values.sort()
        print("after %.1f s idle, %s: median %.2f ms, max %.2f ms (%d times; through the simulator's reports)"
              % (pause, name, 1000 * values[len(values) // 2], 1000 * values[-1], len(values)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tamborvine", default=os.path.join(ROOT, "build", "release", "tamborvine"))
    ap.add_argument("--sim", default=os.path.join(ROOT, "build", "release", "sim", "tamborvine-sim"))
    ap.add_argument("--instances", type=int, default=16)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--other", action="append", default=[], metavar="LABEL=PATH",
                    help="another tamborvine binary to measure beside (an older build, say)")
    ap.add_argument("--no-picocom", action="store_true")
    ap.add_argument("--no-latency", action="store_true")
    args = ap.parse_args()

    groups = [start_group("tamborvine", lambda path: [args.tamborvine, "-c", path], args.sim, args.instances)]
    for other in args.other:
        label, path = other.split("=", 1)
        groups.append(start_group(label, lambda port, exe=path: [exe, "-c", port], args.sim, args.instances))
    picocom = shutil.which("picocom")
    if picocom and not args.no_picocom:
        groups.append(start_group("picocom", lambda path: [picocom, "-q", "--nolock", "-b", "9600", path],
                                  args.sim, args.instances))
    try:
        for g in groups:
            for p in g["programs"]:
                p.drain(0.05)
        time.sleep(2.0)  # everything started and settled
        for g in groups:
            for p in g["programs"]:
                p.drain(0.01)
                if p.proc.poll() is not None:
                    raise SystemExit("%s ended early: %r" % (g["label"], bytes(p.output[-300:])))
        load_before = os.getloadavg()
        pids = [p.proc.pid for g in groups for p in g["programs"]]
        before = {pid: cpu_sample(pid) for pid in pids}
        time.sleep(args.seconds)
        after = {pid: cpu_sample(pid) for pid in pids}
        load_after = os.getloadavg()
        print("idle benchmark: %.0f s, load average %.2f %.2f %.2f before, %.2f %.2f %.2f after, %d CPUs"
              % ((args.seconds,) + load_before + load_after + (os.cpu_count(),)))
        for g in groups:
            report(g, before, after, args.seconds)
    finally:
        for g in groups:
            for p in g["programs"]:
                p.close()
            for t in g["targets"]:
                t.close()
    if not args.no_latency:
        latencies(args.tamborvine, args.sim)


if __name__ == "__main__":
    main()

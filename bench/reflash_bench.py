#!/usr/bin/env python3
"""Reflash benchmark: what --incremental saves. For each target and rate, a
60 KiB image is downloaded in full into a blank chip (erase, write, verify);
then the same image with one page changed, with --incremental; then the
identical image again, with --incremental. Prints the wall time of each run
and the bytes each way.

Targets: "sim", the paced simulated target (10 bit times a byte each way,
4.5 ms a device page programmed, 504 x 4.5 ms for the erase, 360 us a page
hashed), restarted for each run with the flash the previous run left; and
"chip", the emulated ATmega128 in real time with the real bootloader, built
for this benchmark with that rate as its own (build/bench-firmware-RATE),
so that no wake-up is needed (the image's first word is left blank, so that
'E' keeps the chip in its bootloader for the next run).

The one-page change and the identical image are run --repeat times (3):
the best and the median wall time are printed, the bytes of the last run.

usage: reflash_bench.py [TAMBORVINE SIM] [--rates 115200,1000000] [--targets sim,chip] [--repeat N]
"""
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402
from boot_support import intel_hex  # noqa: E402

IMAGE_BYTES = 60 * 1024
CHANGED_BYTE = 0x5A31  # in device page 90
GOAL_SECONDS = 1.0  # a one-page change at 115200


def images(work):
    """The image, the image with one byte changed; their paths."""
    rng = random.Random(4)
    data = bytearray(rng.randrange(256) for _ in range(IMAGE_BYTES))
    data[0:2] = b"\xff\xff"  # no application to start: the bootloader stays
    paths = []
    for name in ("image.hex", "changed.hex"):
        path = os.path.join(work, name)
        with open(path, "w") as f:
            f.write(intel_hex({0: bytes(data)}))
        paths.append(path)
        data[CHANGED_BYTE] ^= 0x10
    return paths


def host(program, path, link, rate, incremental):
    args = [program, path, "-c", link, "-q", "-w", "--download-rate", str(rate)]
    if incremental:
        args.append("--incremental")
    start = time.monotonic()
    proc = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True)
    wall = time.monotonic() - start
    if proc.returncode != 0 or b"SUCCESS" not in proc.stdout:
        raise SystemExit("download failed (%d): %r" % (proc.returncode, proc.stdout[-400:]))
    written = proc.stdout.split(b"Pages written: ")[1].split(b" ")[0].decode() if incremental else "all"
    return wall, written


# What each run downloads: the full image into a blank chip; then a
# one-page change, repeated by going back and forth between the two images;
# then the image the chip already holds.
def runs(repeat):
    yield "full download, blank chip", 0, False
    for i in range(repeat):
        yield "one page changed, --incremental", 1 - i % 2, True
    for i in range(repeat):
        yield "identical image, --incremental", 1 - (repeat - 1) % 2, True


class Figures:
    """Wall times per kind of run: the best and the median are printed,
    with the bytes of the last run of the kind."""

    def __init__(self, target, rate):
        self.target, self.rate, self.walls, self.last = target, rate, {}, {}

    def add(self, label, wall, written, to_target, from_target, extra=""):
        self.walls.setdefault(label, []).append(wall)
        self.last[label] = (written, to_target, from_target, extra)

    def print(self):
        for label, walls in self.walls.items():
            walls = sorted(walls)
            written, to_target, from_target, extra = self.last[label]
            print("%-4s %7d baud  %-32s wall %6.3f s (median %6.3f of %d) | to target %6d B, from target %5d B"
                  " | pages written %s%s" % (self.target, self.rate, label, walls[0], walls[len(walls) // 2],
                                             len(walls), to_target, from_target, written, extra))
        sys.stdout.flush()

    def best(self, label):
        return min(self.walls[label])


def bench_sim(program, sim_binary, paths, rate, work, repeat):
    harness.SIM = sim_binary
    figures = Figures("sim", rate)
    flash = None
    for label, which, incremental in runs(repeat):
        args = ["--target", "--boot", "--boot-rate", str(rate), "--pace", "--quiet"]
        if flash:
            args += ["--load", flash]
        with harness.Sim(*args) as sim:
            wall, written = host(program, paths[which], sim.link, rate, incremental)
            stats = sim.stats()
            flash = os.path.join(work, "flash-%d.bin" % rate)
            with open(flash, "wb") as f:
                f.write(sim.dump_flash())
        figures.add(label, wall, written, stats["rx"], stats["tx"],
                    " | the simulator late by %.0f ms" % (stats["late_us"] / 1000.0))
    figures.print()
    return figures


def firmware_for(rate):
    """The emulator and a bootloader whose own rate is rate."""
    build = os.path.join(ROOT, "build", "bench-firmware-%d" % rate)
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DTAMBORVINE_BOOT_BAUD=%d" % rate], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", build, "bootloader", "tamborvine-avr"], check=True, stdout=subprocess.DEVNULL)
    return build


def bench_chip(program, paths, rate, repeat):
    harness.BUILD = firmware_for(rate)
    import importlib
    import avr_target
    importlib.reload(avr_target)  # its paths come from harness.BUILD
    figures = Figures("chip", rate)
    with avr_target.Emulator(trace=True) as chip:
        for label, which, incremental in runs(repeat):
            start = len(chip.lines)
            wall, written = host(program, paths[which], chip.link, rate, incremental)
            chip.command("state")
            chip.wait_line(r"^state ", start=start)
            sides = [side for _, side, _ in chip.traced(start)]
            figures.add(label, wall, written, sides.count("host"), sides.count("chip"))
    figures.print()
    return figures


def main(argv):
    rates, targets, repeat, args = [115200, 1000000], ["sim", "chip"], 3, []
    i = 0
    while i < len(argv):
        if argv[i] in ("--rates", "--targets", "--repeat") and i + 1 < len(argv):
            if argv[i] == "--rates":
                rates = [int(r) for r in argv[i + 1].split(",")]
            elif argv[i] == "--targets":
                targets = argv[i + 1].split(",")
            else:
                repeat = int(argv[i + 1])
            i += 2
            continue
        args.append(argv[i])
        i += 1
    program = args[0] if args else os.path.join(ROOT, "build", "release", "tamborvine")
    sim_binary = args[1] if len(args) > 1 else os.path.join(ROOT, "build", "release", "sim", "tamborvine-sim")
    work = tempfile.mkdtemp(prefix="tvreflash-")
    paths = images(work)
    print("reflash benchmark: %d KiB image; a full download, then one page changed and an identical image"
          " with --incremental" % (IMAGE_BYTES // 1024))
    for target in targets:
        for rate in rates:
            figures = bench_sim(program, sim_binary, paths, rate, work, repeat) if target == "sim" else \
                bench_chip(program, paths, rate, repeat)
            if rate == 115200:
                best = figures.best("one page changed, --incremental")
                print("%-4s goal: a one-page change under %.1f s at 115200: best %.3f s, %s"
                      % (target, GOAL_SECONDS, best, "met" if best < GOAL_SECONDS else "NOT met"))


if __name__ == "__main__":
    main(sys.argv[1:])

#!/usr/bin/env python3
"""Download benchmark: flashes and verifies a 60 KiB image through the
paced simulated target (a UART's 10 bit times per byte each way, 4.5 ms per
page programmed, 4.5 ms per page erased) and prints, for each rate, the wall
time, the bytes each way and the lower bound that the wire and the flash
impose. The dialogue is strictly one request and its answer at a time, so
the bound is every byte's time on the wire plus the programming and erase
times. Each rate is measured several times (the machine may be shared):
the spread and the load average are printed with the figures.

usage: download_bench.py [TAMBORVINE SIM] [--rates 115200,250000,500000,1000000] [--repeat 3]
"""
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

IMAGE_BYTES = 60 * 1024
PAGE_MS = 4.5
ERASE_MS_PER_PAGE = 4.5
ERASED_PAGES = 0xFC00 // 128  # the application section


def make_image(path):
    rng = random.Random(4)
    data = bytes(rng.randrange(256) for _ in range(IMAGE_BYTES))
    from boot_support import intel_hex
    with open(path, "w") as f:
        f.write(intel_hex({0: data}))


def bench(program, sim_binary, hex_path, rate):
    import harness
    harness.SIM = sim_binary
    harness.TAMBORVINE = program
    with harness.Sim("--target", "--boot", "--boot-rate", str(rate), "--pace", "--quiet",
                     "--page-ms", str(PAGE_MS), "--erase-ms", str(ERASE_MS_PER_PAGE)) as sim:
        # The program's output goes to a file: a pipe would wake this
        # process at every progress dot, on a machine the program shares.
        with tempfile.TemporaryFile() as out:
            start = time.monotonic()
            proc = subprocess.run([program, hex_path, "-c", sim.link, "-w", "--download-rate", str(rate), "-q"],
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            wall = time.monotonic() - start
            out.seek(0)
            output = out.read()
        if proc.returncode != 0 or b"SUCCESS" not in output:
            raise SystemExit("download failed (%d): %r" % (proc.returncode, output[-300:]))
        stats = sim.stats()
    wire = (stats["rx"] + stats["tx"]) * 10.0 / rate
    flash = stats["pages"] * PAGE_MS / 1000 + stats["erases"] * ERASED_PAGES * ERASE_MS_PER_PAGE / 1000
    bound = wire + flash
    over = wall - bound
    print("%7d baud: wall %7.3f s | to target %d B, from target %d B | %d pages | bound %7.3f s "
          "(wire %.3f + flash %.3f) | over the bound %+.2f%% = %.0f ms"
          % (rate, wall, stats["rx"], stats["tx"], stats["pages"], bound, wire, flash,
             100.0 * over / bound, 1000.0 * over))
    print("%15sthe program's reaction to replies: %.0f ms in %d turns (%.0f us a turn, the drains before"
          " p S v V t included); the simulator late by %.0f ms"
          % ("", stats["host_us"] / 1000.0, stats["turns"], stats["host_us"] / max(stats["turns"], 1),
             stats["late_us"] / 1000.0))
    sys.stdout.flush()
    return wall, bound, stats["late_us"] / 1e6


def summary(rate, runs):
    overs = sorted(100.0 * (wall - bound) / bound for wall, bound, _ in runs)
    own = sorted(100.0 * (wall - bound - late) / bound for wall, bound, late in runs)
    walls = sorted(wall for wall, _, _ in runs)
    middle = len(runs) // 2
    print("%7d baud, %d runs: wall %.3f .. %.3f s (median %.3f), over the bound %+.2f%% .. %+.2f%% "
          "(median %+.2f%%); without the simulator's lateness %+.2f%% .. %+.2f%% (median %+.2f%%)"
          % (rate, len(runs), walls[0], walls[-1], walls[middle], overs[0], overs[-1], overs[middle], own[0],
             own[-1], own[middle]))


def main(argv):
    rates = [115200, 250000, 500000, 1000000]
    repeat = 3
    args = []
    i = 0
    while i < len(argv):
        if argv[i] == "--rates":
            rates = [int(r) for r in argv[i + 1].split(",")]
            i += 2
            continue
        if argv[i] == "--repeat":
            repeat = int(argv[i + 1])
            i += 2
            continue
        args.append(argv[i])
        i += 1
    root = os.path.join(HERE, "..")
    program = args[0] if args else os.path.join(root, "build", "release", "tamborvine")
    sim_binary = args[1] if len(args) > 1 else os.path.join(root, "build", "release", "sim", "tamborvine-sim")
    work = tempfile.mkdtemp(prefix="tvbench-")
    hex_path = os.path.join(work, "image60k.hex")
    make_image(hex_path)
    print("download benchmark: %d KiB image, write and verify, paced simulated target; load average %.2f %.2f %.2f"
          % ((IMAGE_BYTES // 1024,) + os.getloadavg()))
    results = {rate: [] for rate in rates}
    for _ in range(repeat):
        for rate in rates:
            results[rate].append(bench(program, sim_binary, hex_path, rate))
    print("load average %.2f %.2f %.2f at the end" % os.getloadavg())
    for rate in rates:
        summary(rate, results[rate])


if __name__ == "__main__":
    main(sys.argv[1:])

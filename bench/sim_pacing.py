#!/usr/bin/env python3
"""Pacing of the simulated target's wire at 1,000,000 baud: a 60 KiB image
written and verified by a small client of the bootloader's dialogue (erase,
then 'A' and 'D' 'k' 'k' for each page, then 'A' and 'D' 'l' 'l' for each)
over the pseudo-terminal, against the paced target. For every exchange the
time from the request written to the whole reply read is set against what
the wire and the chip allow (10 us a byte each way, 4.5 ms a page
programmed, 504 x 4.5 ms for the erase). Prints the excess over the whole
run, its spread, the first tenth of the exchanges against the last (a
drift shows there), and the simulator's own lateness in writing replies.

usage: sim_pacing.py [SIM] [--rate N]
"""
import os
import random
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
try:
    import serial
except ImportError:  # an interpreter of its own beside Debian's python3-serial
    sys.path.append("/usr/lib/python3/dist-packages")
    import serial

IMAGE_BYTES = 60 * 1024
PAGE_WORDS = 128
PAGE_MS = 4.5
ERASE_MS = 4.5 * 504


def exchanges(image):
    """(request, reply length, chip seconds) for the whole download."""
    from boot_support import checksum
    out = [(b"e", 1, ERASE_MS / 1000)]
    words = struct.unpack("<%dH" % (len(image) // 2), image)
    starts = range(0, len(words), PAGE_WORDS)
    for start in starts:
        page = words[start:start + PAGE_WORDS]
        out.append((b"A" + struct.pack(">H", start), 1, 0.0))
        out.append((b"Dkk" + struct.pack("<%dH" % PAGE_WORDS, *page) + checksum(start, page), 1, PAGE_MS / 1000))
    for start in starts:
        out.append((b"A" + struct.pack(">H", start), 1, 0.0))
        out.append((b"Dll", 4, 0.0))
    return out


def read_exactly(port, count):
    data = bytearray()
    while len(data) < count:
        chunk = port.read(count - len(data))
        if not chunk:
            raise SystemExit("no reply after %r" % bytes(data))
        data.extend(chunk)
    return bytes(data)


def main(argv):
    rate = 1000000
    if "--rate" in argv:
        i = argv.index("--rate")
        rate = int(argv[i + 1])
        del argv[i:i + 2]
    import harness
    harness.SIM = argv[0] if argv else os.path.join(HERE, "..", "build", "release", "sim", "tamborvine-sim")
    rng = random.Random(12)
    image = bytes(rng.randrange(256) for _ in range(IMAGE_BYTES))
    byte = 10.0 / rate
    plan = exchanges(image)
    excess = []
    with harness.Sim("--target", "--boot", "--boot-rate", str(rate), "--pace", "--quiet") as sim, \
            serial.Serial(sim.link, rate, timeout=5) as port:
        wall = time.monotonic()
        for request, reply_length, work in plan:
            start = time.monotonic()
            port.write(request)
            read_exactly(port, reply_length)
            elapsed = time.monotonic() - start
            excess.append(elapsed - ((len(request) + reply_length) * byte + work))
        wall = time.monotonic() - wall
        stats = sim.stats()
    ideal = sum((len(r) + n) * byte + w for r, n, w in plan)
    ordered = sorted(excess)
    tenth = len(excess) // 10
    us = 1e6
    print("sim pacing at %d baud: %d exchanges, %d bytes to the target, %d back"
          % (rate, len(plan), stats["rx"], stats["tx"]))
    print("  wall %.4f s, wire and chip %.4f s: excess %.1f ms (%.2f %%)"
          % (wall, ideal, (wall - ideal) * 1e3, 100 * (wall - ideal) / ideal))
    print("  per exchange: excess median %.0f us, 90th %.0f us, max %.0f us, min %+.0f us (below 0: early)"
          % (ordered[len(ordered) // 2] * us, ordered[9 * len(ordered) // 10] * us, ordered[-1] * us,
             ordered[0] * us))
    print("  drift: mean excess of the first tenth %.0f us, of the last tenth %.0f us"
          % (sum(excess[:tenth]) / tenth * us, sum(excess[-tenth:]) / tenth * us))
    print("  the simulator's replies late: %d us in all over %d turns, %d us at worst"
          % (stats["late_us"], stats["turns"], stats["late_max_us"]))


if __name__ == "__main__":
    main(sys.argv[1:])

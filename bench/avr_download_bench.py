#!/usr/bin/env python3
"""Download to the emulated chip in real time: the example application is
running on the emulated ATmega128 with the real bootloader; tamborvine wakes
it (-t) and writes and verifies a 60 KiB image (the example application
with random words after it) at 1,000,000 baud. Prints the wall time of the
run against the time its bytes take on the wire, and the load average;
with --trace also how long the host and the chip each took to answer (in
the chip's cycles, from the emulator's trace).

usage: avr_download_bench.py [--tamborvine PATH] [--firmware DIR] [--rate 1000000] [--repeat 3] [--trace]
       (DIR holds tamborvine-avr, bootloader.hex and zelmo.hex: the firmware
       folder of a build tree configured with the tests, best a Release one)
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

IMAGE_WORDS = 60 * 1024 // 2
PAGE_WORDS = 128
APP_RATE = 9600
BITS_PER_BYTE = 10
CLOCK_HZ = 16000000
# Bytes on the wire besides the pages: the wake-up and its answer (at the
# application's rate); p S v V t and their answers, e, E and their answers
# (at the download rate).
WAKE_BYTES = 9 + 6
IDENTIFY_BYTES = 5 + 1 + 7 + 2 + 2 + 2
ERASE_AND_EXIT_BYTES = 2 + 2
# One page each way: 'A' hi lo and '\r'; 'D' 'k' 'k', the page, the
# checksum and '\r' (write) or 'D' 'l' 'l' and the checksum (verify).
WRITE_PAGE_BYTES = 3 + 1 + 3 + 2 * PAGE_WORDS + 4 + 1
VERIFY_PAGE_BYTES = 3 + 1 + 3 + 4


def make_image(path, app_hex):
    import avr_target
    rng = random.Random(60)
    words = {a: rng.randrange(0x10000) for a in range(IMAGE_WORDS)}
    words.update(avr_target.read_hex(app_hex))
    avr_target.write_hex(path, words)


def run_once(args, image):
    import avr_target
    import harness
    avr_target.EMULATOR = os.path.join(args.firmware, "tamborvine-avr")
    avr_target.BOOTLOADER_HEX = os.path.join(args.firmware, "bootloader.hex")
    app_hex = os.path.join(args.firmware, "zelmo.hex")
    with avr_target.Emulator(app=app_hex, trace=args.trace) as chip:
        # The application greets once the bootloader's second is over; the
        # wake-up comes after the greeting.
        chip.wait_line(r"^uart 96\d\d$", timeout=10)
        time.sleep(0.5)
        start = time.monotonic()
        proc = subprocess.run([args.tamborvine, image, "-c", chip.link, "-t", "-w", "--download-rate",
                               str(args.rate), "-q"], stdin=subprocess.DEVNULL, capture_output=True)
        wall = time.monotonic() - start
        out = proc.stdout.replace(b"\r", b"")
        if proc.returncode != 0 or b"\nSUCCESS\n" not in out:
            raise SystemExit("download failed (%d): %r" % (proc.returncode, out[-400:]))
        troubles = chip.reported(r"^(lost|overrun)")
        turns = None
        if args.trace:
            wait_quiet(chip)
            turns = turnarounds(chip.traced())
    written, verified = (part.count(b".") for part in out.split(b"Verify Flash.", 1))
    written -= out.split(b"Flash erased", 1)[0].count(b".")  # dots of the file name
    fast_bytes = (IDENTIFY_BYTES + ERASE_AND_EXIT_BYTES + written * WRITE_PAGE_BYTES
                  + verified * VERIFY_PAGE_BYTES)
    wire = fast_bytes * BITS_PER_BYTE / args.rate + WAKE_BYTES * BITS_PER_BYTE / APP_RATE
    return wall, wire, written, verified, fast_bytes, troubles, turns


def wait_quiet(chip, quiet=0.3):
    """Until the emulator has reported nothing new for a while."""
    seen, since = -1, time.monotonic()
    while time.monotonic() - since < quiet:
        time.sleep(0.05)
        if len(chip.lines) != seen:
            seen, since = len(chip.lines), time.monotonic()


def turnarounds(traced):
    """From the emulator's trace (the cycle at which each byte crossed the
    line): the time the host took to answer the chip, and the chip to
    answer the host, summed over the download's turns, in seconds."""
    host = chip = 0
    turns = 0
    for (c0, side0, _), (c1, side1, _) in zip(traced, traced[1:]):
        if side0 == side1:
            continue
        turns += 1
        if side1 == "host":
            host += c1 - c0
        else:
            chip += c1 - c0
    return turns, host / CLOCK_HZ, chip / CLOCK_HZ


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tamborvine", default=os.path.join(ROOT, "build", "release", "tamborvine"))
    ap.add_argument("--firmware", default=os.path.join(ROOT, "build", "bench", "firmware"))
    ap.add_argument("--rate", type=int, default=1000000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--trace", action="store_true",
                    help="split the time between the host and the chip (the trace slows the emulator down)")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="tvavrbench-")
    image = os.path.join(work, "image60k.hex")
    make_image(image, os.path.join(args.firmware, "zelmo.hex"))
    print("emulated chip, real time: %d KiB image written and verified at %d baud after a -t wake-up; "
          "load average %.2f %.2f %.2f" % ((IMAGE_WORDS * 2 // 1024, args.rate) + os.getloadavg()))
    walls = []
    for _ in range(args.repeat):
        wall, wire, written, verified, fast_bytes, troubles, turns = run_once(args, image)
        walls.append(wall)
        print("  wall %.3f s | wire %.3f s (%d B at %d baud, %d pages written, %d verified; the wake-up at %d) "
              "| wall / wire %.2f | lost or overrun: %s"
              % (wall, wire, fast_bytes, args.rate, written, verified, APP_RATE, wall / wire,
                 "; ".join(troubles) or "none"))
        if turns:
            changes, host, chip = turns
            print("     the line changed direction %d times: the host took %.3f s in all to answer the chip (the "
                  "drains before p S v V t included), the chip %.3f s to answer the host (its own work: "
                  "checksums, page programming code; the emulated flash programs at once)" % (changes, host, chip))
        sys.stdout.flush()
    walls.sort()
    print("load average %.2f %.2f %.2f at the end; wall %.3f .. %.3f s (median %.3f)"
          % (os.getloadavg() + (walls[0], walls[-1], walls[len(walls) // 2])))


if __name__ == "__main__":
    main()

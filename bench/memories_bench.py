#!/usr/bin/env python3
"""Memories benchmark, on the emulated ATmega128 in real time with the real
bootloader built for the rate (as bench/reflash_bench.py builds it):

- EEPROM: 4 KiB of random bytes written and verified at 115200 (-e into a
  blank EEPROM), against the bound the wire and the EEPROM's own write time
  set: the bytes each way at 10 bit times, and 8.5 ms for each byte that
  changes;
- flash read-back at 1,000,000 baud (--read-flash) of a chip holding a
  60 KiB image: the whole application section is read (504 pages), against
  the time its bytes take on the wire.

The times are those of the event stream: from the identification to the end
of the verify, and from the identification to the file written.

usage: memories_bench.py [TAMBORVINE] [--repeat N]
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)

import harness  # noqa: E402
from boot_support import intel_hex  # noqa: E402
from reflash_bench import ROOT, firmware_for  # noqa: E402

EEPROM_BYTES = 4096
EEPROM_WRITE_S = 0.0085
IMAGE_BYTES = 60 * 1024
APPLICATION_PAGES, BLOCK, CRC = 504, 256, 4


def events(path):
    with open(path) as f:
        return [json.loads(line) for line in f]


def run(program, args, link, work):
    log = os.path.join(work, "events.jsonl")
    proc = subprocess.run([program] + args + ["-c", link, "-q", "--events", log], stdin=subprocess.DEVNULL,
                          capture_output=True)
    if proc.returncode != 0:
        raise SystemExit("run failed (%d): %r" % (proc.returncode, proc.stdout[-400:]))
    return events(log)


def seconds_between(log, first, last):
    t = {e["event"]: e["t_ms"] for e in log}  # the last of each kind
    return (t[last] - t[first]) / 1000.0


def chip(rate):
    harness.BUILD = firmware_for(rate)
    import importlib
    import avr_target
    importlib.reload(avr_target)  # its paths come from harness.BUILD
    return avr_target.Emulator(trace=True)


def wire_seconds(emulator, start, rate):
    return len(emulator.traced(start)) * 10.0 / rate


def bench_eeprom(program, work, repeat):
    rng = random.Random(23)
    data = bytes(rng.randrange(255) for _ in range(EEPROM_BYTES))  # never 0xFF: every byte changes
    path = os.path.join(work, "eeprom.hex")
    with open(path, "w") as f:
        f.write(intel_hex({0: data}))
    for _ in range(repeat):
        with chip(115200) as emulator:
            start = len(emulator.lines)
            log = run(program, ["-e", path, "-r", "115200"], emulator.link, work)
            emulator.command("state")
            emulator.wait_line(r"^state ", start=start)
            took = seconds_between(log, "identify", "eeprom")
            bound = wire_seconds(emulator, start, 115200) + EEPROM_BYTES * EEPROM_WRITE_S
            print("EEPROM 4 KiB write+verify at 115200: %.2f s, bound %.2f s (wire + 8.5 ms a byte): %+.1f %%"
                  % (took, bound, 100.0 * (took / bound - 1)))
            sys.stdout.flush()


def bench_read_flash(program, work, repeat):
    rng = random.Random(5)
    image = bytearray(rng.randrange(256) for _ in range(IMAGE_BYTES))
    image[0:2] = b"\xff\xff"  # no application to start: the bootloader stays after 'E'
    path = os.path.join(work, "image.hex")
    with open(path, "w") as f:
        f.write(intel_hex({0: bytes(image)}))
    with chip(1000000) as emulator:
        run(program, [path, "-w", "--download-rate", "1000000"], emulator.link, work)
        for i in range(repeat):
            back = os.path.join(work, "back%d.hex" % i)
            log = run(program, ["--read-flash", back, "--download-rate", "1000000"], emulator.link, work)
            took = seconds_between(log, "identify", "read")
            wire = APPLICATION_PAGES * (BLOCK + CRC) * 10.0 / 1e6
            print("flash read-back at 1000000 of a chip holding %d KiB: the application section (%d KiB) in "
                  "%.3f s, wire %.3f s: %+.1f %%" % (IMAGE_BYTES // 1024, APPLICATION_PAGES * BLOCK // 1024, took,
                                                      wire, 100.0 * (took / wire - 1)))
            sys.stdout.flush()


def main(argv):
    parser = argparse.ArgumentParser(description="EEPROM write and flash read-back against the wire")
    parser.add_argument("program", nargs="?", default=os.path.join(ROOT, "build", "release", "tamborvine"))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    work = tempfile.mkdtemp(prefix="tvmemories-")
    bench_read_flash(args.program, work, args.repeat)
    bench_eeprom(args.program, work, args.repeat)


if __name__ == "__main__":
    main(sys.argv[1:])

#!/usr/bin/env python3
"""tamborvine's STK500v1 dialogue against avrdude's arduino programmer on
the emulated ATmega328P with Debian's bootloader, in real time at 115200
baud, in the same run: each round writes and verifies the board's large
example application (29,504 bytes over 30 KiB) into a fresh chip with
`avrdude -c arduino -D` (what the boards' upload runs), then into another
fresh chip with tamborvine (-w, the board's default reset), then changes
one page of the image and writes it with tamborvine --incremental. Prints
each wall time (from the start of the program to its end, the reset and
the bootloader's start included) and the ratios to avrdude's time; the
goals are 0.9 for the write and 0.55 for the one-page change.

usage: stk500_bench.py [--tamborvine PATH] [--firmware DIR] [--repeat 3]
       (DIR holds tamborvine-avr and echo-atmega328p-large.hex: the
       firmware folder of a build tree configured with the tests, best a
       Release one)
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

RATE = 115200
CHANGED_BYTE = 0x5000  # in the image's table, device page 160
GOALS = {"write": 0.9, "incremental": 0.55}


def changed_image(image, path):
    import avr_target
    data = avr_target.read_hex_bytes(image)
    data[CHANGED_BYTE] ^= 0xFF
    words = {a >> 1: data.get(a & ~1, 0xFF) | (data.get(a | 1, 0xFF) << 8) for a in data}
    avr_target.write_hex(path, words)


def timed(command):
    start = time.monotonic()
    run = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True)
    wall = time.monotonic() - start
    if run.returncode != 0:
        raise SystemExit("%s failed (%d): %r" % (command[0], run.returncode, (run.stdout + run.stderr)[-600:]))
    return wall


def one_round(args, image, changed):
    import avr_target
    board = avr_target.BOARDS[0]
    figures = {}
    with avr_target.Emulator(board=board) as chip:
        figures["avrdude"] = timed([args.avrdude, "-c", "arduino", "-p", board.part, "-P", chip.path, "-b",
                                    str(RATE), "-D", "-U", "flash:w:%s:i" % image])
    with avr_target.Emulator(board=board) as chip:
        tamborvine = [args.tamborvine, "-c", chip.path, "--protocol", "arduino", "-q", "-w"]
        figures["write"] = timed([tamborvine[0], image] + tamborvine[1:])
        figures["incremental"] = timed([tamborvine[0], changed] + tamborvine[1:] + ["--incremental"])
        troubles = chip.reported(r"^(lost|overrun)")
    return figures, troubles


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tamborvine", default=os.path.join(ROOT, "build", "release", "tamborvine"))
    ap.add_argument("--firmware", default=os.path.join(ROOT, "build", "bench", "firmware"))
    ap.add_argument("--avrdude", default=shutil.which("avrdude") or "avrdude")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    import avr_target
    avr_target.EMULATOR = os.path.join(args.firmware, "tamborvine-avr")
    image = os.path.join(args.firmware, "echo-atmega328p-large.hex")
    work = tempfile.mkdtemp(prefix="tvstkbench-")
    changed = os.path.join(work, "changed.hex")
    changed_image(image, changed)
    print("emulated ATmega328P with %s, real time, %d baud; load average %.2f %.2f %.2f"
          % ((avr_target.BOARDS[0].bootloader, RATE) + os.getloadavg()))
    rounds = []
    for _ in range(args.repeat):
        figures, troubles = one_round(args, image, changed)
        rounds.append(figures)
        print("  avrdude -D write+verify %.2f s | tamborvine write+verify %.2f s (%.2f) | one page changed, "
              "--incremental %.2f s (%.2f) | lost or overrun: %s"
              % (figures["avrdude"], figures["write"], figures["write"] / figures["avrdude"],
                 figures["incremental"], figures["incremental"] / figures["avrdude"],
                 "; ".join(troubles) or "none"))
        sys.stdout.flush()
    median = {key: sorted(r[key] for r in rounds)[len(rounds) // 2] for key in rounds[0]}
    print("load average %.2f %.2f %.2f at the end; medians: avrdude %.2f s, tamborvine %.2f s, incremental %.2f s"
          % (os.getloadavg() + (median["avrdude"], median["write"], median["incremental"])))
    for key, goal in GOALS.items():
        print("  %s: %.2f of avrdude's time (goal %.2f)" % (key, median[key] / median["avrdude"], goal))
    shutil.rmtree(work, True)


if __name__ == "__main__":
    main()

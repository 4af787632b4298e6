#!/usr/bin/env python3
"""The edit-flash-watch loop: tamborvine runs its terminal with --watch on
the emulated ATmega128 (its own bootloader, -t), the example application
and the program at 115200 baud; a build of the application with one
string changed (one page) is renamed onto the flash file, in turns with
the first build. Measured: from the moment the new file is in place to the
new application's first byte on the screen, and its parts from the event
stream: settle (the file unchanged for 0.1 s), the wake-up (the quiet
line before it, the application's answer), the page hashes, the page
written, the verify, and the start (the exit command, the bootloader's
wait, the application's first byte on the line and on the screen).

The firmware is built for this benchmark with the application at the rate
(build/bench-firmware-watch-RATE); the program is build/release/tamborvine
unless --tamborvine names another.

usage: reflash_watch_bench.py [--tamborvine PATH] [--rate 115200] [--download-rate N] [--repeat 6]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

GOAL_SECONDS = 1.5
STARTED = b"application started\r\r\n"  # the terminal makes each LF CR LF


def firmware_for(rate):
    build = os.path.join(ROOT, "build", "bench-firmware-watch-%d" % rate)
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DTAMBORVINE_APP_BAUD=%d" % rate], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", build, "bootloader", "zelmo", "zelmo-edited", "tamborvine-avr"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "firmware")


def events_of(path):
    with open(path, "rb") as f:
        return [json.loads(line) for line in f.read().splitlines()]


def parts(events, settle_ms, total_ms):
    """The parts of the last reflash, in ms, from its events."""
    last = max(i for i, e in enumerate(events) if e["event"] == "image")
    at = {}
    for e in events[last:]:
        key = e["event"] if e["event"] != "pass" else "pass_" + e["pass"]
        at.setdefault(key, e["t_ms"])
    split = [("wake", "image", "wake"), ("hashes", "wake", "page_hashes"), ("page", "page_hashes", "page"),
             ("verify", "page", "pass_SUCCESS" if "pass_SUCCESS" in at else "pass_verify"),
             ("exit", "pass_verify", "exit_bootloader")]
    out = {"settle": settle_ms}
    for name, begin, end in split:
        out[name] = at.get(end, 0) - at.get(begin, 0)
    out["start"] = total_ms - settle_ms - (at["exit_bootloader"] - at["image"])
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tamborvine", default=os.path.join(ROOT, "build", "release", "tamborvine"))
    parser.add_argument("--rate", type=int, default=9600)
    parser.add_argument("--download-rate", type=int, default=125000)
    parser.add_argument("--repeat", type=int, default=6)
    args = parser.parse_args()
    firmware = firmware_for(args.rate)
    import harness
    import avr_target
    harness.TAMBORVINE = args.tamborvine
    avr_target.EMULATOR = os.path.join(firmware, "tamborvine-avr")
    avr_target.BOOTLOADER_HEX = os.path.join(firmware, "bootloader.hex")
    images = [os.path.join(firmware, "zelmo.hex"), os.path.join(firmware, "zelmo-edited.hex")]
    work = tempfile.mkdtemp(prefix="tvwatch-")
    flash, events = os.path.join(work, "app.hex"), os.path.join(work, "events.jsonl")
    shutil.copy(images[0], flash)
    rows = []
    with avr_target.Emulator(app=images[0]) as chip:
        # The application runs once the bootloader's second is over.
        divisor = (16000000 + 8 * args.rate) // (16 * args.rate)
        chip.wait_line(r"^uart %d$" % (16000000 // (16 * divisor)), timeout=10)
        command = [flash, "-t", "-w", "--watch", "-b", str(args.rate), "--download-rate", str(args.download_rate),
                   "-c", chip.link, "--events", events]
        with harness.Program(command) as host:
            host.expect(b"Start terminal emulation", timeout=120)
            host.expect(b"zelmo example application", timeout=10)
            for round_number in range(args.repeat):
                seen = len(host.output)
                shutil.copy(images[1 - round_number % 2], flash + ".new")
                os.rename(flash + ".new", flash)
                start = time.monotonic()
                while host.output.find(STARTED, seen) < 0 or \
                        len(host.output) <= host.output.find(STARTED, seen) + len(STARTED):
                    if host.pump(0.001) == 0 and time.monotonic() - start > 30:
                        raise SystemExit("no reflash: %r" % bytes(host.output[seen:]))
                total_ms = (time.monotonic() - start) * 1000
                host.expect(b"application\r", since=seen, timeout=10)
                log = events_of(events)
                reflash = [e for e in log if e["event"] == "reflash"][-1]
                if reflash["result"] != "started":
                    raise SystemExit("reflash %s: %r" % (reflash["result"], reflash.get("reason")))
                rows.append((total_ms, reflash["pages_written"], parts(log, reflash["settle_ms"], total_ms)))
            host.keys(b"\x1b")
            host.wait(20)
    shutil.rmtree(work, True)
    print("edit-flash-watch: emulated ATmega128, -t, application and terminal at %d baud, download at %d baud;"
          " load average %.1f" % (args.rate, args.download_rate, os.getloadavg()[0]))
    names = ["settle", "wake", "hashes", "page", "verify", "exit", "start"]
    print("round  total ms  pages  " + "  ".join("%6s" % n for n in names))
    for i, (total, pages, split) in enumerate(rows):
        print("%5d  %8.0f  %5d  " % (i + 1, total, pages) + "  ".join("%6d" % split[n] for n in names))
    totals = sorted(r[0] for r in rows)
    median = totals[len(totals) // 2]
    print("median %.0f ms, best %.0f ms: goal <= %.1f s %s" % (median, totals[0], GOAL_SECONDS,
                                                                "met" if median <= GOAL_SECONDS * 1000 else "NOT met"))


if __name__ == "__main__":
    main()

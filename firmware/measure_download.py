#!/usr/bin/env python3
"""Times a full-image download (words 0 to 0xFBFF) into the emulated
ATmega128, in real time: at the bootloader's default rate, and at 57600
after waking the example application.

    TAMBORVINE=build/release/tamborvine TAMBORVINE_BUILD=build/test \\
        firmware/measure_download.py
"""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

from avr_target import APP_HEX, BOOT_START_WORD, Emulator, random_words, write_hex  # noqa: E402
from harness import run  # noqa: E402


def timed(args):
    start = time.monotonic()
    rc, out, _ = run(args + ["-q"], tty=False, timeout=900)
    elapsed = time.monotonic() - start
    verdict = "SUCCESS" if b"\r\nSUCCESS\r\n" in out else "no SUCCESS"
    return elapsed, rc, verdict


def main():
    with tempfile.TemporaryDirectory() as tmp:
        full = os.path.join(tmp, "full.hex")
        write_hex(full, random_words(0, BOOT_START_WORD, seed=3))
        with Emulator() as chip:
            seconds, rc, verdict = timed([full, "-w", "-c", chip.link])
            print("full image, 19200 baud: %.1f s (write, verify), rc %d, %s" % (seconds, rc, verdict))
        with Emulator(app=APP_HEX) as chip:
            time.sleep(1.5)  # the bootloader's wait, then the application runs
            seconds, rc, verdict = timed([full, "-t", "-r", "57600", "-w", "-c", chip.link])
            print("full image, 57600 baud after wake-up: %.1f s, rc %d, %s" % (seconds, rc, verdict))


if __name__ == "__main__":
    main()

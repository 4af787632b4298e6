#!/usr/bin/env python3
"""Measures the bootloader's page hash ('H') on the emulated ATmega128 in
emulated cycles, from the emulator's trace of the line (every byte with the
cycle its stop bit ended): the cycles one blank and one programmed page
take, and the whole application section (504 pages) of a chip holding a
60 KiB image, asked for at 1,000,000 baud after the example application's
hand-over, where the wire (640 cycles a page) is faster than the hash. Then
the memory commands at that rate: the 60 KiB read back with 'G', the whole
EEPROM with 'X', and 256 EEPROM bytes written with 'W' (twice: the second
time every byte already holds its value), each against its wire time.

    TAMBORVINE_BUILD=build/test firmware/measure_hash.py
"""
import os
import struct
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

from avr_target import (APP_HEX, APP_RATE, APPLICATION_PAGES, GREETING, PAGE_WORDS, Emulator, Line,  # noqa: E402
                        random_words, read_hex, write_hex)

CLOCK = 16e6
IMAGE_PAGES = 240  # 60 KiB
FAST_RATE = 1000000
FRAME_CYCLES = int(10 * CLOCK / FAST_RATE)


def hash_request(first, count):
    return b"H" + struct.pack(">HH", first, count)


def answer_cycles(chip, line, request, answer_length):
    """Cycles from the request's last byte to the start of the answer's
    first byte (the transmitter is idle then, so that is when the
    bootloader wrote it)."""
    n = len(chip.lines)
    answer = line.ask(request, answer_length, timeout=10.0)
    assert len(answer) == answer_length, answer
    chip.command("state")
    chip.wait_line(r"^state", start=n)
    traced = chip.traced(n)
    sent = [cycle for cycle, side, _ in traced if side == "host"]
    got = [cycle for cycle, side, _ in traced if side == "chip"]
    return got[0] - FRAME_CYCLES - sent[-1]


def whole_section_ms(chip, line):
    """Emulated milliseconds from the request for all 504 pages to the
    answer's last byte."""
    n = len(chip.lines)
    answer = line.ask(hash_request(0, APPLICATION_PAGES), 4 * APPLICATION_PAGES + 1, timeout=10.0)
    assert len(answer) == 4 * APPLICATION_PAGES + 1, len(answer)
    chip.command("state")
    chip.wait_line(r"^state", start=n)
    traced = chip.traced(n)
    asked = [cycle for cycle, side, _ in traced if side == "host"][-1]
    return (traced[-1][0] - asked) / CLOCK * 1e3


def wake_up(chip, line, divisor, rate):
    line.set_rate(APP_RATE)
    line.read_until(GREETING, timeout=5)
    assert b"Hello" in line.ask(b"Mancb%2xcb" % divisor, 6)
    chip.wait_line(r"^uart %d$" % rate)
    line.set_rate(rate)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        # The example application in pages 0 to 2 (it hands over), data up
        # to page 239, the rest blank.
        image = read_hex(APP_HEX)
        app_pages = max(image) // PAGE_WORDS + 1
        image.update(random_words(app_pages * PAGE_WORDS, (IMAGE_PAGES - app_pages) * PAGE_WORDS, seed=11))
        path = os.path.join(tmp, "image.hex")
        write_hex(path, image)
        with Emulator(app=path, trace=True) as chip, Line(chip.path, APP_RATE) as line:
            wake_up(chip, line, 0, FAST_RATE)
            first = answer_cycles(chip, line, hash_request(100, 1), 5)  # fills the CRC table
            probe = answer_cycles(chip, line, hash_request(0, 0), 1)
            programmed = answer_cycles(chip, line, hash_request(100, 1), 5) - probe
            blank = answer_cycles(chip, line, hash_request(400, 1), 5) - probe
            fill = first - programmed - probe
            print("CRC table fill (first 'H'): %d cycles (%.2f ms)" % (fill, fill / CLOCK * 1e3))
            print("programmed page: %d cycles (%.0f us)" % (programmed, programmed / CLOCK * 1e6))
            print("blank page: %d cycles (%.0f us)" % (blank, blank / CLOCK * 1e6))
            print("504 pages, %d programmed, at %d baud: %.1f ms (the wire alone: %.1f ms)"
                  % (IMAGE_PAGES, FAST_RATE, whole_section_ms(chip, line), wire_ms(FAST_RATE)))
            memory_commands(chip, line)
            # Back to the application, and in again at 125,000 baud, the
            # hand-over rate next to 115200.
            line.ask(b"E", 1)
            wake_up(chip, line, 7, 125000)
            line.ask(hash_request(0, 0), 1)
            print("504 pages, %d programmed, at 125000 baud: %.1f ms (the wire alone: %.1f ms; at 115200: %.1f ms)"
                  % (IMAGE_PAGES, whole_section_ms(chip, line), wire_ms(125000), wire_ms(115200)))


def exchange_ms(chip, line, request, answer_length):
    """Emulated milliseconds from the request's first byte to the answer's
    last, and the wire's share of them."""
    n = len(chip.lines)
    answer = line.ask(request, answer_length, timeout=20.0)
    assert len(answer) == answer_length, (request[:1], len(answer))
    chip.command("state")
    chip.wait_line(r"^state", start=n)
    traced = chip.traced(n)
    asked = [cycle for cycle, side, _ in traced if side == "host"][-1]
    took = (traced[-1][0] - asked + len(request) * FRAME_CYCLES) / CLOCK * 1e3
    return took, (len(request) + answer_length) * FRAME_CYCLES / CLOCK * 1e3


def memory_commands(chip, line):
    for name, request, length in (("'G' 240 pages", b"G" + struct.pack(">HH", 0, IMAGE_PAGES), 260 * IMAGE_PAGES + 1),
                                  ("'X' 16 blocks", b"X" + struct.pack(">HH", 0, 16), 260 * 16 + 1)):
        print("%s: %.1f ms (the wire alone: %.1f ms)" % ((name,) + exchange_ms(chip, line, request, length)))
    body = struct.pack(">HH", 0, 256) + bytes(range(256))
    for time in ("first", "second"):
        line.ask(b"A" + body[:2], 1)
        took, wire = exchange_ms(chip, line, b"W" + body[2:] + zlib.crc32(body).to_bytes(4, "big"), 1)
        print("'W' 256 bytes, %s time: %.1f ms (the wire alone: %.1f ms)" % (time, took, wire))


def wire_ms(rate):
    return (4 * APPLICATION_PAGES + 1) * 10 / rate * 1e3


if __name__ == "__main__":
    main()

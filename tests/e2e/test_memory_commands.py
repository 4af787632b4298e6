"""The bootloader's memory commands and state rule, alike on the emulated chip
and the simulated target (a damaged EEPROM block asked for again, an unchanged
one not written again, reads with a CRC-32 a block, probes, refusals)."""
import os
import struct
import unittest
import zlib

from avr_target import BOOT_RATE, Emulator, Line, firmware_built, page_bytes, random_words
from boot_support import checksum
from harness import Sim

EEPROM_AT, EEPROM_DATA = 0x0EF0, bytes(range(3, 43))  # across blocks 14 and 15
PAGE = [random_words(0, 128, seed=41)[i] for i in range(128)]
EEPROM = bytearray(b"\xff" * 4096)
EEPROM[EEPROM_AT:EEPROM_AT + len(EEPROM_DATA)] = EEPROM_DATA


def blocks(data):
    cut = [data[i:i + 256] for i in range(0, len(data), 256)]
    return b"".join(block + zlib.crc32(block).to_bytes(4, "big") for block in cut) + b"\r"


def block_write(damage=0):
    body = struct.pack(">HH", EEPROM_AT, len(EEPROM_DATA)) + EEPROM_DATA
    return b"W" + body[2:] + (zlib.crc32(body) ^ damage).to_bytes(4, "big")


ADDRESS = b"A" + struct.pack(">H", EEPROM_AT)
EXCHANGES = [  # request, answer
    (b"X\x00\x00\x00\x00", b"\r"), (b"G\x00\x00\x00\x00", b"\r"),  # the probes
    (block_write(), b"?"), (b"e", b"?"),  # not where the host's sequence puts them
    (b"H\x00\x00\x00\x00e\x00", b"\r?"), (b"H\x00\x00\x00\x00", b"\r"), (b"e", b"\r"),  # the erase only alone
    (ADDRESS, b"\r"), (block_write(damage=1), b"N"),
    (ADDRESS, b"\r"), (block_write(), b"\r"),
    (b"X\x00\x0e\x00\x02", blocks(bytes(EEPROM[0xE00:]))),
    (b"X\x00\x0f\x00\x02", b"?"), (ADDRESS, b"\r"), (b"W\x01\x01", b"?"),  # past the EEPROM, over 256 bytes
    (b"A\x01\x00", b"\r"), (b"Dkk" + page_bytes(PAGE) + checksum(0x100, PAGE), b"\r"),
    (b"G\x00\x02\x00\x01", blocks(page_bytes(PAGE))),
    (b"G\x01\xf7\x00\x02", b"?"),  # into the boot section
]


class MemoryCommands(unittest.TestCase):
    def exchange(self, line, target, dumped):
        for request, expected in EXCHANGES:
            self.assertEqual(line.ask(request, len(expected), timeout=5), expected, request[:6])
        n = len(target.lines)
        target.command("dump-eeprom " + dumped)
        target.wait_line(r"^dumped ", start=n)
        with open(dumped, "rb") as f:
            self.assertEqual(f.read(), bytes(EEPROM))
        self.assertEqual(line.ask(ADDRESS, 1) + line.ask(block_write(), 1), b"\r\r")  # nothing to write

    @unittest.skipUnless(firmware_built(), "firmware not built")
    def test_on_the_emulated_chip(self):
        with Emulator(trace=True) as chip, Line(chip.path, BOOT_RATE) as line:
            self.exchange(line, chip, os.path.join(chip.tmp, "eeprom.bin"))
            # The unchanged block took less than one EEPROM write (8.5 ms).
            last_sent, answered = [c for c, side, _ in chip.traced() if side == "host"][-1], chip.traced()[-1][0]
            self.assertLess(answered - last_sent, 0.0085 * 16e6)

    def test_on_the_simulated_target(self):
        with Sim("--target", "--boot") as sim, Line(sim.link, BOOT_RATE) as line:
            self.exchange(line, sim, os.path.join(sim.tmp, "eeprom.bin"))
            self.assertEqual(sim.stats()["eeprom_writes"], len(EEPROM_DATA))

    def test_a_bootloader_without_them(self):
        with Sim("--target", "--boot", "--no-memory") as sim, Line(sim.link, BOOT_RATE) as line:
            for request in (b"X\x00\x00\x00\x00", b"G\x00\x00\x00\x00", b"W\x00\x00"):
                self.assertEqual(line.ask(request, len(request), timeout=1), b"?" * len(request))


if __name__ == "__main__":
    unittest.main()

"""The EEPROM written for real and the chip read back, on the emulated
ATmega128 with its bootloader: an avr-gcc program with EEPROM data and
initialised data, as ELF and as the two HEX files of avr-objcopy, ends in
the chip as avr-objcopy has it; a damaged EEPROM block is sent again; the
read-back files round-trip through avr-objcopy. Against the simulated
target: a bootloader without the memory commands, and what is refused
before anything is written."""
import os
import subprocess
import unittest

from avr_target import APP_HEX, Emulator, firmware_built
from harness import Sim, run
from steps_support import Scratch, of_kind, read_events
from test_download_images import BOOT_SECTION_BYTE, to_binary
from test_elf_input import OBJCOPY, PROGRAMS, TOOLS

BLANK = b"\xff" * 4096


def objcopy_binary(path, *options):
    out = path + ".bin"
    subprocess.run(["avr-objcopy", "-O", "binary"] + list(options) + [path, out], check=True, capture_output=True)
    return open(out, "rb").read()


@unittest.skipUnless(TOOLS and firmware_built(), "needs the AVR tools and the firmware")
class Memories(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch(self)
        self.elf = self.scratch("data.elf")
        subprocess.run(["avr-gcc", "-mmcu=atmega128", "-Os", "-include", "avr/io.h", "-o", self.elf,
                        self.scratch_file("data.c", PROGRAMS["data"])], check=True)
        self.hex = {}
        for kind, options in OBJCOPY.items():
            self.hex[kind] = self.scratch(kind + ".hex")
            subprocess.run(["avr-objcopy", "-O", "ihex"] + options + [self.elf, self.hex[kind]], check=True)
        self.eeprom = objcopy_binary(self.elf, "-j", ".eeprom")

    def scratch_file(self, name, text):
        with open(self.scratch(name), "w") as f:
            f.write(text)
        return self.scratch(name)

    def tamborvine(self, chip, *args):
        events = self.scratch("events.jsonl")
        rc, out, err = run(list(args) + ["-c", chip.link, "-q", "--events", events], tty=False, timeout=120)
        return rc, out + err, read_events(events)

    def test_a_program_with_eeprom_data_as_elf_and_as_hex_files(self):
        before = self.scratch("before.hex")
        cases = ((APP_HEX, [self.elf, "-t", "-w", "-e", self.elf, "--download-rate", "1000000", "--read-flash", before]),
                 (None, [self.hex["flash"], "-w", "-e", self.hex["eeprom"]]))
        for app, args in cases:
            with self.subTest(args[0]), Emulator(app=app) as chip:
                if app:
                    chip.wait_line(r"^uart 9615$")  # the application greets once the bootloader's second is over
                rc, out, log = self.tamborvine(chip, *args)
                self.assertEqual(rc, 0, out)
                self.assertEqual([e["result"] for e in of_kind(log, "eeprom")], ["written", "SUCCESS"])
                expected = to_binary(self.hex["flash"], self.scratch("expected.bin"))
                self.assertEqual(chip.dump()[:BOOT_SECTION_BYTE], expected[:BOOT_SECTION_BYTE])
                self.assertEqual(chip.dump("dump-eeprom"), self.eeprom + BLANK[len(self.eeprom):])
        # The flash as it was before the write: the application's image.
        self.assertEqual(objcopy_binary(before, "-I", "ihex"), objcopy_binary(APP_HEX, "-I", "ihex"))

    def test_a_damaged_eeprom_block_is_sent_again_and_the_eeprom_reads_back(self):
        with Emulator() as chip:
            chip.command("corrupt 18")  # p S v V t, X 0 0 0 0, A hi lo, W n n: the second EEPROM byte
            rc, out, _ = self.tamborvine(chip, "-e", self.hex["eeprom"])
            chip.wait_line(r"^corrupted ")
            self.assertEqual(rc, 0, out)
            self.assertIn(b"retry count =1 \r\n.\r\nEEPROM Download finished\r\nVerify EEPROM.\r\n.\r\nSUCCESS", out)
            back = self.scratch("back.hex")
            rc, out, log = self.tamborvine(chip, "--read-eeprom", back)
            self.assertEqual(rc, 0, out)
            self.assertEqual([(e["memory"], e["bytes"]) for e in of_kind(log, "read")], [("eeprom", 4096)])
            self.assertEqual(objcopy_binary(back, "-I", "ihex"), self.eeprom)


class Refusals(unittest.TestCase):
    def test_what_cannot_be_done_is_said_before_anything_is_written(self):
        scratch = Scratch(self)
        eeprom, far = scratch("eeprom.hex"), scratch("far.hex")
        with open(eeprom, "w") as f:
            f.write(":020000001234B8\n:00000001FF\n")
        with open(far, "w") as f:
            f.write(":021000001234A8\n:00000001FF\n")  # at 0x1000, past the 4 KiB
        cases = (("--no-memory", ["-e", eeprom], b"EEPROM not written: the bootloader does not know the memory commands "
                  b"(a build from before them)\r\n", True),
                 ("--no-memory", ["--read-flash", scratch("x.hex")], b"Flash not read: the bootloader does not know the "
                  b"memory commands (a build from before them); nothing was written\r\n", True),
                 (None, ["-e", far], b"EEPROM file has data up to byte 0x1001, past the 4096 bytes of EEPROM of the "
                  b"ATmega128: nothing was written to the EEPROM\r\n", True),
                 (None, ["-e", eeprom, "--read-eeprom", eeprom], b"Read-back file %s is a file the run uses\r\n"
                  % eeprom.encode(), False))
        for option, args, told, identified in cases:
            with self.subTest(told), Sim(*[a for a in ("--target", "--boot", option) if a]) as sim:
                rc, out, _ = run(args + ["-c", sim.link, "-q"], tty=False)
                self.assertEqual(rc, 1)
                self.assertIn(told, out)
                names = [c[1] for c in sim.commands()]
                self.assertEqual((names[:5], {"e", "k", "W"} & set(names)), (["p", "S", "v", "V", "t"][:5 * identified], set()))
        self.assertFalse(os.path.exists(scratch("x.hex")))

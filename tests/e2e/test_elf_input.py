"""ELF files straight from avr-gcc, known by their magic whatever their
name: the range line and all after it, and what reaches the target, are
those of avr-objcopy's HEX of the same program; a damaged or foreign ELF
stops the run before a byte is sent."""
import os
import shutil
import struct
import subprocess
import unittest

from boot_support import Workdir, boot_sim
from harness import Sim, run
from test_download_images import BOOT_SECTION_BYTE, to_binary
from test_hex_reader import ABORTED

TOOLS = all(shutil.which(t) for t in ("avr-gcc", "avr-objcopy", "srec_cat"))
PROGRAMS = {
    "data": r"""#include <avr/eeprom.h>
#include <avr/fuse.h>
#include <avr/lock.h>
#include <avr/signature.h>
uint8_t EEMEM table[5] = {1, 2, 3, 4, 5};
uint16_t EEMEM calibration = 0x1234;
char greeting[] = "initialised data";
volatile uint8_t counter = 7;
FUSES = {.low = 0xFF, .high = 0xCC, .extended = 0xFF};
LOCKBITS = 0xFC;
int main(void) { for (;;) PORTB = greeting[counter++ % 16] + eeprom_read_byte(&table[counter % 5]); }
""",
    "far": r"""#include <avr/pgmspace.h>
const char far_text[] __attribute__((section(".fartext"), used)) = "text above 64 KiB";
int main(void) { for (;;) PORTA = pgm_read_byte_far(pgm_get_far_address(far_text) + PORTB); }
""",
}
OBJCOPY = {"flash": ["-R", ".eeprom", "-R", ".fuse", "-R", ".lock", "-R", ".signature"],
           "eeprom": ["-j", ".eeprom", "--change-section-lma", ".eeprom=0"]}
FAST = ["--download-rate", "1000000"]


@unittest.skipUnless(TOOLS, "needs gcc-avr, avr-libc, binutils-avr and srecord")
class ElfInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workdir()
        for name, source in PROGRAMS.items():
            c = cls.work.file(name + ".c", source)
            subprocess.run(["avr-gcc", "-mmcu=atmega128", "-Os", "-Wl,--section-start=.fartext=0x1c000",
                            "-include", "avr/io.h", "-o", cls.path(name + ".elf"), c], check=True)
            for kind, options in OBJCOPY.items():
                subprocess.run(["avr-objcopy", "-O", "ihex"] + options
                               + [cls.path(name + ".elf"), cls.path("%s.%s.hex" % (name, kind))],
                               check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work.path, True)

    @classmethod
    def path(cls, name):
        return os.path.join(cls.work.path, name)

    def download(self, kind, image):
        """Output from the range line on, and the target's flash."""
        with boot_sim("--boot-rate", "1000000") as sim:
            args = [image, "-w"] if kind == "flash" else ["-e", image]
            rc, out, _ = run(args + ["-c", sim.link, "-q"] + FAST, tty=False, timeout=60)
            self.assertEqual(rc, 0, out)
            return out[out.index(b"LoAddr"):], sim.dump_flash(), out

    def test_same_as_the_objcopy_hex_of_the_program(self):
        for name, kind, left_out in [("data", "flash", b".fuse .lock .signature"), ("far", "flash", None),
                                     ("data", "eeprom", None)]:
            with self.subTest(name=name, kind=kind):
                image = shutil.copy(self.path(name + ".elf"), self.path(name + ".image"))
                hex_path = self.path("%s.%s.hex" % (name, kind))
                from_elf, flash, whole = self.download(kind, image)
                self.assertEqual((from_elf, flash), self.download(kind, hex_path)[:2])
                before_range = whole[:whole.index(b"LoAddr")].split(b"\r\n")[-2]
                self.assertEqual(before_range, b"Not written (a bootloader cannot write them): " + left_out
                                 if left_out else b"Down loading %s file:%s" % (kind.encode(), image.encode()))
                if kind == "flash":
                    self.assertEqual(flash[:BOOT_SECTION_BYTE],
                                     to_binary(hex_path, self.path("expected.bin"))[:BOOT_SECTION_BYTE])
        self.assertIn(b"LoAddr =  0    HiAddr =  4\r\n", from_elf)  # the 7 EEPROM bytes from address 0

    def test_refused_before_anything_is_sent(self):
        elf = open(self.path("data.elf"), "rb").read()
        first_segment_load_address = struct.unpack_from("<I", elf, 28)[0] + 12

        def changed(offset, fmt, value):
            data = bytearray(elf)
            struct.pack_into(fmt, data, offset, value)
            return bytes(data)
        cases = [
            (elf[:len(elf) // 2], [], b"ELF file cut short!"),
            (elf[:40], [], b"ELF file cut short!"),
            (changed(4, "B", 2), [], b"ELF file is 64-bit; an AVR program is a 32-bit ELF!"),
            (changed(5, "B", 2), [], b"ELF file is big-endian; an AVR program is little-endian!"),
            (changed(18, "<H", 62), [], b"ELF file is for another machine (62), not AVR (83)!"),
            (changed(42, "<H", 33), [], b"ELF file damaged (program header size 33)!"),
            (changed(first_segment_load_address, "<I", 0x1FFF0), [], b"ELF file has data at 0x20000, "
             b"beyond the 128 KiB image!"),
            (open(self.path("far.elf"), "rb").read(), ["-e"], b"ELF file has no EEPROM data (.eeprom section)!"),
        ]
        for number, (content, option, line) in enumerate(cases):
            with self.subTest(line=line), Sim() as sim:
                image = self.work.file("bad%d.hex" % number, content)
                rc, out, _ = run(option + [image, "-w", "-c", sim.link, "-q"], tty=False)
                self.assertEqual(rc, 1)
                self.assertTrue(out.endswith(b"ERROR: " + line + b"\r\n" + ABORTED), out)
                sim.sync()
                self.assertEqual(sim.received(), [])


if __name__ == "__main__":
    unittest.main()

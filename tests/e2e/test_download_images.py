"""End to end with images made by the real AVR tools: what the program
writes is found word for word in the target's flash, and verify-only runs
tell a matching flash from a changed one."""
import os
import shutil
import subprocess
import unittest

from boot_support import Workdir, boot_sim, download
from harness import SOURCE

TOOLS = all(shutil.which(t) for t in ("avr-gcc", "avr-objcopy", "srec_cat"))
FLASH_BYTES = 0x20000
BOOT_SECTION_BYTE = 0x1F800


def to_binary(hex_path, bin_path):
    """The image as the target's whole flash: 0xFF where the file has nothing."""
    subprocess.run(["srec_cat", hex_path, "-intel", "-fill", "0xFF", "0", "0x%x" % FLASH_BYTES,
                    "-o", bin_path, "-binary"], check=True, capture_output=True)
    with open(bin_path, "rb") as f:
        return f.read()


@unittest.skipUnless(TOOLS, "needs gcc-avr, binutils-avr and srecord")
class RealImages(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()

    def flash_and_compare(self, hex_path, *flags):
        expected = to_binary(hex_path, os.path.join(self.work.path, "expected.bin"))
        with boot_sim() as sim:
            rc, after, out, _ = download(sim, hex_path, "-w", *flags)
            self.assertEqual(rc, 0, out)
            self.assertIn(b"\r\nSUCCESS\r\n", after)
            flash = sim.dump_flash()
        self.assertEqual(flash[:BOOT_SECTION_BYTE], expected[:BOOT_SECTION_BYTE])
        return sim

    def test_application_built_with_avr_gcc(self):
        elf = os.path.join(self.work.path, "zelmo.elf")
        hex_path = os.path.join(self.work.path, "zelmo.hex")
        subprocess.run(["avr-gcc", "-mmcu=atmega128", "-Os", "-DF_CPU=16000000UL",
                        "-I", os.path.join(SOURCE, "firmware"), "-o", elf,
                        os.path.join(SOURCE, "firmware", "app", "zelmo.c")], check=True)
        subprocess.run(["avr-objcopy", "-O", "ihex", "-R", ".eeprom", elf, hex_path], check=True)
        self.flash_and_compare(hex_path)

    def test_bundled_example_image(self):
        self.flash_and_compare(os.path.join(SOURCE, "examples", "zelmo.hex"), "-V")

    def test_gaps_and_data_above_64_kib(self):
        # Data at byte 0x100, at 0x10000..0x103ff and up to 0x1f0ff: word
        # addresses 0x80 to 0xf880, below the boot section.
        hex_path = os.path.join(self.work.path, "big.hex")
        subprocess.run(["srec_cat",
                        "-generate", "0x100", "0x180", "-constant", "0x5A",
                        "-generate", "0x10000", "0x10400", "-repeat-data", "0x11", "0x22", "0x33",
                        "-generate", "0x1F000", "0x1F100", "-constant-l-e", "0x1234", "2",
                        "-o", hex_path, "-intel"], check=True, capture_output=True)
        sim = self.flash_and_compare(hex_path)
        pages = [c[2] for c in sim.commands() if c[1] == "k"]
        self.assertEqual(pages[0], "0080 ok")
        # HiAddr is 0xf880, exactly the end of a page: one more page of
        # filler words starts there.
        self.assertEqual(pages[-2:], ["f800 ok", "f880 ok"])
        self.assertEqual(len(pages), 497)

    def test_verify_only_against_a_matching_and_a_changed_flash(self):
        hex_path = os.path.join(SOURCE, "examples", "zelmo.hex")
        image = bytearray(to_binary(hex_path, os.path.join(self.work.path, "flash.bin")))
        same = self.work.file("same.bin", bytes(image))
        image[0x150] ^= 0x01  # a byte in the second page
        changed = self.work.file("changed.bin", bytes(image))
        with boot_sim("--load", same) as sim:
            rc, after, out, _ = download(sim, hex_path)
            self.assertEqual(rc, 0, out)
            self.assertTrue(after.startswith(b"Verify Flash.\r\n"))
            self.assertTrue(after.endswith(b".\r\nSUCCESS\r\n"))
            self.assertEqual(sim.stats()["pages"], 0)
        with boot_sim("--load", changed) as sim:
            rc, after, out, _ = download(sim, hex_path)
            self.assertEqual(rc, 1)
            self.assertIn(b".\r\nerror at page: 128\r\n", after)
            self.assertIn(b"too many errors, bailing out\r\n", after)


if __name__ == "__main__":
    unittest.main()

"""tamborvine against the real bootloader on the emulated ATmega128: a
download of the example application, a wake-up of the running application
and a reflash at another rate, a page damaged on the wire, an image whose
last page runs into the boot section, and a verify that must fail."""
import os
import tempfile
import unittest

from avr_target import (APP_HEX, APP_RATE, BOOT_START_WORD, BOOTLOADER_HEX, GREETING, SECOND_APP_HEX,
                        SECOND_GREETING, Emulator, Line, firmware_built, random_words, read_hex, write_hex)
from harness import Program, run

HOST_TIMEOUT = 180.0


@unittest.skipUnless(firmware_built(), "firmware not built (gcc-avr, avr-libc, libsimavr-dev missing)")
class DownloadToTheChip(unittest.TestCase):
    def host(self, *args):
        rc, out, err = run(list(args) + ["-q"], tty=False, timeout=HOST_TIMEOUT)
        return rc, out.replace(b"\r", b"")

    def assert_flash_holds(self, chip, image):
        """Application section: the image, blank elsewhere; boot section:
        the bootloader, untouched."""
        flash = chip.flash_words()
        for addr in range(BOOT_START_WORD):
            if flash[addr] != image.get(addr, 0xFFFF):
                self.fail("word 0x%04x: flash %04x, image %04x" % (addr, flash[addr], image.get(addr, 0xFFFF)))
        for addr, word in read_hex(BOOTLOADER_HEX).items():
            self.assertEqual(flash[addr], word, "bootloader word 0x%04x" % addr)

    def assert_greets(self, chip, greeting):
        """After a reset the bootloader waits for a host, then starts the
        application, which greets at its own rate."""
        with Line(chip.path, APP_RATE) as line:
            n = len(chip.lines)
            chip.command("reset")
            chip.wait_line(r"^reset external stdin$", start=n)
            line.discard()  # the tail of what the application said before (a loaded machine's lag)
            self.assertIn(greeting, line.read_until(greeting, timeout=10))
            self.assertEqual(line.ask(b"echo", 4), b"echo")

    def test_download_then_wake_up_and_reflash_at_another_rate(self):
        with Emulator() as chip:
            rc, out = self.host(APP_HEX, "-w", "-V", "-E", "-c", chip.link)
            self.assertEqual(rc, 0, out)
            self.assertIn(b"Flash erased\n", out)
            self.assertIn(b"\nSUCCESS\n", out)
            self.assert_flash_holds(chip, read_hex(APP_HEX))
            self.assert_greets(chip, GREETING)

            # The application is running: wake it, switch to 57600 (divisor
            # 16: 58,824 baud on the chip) and put the second image on.
            rc, out = self.host(SECOND_APP_HEX, "-t", "-r", "57600", "-w", "-V", "-E", "-c", chip.link)
            self.assertEqual(rc, 0, out)
            self.assertIn(b"saying Mancb10cb", out)
            self.assertIn(b"AVR said Hello", out)
            self.assertIn(b"\nSUCCESS\n", out)
            chip.wait_line(r"^uart 58824$")
            self.assert_flash_holds(chip, read_hex(SECOND_APP_HEX))
            self.assert_greets(chip, SECOND_GREETING)

    def test_the_terminal_shows_the_application_after_the_download(self):
        with Emulator() as chip, Program([APP_HEX, "-w", "-E", "-c", chip.link]) as host:
            host.expect(b"Start terminal emulation", timeout=HOST_TIMEOUT)
            # 'E' started the application; the host is back at its rate.
            host.expect(GREETING.rstrip(), timeout=10)
            host.keys(b"typed")
            host.expect(b"typed", timeout=10)
            host.keys(b"\x1b")
            self.assertEqual(host.wait(10), 0)
            self.assertEqual(chip.reported(r"^lost"), [])

    def test_a_page_damaged_on_the_wire_is_sent_again(self):
        with Emulator() as chip:
            # p S v V t e, then 'A' hi lo and 'D' 'k' 'k': byte 20 is the
            # eighth data byte of the first page.
            chip.command("corrupt 20")
            rc, out = self.host(APP_HEX, "-w", "-c", chip.link)
            chip.wait_line(r"^corrupted ")
            self.assertEqual(rc, 0, out)
            self.assertIn(b"retry count =1", out)
            self.assertIn(b"\nSUCCESS\n", out)
            self.assert_flash_holds(chip, read_hex(APP_HEX))

    def test_last_page_into_the_boot_section_leaves_the_bootloader(self):
        # Data from 0xF010 to 0xFBFF: HiAddr 0xFC00, pages off the device's
        # page grid, the last one reaching 16 words into the boot section.
        image = random_words(0xF010, BOOT_START_WORD - 0xF010, seed=7)
        with tempfile.TemporaryDirectory() as tmp, Emulator() as chip:
            path = os.path.join(tmp, "top.hex")
            write_hex(path, image)
            rc, out = self.host(path, "-w", "-c", chip.link)
            self.assertEqual(rc, 0, out)
            self.assertIn(b"\nSUCCESS\n", out)
            self.assert_flash_holds(chip, image)

    def test_the_whole_application_section_at_one_megabaud_after_a_wake_up(self):
        # The example application with every other word of the application
        # section filled, so that every page is written and verified.
        image = random_words(0, BOOT_START_WORD, seed=11)
        image.update(read_hex(APP_HEX))
        with tempfile.TemporaryDirectory() as tmp, Emulator(app=APP_HEX) as chip:
            path = os.path.join(tmp, "full.hex")
            write_hex(path, image)
            # The application greets once the bootloader's second is over;
            # the program waits for the greeting to end before its wake-up.
            chip.wait_line(r"^uart 9615$")
            rc, out = self.host(path, "-t", "--download-rate", "1000000", "-w", "-c", chip.link)
            self.assertEqual(rc, 0, out)
            self.assertIn(b"AVR said Hello", out)
            self.assertNotIn(b"Warning", out)
            self.assertIn(b"\nSUCCESS\n", out)
            chip.wait_line(r"^uart 1000000$")
            self.assertEqual(chip.reported(r"^(lost|overrun)"), [])
            self.assert_flash_holds(chip, image)

    def test_a_wire_error_during_verify_ends_in_failure(self):
        with Emulator() as chip:
            rc, out = self.host(APP_HEX, "-w", "-c", chip.link)
            self.assertEqual(rc, 0, out)
            # The application runs: wake it and verify only. After the
            # wake-up (9 bytes) and p S v V t, 'A' 00 00: byte 17 makes the
            # address 0x0001, whose checksum differs; the page is asked for
            # again and matches, but the pass counts the error.
            # The program waits for the greeting to end before its wake-up.
            chip.wait_line(r"^uart 9615$")
            chip.command("corrupt 17")
            rc, out = self.host(APP_HEX, "-t", "-V", "-c", chip.link)
            chip.wait_line(r"^corrupted 00 to 01$")
            self.assertEqual(rc, 1, out)
            self.assertEqual(out.count(b"error at page: 0\n"), 1, out)
            self.assertIn(b"\nFAILURE\n", out)
            self.assert_flash_holds(chip, read_hex(APP_HEX))

    def test_verify_of_an_image_the_chip_does_not_hold_fails(self):
        with Emulator() as chip:
            rc, out = self.host(APP_HEX, "-c", chip.link)
            self.assertEqual(rc, 1, out)
            self.assertNotIn(b"SUCCESS", out)
            # The host ends a verify pass with FAILURE, or earlier when the
            # same page keeps failing.
            self.assertTrue(b"\nFAILURE\n" in out or b"too many errors" in out, out)
            self.assert_flash_holds(chip, {})


if __name__ == "__main__":
    unittest.main()

"""The real bootloader on the emulated ATmega128, spoken to directly: every
reply of the dialogue, page programming across device pages, refused pages,
the boot section's protection, the page hash, and the application's
hand-over at every rate up to 1,000,000 baud."""
import os
import subprocess
import tempfile
import unittest

from avr_target import (EMULATOR, APP_HEX, APP_RATE, APPLICATION_PAGES, BOOT_RATE, BOOTLOADER_HEX, BOOT_START_WORD,
                        GREETING, PAGE_WORDS, Dialogue, Emulator, Line, firmware_built, page_bytes, page_checksum,
                        page_hash, random_words, read_hex)

BLANK_PAGE = [0xFFFF] * PAGE_WORDS
BLANK_HASH = bytes.fromhex("fea8a821")


def page_of(words, start):
    return [words[start + i] for i in range(PAGE_WORDS)]


@unittest.skipUnless(firmware_built(), "firmware not built (gcc-avr, avr-libc, libsimavr-dev missing)")
class BootloaderDialogue(unittest.TestCase):
    def setUp(self):
        self.chip = Emulator()
        self.line = Line(self.chip.path, BOOT_RATE)
        self.boot = Dialogue(self.line)

    def tearDown(self):
        self.line.close()
        self.chip.close()

    def test_identification_replies(self):
        ask = self.line.ask
        self.assertEqual(ask(b"p", 1), b"S")
        ident = ask(b"S", 7)
        self.assertEqual(len(ident), 7)
        self.assertTrue(ident.startswith(b"AVR"), ident)
        self.assertEqual(len(ask(b"v", 2)), 2)
        self.assertEqual(len(ask(b"V", 2)), 2)
        self.assertEqual(ask(b"t", 2), b"\x44\x00")
        self.assertEqual(ask(b"s", 3), b"\x02\x97\x1e")
        # Unknown commands get '?', and the line stays in step.
        self.assertEqual(ask(b"Z", 1), b"?")
        self.assertEqual(ask(b"p", 1), b"S")

    def test_unaligned_pages_keep_their_neighbours(self):
        self.assertEqual(self.boot.erase(), b"\r")
        image = random_words(0x0010, 3 * PAGE_WORDS - 40, seed=1)
        self.boot.write_image(image)
        flash = self.chip.flash_words()
        for addr in range(0x0000, 0x0300):
            self.assertEqual(flash[addr], image.get(addr, 0xFFFF), "word 0x%04x" % addr)
        # Verify answers: the flash's own checksum for every host page.
        for start in range(0x0010, 0x0010 + 3 * PAGE_WORDS, PAGE_WORDS):
            expected = page_checksum(start, [image.get(start + i, 0xFFFF) for i in range(PAGE_WORDS)])
            self.assertEqual(self.boot.flash_checksum(start), expected, "page 0x%04x" % start)
        # Pages across the first 64 KiB of flash.
        across = random_words(0x7FC0, 2 * PAGE_WORDS - 40, seed=9)
        self.boot.write_image(across)
        self.assertEqual(self.boot.flash_checksum(0x7FC0), page_checksum(0x7FC0, page_of(across, 0x7FC0)))
        flash = self.chip.flash_words()
        self.assertEqual([flash[a] for a in sorted(across)], [across[a] for a in sorted(across)])

    def test_blank_page_checksums(self):
        self.assertEqual(self.boot.flash_checksum(0x0000), bytes.fromhex("ff800000"))
        self.assertEqual(self.boot.flash_checksum(0x0080), bytes.fromhex("00000080"))

    def test_erase_blanks_the_application_section_only(self):
        boot_before = self.chip.flash_words()[BOOT_START_WORD:]
        self.boot.write_page(0x0100, list(range(PAGE_WORDS)))
        self.boot.write_page(0xFB00, list(range(PAGE_WORDS)))
        self.assertEqual(self.boot.erase(), b"\r")
        flash = self.chip.flash_words()
        self.assertEqual(flash[:BOOT_START_WORD], [0xFFFF] * BOOT_START_WORD)
        self.assertEqual(flash[BOOT_START_WORD:], boot_before)

    def test_damaged_pages_are_refused_and_take_a_resend(self):
        words = list(range(0x1000, 0x1000 + PAGE_WORDS))
        good = page_checksum(0x0200, words)
        # Wrong checksum: refused, nothing written.
        self.assertEqual(self.boot.write_page(0x0200, words, bytes([good[0] ^ 1]) + good[1:]), b"N")
        self.assertEqual(self.boot.flash_checksum(0x0200), page_checksum(0x0200, BLANK_PAGE))
        # A data byte damaged on the wire.
        self.chip.command("corrupt 20")
        self.assertEqual(self.boot.write_page(0x0200, words), b"N")
        self.chip.wait_line(r"^corrupted ")
        # A checksum made for another address (the address byte was damaged).
        self.assertEqual(self.boot.write_page(0x0200, words, page_checksum(0x0201, words)), b"N")
        # A byte lost on the wire: the bootloader stops waiting and refuses.
        self.line.ask(b"A\x02\x00", 1)
        self.assertEqual(self.line.ask(b"Dkk" + page_bytes(words)[:-1] + good, 1, timeout=3), b"N")
        # A damaged mode letter: the page is dropped, not taken for commands.
        self.line.ask(b"A\x02\x00", 1)
        self.assertEqual(self.line.ask(b"Dkj" + page_bytes(words) + good, 1, timeout=3), b"N")
        self.assertEqual(self.boot.flash_checksum(0x0200), page_checksum(0x0200, BLANK_PAGE))
        # The resend goes through.
        self.assertEqual(self.boot.write_page(0x0200, words), b"\r")
        self.assertEqual(self.chip.flash_words()[0x0200:0x0280], words)

    def test_last_page_into_the_boot_section_leaves_the_bootloader(self):
        boot_image = read_hex(BOOTLOADER_HEX)
        self.assertEqual(self.boot.erase(), b"\r")
        # Data up to word 0xFBFF, page starting 64 words below the boot section.
        data = [0x5A00 + i for i in range(64)]
        self.assertEqual(self.boot.write_page(0xFBC0, data + [0xFFFF] * 64), b"\r")
        self.assertEqual(self.boot.flash_checksum(0xFBC0), page_checksum(0xFBC0, data + [0xFFFF] * 64))
        # A page wholly in the boot section is taken and ignored.
        self.assertEqual(self.boot.write_page(0xFC00, BLANK_PAGE), b"\r")
        # Words aimed into the boot section are refused, never written.
        self.assertEqual(self.boot.write_page(0xFBC0, data + [0x0000] * 64), b"N")
        flash = self.chip.flash_words()
        self.assertEqual(flash[0xFBC0:0xFC00], data)
        for addr, word in boot_image.items():
            self.assertEqual(flash[addr], word, "boot word 0x%04x" % addr)

    def test_page_hashes(self):
        data = page_of(random_words(0, PAGE_WORDS, seed=4), 0)
        swapped = data[2:4][::-1] + data[:2] + data[4:]
        # The page checksum cannot tell the two apart; the hash must.
        self.assertEqual(page_checksum(0, data), page_checksum(0, swapped))
        last_word_only = BLANK_PAGE[1:] + [0x1234]
        self.assertEqual(self.boot.write_page(0x0080, last_word_only), b"\r")
        self.assertEqual(self.boot.write_page(0x0100, data), b"\r")
        self.assertEqual(self.boot.write_page(0x8000, swapped), b"\r")  # page 256, above 64 KiB
        self.assertEqual(page_hash(BLANK_PAGE), BLANK_HASH)
        self.assertEqual(self.boot.hashes(0, 3), BLANK_HASH + page_hash(last_word_only) + page_hash(data) + b"\r")
        self.assertEqual(self.boot.hashes(256, 1), page_hash(swapped) + b"\r")
        self.assertNotEqual(page_hash(swapped), page_hash(data))
        self.assertEqual(self.boot.hashes(APPLICATION_PAGES - 1, 1), BLANK_HASH + b"\r")
        # The probe, and ranges that reach the boot section: refused, with
        # what came right behind them.
        self.assertEqual(self.line.ask(b"H\x00\x00\x00\x00p", 2), b"\rS")
        for first, count in ((APPLICATION_PAGES - 1, 2), (APPLICATION_PAGES, 1), (1, 0xFFFF), (0xFFFF, 2)):
            request = b"H" + bytes([first >> 8, first & 0xFF, count >> 8, count & 0xFF])
            self.assertEqual(self.line.ask(request + b"p", 2), b"?", (first, count))

    def test_aligned_pages_rewrite_a_chip_that_was_not_erased(self):
        old = random_words(0, 3 * PAGE_WORDS, seed=5)
        self.boot.write_image(old)
        new = page_of(random_words(0x0080, PAGE_WORDS, seed=6), 0x0080)
        self.assertEqual(self.boot.write_page(0x0080, new), b"\r")
        self.assertEqual(self.boot.write_page(0x0000, page_of(old, 0)), b"\r")  # unchanged
        flash = self.chip.flash_words()
        self.assertEqual(flash[0x0000:0x0180], page_of(old, 0) + new + page_of(old, 0x0100))
        # A blank page sent this way leaves the device page erased.
        self.assertEqual(self.boot.write_page(0x0080, BLANK_PAGE), b"\r")
        flash = self.chip.flash_words()
        self.assertEqual(flash[0x0000:0x0180], page_of(old, 0) + BLANK_PAGE + page_of(old, 0x0100))
        self.assertEqual(self.boot.hashes(0, 3),
                         page_hash(page_of(old, 0)) + BLANK_HASH + page_hash(page_of(old, 0x0100)) + b"\r")

    def test_exit_without_an_application_stays_in_the_bootloader(self):
        self.assertEqual(self.line.ask(b"E", 1), b"\r")
        self.assertEqual(self.line.ask(b"p", 1), b"S")


@unittest.skipUnless(firmware_built(), "firmware not built (gcc-avr, avr-libc, libsimavr-dev missing)")
class ApplicationHandOver(unittest.TestCase):
    def test_greets_echoes_and_hands_over_at_the_named_rate(self):
        with Emulator(app=APP_HEX) as chip, Line(chip.path, APP_RATE) as line:
            # Nobody speaks to the bootloader: the application starts.
            self.assertIn(GREETING, line.read_until(GREETING, timeout=5))
            self.assertEqual(line.ask(b"echo me", 7), b"echo me")
            # A broken-off wake-up is echoed after all.
            self.assertEqual(line.ask(b"Manx", 4), b"Manx")
            self.assertEqual(line.ask(b"Manc", 4, timeout=1.0), b"Manc")
            # Divisor 0x10 = 16: 58,824 baud, the host's 57600.
            reply = line.ask(b"Mancb10cb", 6)
            self.assertEqual(len(reply), 6)
            self.assertIn(b"Hello", reply)
            chip.wait_line(r"^uart 58824$")
            line.set_rate(57600)
            self.assertEqual(line.ask(b"p", 1), b"S")
            # 'E' starts the application again, at its own rate.
            self.assertEqual(line.ask(b"E", 1), b"\r")
            line.set_rate(APP_RATE)
            self.assertIn(GREETING, line.read_until(GREETING, timeout=5))
            self.assertEqual(chip.reported(r"^lost"), [])

    def test_noise_after_a_reset_does_not_hold_the_application_back(self):
        with Emulator(app=APP_HEX) as chip, Line(chip.path, BOOT_RATE) as line:
            line.send(b"\x00\xff\x00")
            line.set_rate(APP_RATE)
            self.assertIn(GREETING, line.read_until(GREETING, timeout=5))

    def test_hands_over_at_the_fast_rates(self):
        # Divisors below 16 come with a blank. 0 to 3 name 1,000,000 /
        # (divisor + 1) baud, which the host sets exactly; 7 names 125,000,
        # which a host at 115200 cannot talk to.
        with Emulator(app=APP_HEX) as chip, Line(chip.path, APP_RATE) as line:
            line.read_until(GREETING, timeout=5)
            for divisor, rate, host_rate in ((b" 3", 250000, 250000), (b" 2", 333333, 333333),
                                             (b" 1", 500000, 500000), (b" 7", 125000, 115200)):
                n = len(chip.lines)
                self.assertIn(b"Hello", line.ask(b"Mancb" + divisor + b"cb", 6), divisor)
                chip.wait_line(r"^uart %d$" % rate, start=n)
                line.set_rate(host_rate)
                if rate != host_rate:
                    self.assertEqual(line.ask(b"p", 1, timeout=0.5), b"")
                    chip.wait_line(r"^lost 1 bytes from host, 0 to host: line %d, uart %d$" % (host_rate, rate), start=n)
                    line.set_rate(rate)
                self.assertEqual(line.ask(b"p", 1), b"S", divisor)
                self.assertEqual(line.ask(b"E", 1), b"\r")
                line.set_rate(APP_RATE)
                self.assertIn(GREETING, line.read_until(GREETING, timeout=5))

    def test_a_page_at_one_megabaud(self):
        with Emulator(app=APP_HEX, trace=True) as chip, Line(chip.path, APP_RATE) as line:
            line.read_until(GREETING, timeout=5)
            self.assertIn(b"Hello", line.ask(b"Mancb 0cb", 6))
            chip.wait_line(r"^uart 1000000$")
            line.set_rate(500000)
            self.assertEqual(line.ask(b"p", 1, timeout=0.5), b"")
            chip.wait_line(r"^lost 1 bytes from host, 0 to host: line 500000, uart 1000000$")
            line.set_rate(1000000)
            boot = Dialogue(line)
            n = len(chip.lines)
            self.assertEqual(line.ask(b"S", 7), b"AVRBOOT")
            words = page_of(random_words(0x0200, PAGE_WORDS, seed=8), 0x0200)
            self.assertEqual(boot.write_page(0x0200, words), b"\r")
            self.assertEqual(boot.flash_checksum(0x0200), page_checksum(0x0200, words))
            self.assertEqual(chip.flash_words()[0x0200:0x0280], words)
            self.assertEqual(chip.reported(r"^(lost|overrun)"), [("lost 1 bytes from host, 0 to host: "
                                                                   "line 500000, uart 1000000")])
            # One frame, 160 cycles, a byte: the bootloader's identifier, and
            # the page, which the host sends in one go.
            traced = chip.traced(n)
            identifier = [cycle for cycle, side, _ in traced if side == "chip"][:7]
            self.assertEqual({b - a for a, b in zip(identifier, identifier[1:])}, {160})
            sent = [(cycle, byte) for cycle, side, byte in traced if side == "host"]
            first = next(i for i, (_, byte) in enumerate(sent) if byte == ord("D"))
            page = [cycle for cycle, _ in sent[first:first + 3 + 256 + 4]]
            self.assertEqual({b - a for a, b in zip(page, page[1:])}, {160})
            # A bootloader too busy to read (it fills its CRC table on the
            # first 'H') loses bytes, and the emulated chip says so.
            answer = line.ask(b"H\x00\x04\x00\x01" + b"p" * 8, 13, timeout=0.5)
            self.assertEqual(answer[:5], page_hash(words) + b"\r")
            self.assertLess(len(answer), 13)
            chip.wait_line(r"^overrun \d+ bytes from host")

    def test_a_reset_forgets_the_hand_over(self):
        with Emulator(app=APP_HEX) as chip, Line(chip.path, APP_RATE) as line:
            line.read_until(GREETING, timeout=5)
            self.assertIn(b"Hello", line.ask(b"Mancb10cb", 6))
            line.set_rate(57600)
            self.assertEqual(line.ask(b"p", 1), b"S")
            n = len(chip.lines)
            chip.command("reset")
            # Back at the default rate, then on to the application.
            chip.wait_line(r"^uart 19231$", start=n)
            line.set_rate(APP_RATE)
            self.assertIn(GREETING, line.read_until(GREETING, timeout=5))


@unittest.skipUnless(firmware_built(), "firmware not built (gcc-avr, avr-libc, libsimavr-dev missing)")
class EmulatorRefusesBadFirmwareFiles(unittest.TestCase):
    def test_bad_files_are_named_and_nothing_runs(self):
        cases = {
            "checksum.hex": ":0200000212345A\n",
            "short-address.hex": ":00000002FE\n",
            "beyond.hex": ":02000004FFFFFC\n:01FFFF00AA57\n",  # would wrap past 4 GiB
        }
        with tempfile.TemporaryDirectory() as tmp:
            for name, text in cases.items():
                path = os.path.join(tmp, name)
                with open(path, "w") as f:
                    f.write(text)
                proc = subprocess.run([EMULATOR, path], capture_output=True, timeout=10)
                self.assertEqual(proc.returncode, 1, name)
                self.assertIn(path.encode() + b":", proc.stderr)
                self.assertEqual(proc.stdout, b"", name)


if __name__ == "__main__":
    unittest.main()

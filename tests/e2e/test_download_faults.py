"""Every way the download can go wrong that a target can cause, with the
exact console lines and the exit status."""
import time
import unittest

from boot_support import IDENTIFY, STAYS, Workdir, boot_sim, download
from harness import Sim

ONE_WORD = {0x100: 0x1234}
# Two pages: words 0x100..0x17f and 0x180.
TWO_PAGES = {a: a for a in range(0x100, 0x181)}


def fatal(text):
    return b"\r\n" + text + b"\r\n\r\n"


class Identification(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", ONE_WORD)

    def check_stop(self, sim_args, flags, ending):
        with Sim("--target", *sim_args) as sim:
            rc, after, out, _ = download(sim, self.hex, *flags)
            self.assertEqual(rc, 1, out)
            self.assertTrue(after.endswith(ending), after)
            return sim, after

    def test_wake_up_replies_that_are_not_a_hello(self):
        for reply in ("", "Hello", "Howdy!", "\\x00Hell!"):
            with self.subTest(reply=reply):
                _, after = self.check_stop(["--reply", "hello=" + reply], ["-t", "-w"],
                                           fatal(b"No hello from AVR\r\n"))
                self.assertEqual(after, fatal(b"No hello from AVR\r\n"))

    def test_hello_anywhere_in_six_bytes_is_enough(self):
        with Sim("--target", "--reply", "hello=\\nHello") as sim:
            rc, after, out, _ = download(sim, self.hex, "-t", "-w")
            self.assertEqual(rc, 0, out)
            self.assertTrue(after.startswith(b"AVR said Hello : \nHello\r\n"))

    def test_silent_bootloader_after_p(self):
        start = time.monotonic()
        _, after = self.check_stop(["--boot", "--silent", "p"], [],
                                   b"nothing\r\n" * 5 + fatal(b"didn't get reply from AVR, out of sync"))
        self.assertEqual(after, b"nothing\r\n" * 5 + fatal(b"didn't get reply from AVR, out of sync"))
        self.assertGreaterEqual(time.monotonic() - start, 1.0)  # five reads of 200 polls

    def test_p_answered_with_other_bytes(self):
        with boot_sim("--reply", "p=?S") as sim:
            rc, _, out, _ = download(sim, self.hex, "-w", "-V")
            self.assertEqual(rc, 0, out)
            self.assertIn(b"we say p\r\n ?\r\nsrl cnt = 1 buf[0] = ?\r\n S\r\nsrl cnt = 1 buf[0] = S\r\n", out)
            sim.sync()
            self.assertEqual(sim.received_bytes()[:1], b"p")  # sent once
        self.check_stop(["--boot", "--reply", "p=?????S"], [], fatal(b"didn't get reply from AVR, out of sync"))

    def test_identifier_must_begin_with_avr(self):
        self.check_stop(["--boot", "--reply", "S= AVRBOO"], [],
                        fatal(b"Sorry, device does not reply AVR... to S, instead: AVRBOO\r\n"))
        self.check_stop(["--boot", "--silent", "S"], [],
                        b"nothing\r\n" + fatal(b"Sorry, device does not reply AVR... to S, instead:\r\n"))

    def test_devices_that_are_not_a_mega128(self):
        sim, _ = self.check_stop(["--boot", "--device", "0x72"], ["-w"],
                                 fatal(b"Sorry, device is not Mega128, instead:ATmega32        \r\n"))
        self.assertEqual(sim.received_bytes(), IDENTIFY)  # nothing erased
        self.check_stop(["--boot", "--device", "0x99"], ["-w"],
                        fatal(b"Sorry, device is not Mega128, instead:Unknown         \r\n"))

    def test_mega128_boot_code_passes(self):
        with boot_sim("--device", "0x44") as sim:
            rc, _, out, _ = download(sim, self.hex, "-w")
            self.assertEqual(rc, 0, out)

    def test_erase_refused(self):
        self.check_stop(["--boot", "--erase-fails"], ["-w"], b"\r\n" + b"Sorry, device is not erased\r\n\r\n")

    def test_erase_reply_waits_four_thousand_polls(self):
        start = time.monotonic()
        _, after = self.check_stop(["--boot", "--silent", "e"], ["-w"],
                                   b"nothing\r\n" + fatal(b"Sorry, device is not erased"))
        self.assertGreaterEqual(time.monotonic() - start, 4.0)


class WritePass(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("two.hex", TWO_PAGES)

    def run_write(self, *sim_args):
        with boot_sim(*sim_args) as sim:
            rc, after, out, _ = download(sim, self.hex, "-w")
            return rc, after, sim

    def test_no_reply_to_the_address(self):
        rc, after, _ = self.run_write("--silent", "A@2")
        self.assertEqual(rc, 1)
        self.assertEqual(after, b"Flash erased\r\n." + fatal(b"\r\nabort: read char time-out flash word program completion"))

    def test_three_address_retries_pass_the_fourth_stops(self):
        rc, after, sim = self.run_write("--bad-address", "2,3")
        self.assertEqual(rc, 0, after)
        self.assertEqual(after, b"Flash erased\r\n..\r\nFlash Download finished\r\nVerify Flash.\r\n..\r\nSUCCESS\r\n")
        self.assertEqual([c[2] for c in sim.commands() if c[1] == "A"][:5], ["0100", "0180", "0180", "0180", "0180"])
        rc, after, _ = self.run_write("--bad-address", "2,4")
        self.assertEqual(rc, 1)
        self.assertEqual(after, b"Flash erased\r\n." + fatal(b"\r\nabort: flash address retry count exhausted"))

    def test_resends_and_address_retries_share_one_counter(self):
        # Two resends of page 1 (A #1..#3), then page 2's address: one retry left.
        rc, after, _ = self.run_write("--nak-page", "1,2", "--bad-address", "4,1")
        self.assertEqual(rc, 0, after)
        rc, after, _ = self.run_write("--nak-page", "1,2", "--bad-address", "4,2")
        self.assertEqual(rc, 1)
        self.assertEqual(after, b"Flash erased\r\nretry count =1 \r\nretry count =2 \r\n."
                         + fatal(b"\r\nabort: flash address retry count exhausted"))

    def test_five_resends_pass_the_sixth_stops(self):
        rc, after, sim = self.run_write("--nak-page", "1,5")
        self.assertEqual(rc, 0, after)
        counts = b"".join(b"retry count =%d \r\n" % n for n in range(1, 6))
        self.assertTrue(after.startswith(b"Flash erased\r\n" + counts + b"..\r\nFlash Download finished\r\n"))
        self.assertIn(b"\r\nSUCCESS\r\n", after)
        self.assertEqual([c[2] for c in sim.commands() if c[1] == "A"][:6], ["0100"] * 6)
        rc, after, _ = self.run_write("--nak-page", "1,6")
        self.assertEqual(rc, 1)
        self.assertEqual(after, b"Flash erased\r\n" + counts + fatal(b"\r\nabort: flash programming retry count exhausted"))

    def test_every_word_lands_in_flash_and_resends_rewrite_the_page(self):
        with boot_sim("--nak-page", "2") as sim:
            rc, _, out, _ = download(sim, self.hex, "-w")
            self.assertEqual(rc, 0, out)
            flash = sim.dump_flash()
            self.assertEqual(sim.stats()["pages"], 2)
        for a, v in TWO_PAGES.items():
            self.assertEqual(flash[2 * a] | flash[2 * a + 1] << 8, v)
        self.assertEqual(flash[2 * 0x181:2 * 0x200], b"\xff" * (2 * (0x200 - 0x181)))

    def test_wrong_reply_to_a_page(self):
        rc, after, _ = self.run_write("--page-reply", "2,58")
        self.assertEqual(rc, 1)
        self.assertEqual(after, b"Flash erased\r\n.\r\nfail OK to send anaother page character\r\n"
                         b"abort: wrong character received\r\n" + fatal(b"got 0x58 (X)  wanted (0x0d) \r\n"))

    def test_no_reply_to_a_page(self):
        start = time.monotonic()
        rc, after, _ = self.run_write("--silent", "k")
        self.assertEqual(rc, 1)
        self.assertEqual(after, b"Flash erased\r\n" + fatal(b"\r\nabort: read char time-out flash word program completion\r\n"))
        self.assertGreaterEqual(time.monotonic() - start, 1.0)


class VerifyPass(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("two.hex", TWO_PAGES)

    def run_both(self, *sim_args, flags=("-w",)):
        with boot_sim(*sim_args) as sim:
            rc, after, out, _ = download(sim, self.hex, *flags)
            return rc, after.split(b"Verify Flash.\r\n", 1)[1], sim

    def test_recovered_mismatch_still_ends_in_failure(self):
        rc, verify, sim = self.run_both("--bad-checksum", "2")
        self.assertEqual(rc, 1)
        self.assertEqual(verify, b".\r\nerror at page: 384\r\n.\r\nFAILURE\r\n" + STAYS)
        self.assertEqual([c[2] for c in sim.commands() if c[1] == "l"], ["0100", "0180", "0180"])
        self.assertEqual(sim.commands()[-1][1], "l")  # no 'E': the image is not started

    def test_address_retry_in_verify_ends_in_failure(self):
        # 'A' #3 is the verify pass's first (two pages written before).
        rc, verify, _ = self.run_both("--bad-address", "3")
        self.assertEqual(rc, 1)
        self.assertEqual(verify, b"..\r\nFAILURE\r\n" + STAYS)

    def test_sixth_mismatch_bails_out(self):
        rc, verify, sim = self.run_both("--bad-checksum", "1,6")
        self.assertEqual(rc, 1)
        self.assertEqual(verify, b"\r\nerror at page: 256\r\n" * 6 + b"too many errors, bailing out\r\n" + STAYS)
        self.assertEqual(sim.commands()[-1][1], "l")
        rc, verify, _ = self.run_both("--bad-checksum", "1,5")
        self.assertEqual(rc, 1)
        self.assertEqual(verify, b"\r\nerror at page: 256\r\n" * 5 + b"..\r\nFAILURE\r\n" + STAYS)

    def test_mismatches_over_several_pages_count_together(self):
        # Page 256 fails three times, then page 384 three times: l #5..#7.
        rc, verify, _ = self.run_both("--bad-checksum", "1,3", "--bad-checksum", "5,3")
        self.assertEqual(rc, 1)
        self.assertEqual(verify, b"\r\nerror at page: 256\r\n" * 3 + b"." +
                         b"\r\nerror at page: 384\r\n" * 3 + b"too many errors, bailing out\r\n" + STAYS)

    def test_missing_checksum_ends_the_pass_not_the_run(self):
        start = time.monotonic()
        # A second --silent for the same command adds to the first.
        rc, verify, sim = self.run_both("--silent", "l@2", "--silent", "l@3")
        self.assertEqual(rc, 1)
        self.assertEqual(verify, b".\r\nabort: read char time-out flash verify completion\r\n" + STAYS)
        self.assertEqual(sim.commands()[-1][1], "l")
        self.assertGreaterEqual(time.monotonic() - start, 1.0)


class RangeCheck(unittest.TestCase):
    def test_top_of_the_application_section(self):
        work = Workdir()
        at_limit = work.hex_words("limit.hex", {0xFBFF: 0xA55A})  # HiAddr 0xFC00
        above = work.hex_words("above.hex", {0xFC00: 0xA55A})     # HiAddr 0xFC01
        # The last page reaches into the boot section, which holds the
        # bootloader: it is neither written nor counted against the image.
        resident = bytearray(b"\xff" * 0x20000)
        resident[2 * 0xFC00:] = bytes(range(256)) * 8
        with boot_sim("--load", work.file("resident.bin", bytes(resident))) as sim:
            rc, after, out, _ = download(sim, at_limit, "-w")
            self.assertEqual(rc, 0, out)
            self.assertTrue(after.endswith(b"Verify Flash.\r\n.\r\nSUCCESS\r\n"), after)
            self.assertEqual([c[2] for c in sim.commands() if c[1] == "A"], ["fbff"] * 2)
            flash = sim.dump_flash()
            self.assertEqual(flash[2 * 0xFBFF:2 * 0xFBFF + 2], b"\x5a\xa5")
            self.assertEqual(flash[2 * 0xFC00:], resident[2 * 0xFC00:])
        # Refused before the erase: the application on the target survives.
        with boot_sim() as sim:
            rc, after, out, _ = download(sim, above, "-w")
            self.assertEqual(rc, 1)
            self.assertEqual(after, fatal(b"burn_flash() Flash address too big..."))
            self.assertEqual([c[1] for c in sim.commands()], ["p", "S", "v", "V", "t"])
        # A verify-only run stops in the page pass, before any page is asked for.
        with boot_sim() as sim:
            rc, after, out, _ = download(sim, above)
            self.assertEqual(rc, 1)
            self.assertEqual(after, b"Verify Flash.\r\n" + fatal(b"burn_flash() Flash address too big..."))
            self.assertEqual([c[1] for c in sim.commands()], ["p", "S", "v", "V", "t"])


if __name__ == "__main__":
    unittest.main()

"""Scripted steps against the real bootloader and the example application
on the emulated ATmega128: flash and check the greeting and the echo in
one run, then runs without a download against the application."""
import unittest

from avr_target import APP_HEX, Emulator, firmware_built, read_hex
from steps_support import Scratch, of_kind, read_events, run_timed

HOST_TIMEOUT = 180.0
PAGE_WORDS = 128


@unittest.skipUnless(firmware_built(), "firmware not built (gcc-avr, avr-libc, libsimavr-dev missing)")
class ChecksOnTheChip(unittest.TestCase):
    def test_flash_greeting_echo_then_runs_without_a_download(self):
        events = Scratch(self)("events.jsonl")
        with Emulator() as chip:
            rc, out, err, _ = run_timed([APP_HEX, "-w", "-c", chip.link, "--events", events, "--timeout", "20",
                                         "--expect", "zelmo example application\\r\\n",
                                         "--send", "check 1\\r", "--expect", "check 1\\r"],
                                        timeout=HOST_TIMEOUT)
            self.assertEqual(rc, 0, out + err)
            self.assertIn(b"zelmo example application\r\n", out.split(b"SUCCESS", 1)[1])

            log = read_events(events)
            words = read_hex(APP_HEX)
            low, high = min(words), max(words) + 1
            starts = list(range(low, high + 1, PAGE_WORDS))
            for kind in ("write", "verify"):
                pages = [(p["address"], p["result"]) for p in of_kind(log, "page") if p["pass"] == kind]
                self.assertEqual(pages, [(a, "ok") for a in starts], kind)
            self.assertEqual(log[-1]["event"], "end")
            self.assertEqual(log[-1]["status"], rc)

            # The application runs on: steps alone, then a text it never sends.
            rc, out, err, _ = run_timed(["-c", chip.link, "--send", "again\\r", "--expect", "again\\r"])
            self.assertEqual(rc, 0, out + err)
            rc, out, err, took = run_timed(["-c", chip.link, "--send", "x", "--timeout", "2",
                                            "--expect", "never said"])
            self.assertEqual(rc, 1, out + err)
            self.assertIn(b'Timed out after 2 s waiting for "never said"', err)
            self.assertLess(took, 2 + 1.5)


if __name__ == "__main__":
    unittest.main()

"""The STK500v1 dialogue (--protocol arduino) against the emulated
ATmega328P and ATmega1284P running Debian's builds of their stock
bootloader, with avrdude as the independent reference: a write the
application then greets after, verify-only, a FAILURE, --incremental by
read-back, a reset that does not take, and what a user is told."""
import os
import shutil
import subprocess
import unittest

from avr_target import BOARDS, Board, Emulator, read_hex_bytes, write_hex
from steps_support import Scratch, of_kind, read_events, run_timed
from harness import keep_real_time
from test_firmware_boards import expected_greeting

AVRDUDE = shutil.which("avrdude")
SMALL, LARGE = BOARDS[0].app(), BOARDS[0].app("large")
CHANGED_BYTE, CHANGED_PAGE = 0x5000, 0x2800  # in the large image's table; the page's word address


def escaped(text):
    return text.decode().replace("\r", "\\r").replace("\n", "\\n")


def write_bytes(path, data):
    words = {a >> 1: data.get(a & ~1, 0xFF) | (data.get(a | 1, 0xFF) << 8) for a in data}
    write_hex(path, words)
    return path


@unittest.skipUnless(AVRDUDE and all(b.ready() for b in BOARDS), "avrdude, the firmware or Debian's bootloaders missing")
class Stk500Boards(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch(self)

    def tamborvine(self, port, *args):
        events = self.scratch("events.jsonl")
        rc, out, err, _ = run_timed(list(args) + ["--protocol", "arduino", "-c", port, "--events", events],
                                    timeout=300)
        return rc, out + err, read_events(events) if os.path.exists(events) else []

    def avrdude(self, board, chip, *operations):
        command = [AVRDUDE, "-c", "arduino", "-p", board.part, "-P", chip.path, "-b", str(Board.RATE), "-D"]
        run = subprocess.run(command + [x for op in operations for x in ("-U", op)], capture_output=True,
                             timeout=300, preexec_fn=keep_real_time)  # a peer, keeping the board's time
        self.assertEqual(run.returncode, 0, (run.stderr[:1000], run.stderr[-500:]))

    def test_written_image_greets_and_avrdude_reads_it_back(self):
        for board, image, rate in ((BOARDS[0], BOARDS[0].app("9600"), 9600), (BOARDS[1], BOARDS[1].app("large"), 115200)):
            with self.subTest(board.chip), Emulator(board=board) as chip:
                greeting = expected_greeting(board, image).replace(b"115200", str(rate).encode())
                rc, out, log = self.tamborvine(chip.path, image, "-w", "-b", str(rate), "--expect", escaped(greeting))
                self.assertEqual(rc, 0, out)
                self.assertEqual(log[0]["options"]["protocol"], "stk500v1")
                self.assertEqual(of_kind(log, "pass")[-1]["result"], "SUCCESS")
                self.avrdude(board, chip, "flash:v:%s:i" % image)  # avrdude reads it back and compares

    def test_verify_failure_and_incremental_against_what_avrdude_wrote(self):
        board = BOARDS[0]
        data = read_hex_bytes(LARGE)
        data[CHANGED_BYTE] ^= 0xFF
        changed = write_bytes(self.scratch("changed.hex"), data)
        with Emulator(board=board) as chip:
            self.avrdude(board, chip, "flash:w:%s:i" % LARGE)
            for image, status, result in ((LARGE, 0, "SUCCESS"), (changed, 1, "FAILURE")):
                rc, out, log = self.tamborvine(chip.path, image, "-q")
                self.assertEqual((rc, of_kind(log, "pass")[-1]["result"]), (status, result), out)
            self.assertIn(b"error at page: %d" % CHANGED_PAGE, out)
            before = self.scratch("before.hex")  # read back first: what avrdude wrote
            rc, out, log = self.tamborvine(chip.path, changed, "-w", "--incremental", "-q", "--read-flash", before)
            self.assertEqual(rc, 0, out)
            self.assertEqual({a: b for a, b in read_hex_bytes(before).items() if b != 0xFF},
                             {a: b for a, b in read_hex_bytes(LARGE).items() if b != 0xFF})
            self.assertEqual(of_kind(log, "pages_read")[0]["differ"], 1)
            pages = [(p["pass"], p["address"]) for p in of_kind(log, "page")]
            self.assertEqual(pages, [("write", CHANGED_PAGE), ("verify", CHANGED_PAGE)])
            self.avrdude(board, chip, "flash:v:%s:i" % changed)

    def test_a_reset_that_does_not_take_is_given_again_over_rfc2217(self):
        board = BOARDS[0]
        for missed, status in ((1, 0), (9, 1)):
            options = ["--rfc2217", "0", "--no-reset-on-open", "--miss-resets", str(missed)]
            with self.subTest(missed=missed), Emulator(board=board, app=SMALL, options=options) as chip:
                url = "rfc2217://127.0.0.1:%d" % chip.network_port()
                rc, out, log = self.tamborvine(url, SMALL, "-w", "-q", "--reset", "dtr")
                self.assertEqual(rc, status, out)
                self.assertEqual(len(of_kind(log, "reset")), min(missed + 1, 3))
        self.assertIn(b"Not in sync with the bootloader: no answer to get-sync at 115200 baud after 3 resets by DTR",
                      out)
        self.assertIn(b"the last answer: 30 20, not the bootloader's 14 10", out)

    def test_what_a_user_is_told(self):
        stock = read_hex_bytes(BOARDS[0].bootloader)
        at = next(a for a in stock if [stock.get(a + i) for i in (0, 1, 4, 5, 8, 9)] == [0x8E, 0xE1, 0x85, 0xE9, 0x8F, 0xE0])
        stock[at + 8], stock[at + 9] = 0x89, 0xE9  # ldi r24, 0x99: the signature's last byte
        unknown = Board("atmega328p", None, "m328p")
        unknown.bootloader = write_bytes(self.scratch("unknown.hex"), stock)
        too_large = write_bytes(self.scratch("large.hex"), {0x7E00: 0x0C})
        cases = ((unknown, [SMALL, "-w"], 1, b"Signature 1E 95 99 names no chip this program knows over stk500v1"),
                 (None, [too_large, "-w"], 1, b"Image too large for the ATmega328P: it ends at byte 0x07E02"),
                 (None, [SMALL, "-t"], 1, b"Option -t wakes the program's own application; a board on stk500v1 "
                                          b"is reset into its bootloader instead: --reset"),
                 (None, ["-e", SMALL, "-q"], 1, b"EEPROM not written: the stk500v1 bootloaders take every page as "
                                                b"flash"),
                 (None, ["--read-eeprom", self.scratch("e.hex")], 1, b"EEPROM not read: the stk500v1 bootloaders "
                                                                  b"read every page from the flash; nothing was written"))
        for board, args, status, told in cases:
            with self.subTest(told), Emulator(board=board or BOARDS[0]) as chip:
                rc, out, log = self.tamborvine(chip.path, *args)
                self.assertEqual(rc, status, out)
                self.assertIn(told, out)
                self.assertEqual(of_kind(log, "page"), [])


if __name__ == "__main__":
    unittest.main()

"""The boards with a stock bootloader on the emulated chip (Debian's builds
of it on the ATmega328P and the ATmega1284P), driven by avrdude and
pyserial: an image written, verified and read back, the application
started by the watchdog after the bootloader's second and straight after
power-on, the EEPROM, a stalled emulator, and a reset over RFC 2217."""
import binascii
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
import warnings

try:
    import serial
except ImportError:  # an interpreter of its own (pyenv, venv) beside Debian's python3-serial
    sys.path.append("/usr/lib/python3/dist-packages")
    import serial

warnings.filterwarnings("ignore", category=DeprecationWarning, module="serial.rfc2217")

from avr_target import BOARDS, Board, Emulator, Line, read_hex_bytes
from harness import keep_real_time

AVRDUDE = shutil.which("avrdude")
SYNC, IN_SYNC = b"0 ", b"\x14\x10"  # the bootloader's get-sync and its answer; the application echoes
PROBE = b"zz"                        # what only the application sends back, whatever of its greeting came
TABLE_START = 0x800                  # where the large builds' table begins
STALL_SECONDS = 1.5                  # longer than the bootloader's second


def expected_greeting(board, image):
    data = read_hex_bytes(image)
    table = bytes(data[a] for a in range(TABLE_START, max(data) + 1))
    if table:
        return board.greeting() + b", table of %d bytes, crc 0x%x\r\n" % (len(table), binascii.crc_hqx(table, 0))
    return board.greeting() + b"\r\n"


@unittest.skipUnless(AVRDUDE and all(b.ready() for b in BOARDS),
                     "avrdude, the firmware or Debian's bootloaders missing (avrdude, arduino-core-avr, "
                     "arduino-mighty-1284p)")
class StockBootloaderBoards(unittest.TestCase):
    def test_avrdude_writes_and_reads_back_and_the_watchdog_starts_the_application(self):
        for board, image in ((BOARDS[0], BOARDS[0].app()), (BOARDS[1], BOARDS[1].app("large"))):
            with self.subTest(board.chip), Emulator(board=board) as chip:
                back = os.path.join(chip.tmp, "back.hex")
                run = subprocess.run([AVRDUDE, "-c", "arduino", "-p", board.part, "-P", chip.path, "-b",
                                      str(Board.RATE), "-D", "-U", "flash:w:%s:i" % image, "-U", "flash:r:%s:i" % back],
                                     capture_output=True, timeout=300, preexec_fn=keep_real_time)
                self.assertEqual(run.returncode, 0, run.stderr[-2000:])
                flash, written, read = chip.dump(), read_hex_bytes(image), read_hex_bytes(back)
                self.assertEqual({a: flash[a] for a in written}, written)
                self.assertEqual(bytes(read.get(a, 0xFF) for a in range(len(flash))), flash)
                chip.wait_line(r"^reset watchdog$")  # the application's first start, avrdude gone
                chip.command("reset")  # back in the bootloader: no greeting on its way as the port opens
                chip.wait_line(r"^reset external stdin$")
                with Line(chip.path, Board.RATE) as line:  # the board resets as its port opens
                    opened = time.monotonic()
                    greeting = expected_greeting(board, image)
                    self.assertTrue(line.read_until(greeting, timeout=10).endswith(greeting))
                    self.assertGreaterEqual(time.monotonic() - opened, 1.0)  # the bootloader's second
                self.assertEqual(chip.dump("dump-eeprom")[:2], b"\x02\x00")  # two starts counted

    def test_power_on_goes_straight_to_the_application(self):
        for board in BOARDS:
            with self.subTest(board.chip), Emulator(board=board, app=board.app(),
                                                    options=["--no-reset-on-open"]) as chip:
                with Line(chip.path, Board.RATE) as line:
                    line.send(PROBE)
                    self.assertTrue(line.read_until(PROBE).endswith(PROBE))
                self.assertEqual(chip.dump("dump-eeprom")[:2], b"\x01\x00")
        with Emulator() as chip:
            self.assertEqual(chip.dump("dump-eeprom"), b"\xff" * 4096)  # the ATmega128's, blank

    def test_a_stalled_emulator_drops_the_lost_time_instead_of_racing_through_the_bootloader(self):
        board = BOARDS[0]
        with Emulator(board=board, app=board.app()) as chip, Line(chip.path, Board.RATE) as line:
            chip.wait_line(r"^reset external open$")
            os.kill(chip.proc.pid, signal.SIGSTOP)
            try:
                time.sleep(STALL_SECONDS)  # the stall itself, not a wait for the emulator
            finally:
                os.kill(chip.proc.pid, signal.SIGCONT)
            line.send(SYNC)  # after what was on its way as the port opened
            self.assertTrue(line.read_until(IN_SYNC).endswith(IN_SYNC))

    def test_raising_dtr_over_rfc2217_brings_the_bootloader_back(self):
        board = BOARDS[0]
        with Emulator(board=board, app=board.app(), options=["--rfc2217", "0"]) as chip:
            url = "rfc2217://127.0.0.1:%d" % chip.network_port()
            with serial.serial_for_url(url, baudrate=Board.RATE, timeout=10) as link:
                greeting = expected_greeting(board, board.app())
                self.assertTrue(link.read_until(greeting).endswith(greeting))
                link.write(SYNC)
                self.assertEqual(link.read(2), SYNC)
                link.dtr = False
                link.dtr = True
                link.write(SYNC)
                self.assertEqual(link.read(2), IN_SYNC)
            chip.wait_line(r"^reset external dtr$")


if __name__ == "__main__":
    unittest.main()

"""The simulated target as users meet it after a download: the application
that 'E' starts greets at its own rate and echoes, and answers a new
wake-up; a byte at the wrong rate is lost."""
import os
import select
import termios
import time
import tty
import unittest

from boot_support import Workdir
from harness import SOURCE, Program, Sim


def open_line(path, speed=termios.B9600):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = speed
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def read_for(fd, seconds, until=None):
    data = bytearray()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and (until is None or until not in data):
        r, _, _ = select.select([fd], [], [], 0.05)
        if r:
            data.extend(os.read(fd, 4096))
    return bytes(data)


class ApplicationAfterExit(unittest.TestCase):
    def test_greets_at_its_rate_echoes_and_wakes_again(self):
        # The application starts a second after 'E' (the program is back at
        # the terminal rate by then, however loaded the machine) and greets.
        hex_path = Workdir().hex_words("one.hex", {0x100: 0x1234})
        with Sim("--target", "--app-start-ms", "1000") as sim, Program([hex_path, "-c", sim.link, "-t", "-w"]) as p:
            p.expect(b"Hello from the simulated ATmega128. Type and I echo.", timeout=30)
            p.keys(b"abc\r")
            p.expect(b"echo.\r\r\nabc\r")
            p.keys(b"MaMancb33cb")
            p.expect(b"abc\rMaHello!")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)
            self.assertEqual(sim.commands()[-1][1], "wake")
            self.assertEqual(sim.reported(r"^cmd \d+ greeting"), ["cmd 9600 greeting"])

    def test_bytes_at_another_rate_are_lost(self):
        with Sim("--target", "--boot") as sim:
            fd = open_line(sim.path, termios.B38400)
            try:
                os.write(fd, b"p")
                self.assertEqual(read_for(fd, 0.5), b"")
                sim.wait_line(r"^lost 38400 70 \(listening at 19200\)$")
            finally:
                os.close(fd)


class DemoRun(unittest.TestCase):
    def test_download_of_the_example_ends_in_the_terminal_with_the_greeting(self):
        # What scripts/demo runs, in a terminal window.
        example = os.path.join(SOURCE, "examples", "zelmo.hex")
        with Sim("--target", "--pace", "--app-start-ms", "1000") as sim, \
                Program([example, "-c", sim.link, "-t", "-w", "-V"]) as p:
            p.expect(b"SUCCESS", timeout=30)
            p.expect(b"Hello from the simulated ATmega128. Type and I echo.")
            p.keys(b"hi there")
            p.expect(b"hi there")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)


if __name__ == "__main__":
    unittest.main()

"""The user's terminal is given back exactly as it was, however the run ends.

The program runs with its standard input and output on a pseudo-terminal;
the settings of that terminal are compared before and after.
"""
import os
import shutil
import signal
import tempfile
import termios
import time
import unittest

from harness import CLEAR, Program, Sim

LFLAG = 3
OFLAG = 1


def sleeping(pid):
    """True when the process sleeps in the kernel (here: on the pipe)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "S"
    except OSError:
        return True  # no /proc: rely on the time it has had


class TerminalGivenBack(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tvterm-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def run_to_end(self, args):
        with Program(args) as p:
            rc = p.wait()
            self.assertEqual(p.terminal_settings(), p.saved, args)
            return rc, bytes(p.output)

    def test_normal_ends(self):
        self.assertEqual(self.run_to_end(["-v"])[0], 0)
        self.assertEqual(self.run_to_end(["-h"])[0], 0)
        with Sim() as sim:
            self.assertEqual(self.run_to_end(["-c", sim.link, "-q"])[0], 0)

    def test_console_is_cleared_at_start_and_again_before_the_port_opens(self):
        with Sim() as sim:
            upload = os.path.join(self.tmp, "up.txt")
            rc, out = self.run_to_end(["-d", upload, "-c", sim.link, "-q"])
        self.assertEqual(rc, 0)
        # The output processing of the terminal adds a CR before the LF.
        self.assertEqual(out, CLEAR + b"text file: %s\r\r\r\n" % upload.encode() + CLEAR)

    def test_fatal_stops(self):
        rc, out = self.run_to_end(["-b", "0"])
        self.assertEqual(rc, 1)
        # The terminal's output processing adds CR before each line feed.
        self.assertIn(b"\r\r\nBaud Rate - Bad Argument\r\r\n\r\r\n", out)
        rc, _ = self.run_to_end(["-c", os.path.join(self.tmp, "no-port")])
        self.assertEqual(rc, 1)

    def wait_until_blocked(self, p):
        """Waits until the program has put the terminal in raw mode and
        sleeps in the open of the log pipe."""
        deadline = time.monotonic() + 10
        while p.terminal_settings()[LFLAG] & termios.ECHO or not sleeping(p.proc.pid):
            self.assertIsNone(p.proc.poll(), "program ended early: %r" % bytes(p.output))
            self.assertLess(time.monotonic(), deadline, "program never waited on the pipe")
            p.pump(0.01)

    def test_signals_end_the_run_with_128_plus_the_signal(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                # Opening a pipe as the log file waits for a reader: the run
                # stays there, keys raw, until the signal comes.
                fifo = os.path.join(self.tmp, "log-%d" % sig)
                os.mkfifo(fifo)
                with Program(["-l", fifo, "-c", os.path.join(self.tmp, "no-port")]) as p:
                    self.wait_until_blocked(p)
                    raw = p.terminal_settings()
                    # Raw keys, but output as the user had it: a line feed
                    # still starts its line at the left edge.
                    self.assertEqual(raw[OFLAG], p.saved[OFLAG])
                    self.assertFalse(raw[LFLAG] & (termios.ICANON | termios.ISIG))
                    p.proc.send_signal(sig)
                    self.assertEqual(p.wait(), 128 + sig)
                    self.assertEqual(p.terminal_settings(), p.saved)
                    self.assertNotIn(b"Cannot open log file.", bytes(p.output))


if __name__ == "__main__":
    unittest.main()

"""The user's terminal is given back exactly as it was, however the run ends.

The program runs with its standard input and output on a pseudo-terminal;
the settings of that terminal are compared before and after.
"""
import fcntl
import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import time
import unittest

from harness import CLEAR, TAMBORVINE, Program, Sim, end_raw_run

LFLAG = 3
OFLAG = 1


def sleeping(pid):
    """True when the process sleeps in the kernel (here: on the pipe)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "S"
    except OSError:
        return True  # no /proc: rely on the time it has had


def catches(pid, sig):
    """True once the process has its own handler for the signal."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("SigCgt:"):
                    return bool(int(line.split()[1], 16) & (1 << (sig - 1)))
    except OSError:
        return True
    return False


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

    def wait_until_blocked(self, p, sig):
        """Waits until the program catches the signal and sleeps in the open
        of the log pipe."""
        deadline = time.monotonic() + 10
        while not catches(p.proc.pid, sig) or not sleeping(p.proc.pid):
            self.assertIsNone(p.proc.poll(), "program ended early: %r" % bytes(p.output))
            self.assertLess(time.monotonic(), deadline, "program never waited on the pipe")
            p.pump(0.01)

    def test_signals_end_the_run_with_128_plus_the_signal(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                # Opening a pipe as the log file waits for a reader: the run
                # stays there, on the command line, until the signal comes.
                fifo = os.path.join(self.tmp, "log-%d" % sig)
                os.mkfifo(fifo)
                with Program(["-l", fifo, "-c", os.path.join(self.tmp, "no-port")]) as p:
                    self.wait_until_blocked(p, sig)
                    p.proc.send_signal(sig)
                    self.assertEqual(p.wait(), 128 + sig)
                    self.assertEqual(p.terminal_settings(), p.saved)
                    self.assertNotIn(b"Cannot open log file.", bytes(p.output))

    def test_signal_in_the_terminal_gives_the_raw_keyboard_back(self):
        with Sim() as sim, Program(["-c", sim.link]) as p:
            p.expect(b"Start terminal emulation - ESC to exit")
            raw = p.terminal_settings()
            # Raw keys, but output as the user had it: a line feed still
            # starts its line at the left edge.
            self.assertEqual(raw[OFLAG], p.saved[OFLAG])
            self.assertFalse(raw[LFLAG] & (termios.ICANON | termios.ECHO | termios.ISIG))
            p.proc.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(), 128 + signal.SIGTERM)
            self.assertEqual(p.terminal_settings(), p.saved)

    def test_ctrl_c_interrupts_the_download_and_is_a_key_in_the_terminal(self):
        # The terminal is the program's controlling terminal, as in a
        # user's window: there Ctrl-C makes the interrupt when it is on.
        hex_path = os.path.join(self.tmp, "app.hex")
        with open(hex_path, "w") as f:
            f.write(":0400000001020304F2\n:00000001FF\n")

        def controlled_by_stdin():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        for args, status, message in (([hex_path], 128 + signal.SIGINT, b""),
                                      ([], 0, b"Control-C Exit")):
            with self.subTest(args=args), Sim() as sim:
                master, slave = pty.openpty()
                saved = termios.tcgetattr(slave)
                proc = subprocess.Popen([TAMBORVINE] + args + ["-c", sim.link], stdin=slave, stdout=slave,
                                        stderr=subprocess.DEVNULL, preexec_fn=controlled_by_stdin)
                out = bytearray()
                try:
                    # In the download (nothing answers on the line: a second
                    # of waits for replies), or in the terminal.
                    want = b"Translation complete!" if args else b"ESC to exit"
                    deadline = time.monotonic() + 10
                    while want not in out:
                        self.assertLess(time.monotonic(), deadline, bytes(out))
                        if select.select([master], [], [], 0.05)[0]:
                            out += os.read(master, 4096)
                    keys = termios.tcgetattr(slave)
                    self.assertFalse(keys[LFLAG] & (termios.ICANON | termios.ECHO))
                    os.write(master, b"\x03")
                    self.assertEqual(proc.wait(timeout=10), status)
                    while select.select([master], [], [], 0.1)[0]:
                        try:
                            out += os.read(master, 4096)
                        except OSError:
                            break
                    self.assertIn(message, bytes(out))
                    self.assertEqual(termios.tcgetattr(slave), saved)
                finally:
                    end_raw_run(proc, master, slave)

    def test_quit_after_download_leaves_the_keyboard_alone(self):
        # No key is read under -q: Ctrl-C stays the interrupt, and the run
        # can go on in the background without touching the terminal.
        hex_path = os.path.join(self.tmp, "app.hex")
        with open(hex_path, "w") as f:
            f.write(":0400000001020304F2\n:00000001FF\n")
        with Sim() as sim, Program([hex_path, "-q", "-c", sim.link]) as p:
            p.expect(b"Down loading flash file:")
            samples = 0
            while p.proc.poll() is None:
                self.assertEqual(p.terminal_settings(), p.saved)
                samples += 1
                p.pump(0.02)
            self.assertGreater(samples, 0)
            self.assertEqual(p.wait(), 1)  # nothing answers on the line

    def test_runs_that_only_print_leave_the_terminal_alone(self):
        # Keys from the terminal, output into a pipe that a pager would read
        # and that is full: the program waits in its write, and meanwhile a
        # pager setting the same terminal must find it untouched.
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        saved = termios.tcgetattr(slave)
        for args in (["-h"], ["-v"], ["-x"]):
            with self.subTest(args=args):
                read_end, write_end = os.pipe()
                os.set_blocking(write_end, False)
                try:
                    while True:
                        os.write(write_end, b"x" * 4096)
                except BlockingIOError:
                    os.set_blocking(write_end, True)
                proc = subprocess.Popen([TAMBORVINE] + args, stdin=slave, stdout=write_end,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
                os.close(write_end)
                try:
                    deadline = time.monotonic() + 10
                    while not sleeping(proc.pid) or not catches(proc.pid, signal.SIGTERM):
                        self.assertIsNone(proc.poll())
                        self.assertLess(time.monotonic(), deadline)
                        time.sleep(0.01)
                    time.sleep(0.1)
                    self.assertEqual(termios.tcgetattr(slave), saved)
                finally:
                    with os.fdopen(read_end, "rb") as r:
                        r.read()
                    proc.wait(timeout=20)
                self.assertEqual(termios.tcgetattr(slave), saved)


if __name__ == "__main__":
    unittest.main()

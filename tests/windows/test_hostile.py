"""The Windows build under wine against what a hostile target, file or
command line can do: no C1 control or raw escape on standard output, no
erase for a file without a whole image, a log that cannot hurt a file of
the run or the port or fail unseen, a prompt answer that stays in the
prompt, an upload to a port that takes nothing left with Esc, Esc under a
flood, a standard output whose reader has gone, and the port put back as
found (as far as wine maps the control record onto the line)."""
import os
import pty
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import winharness as w
from winharness import WineTestCase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from boot_support import Workdir  # noqa: E402
from network_support import HostileServer  # noqa: E402
from test_hostile_runs import ends, flooded_tty  # noqa: E402
from test_hostile_target import c1_controls  # noqa: E402

BANNER = b"Start terminal emulation - ESC to exit"
CFLAG, ISPEED, OSPEED = 2, 4, 5


class Hostile(WineTestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("fw.hex", {0x100: 0x1234})

    def z(self, name):
        return "Z:" + os.path.join(self.work.path, name)

    def port_nobody_reads(self, settings=None):
        """COM1 on a pseudo-terminal of the test's own, whose other side is
        never read: its two sides."""
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        if settings:
            settings(slave)
        self.com1_at(os.ttyname(slave))
        return slave, master

    def com1_at(self, path):
        """COM1 pointed at a terminal of the test's own."""
        link = w.port_link()
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(path, link)
        # Gone before the terminal goes: its number is soon another's.
        self.addCleanup(lambda: os.path.lexists(link) and os.unlink(link))

    def test_target_bytes_and_damaged_files(self):
        sim = self.sim()
        p = self.program(["-c", "COM1"], tty=False)
        p.expect(BANNER, 30)
        sim.send(b"<\x9b6n\xc2\x9b6n\x9d0;x\x07\xe2\x82\x1b[H\x9b" + "é€─┼>".encode())
        p.expect("┼>".encode(), 20)
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(c1_controls(bytes(p.output)), [])
        self.assertIn("é€─┼".encode(), bytes(p.output))
        w.close_sim(sim)

        sim = self.sim("--target", "--boot", "--reply", "S=\\e[2J\\x9bAB")
        rc, out, _ = self.run_exe([self.z("fw.hex"), "-c", "COM1", "-q"])
        self.assertEqual(rc, 1)
        self.assertIn(b"instead:<1b>[2J<9b>AB\r\n", out)
        w.close_sim(sim)

        sim = self.sim("--target", "--boot")
        self.work.file("empty.hex", "")
        rc, out, _ = self.run_exe([self.z("empty.hex"), "-w", "-c", "COM1", "-q"])
        self.assertEqual(rc, 1)
        self.assertIn(b"ERROR: HEX file has no end-of-file record (empty or cut short)!\r\n", out)
        self.assertEqual(sim.received_bytes(), b"")

    def test_log_files(self):
        sim = self.sim()
        with open(self.hex, "rb") as f:
            image = f.read()
        for spelling in (self.z("fw.hex"), self.z("./fw.hex").replace("/", "\\")):
            rc, out, _ = self.run_exe([self.z("fw.hex"), "-c", "COM1", "-l", spelling], keys=b"\x1b")
            self.assertEqual(rc, 1, out)
            self.assertIn(b"Cannot open log file: it is the flash file.", out)
            with open(self.hex, "rb") as f:
                self.assertEqual(f.read(), image)
        rc, out, _ = self.run_exe(["-c", "COM1", "-l", self.z("run.jsonl"), "--events", self.z("./run.jsonl"),
                                   "--send", "x"])
        self.assertEqual(rc, 1, out)
        self.assertIn(b"Cannot open log file: it is the events file.", out)
        self.assertEqual(sim.received_bytes(), b"")
        rc, _, _ = self.run_exe(["-c", "COM1", "-q", "-l", self.z("quiet.log")])
        self.assertEqual(rc, 0)
        self.assertFalse(os.path.exists(os.path.join(self.work.path, "quiet.log")))
        # A log that cannot be written is said once, and the run ends with 1.
        p = self.program(["-c", "COM1", "-l", r"Z:\dev\full"], tty=False)
        p.expect(BANNER, 30)
        sim.send(b"x" * 30000 + b"!")
        p.expect(b"!", 30)
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 1)
        self.assertEqual(bytes(p.stderr_data).count(b"Cannot write log file: "), 1, p.stderr_data)

    def test_a_file_that_is_the_port_is_refused(self):
        sim = self.sim()
        for args, message in ((["-l", "COM1"], b"Cannot open log file: it is the port."),
                              (["--events", "com1:"], b"Cannot open events file: it is the port."),
                              (["-d", "\\\\.\\COM1"], b"Cannot open input file: it is the port.")):
            rc, out, _ = self.run_exe([self.z("fw.hex"), "-w", "-c", "COM1"] + args, keys=b"\x1b")
            self.assertEqual(rc, 1, out)
            self.assertIn(message, out)
        self.assertEqual(sim.received_bytes(), b"")

    def test_esc_and_ctrl_c_end_the_terminal_under_a_flood(self):
        self.com1_at(flooded_tty(self))
        for port, key in (("COM1", b"\x1b"), (HostileServer("data").url("socket"), b"\x03")):
            with self.subTest(port=port):
                p = self.program(["-c", port], tty=False)
                p.expect(b"x" * 1000, 30)
                p.keys(key)
                self.assertEqual(p.wait(20), 0)

    def test_a_standard_output_whose_reader_has_gone_ends_nothing(self):
        self.sim("--target", "--boot")
        reader, writer = os.pipe()
        os.close(reader)
        args = [self.z("fw.hex"), "-w", "-q", "-c", "COM1", "--events", self.z("run.jsonl")]
        run = subprocess.run(w.wine_command(args), stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE,
                             env=w.wine_env(), timeout=w.WINE_TIME_LIMIT + 10)
        os.close(writer)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr.count(b"Cannot write standard output: "), 1, run.stderr)
        self.assertEqual(ends(os.path.join(self.work.path, "run.jsonl")), [0])

    def test_an_overlong_prompt_answer_reaches_nothing(self):
        sim = self.sim()
        self.work.file("up.txt", b"0123456789")
        p = self.program(["-c", "COM1"], tty=False, cwd=self.work.path)
        p.expect(BANNER, 30)
        p.keys(b"\x06" + b"q" * 200 + b"\r\n" + b"\x06up.txt\r\n\x04")
        p.expect(b"*** 10 Chars Sent *** ", 30)
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 0)
        sim.sync()
        self.assertEqual(sim.received_bytes(), b"0123456789")

    def test_esc_stops_an_upload_to_a_port_that_takes_nothing(self):
        _, held = self.port_nobody_reads()
        self.work.file("big.txt", b"z" * 300000)
        p = self.program(["-c", "COM1", "-d", self.z("big.txt")], tty=False)
        p.expect(b"send text file = ", 30)
        deadline = time.monotonic() + 30
        while w.harness.queued(held) < w.harness.PTY_HOLDS:     # the port's queue full
            self.assertLess(time.monotonic(), deadline, "the upload never filled the port")
            p.pump(0.01)
        start = time.monotonic()
        p.keys(b"\x1b")
        p.expect(b"Upload stopped: Esc or Ctrl-C typed.", 10)
        p.expect(BANNER, 10)
        self.assertLess(time.monotonic() - start, 5)
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 0)

    def test_the_port_is_put_back_as_found(self):
        # Wine maps the control record (rate, size, parity, stop bits) onto
        # the line; the local modes of the pseudo-terminal are wine's own.
        def seven_even_one_at_4800(fd):
            t = termios.tcgetattr(fd)
            t[CFLAG] = termios.CS7 | termios.PARENB | termios.CREAD | termios.CLOCAL
            t[ISPEED] = t[OSPEED] = termios.B4800
            termios.tcsetattr(fd, termios.TCSANOW, t)

        slave, _ = self.port_nobody_reads(seven_even_one_at_4800)
        found = termios.tcgetattr(slave)
        for args, keys in ((["-q"], b""), ([], b"\x1b")):
            with self.subTest(args=args):
                p = self.program(["-c", "COM1"] + args, tty=False)
                if keys:
                    p.expect(BANNER, 30)
                    self.assertNotEqual(termios.tcgetattr(slave)[CFLAG], found[CFLAG])
                    p.keys(keys)
                self.assertEqual(p.wait(30), 0)
                after = termios.tcgetattr(slave)
                self.assertEqual((after[CFLAG], after[ISPEED], after[OSPEED]),
                                 (found[CFLAG], found[ISPEED], found[OSPEED]))


if __name__ == "__main__":
    unittest.main()

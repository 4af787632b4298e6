"""Received bytes on the screen and in the log, in each display mode, with
and without time tags; the log is compared byte for byte (tags by pattern)."""
import os
import re
import tempfile
import time
import unittest

from harness import Program, Sim

TAG = rb"[ 12]\d:[0-5]\d:[0-6]\d\.\d\d ="
MODE_KEY = b"\x01"


class Session:
    """The program on a pseudo-terminal with a log file, against the sim."""

    def __init__(self, test, *flags):
        self.test = test
        self.tmp = tempfile.mkdtemp(prefix="tvlog-")
        self.log_path = os.path.join(self.tmp, "session.log")
        self.sim = Sim()
        self.p = Program(["-c", self.sim.link, "-l", self.log_path] + list(flags))
        self.p.expect(b"Start terminal emulation - ESC to exit\r\r\n")
        self.mark = len(self.p.output)

    def target_sends(self, data: bytes, shown: bytes):
        """Sends data from the target and waits until shown is on screen;
        returns the screen output since the previous call."""
        self.sim.send(data)
        self.p.expect(re.compile(re.escape(shown)))
        self.p.wait_idle(self.sim.path)
        return self.screen_since_mark()

    def screen_since_mark(self):
        out = bytes(self.p.output[self.mark:])
        self.mark = len(self.p.output)
        return out

    def next_mode(self, name: bytes):
        self.p.keys(MODE_KEY)
        self.p.expect(b"\r\r\n hex mode = " + name + b"\r\r\n")
        self.mark = len(self.p.output)

    def finish(self):
        """Ends with Esc; returns the log file's bytes."""
        self.p.keys(b"\x1b")
        self.test.assertEqual(self.p.wait(), 0)
        self.p.close()
        self.sim.close()
        with open(self.log_path, "rb") as f:
            return f.read()


class Display(unittest.TestCase):
    def test_vt_mode_with_tags_inserts_a_line_end_before_cr(self):
        s = Session(self, "-T")
        s.target_sends(b"x\r\n", b"x")
        screen = s.target_sends(b"AB\r\nCD\r\n", b"CD\r\r\n\r\r\n")
        # Console: the tag, AB, the inserted line end, the LF's own.
        self.assertRegex(screen, rb"^" + TAG + rb"AB\r\r\n\r\r\n" + TAG + rb"CD\r\r\n\r\r\n$")
        s.target_sends(b"EF\n\rGH\n\r", b"GH")   # LF then CR: no extra lines
        s.target_sends(b"IJ\rKL\r", b"KL")        # CR alone still ends lines
        s.target_sends(b"\x1b[5;5H", b"[5;5H")
        log = s.finish()
        self.assertRegex(log, rb"^x\r\n\r\n"
                              + TAG + rb"AB\r\n\r\n" + TAG + rb"CD\r\n\r\n"
                              + TAG + rb"EF\r\n" + TAG + rb"GH\r\n"
                              + TAG + rb"IJ\r\n" + TAG + rb"KL\r\n"
                              + rb" <1b>\r\n" + TAG + rb"\[5;5H$")

    def test_vt_mode_without_tags(self):
        s = Session(self)
        screen = s.target_sends(b"AB\r\n\x07\x1b[1Kz\xc8", b"z")
        self.assertNotRegex(screen, TAG)
        log = s.finish()
        self.assertEqual(log, b"AB\r\n <07>\r\n <1b>\r\n[1Kz <c8>\r\n")

    def test_ascii_hex_with_tags(self):
        s = Session(self, "-T")
        s.next_mode(b"ASCII_HEX")
        s.target_sends(b"q\n", b"q")
        screen = s.target_sends(b"\rZ\rW\x1b\x7f\xc8\n", b"<c8>")
        # A CR after an LF carries the tag; a CR does not start a line here.
        self.assertRegex(screen, rb"^" + TAG + rb"\rZ\rW <1b> <7f> <c8>\r\n$")
        screen = s.target_sends(b"V\r\n", b"V")
        self.assertRegex(screen, rb"^" + TAG + rb"V\r\r\n$")
        log = s.finish()
        self.assertRegex(log, rb"^q\r\n" + TAG + rb"ZW <1b>\r\n <7f>\r\n <c8>\r\n\r\n" + TAG + rb"V\r\n$")

    def test_hex_only(self):
        s = Session(self, "-T")
        s.next_mode(b"ASCII_HEX")
        s.next_mode(b"HEX_ONLY")
        screen = s.target_sends(b"A\r\n\x00\xff", b" ff")
        self.assertEqual(screen, b" 41 0d 0a 00 ff")
        log = s.finish()
        self.assertEqual(log, b" 41 0d 0a 00 ff")

    def test_mode_changes_keep_the_line_start_and_previous_byte(self):
        s = Session(self, "-T")
        s.target_sends(b"ab\r\n", b"ab")         # VT_MODE: the LF starts a line
        s.next_mode(b"ASCII_HEX")
        screen = s.target_sends(b"cd\r", b"cd")  # tagged: the flag came across
        self.assertRegex(screen, rb"^" + TAG + rb"cd\r$")
        s.next_mode(b"HEX_ONLY")
        s.target_sends(b"e\n", b" 0a")          # hex only: the flag stays clear
        s.next_mode(b"VT_MODE")
        # The previous byte is the LF shown in hex: no line end before this
        # CR, which starts a line, so g is tagged.
        screen = s.target_sends(b"\rg", b"g")
        self.assertRegex(screen, rb"^\r" + TAG + rb"g$")
        log = s.finish()
        self.assertRegex(log, rb"^ab\r\n\r\n" + TAG + rb"cd 65 0a" + TAG + rb"g$")

    def test_tags_read_the_local_clock(self):
        s = Session(self, "-T")
        s.target_sends(b"\n", b"\n")
        before = time.localtime()
        s.target_sends(b"t\r\n", b"t")
        after = time.localtime()
        log = s.finish()
        m = re.search(rb"([ \d]\d):(\d\d):(\d\d)\.\d\d =t", log)
        self.assertIsNotNone(m, log)
        h, mi, se = (int(x) for x in m.groups())
        stamp = h * 3600 + mi * 60 + se
        low = before.tm_hour * 3600 + before.tm_min * 60 + before.tm_sec
        high = after.tm_hour * 3600 + after.tm_min * 60 + after.tm_sec
        self.assertTrue(low <= stamp <= high, (stamp, low, high))

if __name__ == "__main__":
    unittest.main()

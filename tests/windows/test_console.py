"""The Win32 console operations under wine, driven directly by the console
probe: writing, wrapping, scrolling, positioning, clearing, and keys."""
import os
import re
import signal
import unittest

import winharness as w
from winharness import WineTestCase, expect_screen, make_raw


class ConsoleProbe(WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(w.PROBE):
            raise unittest.SkipTest("no console probe beside the Windows build")

    def probe(self, mode, tty=True):
        p = self.program([mode], tty=tty, exe=w.PROBE)
        if tty:
            make_raw(p.slave)
        return p

    def keys_seen(self, p):
        return [int(k) for k in re.findall(rb"key (-?\d+)", w.screen_text(bytes(p.output)))]

    def test_print_wraps_scrolls_and_positions_in_the_window(self):
        p = self.probe("screen")
        self.assertEqual(p.wait(40), 0)
        report = p.stderr_data.decode().replace("\r\n", "\n").split("\n")
        first, second = report[:10], report[10:14]
        self.assertEqual(first[0], "window 80 24")
        self.assertEqual(first[2:8], [
            "row 1 [first]",
            "row 2 [ab]",
            "row 3 [  cd]",                   # LF keeps the column
            "row 4 [%s0123456789A]" % (" " * 69),
            "row 5 [BCDEF]",                  # wrapped at the right edge
            "row 6 [erase(stdout)]",          # cleared to the end of the row; a goto outside the window is ignored
        ])
        self.assertEqual(first[1], "cursor 14 6")
        # Past the bottom row the window scrolled up by one.
        self.assertEqual(second, ["window 80 24", "cursor 6 24", "row 1 [ab]", "row 2 [  cd]"])

    def test_keys_come_as_codes_and_esc_ends(self):
        p = self.probe("keys")
        expect_screen(p, b"ready")
        # Character keys, Ctrl chords and Enter as their codes; cursor and
        # function keys as 0 and the scan code; Esc (no character on the
        # console) as 27.
        p.keys(b"a\x01\r")
        expect_screen(p, b"key 13")
        p.keys(b"\x1b[A")
        expect_screen(p, b"key 72")
        p.keys(b"\x1b[15~")
        expect_screen(p, b"key 63")
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(self.keys_seen(p), [97, 1, 13, 0, 72, 0, 63, 27])

    def test_ctrl_c_is_the_ctrl_c_key(self):
        p = self.probe("keys")
        expect_screen(p, b"ready")
        p.keys(b"x")
        expect_screen(p, b"key 120")
        # What the terminal's line does with Ctrl-C for the programs it runs.
        os.killpg(p.proc.pid, signal.SIGINT)
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(self.keys_seen(p), [120, 3])

    def test_without_a_console_ctrl_c_interrupts_the_run(self):
        p = self.probe("keys", tty=False)
        p.expect(b"ready", 20)
        os.killpg(p.proc.pid, signal.SIGINT)
        self.assertEqual(p.wait(20), 128 + signal.SIGINT)
        self.assertTrue(bytes(p.output).endswith(b"end\r\r\n"), bytes(p.output))  # ended by the program itself

    def test_without_a_console_bytes_are_keys_and_text_is_plain(self):
        p = self.probe("keys", tty=False)
        p.keys(b"q\x02\x1b")
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(w.fold_line_ends(bytes(p.output)), b"ready\r\nkey 113\r\nkey 2\r\nkey 27\r\nend\r\n")

    def test_without_a_console_the_end_of_input_ends_the_keys(self):
        p = self.probe("keys", tty=False)
        p.proc.stdin.close()
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(w.fold_line_ends(bytes(p.output)), b"ready\r\nkey -1\r\nend\r\n")


if __name__ == "__main__":
    unittest.main()

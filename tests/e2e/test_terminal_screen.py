"""The VT100 subset on a real terminal emulator: the target sends control
sequences, the program's output is played into libvterm, and the screen
that results is checked cell by cell."""
import time
import unittest

import vterm_screen
from harness import Program, Sim


def settle(p, quiet=0.3, limit=10.0):
    """Pumps output until it has been quiet for a while."""
    deadline = time.monotonic() + limit
    last = time.monotonic()
    while time.monotonic() < deadline:
        if p.pump(0.05):
            last = time.monotonic()
        elif time.monotonic() - last >= quiet:
            return
    raise AssertionError("output never settled")


@unittest.skipUnless(vterm_screen.available, "libvterm not installed")
class VtScreen(unittest.TestCase):
    def setUp(self):
        self.sim = Sim()
        self.p = Program(["-c", self.sim.link])
        self.p.expect(b"Start terminal emulation - ESC to exit\r")
        settle(self.p, quiet=0.1)

    def tearDown(self):
        self.p.keys(b"\x1b")
        self.assertEqual(self.p.wait(), 0)
        self.p.close()
        self.sim.close()

    def screen_after(self, data: bytes, marker: bytes = None):
        """Sends data from the target; returns the screen once shown."""
        self.sim.send(data)
        if marker is not None:
            self.p.expect(marker)
        settle(self.p)
        screen = vterm_screen.Screen()
        screen.feed(bytes(self.p.output))
        return screen

    def test_cursor_placement_and_clamping(self):
        s = self.screen_after(b"\x1b[2J\x1b[5;10HX\x1b[30;100HY\x1b[1;2;3HZ\x1b[7fF")
        self.assertEqual(s.row(4)[9], "X")          # row 5, column 10
        self.assertEqual(s.row(23)[79], "Y")        # clamped to row 24, column 80
        self.assertEqual(s.row(0), " " * 22 + "Z")  # the third parameter ran into the second: column 23
        self.assertEqual(s.row(6), "F")             # ESC [ 7 f: row 7, column 1
        s = self.screen_after(b"\x1b[H1\x1b[0;0H2\x1b[5HA")
        self.assertEqual(s.row(0)[0], "2")          # both top-left; the second overwrote the first
        self.assertEqual(s.row(4)[0], "A")
        self.assertEqual(s.cursor(), (4, 1))

    def test_huge_parameters_saturate_and_clamp(self):
        s = self.screen_after(b"\x1b[2J\x1b[99999999999999999999;4294967297HQ")
        self.assertEqual(s.row(23)[79], "Q")

    def test_erase_in_display_variants(self):
        s = self.screen_after(b"\x1b[3;1Hkeep\x1b[J\x1b[0J\x1b[1J!")
        self.assertEqual(s.row(2), "keep!")
        s = self.screen_after(b"\x1b[12;1Hgone\x1b[2J")
        self.assertEqual(s.text(), [""] * 24)
        self.assertEqual(s.cursor(), (0, 0))

    def test_clear_keeps_the_tracked_position(self):
        # ESC [ 2 J moves the console cursor home, not the tracked position:
        # the erase-line final that follows goes back to row 5, column 10.
        s = self.screen_after(b"\x1b[5;10H\x1b[2J\x1b[K")
        self.assertEqual(s.cursor(), (4, 9))

    def test_erase_in_line_variants(self):
        s = self.screen_after(b"\x1b[2J"
                              b"\x1b[3;1Habcdefghij\x1b[3;5H\x1b[K"
                              b"\x1b[4;1Habcdefghij\x1b[4;5H\x1b[1K"
                              b"\x1b[5;1Habcdefghij\x1b[5;5H\x1b[2K"
                              b"\x1b[6;1Habcdefghij\x1b[6;5H\x1b[3K")
        self.assertEqual(s.row(2), "abcd")
        self.assertEqual(s.row(3), "     fghij")
        self.assertEqual(s.row(4), "")
        self.assertEqual(s.row(5), "abcdefghij")
        self.assertEqual(s.cursor(), (5, 4))   # ESC [ 3 K does not move the cursor

    def test_erase_line_ends_at_the_tracked_position(self):
        s = self.screen_after(b"\x1b[2J\x1b[2;1Hold line\r\x1b[K")
        self.assertEqual(s.row(1), "")
        self.assertEqual(s.cursor(), (1, 0))
        s = self.screen_after(b"\x1b[3;1Habcdefghijkl\x1b[3;10H\x1b[1K")
        self.assertEqual(s.row(2), " " * 10 + "kl")  # ten blanks, columns 1 to 10
        self.assertEqual(s.cursor(), (2, 9))
        # Printed text moves the tracked column with the cursor, so text
        # after an erase carries on where it was.
        s = self.screen_after(b"\x1b[4;1Hvalue: 12\x1b[K%\tx\x1b[K!")
        self.assertEqual(s.row(3), "value: 12%      x!")

    def test_dropped_sequences(self):
        s = self.screen_after(b"\x1b[2J\x1b[1;1HA\x1b[7mB\x1b[mC\x1bXD\x1b\x1bE\x1b[1;31mF\x1b[12\rG\x1b[3\nH")
        self.assertEqual(s.row(0), "ABCDEFGH")  # CR and LF inside a sequence end it unseen

    def test_escape_inside_a_sequence_starts_a_new_one(self):
        s = self.screen_after(b"\x1b[2;1Hfull\x1b[12\x1b[2J")
        self.assertEqual(s.text(), [""] * 24)
        s = self.screen_after(b"\x1b[9;9\x1b[3;4HX")
        self.assertEqual(s.row(2), "   X")

    def test_control_bytes(self):
        s = self.screen_after(b"\x1b[2J\x1b[1;1Ha\x00\x01\x02\x07\x0e\x1a\x1c\x1fb\rc\tT"
                              b"\x1b[3;1HAB\bC\r\bD"
                              b"\x1b[5;1Hx\x0by\x0cz\x1bDq\x1bEr")
        self.assertEqual(s.row(0), "cb      T")
        self.assertEqual(s.row(2), "DC")  # BS at column 0 stays there
        self.assertEqual(s.row(4), "x")   # VT, FF, ESC D and ESC E feed lines
        self.assertEqual(s.row(5), "y")
        self.assertEqual(s.row(6), "z")
        self.assertEqual(s.row(7), "q")
        self.assertEqual(s.row(8), "r")
        raw = bytes(self.p.output)
        self.assertNotIn(b"\x07", raw)

    def test_high_bytes_are_written_unless_they_are_c1_controls(self):
        # DEL and bytes from 0xA0 outside a UTF-8 character pass; 0x80-0x9F
        # there (a C1 control to a terminal) does not.
        self.sim.send(b"<\x7f\x80\xc8\xff>")
        self.p.expect(b"<\x7f\xc8\xff>")

    def test_line_feeds_at_the_bottom(self):
        s = self.screen_after(b"\x1b[2J\x1b[1;1Htop" + b"\n" * 30 + b"last\x1b[K")
        self.assertNotIn("top", s.text())
        self.assertEqual(s.row(23), "last")
        # Thirty line feeds left the tracked row at the last line: the
        # erase-in-line final puts the cursor back there.
        self.assertEqual(s.cursor(), (23, 4))
        s = self.screen_after(b"\x1b[24;1H" + b"\n" * 3 + b"\x1b[2K")
        self.assertEqual(s.cursor(), (23, 0))


if __name__ == "__main__":
    unittest.main()

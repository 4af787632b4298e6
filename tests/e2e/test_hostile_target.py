"""What a hostile target or a damaged file can do, and must not: drive the
user's terminal with C1 controls or escape sequences in messages, or have
the chip erased for a file that holds no whole image."""
import os
import unittest

from boot_support import Workdir, boot_sim, download, intel_hex, words_to_bytes
from harness import Program, Sim, run

BANNER = b"Start terminal emulation - ESC to exit\r"
ABORTED = b"\r\n<<TRANSLATION ABORTED>>\r\n\r\n\r\n"


def c1_controls(data: bytes):
    """Every C1 control a terminal would find in data: raw bytes 0x80-0x9F
    outside a well-formed UTF-8 character (decoded to U+DC80-U+DC9F here),
    and the characters U+0080-U+009F."""
    text = data.decode("utf-8", errors="surrogateescape")
    return [hex(ord(c)) for c in text if 0x80 <= ord(c) <= 0x9F or 0xDC80 <= ord(c) <= 0xDC9F]


class NoC1ControlsOnTheScreen(unittest.TestCase):
    HOSTILE = (b"\x9b6n"                    # CSI: report the cursor (into the keyboard)
               b"\xc2\x9b6n"                # the same as a UTF-8 character
               b"\x9d0;retitled\x07"        # OSC: the window title
               b"\xc2\x9d2;x\xc2\x9c"       # OSC ... ST, UTF-8
               b"\x90q\x9c\x8d\x85\x84"     # DCS, ST, RI, NEL, IND
               b"\xc0\x9b\xc1\x9b"          # overlong two-byte forms
               b"\xe0\x82\x9b\xf0\x80\x82\x9b"  # overlong three- and four-byte forms
               b"\xed\xa0\x80\xf4\x90\x80\x80\xff"  # a surrogate, beyond U+10FFFF
               b"\xe2\x82\x1b[1;1H\x9b"     # a character cut by ESC, then CSI
               b"\xe2\x9b\xc2\r\x9b\n")     # cut by a C1 byte and by CR
    TEXT = "é € ─┼─ naïve ╔═╗".encode()

    def session(self, tty):
        sim = Sim()
        self.addCleanup(sim.close)
        p = Program(["-c", sim.link], tty=tty)
        self.addCleanup(p.close)
        p.expect(BANNER)
        return sim, p

    def test_c1_controls_never_reach_standard_output(self):
        for tty in (True, False):
            with self.subTest(tty=tty):
                sim, p = self.session(tty)
                sim.send(b"<" + self.HOSTILE + self.TEXT + b">\r\n")
                p.expect(self.TEXT + b">")
                # One character split over three reads.
                for piece in (b"[\xe2", b"\x82", b"\xac]"):
                    sim.send(piece)
                    sim.sync()
                    p.wait_idle(sim.path)
                p.expect("[€]".encode())
                # A character begun in VT_MODE and ended in ASCII_HEX is no
                # character: its last byte is shown in hex.
                sim.send(b"{\xc2")
                p.expect(b"{")
                p.wait_idle(sim.path)
                p.keys(b"\x01")
                p.expect(b"hex mode = ASCII_HEX")
                sim.send(b"\x9b}")
                p.expect(b" <9b>}")
                p.keys(b"\x1b")
                self.assertEqual(p.wait(), 0)
                out = bytes(p.output)
                self.assertEqual(c1_controls(out), [], out)
                self.assertNotIn(b"retitled\x07", out)


class NoRawTargetBytesInMessages(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", {0x100: 0x1234})

    def check(self, sim_args, flags, shown):
        with Sim("--target", *sim_args) as sim:
            rc, _, out, _ = download(sim, self.hex, *flags)
        self.assertIn(shown, out)
        # Nothing that could start a sequence: positioning writes nothing
        # into a pipe, so no ESC at all.
        self.assertNotIn(b"\x1b", out)
        self.assertEqual(c1_controls(out), [], out)
        return rc, out

    def test_control_bytes_from_the_target_are_shown_in_hex(self):
        rc, _ = self.check(["--boot", "--reply", "S=\\e[2J\\x9bAB"], ["-V"],
                           b" <1b>\r\n\r\nSorry, device does not reply AVR... to S, instead:<1b>[2J<9b>AB\r\n")
        self.assertEqual(rc, 1)
        self.check(["--boot", "--reply", "p=\\e\\x85S"], ["-V"],
                   b"we say p\r\n <1b>\r\nsrl cnt = 1 buf[0] = <1b>\r\n <85>\r\nsrl cnt = 1 buf[0] = <85>\r\n"
                   b" S\r\nsrl cnt = 1 buf[0] = S\r\n")
        self.check(["--reply", "hello=\\x9bHello"], ["-t"], b"AVR said Hello : <9b>Hello\r\n")
        self.check(["--boot", "--page-reply", "1,1b"], ["-w"], b"\r\ngot 0x1b (<1b>)  wanted (0x0d) \r\n")
        # Line ends, tabs and text stay as they are; so does the CR after 'e'.
        self.check(["--boot", "--reply", "S=\\t\\n\\x08x\\x7f\\ry"], [], b"instead:\t\n\bx<7f>\ry\r\n")
        rc, out = self.check(["--boot"], ["-w", "-V"], b"Now say e (erase)\r\n \r\r\nFlash erased\r\n")
        self.assertEqual(rc, 0, out)


class NoEraseWithoutAWholeImage(unittest.TestCase):
    WORDS = {0x100: 0x1234, 0x101: 0x5678}

    def setUp(self):
        self.work = Workdir()
        self.whole = intel_hex(words_to_bytes(self.WORDS))
        flash = bytearray(b"\xa5" * 0x20000)  # what the board held before
        self.before = bytes(flash)
        self.flash = self.work.file("flash.bin", self.before)

    def test_empty_and_cut_files_are_refused_before_the_target_hears_a_byte(self):
        no_end = b"ERROR: HEX file has no end-of-file record (empty or cut short)!\r\n"
        no_data = b"ERROR: HEX file has no data before its end-of-file record!\r\n"
        cases = {
            "empty.hex": ("", no_end),
            "no_end.hex": (self.whole.replace(":00000001FF\n", ""), no_end),
            "cut.hex": (self.whole[:self.whole.index("\n") + 6], b"WARNING: HEX file corrupt!\r\n"
                        b"ERROR: HEX file corrupt!\r\n"),
            "ctrl_z.hex": (self.whole.replace(":00000001FF\n", "\x1a:00000001FF\n"), no_end),
            "only_end.hex": (":00000001FF\n", no_data),
        }
        for name, (content, error) in cases.items():
            path = self.work.file(name, content)
            # The EEPROM file is read the same way.
            for args in ([path, "-w"], ["-e", path]):
                with self.subTest(name=name, args=args), boot_sim("--load", self.flash) as sim:
                    rc, out, _ = run(args + ["-c", sim.link, "-q"], tty=False)
                    self.assertEqual(rc, 1, out)
                    self.assertTrue(out.endswith(error + ABORTED), out)
                    self.assertNotIn(b"LoAddr", out)
                    self.assertEqual(sim.received_bytes(), b"")
                    self.assertEqual(sim.stats()["erases"], 0)
                    self.assertEqual(sim.dump_flash(), self.before)

    def test_end_record_without_a_line_end_is_flashed(self):
        path = self.work.file("tight.hex", self.whole.rstrip("\n"))
        with boot_sim("--load", self.flash) as sim:
            rc, _, out, _ = download(sim, path, "-w")
            self.assertEqual(rc, 0, out)
            self.assertTrue(out.endswith(b"\r\nSUCCESS\r\n"), out)
            flash = sim.dump_flash()
        self.assertEqual(flash[0x200:0x204], bytes([0x34, 0x12, 0x78, 0x56]))
        self.assertEqual(flash[0x400:0x1F800], b"\xff" * (0x1F800 - 0x400))  # erased up to the boot section


if __name__ == "__main__":
    unittest.main()

"""A flash file named on the command line is read through the HEX reader:
its range line and "Translation complete!", or the stop with its lines and
status 1, exactly as the user sees them on standard output."""
import os
import tempfile
import unittest

from harness import Sim, run

ABORTED = b"\r\n<<TRANSLATION ABORTED>>\r\n\r\n\r\n"


class HexReaderFromTheCommandLine(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tvhex-")
        self.sim = Sim()

    def tearDown(self):
        self.sim.close()
        self.tmp.cleanup()

    def load(self, content: bytes, name="image.hex"):
        path = os.path.join(self.tmp.name, name)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)
        return run([path, "-c", self.sim.link, "-q"], tty=False)

    def test_good_file_reports_its_range(self):
        rc, out, _ = self.load(b":020000040001F9\r\n:02000000FFCF30\r\n:00000001FF\r\n\x1a")
        self.assertIn(b"LoAddr =  8000    HiAddr =  8001\r\nTranslation complete!\r\n", out)

    def test_bad_files_stop_the_run(self):
        cases = [
            (b":020000000C945F\n", b"WARNING: HEX file corrupt!\r\nERROR: HEX file corrupt!\r\n"),
            (b":020000000C945E\n\n", b"WARNING: file not HEX format!\r\nERROR: Cannot translate file!\r\n"),
            (b":" + b"0" * 99 + b"\n", b"WARNING: file not HEX format!\n\rERROR: Cannot translate file!\r\n"),
            (b":020000040002F8\n:0100000012ED\n", b"ERROR: HEX file too large!\r\n"),
            (None, b"ERROR: Could not find HEX file!\r\n"),
        ]
        for number, (content, lines) in enumerate(cases):
            with self.subTest(content=content):
                rc, out, _ = self.load(content, "case%d.hex" % number)
                self.assertEqual(rc, 1)
                self.assertTrue(out.endswith(lines + ABORTED), out)
                self.assertNotIn(b"Translation complete!", out)
                self.assertNotIn(b"LoAddr", out)


if __name__ == "__main__":
    unittest.main()

"""An adapter pulled out while the terminal runs: the program is given a
symbolic link to the simulated line, the line's master side is closed and
later a new line is linked in its place."""
import os
import tempfile
import unittest

from harness import Program, Sim

GONE = b"is gone: re-opening it every second (Esc to exit) ***"
BACK = b"is back ***"


class Unplug(unittest.TestCase):
    """The program gets a link of the test's own. It is removed before the
    line is closed and set again once the new line is there: a pseudo-
    terminal number set free is soon taken by another test running beside
    this one, and the program must not open that one in between."""

    def start(self):
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        self.link = os.path.join(tempfile.mkdtemp(prefix="tvlink-"), "adapter")
        os.symlink(self.sim.path, self.link)
        self.p = Program(["-c", self.link])
        self.addCleanup(self.p.close)
        self.p.expect(b"Start terminal emulation - ESC to exit\r\r\n")
        return self.p

    def unplug(self):
        os.unlink(self.link)
        self.sim.command("hangup")

    def replug(self):
        n = len(self.sim.lines)
        self.sim.command("replug")
        path = self.sim.wait_line(r"^/dev/\S+$", start=n).group(0)
        os.symlink(path, self.link)

    def test_gone_once_then_back_and_bytes_flow_again(self):
        p = self.start()
        self.unplug()
        p.expect(GONE)
        # Keys while the port is gone are dropped quietly; nothing repeats.
        p.keys(b"lost")
        p.pump_for(2.5)
        out = bytes(p.output)
        self.assertEqual(out.count(GONE), 1)
        self.assertEqual(out.count(b"Bad read result"), 1)
        self.assertIsNone(p.proc.poll())
        self.assertLess(len(p.stderr_data), 200, bytes(p.stderr_data))
        self.replug()
        p.expect(b"*** Port " + self.link.encode() + b" " + BACK, timeout=5)
        self.sim.send(b"alive again\r\n")
        p.expect(b"alive again")
        p.keys(b"k")
        self.assertEqual(self.sim.wait_received(1), b"k")
        saved = p.saved
        p.keys(b"\x1b")
        self.assertEqual(p.wait(), 0)
        self.assertEqual(p.terminal_settings(), saved)
        self.assertEqual(bytes(p.output).count(GONE), 1)

    def test_exit_keys_work_while_the_port_is_gone(self):
        for key, message in ((b"\x1b", b"Normal Exit"), (b"\x03", b"Control-C Exit")):
            with self.subTest(key=key):
                p = self.start()
                self.unplug()
                p.expect(GONE)
                saved = p.saved
                p.keys(b"\x01")                      # keys that need no line still work
                p.expect(b"hex mode = ASCII_HEX")
                p.keys(key)
                self.assertEqual(p.wait(), 0)
                self.assertTrue(bytes(p.output).endswith(b"\r\r\n" + message + b"\r\r\n"))
                self.assertEqual(p.terminal_settings(), saved)

    def test_upload_stops_when_the_port_goes(self):
        path = os.path.join(tempfile.mkdtemp(prefix="tvup-"), "big.txt")
        with open(path, "wb") as f:
            f.write(b"0123456789abcdef" * 200000)   # 3.2 MB: longer than the line takes at once
        p = self.start()
        p.answer_prompt(path.encode() + b"\r")
        p.keys(b"\x04")
        p.expect(b".")
        self.unplug()
        p.expect(b"Upload stopped: the port takes no more bytes.", timeout=20)
        p.expect(GONE)
        self.assertLess(bytes(p.stderr_data).count(b"\n"), 10, bytes(p.stderr_data))
        p.keys(b"\x1b")
        self.assertEqual(p.wait(), 0)


if __name__ == "__main__":
    unittest.main()

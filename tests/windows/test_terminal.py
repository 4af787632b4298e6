"""The terminal of the Windows build under wine: what the target sends is
shown, keys go to the target, and Esc or Ctrl-C ends the run, on the Win32
console and without one."""
import os
import glob
import re
import shutil
import signal
import tempfile
import unittest

import winharness as w
from winharness import WineTestCase, expect_screen, make_raw

BANNER = b"Start terminal emulation - ESC to exit"


TAG = rb"[ 12]\d:[0-5]\d:[0-6]\d\.\d\d ="


class Terminal(WineTestCase):
    def start(self, tty=True, cwd=None, args=()):
        sim = self.sim()
        p = self.program(["-c", "COM1"] + list(args), tty=tty, cwd=cwd)
        if tty:
            make_raw(p.slave)
            expect_screen(p, BANNER)
        else:
            p.expect(BANNER, 30)
        return sim, p

    def test_console_shows_the_target_and_esc_ends(self):
        sim, p = self.start()
        sim.send(b"Hello from the target\r\n")
        expect_screen(p, b"Hello from the target")
        p.keys(b"k\r")
        self.assertEqual(sim.wait_received(2)[-2:], b"k\r")
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 0)
        self.assertIn(b"Normal Exit", w.screen_text(bytes(p.output)))

    def test_console_ctrl_c_ends_as_the_ctrl_c_key(self):
        sim, p = self.start()
        sim.send(b"ready?\r\n")
        expect_screen(p, b"ready?")
        # What the terminal's line does with Ctrl-C for the program it runs.
        os.killpg(p.proc.pid, signal.SIGINT)
        self.assertEqual(p.wait(20), 0)
        self.assertIn(b"Control-C Exit", w.screen_text(bytes(p.output)))
        self.assertNotIn(0x03, sim.received_bytes())

    def test_prompted_file_name_is_read_as_a_line_and_uploaded(self):
        # The third run pipes the name and the upload key in with Ctrl-F:
        # the answer's line is the name, what follows it keys again.
        for tty, ahead in ((True, False), (False, False), (False, True)):
            with self.subTest(console=tty, ahead=ahead), tempfile.TemporaryDirectory() as work:
                with open(os.path.join(work, "up.txt"), "wb") as f:
                    f.write(b"uploaded bytes")
                sim, p = self.start(tty=tty, cwd=work)
                if ahead:
                    p.keys(b"\x06up.txt\r\n\x04")
                else:
                    p.keys(b"\x06")
                    if tty:
                        expect_screen(p, b"Please enter an file name :")
                    else:
                        p.expect(b"Please enter an file name :", 20)
                    p.keys(b"up.txt\r\n" if not tty else b"up.txt\r")
                    p.keys(b"\x04")
                self.assertEqual(sim.wait_received(14, timeout=20), b"uploaded bytes")
                p.keys(b"\x1b")
                self.assertEqual(p.wait(20), 0)
                sim.close()

    def test_time_tags_and_the_log_as_a_text_stream(self):
        with tempfile.TemporaryDirectory() as work:
            sim, p = self.start(tty=False, cwd=work, args=["-T", "-l", "session.log"])
            sim.send(b"x\r\n")
            p.expect(b"x\r", 20)
            sim.send(b"AB\r\nCD\r\n")
            p.expect(re.compile(rb"CD\r\r\n\r\r\n"), 20)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(20), 0)
            with open(os.path.join(work, "session.log"), "rb") as f:
                log = f.read()
        # The local time of day in front of each line after the first; the log's LFs stored
        # as CR LF, as a text stream on Windows does.
        self.assertRegex(w.fold_line_ends(log), rb"^x\r\n\r\n" + TAG + rb"AB\r\n\r\n" + TAG + rb"CD\r\n\r\n$")
        self.assertIn(b"AB\r\r\n", log)

    def test_vt100_keys_and_an_exit_key_on_the_console(self):
        sim, p = self.start(args=["--keys", "vt100", "--exit-key", "ctrl-x", "--colors"])
        p.keys(b"\x1b[A\x1b[D\x1b[15~")
        self.assertEqual(sim.wait_received(11, timeout=20), b"\x1b[A\x1b[D\x1b[15~")
        p.keys(b"\x1b")
        self.assertEqual(sim.wait_received(12, timeout=20)[-1:], b"\x1b")
        sim.send(b"\x1b[31mred\x1b[0m plain\r\n")
        expect_screen(p, b"plain")
        p.keys(b"\x18")
        self.assertEqual(p.wait(20), 0)
        self.assertIn(b"Normal Exit", w.screen_text(bytes(p.output)))
        # The console's red, as wine renders it on its terminal.
        self.assertRegex(bytes(p.output), rb"\x1b\[[0-9;]*31[0-9;]*m")

    def test_without_a_console_text_flows_through_and_esc_ends(self):
        sim, p = self.start(tty=False)
        sim.send(b"plain text\r\n")
        p.expect(b"plain text\r", 20)
        p.keys(b"z\x1b")
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(sim.wait_received(1), b"z")
        out = w.fold_line_ends(bytes(p.output))
        self.assertTrue(out.endswith(b"\r\nNormal Exit\r\n"), out[-80:])
        self.assertNotIn(b"\x1b", out)

    def test_a_profile_in_appdata_written_as_ini(self):
        homes = glob.glob(os.path.join(w.PREFIX, "drive_c", "users", "*", "AppData", "Roaming"))
        folder = os.path.join([h for h in homes if "Public" not in h][0], "tamborvine")
        os.makedirs(folder, exist_ok=True)
        self.addCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "config"), "w", encoding="utf-8") as f:
            f.write("\ufeff# tio style\n[wine]\nterminal-rate = 57600\nexit-key = ctrl-x ; Esc to the target\n")
        sim, p = self.start(tty=False, args=["--profile", "wine"])
        self.assertEqual(sim.rate(), 57600)
        p.keys(b"\x1b\x18")
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(sim.wait_received(1), b"\x1b")
        with open(os.path.join(folder, "config"), "w") as f:
            f.write("[wine]\nparty = 1\n")
        rc, out, _ = self.run_exe(["-c", "COM1", "--profile", "wine"])
        self.assertEqual(rc, 1)
        self.assertIn(b'tamborvine\\config:2: unknown key "party"', out)


if __name__ == "__main__":
    unittest.main()

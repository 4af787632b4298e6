"""The Windows build under wine: the command-line stops, the port names of
Windows, and plain output when there is no console."""
import os
import tempfile
import unittest

import winharness as w
from winharness import WineTestCase, harness

VERSION = harness.VERSION_OUTPUT


class CommandLineStops(WineTestCase):
    def test_version_and_usage_end_with_status_zero(self):
        rc, out, _ = self.run_exe(["-v"])
        self.assertEqual((rc, out), (0, VERSION))
        rc, out, _ = self.run_exe(["-h"])
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith(b"Usage: tamborvine [fileword]"), out[:80])
        self.assertIn(b"       [-v] : TAMBORVINE version number\r\n"
                      b"       [-q] : quit after the download (no terminal emulator)\r\n", out)

    def test_bad_options_stop_with_their_message_and_status_one(self):
        cases = [
            (["-x"], b"Bad Argument"),
            (["-b"], b"Baud Rate - Bad Argument"),
            (["-b", "0"], b"Baud Rate - Bad Argument"),
            (["-r", "1234"], b"Baud Rate - Bad Argument"),
            (["-c"], b"Com Port Bad Argument"),
            (["-c", "COM" + "1" * 300], b"Com Port Bad Argument"),
            (["-l"], b"File Name Bad Argument"),
        ]
        for args, message in cases:
            with self.subTest(args=args[:2]):
                rc, out, _ = self.run_exe(args)
                self.assertEqual(rc, 1)
                self.assertTrue(out.endswith(b"\r\n" + message + b"\r\n\r\n"), out[-120:])

    def test_long_options(self):
        rc, out, _ = self.run_exe(["-V", "--help"])
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith(b"Usage: tamborvine [fileword]"), out[:80])
        self.assertIn(b"       [-c COM1], [-c /dev/ttyS0]\r\n\r\n"
                      b"   [long options] optional\r\n"
                      b"       --help : this usage, with the long options\r\n"
                      b"       --download-rate N : download baud rate, any the port takes (1000000...)\r\n", out)
        self.assertIn(b" : retry opening the port every 100 ms this long\r\n", out)
        self.assertTrue(out.endswith(b" : the settings of section NAME of the configuration file\r\n\r\n"), out[-200:])
        for args, message in [(["--x=1"], b"Bad Argument"), (["--help=1"], b"Option --help takes no value"),
                              (["--download-rate", "0"], b"Baud Rate - Bad Argument")]:
            with self.subTest(args=args):
                rc, out, _ = self.run_exe(args)
                self.assertEqual(rc, 1)
                self.assertTrue(out.endswith(b"\r\n" + message + b"\r\n\r\n"), out[-120:])

    def test_a_port_that_does_not_open_says_why(self):
        # The usual stop on standard output, the cause on standard error.
        with tempfile.TemporaryDirectory() as tmp:
            plain = os.path.join(tmp, "plain.txt")
            open(plain, "w").close()
            for name, cause in [("COM199", b"no such device (is the USB adapter plugged in?)"),
                                ("Com77:", b"no such device (is the USB adapter plugged in?)"),
                                (r"C:\no\such\port", b"no such device"),
                                ("Z:" + plain, b"not a serial port ("),
                                ("Z:" + tmp, b"in use by another program (")]:
                with self.subTest(name=name):
                    rc, out, err = self.run_exe(["-c", name, "-q"])
                    self.assertEqual(rc, 1)
                    self.assertIn(b"\r\nUnable to open COM port : " + name.encode() + b"\r\n", out)
                    self.assertTrue(err.startswith(b"Cannot open " + name.encode() + b": " + cause), err)


class PortNames(WineTestCase):
    def test_windows_port_names_reach_the_target_at_the_terminal_rate(self):
        # No -c: the default "Com1:".
        # COM12 opens only as \\.\COM12: the program adds the prefix.
        for args in [[], ["-c", "COM1"], ["-c", "com1:"], ["-c", r"\\.\COM1"], ["-c", "COM12"], ["-c", "Com12:"]]:
            with self.subTest(args=args):
                sim = self.sim()
                # A key typed in the terminal reaches the target at the rate
                # (the port is put back as found when the run ends).
                p = self.program(args + ["-b", "57600"], tty=False)
                p.expect(b"ESC to exit", 30)
                p.keys(b"x")
                self.assertEqual(sim.wait_received(1), b"x")
                p.keys(b"\x1b")
                rc = p.wait(30)
                err = w.fold_line_ends(bytes(p.stderr_data))
                self.assertEqual(rc, 0, bytes(p.output) + err)
                self.assertEqual(sim.received(), [(57600, ord("x"))])
                # A pseudo-terminal has no DTR line: said once, not per call.
                self.assertLessEqual(err.count(b"\r\n"), 1, err)
                sim.close()

    def test_a_rate_the_port_refuses_stops_the_run(self):
        sim = self.sim()
        rc, out, err = self.run_exe(["-c", "COM1", "-b", "-5", "-q"])
        self.assertEqual(rc, 1)
        self.assertIn(b"\r\nUnable to set -5 baud\r\n", out)
        self.assertIn(b"arameter", err)  # the system's text for a bad parameter
        self.assertNotEqual(sim.rate(), 0)  # the port was opened; the rate was never applied


class NoConsole(WineTestCase):
    def test_status_lines_flow_through_a_pipe(self):
        sim = self.sim("--echo")
        with tempfile.TemporaryDirectory() as tmp:
            hex_path = os.path.join(tmp, "tiny.hex")
            with open(hex_path, "w") as f:
                f.write(":0400000001020304F2\r\n:00000001FF\r\n")
            rc, out, _ = self.run_exe(["Z:" + hex_path, "-c", "COM1", "-q"])
        self.assertIn(b"Down loading flash file:Z:" + hex_path.encode() + b"\r\n", out)
        self.assertNotIn(b"\x1b", out)


if __name__ == "__main__":
    unittest.main()

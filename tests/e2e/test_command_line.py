"""The command line: option letters, clusters, values, the first word, the
fatal messages and the exit status of every kind of stop.

Standard output is a pipe here (tty=False), so the console's clearing writes
nothing and the output can be compared byte for byte.
"""
import contextlib
import fcntl
import grp
import os
import shutil
import socket
import subprocess
import tempfile
import termios
import unittest

from harness import NOBODY, SOURCE, TAMBORVINE, VERSION_OUTPUT as VERSION, Program, Sim, run

USAGE = (
    b"Usage: tamborvine [fileword] [flagword] [speedword] [port]\r\n"
    b"   [fileword] \r\n"
    b"       [filename.ext] optional - download Hex flash file\r\n"
    b"       [-d filename.ext] optional - download text file via emulator\r\n"
    b"       [-e filename.ext] optional - download Hex eeprom file (N/A)\r\n"
    b"       [-l filename.ext] optional - log file for terminal emulator\r\n"
    b"   [flagword] optional (case sensitive)\r\n"
    b"       [-w] : write flash (otherwise only verify). This implies 'E'\r\n"
    b"       [-t] : talk to zelmo (application) first, \r\n"
    b"                 issuing the menucommand to drive it to bootloader\r\n"
    b"       [-E] : exit bootloader at the end (try to start zelmo app.)\r\n"
    b"       [-T] : Time Tag received terminal emulator messages on CRLF\r\n"
    b"       [-V] : Verbose messages\r\n"
    b"       [-v] : TAMBORVINE version number\r\n"
    b"       [-q] : quit after the download (no terminal emulator)\r\n"
    b"   [speedword] optional\r\n"
    b"       [-r 19200, 38400, 57600, 115200] optional - \r\n"
    b"                 (use after -t) download baud rate (default 19200)\r\n"
    b"       [-b rate]   optional - terminal emulator baud rate (default 9600)\r\n"
    b"   [port] optional\r\n"
    b"       [-c COM1], [-c /dev/ttyS0]\r\n\r\n"
)
MISSING_PORT = "/nonexistent/tamborvine-port"
PATH_MAX = os.pathconf("/", "PC_PATH_MAX")


def fatal(text: bytes) -> bytes:
    """What report_error writes for a message."""
    return b"\r\n" + text + b"\r\n\r\n"


def run_piped(args, **kw):
    return run(args, tty=False, **kw)


def rate_on_the_line(test, sim, args):
    """Runs to the terminal, types one key, and once the target has it, Esc;
    the rate the key reached the target at (the port is put back as found
    when the run ends, so the line's rate is looked at while it runs)."""
    with Program(args, tty=False) as p:
        p.expect(b"ESC to exit")
        p.keys(b"x")
        sim.wait_received(1)
        p.keys(b"\x1b")
        test.assertEqual(p.wait(), 0, bytes(p.output))
    return sim.received()[-1][0]


class Stops(unittest.TestCase):
    """Every fatal message of the command line, byte for byte, with status 1;
    one line on standard error names the word that was wrong."""

    def assert_stops(self, args, message: bytes):
        rc, out, err = run_piped(args)
        self.assertEqual((rc, out), (1, fatal(message)), args)
        if message != b"Cannot open log file.":
            self.assertRegex(err, rb"^tamborvine: [^\n]*(-[a-zA-Z]|needs)[^\n]*\n$", args)

    def test_bad_rates(self):
        for args in (["-b", "0"], ["-b", "abc"], ["-b"], ["-r", "9600"], ["-r", "0"],
                     ["-r", "19201"], ["-c", MISSING_PORT, "-b", "0"]):
            with self.subTest(args=args):
                self.assert_stops(args, b"Baud Rate - Bad Argument")

    def test_unknown_letters(self):
        for args in (["-x"], ["-wx"], ["-wVx"], ["-Q"], ["-H"]):
            with self.subTest(args=args):
                self.assert_stops(args, b"Bad Argument")

    def test_missing_values_that_stop(self):
        self.assert_stops(["-c"], b"Com Port Bad Argument")
        self.assert_stops(["-b", "9600", "-c"], b"Com Port Bad Argument")
        # Two value letters in one cluster with only one word after it.
        self.assert_stops(["-bc", "9600"], b"Com Port Bad Argument")
        self.assert_stops(["-l"], b"File Name Bad Argument")

    def test_log_file_that_cannot_be_opened(self):
        self.assert_stops(["-l", "/nonexistent/dir/log.txt"], b"Cannot open log file.")

    def test_letters_after_a_fatal_one_are_never_reached(self):
        # -x stops before -h would print the usage.
        self.assert_stops(["-xh"], b"Bad Argument")


class UsageAndVersion(unittest.TestCase):
    def test_usage_byte_for_byte_with_status_0(self):
        for args in (["-h"], ["-wh"], ["-hx"], ["-h", "-x"], ["-c", MISSING_PORT, "-h"]):
            with self.subTest(args=args):
                rc, out, err = run_piped(args)
                self.assertEqual((rc, out, err), (0, USAGE, b""))

    def test_version_byte_for_byte_with_status_0_before_the_port_is_touched(self):
        for args in (["-v"], ["-vx"], ["-Vv"], ["-c", MISSING_PORT, "-v"], ["-v", "-c", MISSING_PORT]):
            with self.subTest(args=args):
                rc, out, err = run_piped(args)
                self.assertEqual((rc, out, err), (0, VERSION, b""))

    def test_first_stop_wins(self):
        rc, out, _ = run_piped(["-v", "-h"])
        self.assertEqual((rc, out), (0, VERSION))
        rc, out, _ = run_piped(["-b", "0", "-v"])
        self.assertEqual((rc, out), (1, fatal(b"Baud Rate - Bad Argument")))


class WithSimulatedPort(unittest.TestCase):
    """Runs that open the simulated target's port and quit (-q)."""

    def setUp(self):
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        self.tmp = tempfile.mkdtemp(prefix="tvcl-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def run_ok(self, args):
        rc, out, err = run_piped(args)
        self.assertEqual(rc, 0, (args, out, err))
        return out

    def test_default_terminal_rate_is_9600(self):
        self.assertEqual(self.run_ok(["-c", self.sim.link, "-q"]), b"")
        self.assertEqual(rate_on_the_line(self, self.sim, ["-c", self.sim.link]), 9600)

    def test_any_non_zero_terminal_rate_reaches_the_line(self):
        for rate in ("57600", "250000", "1234"):
            with self.subTest(rate=rate):
                self.assertEqual(rate_on_the_line(self, self.sim, ["-c", self.sim.link, "-b", rate]), int(rate))

    def test_rate_words_are_read_as_decimal_numbers(self):
        # The conversion reads the leading number and ignores the rest.
        self.assertEqual(rate_on_the_line(self, self.sim, ["-c", self.sim.link, "-b", "57600baud"]), 57600)

    def test_cluster_takes_successive_words(self):
        self.assertEqual(rate_on_the_line(self, self.sim, ["-bc", "115200", self.sim.link]), 115200)
        self.assertEqual(rate_on_the_line(self, self.sim, ["-Tbc", "4800", self.sim.link]), 4800)
        self.run_ok(["-qbc", "4800", self.sim.link])

    def test_download_rates_accepted_and_missing_ones_ignored(self):
        for args in (["-r", "19200"], ["-r", "38400"], ["-r", "57600"], ["-r", "115200"], ["-r"],
                     ["-d"], ["-e"]):
            with self.subTest(args=args):
                self.run_ok(["-c", self.sim.link, "-q"] + args)

    def test_download_rate_missing_at_the_end_stays_19200(self):
        # The bootloader listens at 19200 only: the download works when the
        # trailing -r is ignored and fails at any other rate.
        example = os.path.join(SOURCE, "examples", "zelmo.hex")
        for args, status in ((["-r"], 0), (["-r", "38400"], 1)):
            with self.subTest(args=args), Sim("--target", "--boot") as target:
                rc, out, _ = run_piped([example, "-w", "-c", target.link, "-q"] + args)
                self.assertEqual(rc, status, out[-300:])
                self.assertEqual(out.endswith(b"\r\nSUCCESS\r\n"), status == 0, out[-300:])

    def test_stray_words_are_skipped(self):
        self.run_ok(["-c", self.sim.link, "stray", "-q", "another"])

    def test_first_word_rule(self):
        hex_path = os.path.join(self.tmp, "app.hex")
        with open(hex_path, "w") as f:
            f.write(":0400000001020304F2\n:00000001FF\n")
        # A flash file where it is not read, and --incremental without -w,
        # would pass writing nothing: refused, nothing reaches the line.
        first = b"File %s is not read where it stands: the flash file must be the first word" % hex_path.encode()
        for args, stop in ((["-wV", hex_path], first), (["-w", "-q", hex_path], first),
                           (["-w", "new.elf"], b"File new.elf is not read where it stands: the flash file must"),
                           ([hex_path, "-w", "B.HEX"], b"File B.HEX is not read where it stands: only the first"),
                           ([hex_path, "--incremental"], b"Option --incremental needs -w: without it nothing")):
            with self.subTest(args=args):
                rc, out, _ = run_piped(args + ["-c", self.sim.link, "-q"])
                self.assertEqual(rc, 1)
                self.assertTrue(out.startswith(b"\r\n" + stop), out)
        self.sim.sync()
        self.assertEqual(self.sim.received(), [])
        # The file first: it is the flash file.
        rc, out, _ = run_piped([hex_path, "-c", self.sim.link, "-q"])
        self.assertIn(b"Down loading flash file:%s\r\n" % hex_path.encode(), out)
        # Nothing on the line answers as a bootloader: no verify succeeded.
        self.assertEqual(rc, 1)

    def test_echo_lines_of_upload_and_eeprom_files(self):
        text = os.path.join(self.tmp, "upload.txt")
        out = self.run_ok(["-d", text, "-c", self.sim.link, "-q"])
        self.assertEqual(out, b"text file: %s\r\r\n" % text.encode())
        _, out, _ = run_piped(["-e", "eeprom.hex", "-c", self.sim.link, "-q"])
        self.assertTrue(out.startswith(b"hex file: eeprom.hex\r\r\n"), out)

    def test_rate_the_device_refuses_stops_naming_that_rate(self):
        rc, out, err = run_piped(["-c", self.sim.link, "-b", "-9600", "-q"])
        self.assertEqual((rc, out), (1, fatal(b"Unable to set -9600 baud")))
        self.assertTrue(err.endswith(b"\n") and len(err) > 1, err)

    def test_log_file_is_created_for_the_terminal(self):
        log = os.path.join(self.tmp, "log.txt")
        self.run_ok(["-l", log, "-c", self.sim.link, "-q"])
        self.assertFalse(os.path.exists(log))  # no terminal, nothing to log
        rc, _, _ = run_piped(["-l", log, "-c", self.sim.link], keys=b"\x1b")
        self.assertEqual(rc, 0)
        self.assertTrue(os.path.exists(log))


class PortsThatDoNotOpen(unittest.TestCase):
    """The stop "Unable to open COM port" on standard output, the port
    named as given, and the cause in one line on standard error."""

    @staticmethod
    def hold(stack, path, how):
        """The port held by this test: by its lock, its exclusive mode or a
        lock file; or a port that only its group may open."""
        if how == "lock file":
            lock_file = "/run/lock/LCK.." + os.path.basename(os.path.realpath(path))
            with open(lock_file, "w") as f:
                f.write("%10d\n" % os.getpid())
            stack.callback(os.unlink, lock_file)
            return
        found = os.stat(path)
        stack.callback(os.chmod, path, found.st_mode & 0o7777)
        stack.callback(os.chown, path, found.st_uid, found.st_gid)
        os.chown(path, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(path, 0o660 if how == "group" else 0o666)
        if how in ("lock", "exclusive"):
            holder = os.open(path, os.O_RDWR | os.O_NOCTTY)
            stack.callback(os.close, holder)
            if how == "lock":
                fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            else:
                fcntl.ioctl(holder, termios.TIOCEXCL)

    def test_each_cause(self):
        plain = tempfile.NamedTemporaryFile()
        self.addCleanup(plain.close)
        refusing = socket.socket()                 # bound, not listening: refuses
        self.addCleanup(refusing.close)
        refusing.bind(("127.0.0.1", 0))
        network = "rfc2217://127.0.0.1:%d" % refusing.getsockname()[1]
        me = b"(pid %d, " % os.getpid()
        cases = [  # the name (None: the target's port), how it is held, run as nobody, the cause
            (MISSING_PORT, None, False, b": no such device\n"),
            ("COM250", None, False, b" (/dev/ttyS249): no such device\n"),
            (plain.name, None, False, b": not a serial port (a regular file)\n"),
            (None, "lock", False, b": in use by another program " + me),
            (None, "lock file", False, b": in use by another program " + me),
            (None, "exclusive", True, b": in use by another program\n"),
            (None, "group", True, b": permission denied: the device belongs to group dialout, "
                                  b"which this user is not in (sudo usermod -aG dialout $USER"),
            (network, None, False, b": no connection (Connection refused)\n"),
        ]
        for name, how, as_nobody, cause in cases:
            with self.subTest(name=name, held=how), Sim() as sim, contextlib.ExitStack() as stack:
                name = name or (sim.path if as_nobody else sim.link)  # nobody may not enter the link's directory
                if how:
                    self.hold(stack, sim.path, how)
                command = (NOBODY if as_nobody else []) + [TAMBORVINE, "-c", name, "-q"]
                done = subprocess.run(command, capture_output=True, timeout=30)
                self.assertEqual(done.returncode, 1, done)
                self.assertEqual(done.stdout, fatal(b"Unable to open COM port : %s\r\n" % name.encode()))
                self.assertTrue(done.stderr.startswith(b"Cannot open " + name.encode() + cause), done.stderr)
                self.assertEqual(done.stderr.count(b"\n"), 1, done.stderr)


class LongPaths(unittest.TestCase):
    """Names are used at any length a path may have, never cut short; longer
    ones stop with the option's own message."""

    def setUp(self):
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        self.tmp = tempfile.mkdtemp(prefix="tvlong-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        # A directory path of about 600 characters.
        self.deep = self.tmp
        for i in range(6):
            self.deep = os.path.join(self.deep, ("d%d" % i) * 40)
        os.makedirs(self.deep)

    def test_long_port_path_opens(self):
        link = os.path.join(self.deep, "p" * 100)
        os.symlink(self.sim.path, link)
        rc, out, err = run_piped(["-c", link, "-b", "19200", "-q"])
        self.assertEqual((rc, out), (0, b""), err)
        self.assertEqual(rate_on_the_line(self, self.sim, ["-c", link, "-b", "19200"]), 19200)

    def test_long_missing_port_is_named_in_full(self):
        name = os.path.join(self.deep, "missing-port")
        rc, out, _ = run_piped(["-c", name])
        self.assertEqual((rc, out), (1, fatal(b"Unable to open COM port : %s\r\n" % name.encode())))

    def test_long_log_and_upload_names(self):
        log = os.path.join(self.deep, "l" * 150)
        text = os.path.join(self.deep, "t" * 150)
        rc, out, _ = run_piped(["-l", log, "-d", text, "-c", self.sim.link, "-q"])
        self.assertEqual((rc, out), (0, b"text file: %s\r\r\n" % text.encode()))
        rc, _, _ = run_piped(["-l", log, "-c", self.sim.link], keys=b"\x1b")
        self.assertEqual(rc, 0)
        self.assertTrue(os.path.exists(log))

    def test_words_longer_than_a_path_stop(self):
        huge = "/" + "x" * PATH_MAX
        for args, message in ((["-c", huge], b"Com Port Bad Argument"),
                              (["-l", huge], b"File Name Bad Argument"),
                              (["-d", huge], b"File Name Bad Argument"),
                              (["-e", huge], b"File Name Bad Argument"),
                              ([huge], b"Bad Argument"),
                              (["-b", "9" * 20], b"Baud Rate - Bad Argument")):
            with self.subTest(args=args[0][:3]):
                rc, out, _ = run_piped(args)
                self.assertEqual((rc, out), (1, fatal(message)))
        # The longest path that fits is still taken: it only fails to open.
        longest = os.path.join(self.deep, "m" * (PATH_MAX - 2 - len(self.deep)))
        self.assertEqual(len(longest), PATH_MAX - 1)
        rc, out, _ = run_piped(["-c", longest])
        self.assertEqual((rc, out), (1, fatal(b"Unable to open COM port : %s\r\n" % longest.encode())))


if __name__ == "__main__":
    unittest.main()

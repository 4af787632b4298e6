"""The terminal's long options through the real binary against the
simulated target: line settings on the pseudo-terminal, through ser2net and
refused by raw TCP; VT100 keys and the exit key; the target's colours in a
real screen (pyte); maps, echo and the log's comforts; profiles."""
import os
import re
import shutil
import sys
import tempfile
import termios
import unittest

try:
    import pyte
except ImportError:  # Debian's python3-pyte, under another interpreter
    sys.path.append("/usr/lib/python3/dist-packages")
    import pyte

from harness import Program, Sim
from network_support import Ser2net, TcpBridge, require_ser2net
from test_port_finding import fake_machine, with_root

START = b"Start terminal emulation - ESC to exit\r\r\n"
ISO_TAG = rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} "
CLOCK_TAG = rb"[ 12]\d:[0-5]\d:[0-6]\d\.\d\d ="


class Run:
    """The program on the sim's line (or a server's URL); ends with its exit key."""

    def __init__(self, test, args, url=None, sim=None, env=None):
        self.sim = sim or Sim()
        test.addCleanup(self.sim.close)
        self.p = Program(["-c", url or self.sim.link] + args, env=env)
        test.addCleanup(self.p.close)
        self.p.expect(START)

    def end(self, key=b"\x1b"):
        self.p.keys(key)
        return self.p.wait()


class LineSettings(unittest.TestCase):
    CASES = [  # options, then CSTOPB, CRTSCTS, IXON|IXOFF as the line's termios holds them
        (["--stop-bits", "2"], True, False, False),
        (["--flow", "rts-cts", "--parity=odd"], False, True, False),
        (["--flow", "xon-xoff", "--data-bits", "7", "--stop-bits", "2"], True, False, True),
    ]

    def test_set_on_the_pty_and_by_ser2net(self):
        require_ser2net()
        for options, two_stop, rts_cts, xon_xoff in self.CASES:
            for server in (None, Ser2net):
                with self.subTest(options=options, server=server):
                    sim = Sim()
                    url = server(sim.path) if server else None
                    if url:
                        self.addCleanup(url.close)
                    run = Run(self, options, url=url and url.url(), sim=sim)
                    fd = os.open(sim.path, os.O_RDWR | os.O_NOCTTY)
                    iflag, _, cflag = termios.tcgetattr(fd)[:3]
                    os.close(fd)
                    self.assertEqual(bool(cflag & termios.CSTOPB), two_stop)
                    self.assertEqual(bool(cflag & termios.CRTSCTS), rts_cts)
                    self.assertEqual(iflag & (termios.IXON | termios.IXOFF) != 0, xon_xoff)
                    self.assertEqual(run.end(), 0)
                    # A pseudo-terminal keeps 8 bits without parity: said once.
                    if not server and ("--data-bits" in options or "--parity=odd" in options):
                        self.assertEqual(run.p.stderr_data.count(b"the device keeps 8-N-"), 1)

    def test_rfc2217_commands_and_raw_tcp_refusal(self):
        options = ["--data-bits", "7", "--parity", "even", "--stop-bits", "2", "--flow", "xon-xoff"]
        sim = Sim("--rfc2217", "0")
        run = Run(self, options, url="rfc2217://127.0.0.1:%d" % sim.network_port(), sim=sim)
        self.assertEqual(run.end(), 0)
        self.assertEqual(sim.reported(r"^rfc2217 (datasize|parity|stopsize|control) ")[-4:],
                         ["rfc2217 datasize 7", "rfc2217 parity 3", "rfc2217 stopsize 2", "rfc2217 control 2"])
        sim = Sim()
        bridge = TcpBridge(sim.path)
        self.addCleanup(bridge.close)
        run = Run(self, options, url=bridge.url(), sim=sim)
        self.assertEqual(run.end(), 0)
        self.assertEqual(run.p.stderr_data.count(b"a raw TCP connection carries no line settings"), 1)


class Keys(unittest.TestCase):
    KEYS = [  # what the user's terminal sends, what the target gets
        (b"\x1b[A", b"\x1b[A"), (b"\x1bOB", b"\x1b[B"), (b"\x1b[C", b"\x1b[C"), (b"\x1b[D", b"\x1b[D"),
        (b"\x1b[1~", b"\x1b[H"), (b"\x1b[F", b"\x1b[F"), (b"\x1b[2~", b"\x1b[2~"), (b"\x1b[3~", b"\x1b[3~"),
        (b"\x1b[5~", b"\x1b[5~"), (b"\x1b[6~", b"\x1b[6~"), (b"\x1b[11~", b"\x1bOP"), (b"\x1bOQ", b"\x1bOQ"),
        (b"\x1bOR", b"\x1bOR"), (b"\x1bOS", b"\x1bOS"), (b"\x1b[15~", b"\x1b[15~"), (b"\x1b[17~", b"\x1b[17~"),
        (b"\x1b[18~", b"\x1b[18~"), (b"\x1b[19~", b"\x1b[19~"), (b"\x1b[20~", b"\x1b[20~"),
        (b"\x1b[21~", b"\x1b[21~"), (b"\x1b[23~", b"\x1b[23~"), (b"\x1b[24~", b"\x1b[24~"),
    ]

    def test_vt100_keys_and_an_exit_key_with_esc_to_the_target(self):
        run = Run(self, ["--keys", "vt100", "--exit-key", "ctrl-]"])
        want = b""
        for typed, sent in self.KEYS + [(b"\x1b", b"\x1b"), (b"\x03", b"\x03")]:
            run.p.keys(typed)
            want += sent
            self.assertEqual(run.sim.wait_received(len(want)), want, typed)
        self.assertEqual(run.end(b"\x1d"), 0)
        self.assertTrue(run.p.output.endswith(b"\r\r\nNormal Exit\r\r\n"))


class Colours(unittest.TestCase):
    def test_sgr_reaches_the_screen_and_nothing_else_does(self):
        run = Run(self, ["--colors"])
        hostile = (b"\x1b]0;title\x07\x1bP1$qm\x1b\\\xc2\x9b31m\x9b1m\x1b[6n\x1b[" + b"1;" * 100 + b"32mX")
        run.sim.send(b"\x1b[1;31mRED\x1b[0m " + hostile + b" done\r\n")
        run.p.expect(b"done")
        self.assertEqual(run.end(), 0)
        out = bytes(run.p.output)
        for never in (b"\x1b]", b"\x1bP", b"\x9b", b"\x1b[6n", b"1;1;1;", b"32m"):
            self.assertNotIn(never, out)
        screen = pyte.Screen(80, 24)
        pyte.ByteStream(screen).feed(out[:out.index(b"done")])
        row = next(r for r in range(24) if "RED" in "".join(screen.buffer[r][c].data for c in range(80)))
        cells = [screen.buffer[row][c] for c in range(80)]
        red = "".join(c.data for c in cells).index("RED")
        self.assertEqual((cells[red].fg, cells[red].bold), ("red", True))
        self.assertEqual(cells[red + 4].fg, "default")
        self.assertTrue(out.endswith(b"\x1b[m\r\r\nNormal Exit\r\r\n"))


class MapsEchoAndLog(unittest.TestCase):
    CASES = [  # options, keys typed, what the target sends; then what it gets, the screen, the log
        (["--map-in", "crlf"], b"", b"one\rtwo\r", b"", b"one\r\ntwo\r\n", b"one\r\ntwo\r\n"),
        (["--map-out", "crcrlf,bsdel", "--echo"], b"ab\r\x7f", b"", b"ab\r\n\x7f", b"ab\r\r\n\x08", b""),
        (["--map-in", "ICRNL,lfcrlf"], b"", b"a\rb\n", b"", b"a\r\nb\r\r\n", b"a\r\nb\r\n"),
        (["--log-time", "--time-format", "iso", "-T"], b"", b"x\r\nA\r\n", b"", re.compile(ISO_TAG + b"A"),
         re.compile(b"".join(ISO_TAG + line for line in (b"x\r\n", b"\r\n", b"A\r\n", b"\r\n")) + b"$")),
        (["--log-time", "--log-append"], b"\x01\x01", b"A\nB", b"", b" 41 0a 42",
         re.compile(b"old\n" + CLOCK_TAG + b" 41 0a\r\n" + CLOCK_TAG + b" 42$")),
    ]

    def test_maps_echo_and_log_lines(self):
        for options, keys, target, got, shown, log in self.CASES:
            with self.subTest(options=options):
                path = os.path.join(tempfile.mkdtemp(prefix="tvopt-"), "session.log")
                with open(path, "wb") as f:
                    f.write(b"old\n")
                run = Run(self, ["-l", path] + options)
                run.p.keys(keys)
                if b"\x01" in keys:
                    run.p.expect(b"HEX_ONLY")
                self.assertEqual(run.sim.wait_received(len(got)), got)
                run.sim.send(target)
                run.p.expect(shown)
                self.assertEqual(run.end(), 0)
                with open(path, "rb") as f:
                    written = f.read()
                if isinstance(log, bytes):
                    self.assertEqual(written, log)
                else:
                    self.assertRegex(written, log)


class Profiles(unittest.TestCase):
    CONFIG = ('# as tio users write them\n[default]\nterminal-rate = 19200\n\n[bench]\nterminal-rate = 57600\n'
              'keys = vt100 ; comment\necho = yes\n\n[ftdi]\npattern = usb:0403:6001\nterminal-rate = 38400\n')
    CASES = [  # arguments (ROOT: the fake machine), the rate the target sees
        (["--profile", "bench"], 57600),
        (["--profile=bench", "-b", "4800"], 4800),
        ([], 19200),
        (["-c", "ROOT/dev/ttyUSB0"], 38400),
    ]

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="tvcfg-")
        self.addCleanup(shutil.rmtree, self.home, True)
        os.mkdir(os.path.join(self.home, "tamborvine"))
        self.config = os.path.join(self.home, "tamborvine", "config")

    def write(self, text):
        with open(self.config, "w") as f:
            f.write(text)

    def test_applied_overridden_and_chosen_by_pattern(self):
        self.write(self.CONFIG)
        root = fake_machine(self)
        for args, rate in self.CASES:
            with self.subTest(args=args):
                sim = Sim()
                os.symlink(sim.path, os.path.join(root, "dev", "ttyUSB0"))
                env = dict(with_root(root), XDG_CONFIG_HOME=self.home)
                run = Run(self, [a.replace("ROOT", root) for a in args], sim=sim, env=env)
                self.assertEqual(sim.rate(), rate)
                self.assertEqual(run.end(), 0)
                os.unlink(os.path.join(root, "dev", "ttyUSB0"))

    def test_a_bad_file_names_its_line(self):
        for text, said in (('[a]\nflow = none\nparty = 1\n', b':3: unknown key "party"'),
                           ('[default]\nflow = sideways\n', b':2: Option --flow takes none, rts-cts, xon-xoff'),
                           ('[a]\necho = maybe\n', b":2: echo takes true or false"),
                           ('[a\n', b":1: neither [section] nor key = value")):
            with self.subTest(text=text):
                self.write(text)
                with Program(["-q", "-c", "/dev/null"], env={"XDG_CONFIG_HOME": self.home}) as p:
                    self.assertEqual(p.wait(), 1)
                    self.assertIn(self.config.encode() + said, bytes(p.output))


if __name__ == "__main__":
    unittest.main()

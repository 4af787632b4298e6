"""Runs the Windows build of tamborvine under wine against the simulated
target, reusing the pseudo-terminal helpers of the end-to-end tests.

The wine prefix is made once per test run by make_prefix.py (a ctest
fixture). In it, COM1 and COM12 are mapped to a fixed path of ours
(port_link()); every test points that path at a fresh pseudo-terminal of
the simulated target.

Environment (set by ctest): TAMBORVINE_EXE, TAMBORVINE_SIM, TAMBORVINE_WINE,
TAMBORVINE_WINEPREFIX.
"""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import Program, Sim  # noqa: E402,F401

EXE = os.environ.get("TAMBORVINE_EXE", "")
# Built beside the program: drives the console operations directly.
PROBE = os.path.join(os.path.dirname(EXE), "tests", "windows", "console_probe.exe")
PREFIX = os.environ.get("TAMBORVINE_WINEPREFIX", "")
# A wine run that takes longer than this has hung: it is killed.
WINE_TIME_LIMIT = 60


def find_wine():
    named = os.environ.get("TAMBORVINE_WINE")
    if named:
        return named
    # Debian's wine64 installs its loader beside the wine libraries only.
    return shutil.which("wine64") or "/usr/lib/wine/wine64"


WINE = find_wine()
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"

# ctest's status for a test that could not run (run_unittest.py gives it
# for skipped tests).
SKIPPED = 77


def missing_parts():
    """What the wine tests need and do not have, or None."""
    if not EXE or not os.path.exists(EXE):
        return "no Windows build (scripts/build windows)"
    if not os.path.exists(WINE) or not os.path.exists(WINESERVER):
        return "no wine64 (package wine64)"
    return None


def port_link(prefix=None):
    """The fixed path that COM1 names inside the prefix."""
    return os.path.join(os.path.dirname(prefix or PREFIX), "ports", "com1")


def wine_env(prefix=None):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix or PREFIX
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    return env


def wine_command(args):
    return ["timeout", "-k", "5", str(WINE_TIME_LIMIT), WINE, EXE] + list(args)


def wait_for_wineserver(prefix=None):
    subprocess.run([WINESERVER, "-w"], env=wine_env(prefix), timeout=WINE_TIME_LIMIT, check=False)


def start_wineserver(prefix=None):
    """One wine server and its service processes for a whole test class,
    started apart from the program under test: those the program started
    would inherit its standard output and error and hold them open after it
    ended."""
    quiet = dict(env=wine_env(prefix), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, timeout=WINE_TIME_LIMIT, check=False)
    subprocess.run([WINESERVER, "-p"], **quiet)
    subprocess.run(["timeout", "-k", "5", str(WINE_TIME_LIMIT), WINE, "cmd", "/c", "exit"], **quiet)


def stop_wineserver(prefix=None):
    subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), stderr=subprocess.DEVNULL,
                   timeout=WINE_TIME_LIMIT, check=False)
    wait_for_wineserver(prefix)


# The ports of the prefix that lead to the simulated target.
MAPPED_PORTS = ["COM1", "COM12"]


def com_target(name, prefix=None):
    link = os.path.join(prefix or PREFIX, "dosdevices", name.lower())
    return os.readlink(link) if os.path.islink(link) else None


def check_com1(test, sim):
    """COM1 (and COM12) must reach the simulated target and nothing else (a
    machine may have a real serial port that wine would otherwise give
    them)."""
    for name in MAPPED_PORTS:
        test.assertEqual(com_target(name), port_link(), "%s of the wine prefix is not ours" % name)
    test.assertEqual(os.path.realpath(port_link()), os.path.realpath(sim.path),
                     "COM1 does not lead to the simulated target")


class WineTestCase(unittest.TestCase):
    """Skips the whole class when there is no Windows build or prefix; ends
    with the wine server gone."""

    @classmethod
    def setUpClass(cls):
        if missing_parts():
            raise unittest.SkipTest(missing_parts())
        if not PREFIX or not os.path.isdir(PREFIX):
            raise unittest.SkipTest("no wine prefix (TAMBORVINE_WINEPREFIX)")
        harness.TAMBORVINE = "timeout"
        start_wineserver()

    @classmethod
    def tearDownClass(cls):
        stop_wineserver()

    def sim(self, *args):
        """The simulated target on COM1, checked before anything is sent."""
        sim = Sim(*args, link=port_link())
        self.addCleanup(close_sim, sim)
        check_com1(self, sim)
        return sim

    def program(self, args, tty=True, exe=None, **kw):
        """The Windows program under wine, on a pseudo-terminal (its console)
        or on pipes (no console)."""
        p = Program(["-k", "5", str(WINE_TIME_LIMIT), WINE, exe or EXE] + list(args), tty=tty,
                    env=wine_env(), **kw)
        self.addCleanup(close_program, p)
        return p

    def run_exe(self, args, tty=False, keys=b"", timeout=40.0):
        """Runs to the end; returns (status, output, errors) with the line
        ends of the text stream (CR LF for LF) folded back."""
        p = self.program(args, tty=tty)
        if keys:
            p.keys(keys)
        rc = p.wait(timeout)
        return rc, fold_line_ends(bytes(p.output)), fold_line_ends(bytes(p.stderr_data))


def close_sim(sim):
    sim.close()
    # Only the stream no thread reads: closing one that a reader thread
    # is blocked on would wait for that thread forever.
    sim.proc.stdin.close()


def close_program(p):
    p.close()
    if p.proc.stdin is not None:
        p.proc.stdin.close()


def fold_line_ends(data: bytes) -> bytes:
    """Standard output is a text stream on Windows: each LF goes out as
    CR LF, so the program's own "\\r\\n" arrives as "\\r\\r\\n"."""
    return data.replace(b"\r\r\n", b"\r\n")


ESCAPES = re.compile(rb"\x1b\[([0-9;?]*)([A-Za-z])")


def screen_text(data: bytes) -> bytes:
    """What the console showed, roughly: wine renders the console on a
    pseudo-terminal with escape sequences, moving over blanks instead of
    writing them. Cursor-right becomes blanks; the rest is dropped."""
    def blanks(m):
        if m.group(2) == b"C":
            return b" " * int(m.group(1) or b"1")
        return b""
    return fold_line_ends(ESCAPES.sub(blanks, data))


def expect_screen(p, needle: bytes, timeout=20.0):
    """Waits until the console has shown needle."""
    deadline = time.monotonic() + timeout
    while needle not in screen_text(bytes(p.output)):
        ended = p.proc.poll() is not None
        if p.pump(0.05) == 0 and ended and needle not in screen_text(bytes(p.output)):
            raise AssertionError("program ended (rc=%s) without showing %r:\n%r"
                                 % (p.proc.returncode, needle, screen_text(bytes(p.output))[-1500:]))
        if time.monotonic() > deadline:
            raise AssertionError("never showed %r:\n%r" % (needle, screen_text(bytes(p.output))[-1500:]))


def make_raw(fd):
    """A pseudo-terminal that passes every byte as typed, as a terminal
    emulator's line does for a program that reads keys."""
    import termios
    t = termios.tcgetattr(fd)
    t[0] &= ~(termios.ICRNL | termios.IXON)
    t[3] &= ~(termios.ECHO | termios.ICANON | termios.ISIG | termios.IEXTEN)
    termios.tcsetattr(fd, termios.TCSANOW, t)


"""Drives the real tamborvine binary and the simulated target over
pseudo-terminals, the way a user at a bench does.

Environment (set by ctest): TAMBORVINE, TAMBORVINE_SIM, TAMBORVINE_BUILD,
TAMBORVINE_SOURCE, TAMBORVINE_VERSION.
"""
import contextlib
import errno
import fcntl
import io
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

TAMBORVINE = os.environ.get("TAMBORVINE", "tamborvine")
SIM = os.environ.get("TAMBORVINE_SIM", "tamborvine-sim")
SOURCE = os.environ.get("TAMBORVINE_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("TAMBORVINE_BUILD", os.path.join(SOURCE, "build", "test"))


def _built_version():
    """The version the program was built with: ctest passes it on, or the
    header the build made from project() tells it."""
    if os.environ.get("TAMBORVINE_VERSION"):
        return os.environ["TAMBORVINE_VERSION"]
    with open(os.path.join(BUILD, "generated", "tamborvine_version.h")) as f:
        return re.search(r'#define TAMBORVINE_VERSION "([^"]*)"', f.read()).group(1)


VERSION = _built_version()
# What -v prints: the version line, framed as every stop is.
VERSION_OUTPUT = b"\r\nTAMBORVINE verion : " + VERSION.encode() + b"\r\n\r\n\r\n"

# What a Linux pseudo-terminal holds for its reader at most: once this much
# waits, a writer's queue has filled.
PTY_HOLDS = 4095


def queued(fd):
    """The bytes waiting to be read from a descriptor (FIONREAD)."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def waiting_in_poll(pid):
    """Whether the process sleeps in poll (on a kernel that does not say
    where a process sleeps: whether it sleeps)."""
    with open("/proc/%d/wchan" % pid) as f:
        where = f.read()
    if where == "0":
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "S"
    return "poll" in where


# The command prefix that runs a program as a user without the groups of
# the machine's devices (the tests run as root).
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Sanitizer reports must fail the tests, never pass as program output.
os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0:exitcode=99")
os.environ.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:exitcode=99")


def write_to_reader(write, data):
    """Writes data with write(data). A reader that has ended meanwhile (a
    program that stopped at once, a target gone) is an ordinary outcome:
    what it took is lost, and the test goes on to check the status and the
    output as usual."""
    try:
        write(data)
    except (BrokenPipeError, ConnectionResetError):
        pass
    except OSError as error:
        if error.errno != errno.EIO:  # a terminal whose other side has closed
            raise


@contextlib.contextmanager
def busy_cores():
    """Another load that keeps every core of the machine busy meanwhile: a
    busy loop for each core that the load so far leaves idle, and one at
    least (on a machine loaded already, as by scripts/repeat-tests, more
    would starve the targets that must answer in real time)."""
    idle = (os.cpu_count() or 2) - int(os.getloadavg()[0])
    burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(max(1, idle))]
    try:
        yield
    finally:
        for burner in burners:
            burner.kill()
            burner.wait()


def keep_real_time():
    """Runs the simulated board or a peer's client ahead of the machine's
    other work, where the user may raise a priority. The simulated board
    keeps wall-clock time, as a board does: starved by a loaded machine, it
    would answer late, or close its bootloader's window on a byte that had
    come in time. A peer's timing is not what is tested. (The emulated chip
    is left as it is: it lets its own time fall behind when it is starved,
    and running it ahead would close its windows on a program that a
    loaded machine slows.)"""
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass


# The helper processes the running test started: a failed test shows their
# last reports (tests/run_unittest.py empties it as each test starts).
STARTED = []


class ReportingProcess:
    """A helper program that prints the path of its line first and then one
    report a line; the reports are collected in self.lines, with the time
    each came in self.times."""

    name = "process"
    link = None

    def forget_link(self):
        """Removes the link to the line before the line goes: the number of
        a pseudo-terminal set free is soon another's (a keyboard of a test
        running beside), and a program still holding the link would open
        that one when it opens its port again."""
        ours = {self.path} | {line for line in self.lines if line.startswith("/dev/")}  # and after a replug
        if self.link and os.path.islink(self.link) and os.path.realpath(self.link) in ours:
            os.unlink(self.link)

    ahead = False  # run ahead of the machine's other work (keep_real_time)

    def start(self, cmd):
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     bufsize=0, preexec_fn=keep_real_time if self.ahead else None)
        self.lines = []
        self.times = []
        self.cond = threading.Condition()
        self.path = self.proc.stdout.readline().decode().strip()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        STARTED.append(self)

    def _read(self):
        # Buffered: the unbuffered pipe gives its lines a byte per read, which
        # cannot keep up with a report a byte (the emulator's trace) and
        # stalls the reporting process on a full pipe.
        for raw in io.BufferedReader(self.proc.stdout):
            with self.cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.times.append(time.monotonic())
                self.cond.notify_all()

    def last_reports(self, count=30):
        """The last reports, each with the time it came (time.monotonic)."""
        with self.cond:
            return ["%.3f %s" % (at, line if len(line) < 160 else line[:150] + " ...")
                    for at, line in zip(self.times[-count:], self.lines[-count:])]

    def command(self, text):
        def write(data):
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        write_to_reader(write, (text + "\n").encode())

    def wait_line(self, pattern, timeout=10.0, start=0):
        """Waits for a reported line matching the regex; returns the match."""
        deadline = time.monotonic() + timeout
        rx = re.compile(pattern)
        with self.cond:
            while True:
                for line in self.lines[start:]:
                    m = rx.search(line)
                    if m:
                        return m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("%s never reported %r; got %r" % (self.name, pattern, self.lines[-20:]))
                self.cond.wait(left)

    def network_port(self):
        """The TCP port of the RFC 2217 endpoint (--rfc2217)."""
        return int(self.wait_line(r"^rfc2217 (\d+)$").group(1))

    def reported(self, pattern):
        rx = re.compile(pattern)
        with self.cond:
            return [line for line in self.lines if rx.search(line)]


class Sim(ReportingProcess):
    """The simulated target."""

    name = "sim"
    ahead = True

    def __init__(self, *args, link=None):
        self.tmp = tempfile.mkdtemp(prefix="tvsim-")
        self.link = link or os.path.join(self.tmp, "port")
        self.start([SIM, "--link", self.link] + list(args))

    def send(self, data: bytes):
        if data:
            self.command("send " + " ".join("%02x" % b for b in data))

    def received(self):
        """All bytes reported as received so far, with their rates."""
        out = []
        with self.cond:
            for line in self.lines:
                if line.startswith("rx "):
                    parts = line.split()
                    rate = int(parts[1])
                    out.extend((rate, int(h, 16)) for h in parts[2:])
        return out

    def received_bytes(self):
        """All bytes received up to now: the reports still on their way
        (of bytes whose answer the program has already seen) included."""
        self.sync()
        return bytes(b for _, b in self.received())

    def wait_received(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while len(self.received()) < count:
            if time.monotonic() > deadline:
                raise AssertionError("sim got %d bytes, wanted %d: %r"
                                     % (len(self.received()), count, self.received_bytes()[-64:]))
            time.sleep(0.01)
        return self.received_bytes()

    def sync(self):
        """Waits until every report the sim printed before now has been
        collected (a no-op once the sim has ended)."""
        if self.proc.poll() is None and not self.proc.stdin.closed:
            n = len(self.lines)
            self.command("stats")
            self.wait_line(r"^stats ", start=n)

    def commands(self):
        """What the full target (--target) met: (rate, name, detail) each.
        The application's greeting is left out: it comes on the target's own
        time (50 ms after 'E'), not as an answer to the program."""
        self.sync()
        out = []
        with self.cond:
            for line in self.lines:
                if line.startswith("cmd "):
                    parts = line.split(" ", 3)
                    if not parts[2].startswith("greeting"):
                        out.append((int(parts[1]), parts[2], parts[3] if len(parts) > 3 else ""))
        return out

    def dump_flash(self):
        """The target's flash as 131072 bytes."""
        path = os.path.join(self.tmp, "flash.bin")
        n = len(self.lines)
        self.command("dump " + path)
        self.wait_line(r"^dumped ", start=n)
        with open(path, "rb") as f:
            return f.read()

    def stats(self):
        """Bytes each way and pages and erases, as the target counted them."""
        n = len(self.lines)
        self.command("stats")
        words = self.wait_line(r"^stats .*$", start=n).group(0).split()[1:]
        return {words[i]: int(words[i + 1]) for i in range(0, len(words), 2)}

    def rate(self):
        n = len(self.lines)
        self.command("rate")
        return int(self.wait_line(r"^rate (\d+)$", start=n).group(1))

    def close(self):
        self.forget_link()
        if self.proc.poll() is None:
            self.command("stats")  # for a failed test's report: how late the sim answered
            self.command("quit")
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(timeout=2)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except (BrokenPipeError, OSError):
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def end_raw_run(proc, *fds):
    """Ends a program started by hand on a pseudo-terminal, if it still
    runs, and closes the terminal's sides."""
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    for fd in fds:
        os.close(fd)


class Program:
    """tamborvine running with its standard input and output on a
    pseudo-terminal, as in a user's terminal window; prefix is a command
    that runs it (in a namespace of its own, say)."""

    def __init__(self, args, cols=80, rows=24, tty=True, env=None, cwd=None, prefix=(), ahead=False):
        self.output = bytearray()
        self.tty = tty
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        preexec = keep_real_time if ahead else None
        if tty:
            self.master, slave = pty.openpty()
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
            self.saved = termios.tcgetattr(slave)
            self.slave = slave
            self.proc = subprocess.Popen([*prefix, TAMBORVINE] + list(args), stdin=slave, stdout=slave,
                                         stderr=subprocess.PIPE, env=full_env, cwd=cwd,
                                         start_new_session=True, preexec_fn=preexec)
        else:
            self.proc = subprocess.Popen([*prefix, TAMBORVINE] + list(args), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=full_env, cwd=cwd, bufsize=0, preexec_fn=preexec)
            self.master = self.proc.stdout.fileno()
        self.stderr_data = bytearray()
        self.err_thread = threading.Thread(target=self._read_err, daemon=True)
        self.err_thread.start()

    def _read_err(self):
        for chunk in iter(lambda: self.proc.stderr.read(4096), b""):
            self.stderr_data.extend(chunk)

    def pump(self, timeout=0.05):
        r, _, _ = select.select([self.master], [], [], timeout)
        if r:
            try:
                data = os.read(self.master, 65536)
            except OSError:
                data = b""
            self.output.extend(data)
            return len(data)
        return 0

    def pump_for(self, seconds):
        """Reads what comes for this long (to see that nothing more does)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.pump(0.05)

    def _holds(self, needle, since=0):
        if isinstance(needle, bytes):
            return self.output.find(needle, since) >= 0
        return needle.search(bytes(self.output[since:])) is not None

    def expect(self, needle, timeout=10.0, since=0):
        """Waits until the output from byte since on holds needle (bytes or
        compiled regex)."""
        deadline = time.monotonic() + timeout
        while not self._holds(needle, since):
            ended = self.proc.poll() is not None
            got = self.pump(0.05)
            if ended and got == 0 and not self._holds(needle, since):
                raise AssertionError("program ended (rc=%s) without %r:\n%r"
                                     % (self.proc.returncode, needle, bytes(self.output[-2000:])))
            if time.monotonic() > deadline:
                raise AssertionError("never saw %r in output:\n%r" % (needle, bytes(self.output[-2000:])))

    def keys(self, data: bytes):
        def write(keys):
            if self.tty:
                os.write(self.master, keys)
            else:
                self.proc.stdin.write(keys)
                self.proc.stdin.flush()
        write_to_reader(write, data)

    def wait(self, timeout=20.0):
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None:
            self.pump(0.02)
            if time.monotonic() > deadline:
                self.proc.kill()
                raise AssertionError("program did not end:\n%r" % bytes(self.output[-2000:]))
        while self.pump(0.02):
            pass
        self.err_thread.join(timeout=2)
        return self.proc.returncode

    def terminal_settings(self):
        return termios.tcgetattr(self.slave)

    def wait_idle(self, line, timeout=10.0):
        """Waits until the program has taken every byte waiting on the line
        it reads (a pseudo-terminal's path) and sleeps on it: what it made
        of them is written, and is read until its terminal has passed on
        nothing more for 50 ms (it passes a write on a moment later)."""
        fd = os.open(line, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            deadline = time.monotonic() + timeout
            while queued(fd) > 0 or not waiting_in_poll(self.proc.pid):
                if time.monotonic() > deadline:
                    raise AssertionError("the program never went idle:\n%r" % bytes(self.output[-500:]))
                self.pump(0.01)
        finally:
            os.close(fd)
        while self.pump(0.05):
            pass

    def wait_for_raw_keys(self, timeout=10.0):
        """Waits until the program reads its keys raw again: a line it read
        with echo and line editing (the file-name prompt) has been taken."""
        deadline = time.monotonic() + timeout
        while self.terminal_settings()[3] & (termios.ICANON | termios.ECHO):
            if time.monotonic() > deadline:
                raise AssertionError("the keys never went raw again:\n%r" % bytes(self.output[-500:]))
            self.pump(0.01)

    def answer_prompt(self, answer: bytes):
        """Ctrl-F, then the answer typed at the file-name prompt; returns
        once the program has read it. The prompt waited for is the one this
        Ctrl-F opens, not one that an earlier answer left in the output."""
        since = len(self.output)
        self.keys(b"\x06")
        self.expect(b"file name : ", since=since)
        self.keys(answer)
        self.wait_for_raw_keys()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.err_thread.join(timeout=2)
        if self.tty:
            for fd in (self.master, self.slave):
                try:
                    os.close(fd)
                except OSError:
                    pass
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is not None:
                try:
                    stream.close()
                except (BrokenPipeError, OSError):
                    pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run(args, timeout=20.0, tty=True, keys=b"", **kw):
    """Runs the program to its end; returns (returncode, stdout bytes, stderr bytes)."""
    with Program(args, tty=tty, **kw) as p:
        if keys:
            p.keys(keys)
        rc = p.wait(timeout)
        return rc, bytes(p.output), bytes(p.stderr_data)


CLEAR = b"\x1b[H\x1b[2J"


def strip_screen_control(data: bytes) -> bytes:
    """Output without the console's clear and cursor sequences."""
    return re.sub(rb"\x1b\[[0-9;]*[HJK]", b"", data)

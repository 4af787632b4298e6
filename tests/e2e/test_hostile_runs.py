"""What a run must survive without harm to the user's files, keyboard or
port: a log named on a command line that is refused or that names a file
of the run or the port, a log that cannot be written, an overlong prompt
answer, a port that takes no bytes, a line that never stops sending,
signals from outside, readers that go, and every way out."""
import fcntl
import os
import pty
import select
import signal
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest

from boot_support import Workdir, boot_sim
from harness import PTY_HOLDS, TAMBORVINE, Program, Sim, end_raw_run, queued, run, waiting_in_poll
from network_support import HostileServer
from steps_support import read_events

BANNER = b"Start terminal emulation - ESC to exit\r"
LFLAG = 3


def fatal(text):
    return b"\r\n" + text + b"\r\n\r\n"


def wait_until(predicate, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def process_state(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def raw_keys(settings):
    return not settings[LFLAG] & (termios.ICANON | termios.ECHO)


def port_found_so(test):
    """A pseudo-terminal as another program left it (4800 baud, 7-E-1, line
    input): its name, its side that keeps its settings, and those."""
    master, slave = pty.openpty()
    test.addCleanup(os.close, master)
    test.addCleanup(os.close, slave)
    found = termios.tcgetattr(slave)
    found[2] = termios.CS7 | termios.PARENB | termios.CREAD | termios.CLOCAL  # 7-E-1
    found[3] |= termios.ICANON | termios.ECHO
    found[4] = found[5] = termios.B4800
    termios.tcsetattr(slave, termios.TCSANOW, found)
    return os.ttyname(slave), slave, termios.tcgetattr(slave)


def flooded_tty(test):
    """A pseudo-terminal whose other side sends text without end: its name."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    stop = threading.Event()

    def flood():
        while not stop.is_set():
            try:
                if select.select([], [master], [], 0.1)[1]:
                    os.write(master, b"x" * 4096)
            except BlockingIOError:
                pass
    thread = threading.Thread(target=flood, daemon=True)
    for cleanup in (lambda: os.close(slave), lambda: os.close(master), thread.join, stop.set):
        test.addCleanup(cleanup)
    thread.start()
    return os.ttyname(slave)


def ends(events):
    """The statuses of the end events of an event stream."""
    return [e["status"] for e in read_events(events) if e["event"] == "end"]


def opening_a_fifo(pid):
    """Whether the process waits for the other end of a FIFO it opens (on a
    kernel that does not say where a process waits: whether it sleeps)."""
    with open("/proc/%d/wchan" % pid) as f:
        where = f.read()
    return where == "wait_for_partner" or (where == "0" and process_state(pid) == "S")


class LogOnlyForARunThatIsSure(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("fw.hex", {0x100: 0x1234})
        with open(self.hex, "rb") as f:
            self.image = f.read()

    def test_a_refused_command_line_leaves_the_log_file_alone(self):
        notes = self.work.file("notes.txt", b"precious\n")
        rc, out, _ = run(["-l", notes, "-x"], tty=False)
        self.assertEqual(rc, 1)
        self.assertTrue(out.endswith(fatal(b"Bad Argument")), out)
        with open(notes, "rb") as f:
            self.assertEqual(f.read(), b"precious\n")

    def test_a_log_that_is_a_file_of_the_run_is_refused(self):
        os.symlink(self.hex, os.path.join(self.work.path, "link.hex"))
        os.link(self.hex, os.path.join(self.work.path, "hard.hex"))
        upload = self.work.file("notes.txt", b"precious\n")
        spellings = [self.hex, os.path.join(self.work.path, ".", "fw.hex"),
                     os.path.join(self.work.path, "link.hex"), os.path.join(self.work.path, "hard.hex")]
        cases = [([self.hex, "-w", "-l", log], b"Cannot open log file: it is the flash file.")
                 for log in spellings]
        cases += [(["-e", self.hex, "-l", spellings[2]], b"Cannot open log file: it is the eeprom file."),
                  (["-l", upload, "-d", upload], b"Cannot open log file: it is the file to upload.")]
        events = os.path.join(self.work.path, "events.jsonl")
        cases += [(["-l", events, "--events", os.path.join(self.work.path, ".", "events.jsonl"),
                    "--send", "x"], b"Cannot open log file: it is the events file.")]
        for args, message in cases:
            with self.subTest(args=args), boot_sim() as sim:
                rc, out, _ = run(args + ["-c", sim.link], tty=False, keys=b"\x1b")
                self.assertEqual(rc, 1, out)
                self.assertTrue(out.endswith(fatal(message)), out)
                self.assertEqual(sim.received_bytes(), b"")  # nothing erased
                with open(self.hex, "rb") as f:
                    self.assertEqual(f.read(), self.image)
                with open(upload, "rb") as f:
                    self.assertEqual(f.read(), b"precious\n")

    def test_a_file_that_is_the_port_is_refused_before_anything_is_sent(self):
        with boot_sim() as sim:
            link = os.path.join(self.work.path, "board")
            os.symlink(sim.link, link)  # itself a link to the pseudo-terminal
            cases = [(["-l", link], b"Cannot open log file: it is the port."),
                     (["--events", os.path.realpath(sim.link)], b"Cannot open events file: it is the port."),
                     (["-d", link], b"Cannot open input file: it is the port.")]
            for args, message in cases:
                with self.subTest(args=args):
                    rc, out, _ = run([self.hex, "-w", "-c", sim.link] + args, tty=False, keys=b"\x1b")
                    self.assertEqual(rc, 1, out)
                    self.assertTrue(out.endswith(fatal(message)), out)
            self.assertEqual(sim.received_bytes(), b"")

    def test_quit_after_download_leaves_the_log_file_untouched(self):
        old = self.work.file("old.log", b"yesterday\n")
        new = os.path.join(self.work.path, "new.log")
        with boot_sim() as sim:
            rc, out, _ = run([self.hex, "-w", "-c", sim.link, "-q", "-l", old, "-l", new], tty=False)
            self.assertEqual(rc, 0, out)
        self.assertFalse(os.path.exists(new))
        with open(old, "rb") as f:
            self.assertEqual(f.read(), b"yesterday\n")


class LogWriteFailures(unittest.TestCase):
    def test_a_full_log_is_said_once_and_ends_the_run_with_status_1(self):
        # Much (the failure shows while the terminal runs) and little (it
        # shows when the log is closed).
        for size in (100000, 3):
            for key in (b"\x1b", b"\x03"):
                with self.subTest(size=size, key=key), Sim() as sim:
                    p = Program(["-c", sim.link, "-l", "/dev/full"])
                    self.addCleanup(p.close)
                    p.expect(BANNER)
                    sim.send(b"x" * (size - 1) + b"!")
                    p.expect(b"!", timeout=30)
                    sim.send(b"still shown")
                    p.expect(b"still shown")
                    p.keys(key)
                    self.assertEqual(p.wait(), 1)
                    err = bytes(p.stderr_data)
                    self.assertEqual(err.count(os.strerror(28).encode()), 1, err)  # ENOSPC
                    self.assertIn(b"log", err.lower())
                    self.assertEqual(p.terminal_settings(), p.saved)
        with self.subTest(log="a pipe whose reader has gone"), Sim() as sim:
            fifo = os.path.join(tempfile.mkdtemp(prefix="tvfifo-"), "log")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            with Program(["-c", sim.link, "-l", fifo]) as p:
                p.expect(BANNER)
                os.close(reader)
                sim.send(b"x" * 20000 + b"!")   # more than the log gathers before a write
                p.expect(b"!", timeout=30)
                sim.send(b"still shown")
                p.expect(b"still shown")
                p.keys(b"\x1b")
                self.assertEqual(p.wait(), 1)
                self.assertEqual(bytes(p.stderr_data).count(os.strerror(32).encode()), 1)  # EPIPE
        with self.subTest(run="scripted"), Sim("--echo") as sim:
            rc, out, err = run(["-c", sim.link, "-l", "/dev/full", "--send", "x", "--expect", "x"], tty=False)
            self.assertEqual(rc, 1, out + err)
            self.assertEqual(err.count(os.strerror(28).encode()), 1, err)


class PromptAnswer(unittest.TestCase):
    def test_an_overlong_answer_is_cut_and_the_rest_of_its_line_dropped(self):
        path = os.path.join(tempfile.mkdtemp(prefix="tvup-"), "short.txt")
        with open(path, "wb") as f:
            f.write(b"0123456789")
        with Sim() as sim, Program(["-c", sim.link]) as p:
            p.expect(BANNER)
            p.answer_prompt(b"q" * 1000 + b"\r")
            p.expect(b"q" * 1000)
            # The next prompt gets only what is typed for it.
            p.answer_prompt(path.encode() + b"\r")
            p.keys(b"\x04")
            p.expect(b"*** 10 Chars Sent *** ")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)
            self.assertEqual(bytes(p.output).count(b"Please enter an file name : "), 2)
            sim.sync()
            self.assertEqual(sim.received_bytes(), b"0123456789")


class AlwaysAWayOut(unittest.TestCase):
    def big_file(self, size=1 << 20):
        path = os.path.join(tempfile.mkdtemp(prefix="tvup-"), "big.txt")
        with open(path, "wb") as f:
            f.write(b"z" * size)
        return path

    def stuck_port(self):
        """A pseudo-terminal whose other side never reads: its name and the
        side that holds what is written to it."""
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        return os.ttyname(slave), master

    def test_esc_or_ctrl_c_stops_an_upload_to_a_port_that_takes_nothing(self):
        for key in (b"\x1b", b"\x03"):
            port, held = self.stuck_port()
            with self.subTest(key=key), Program(["-c", port, "-d", self.big_file()]) as p:
                p.expect(b"send text file = ")

                def filled():
                    p.pump(0.01)                # the dots go on meanwhile
                    return queued(held) >= PTY_HOLDS

                wait_until(filled, what="the port's queue full")
                p.keys(key)
                # The key stops it, not the port's stall time (which says so).
                p.expect(b"Upload stopped: Esc or Ctrl-C typed.", timeout=30)
                p.expect(BANNER)
                self.assertIsNone(p.proc.poll())
                p.keys(b"\x1b")
                self.assertEqual(p.wait(timeout=10), 0)
                self.assertEqual(p.terminal_settings(), p.saved)

    def test_a_port_that_takes_nothing_stops_the_upload_by_itself(self):
        # Five bytes in a row that the port does not take within its stall
        # time (2 s at this rate) stop the upload.
        with Program(["-c", self.stuck_port()[0], "-b", "115200", "-d", self.big_file()]) as p:
            p.expect(b"Upload stopped: the port takes no more bytes.", timeout=30)
            p.expect(BANNER)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(timeout=10), 0)

    def test_esc_stops_an_endless_upload(self):
        with Sim("--quiet") as sim, Program(["-c", sim.link, "-d", "/dev/zero"]) as p:
            p.expect(b"....", timeout=10)
            p.keys(b"\x1b")
            p.expect(b"Upload stopped: ", timeout=5)
            p.expect(BANNER)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(timeout=10), 0)
        # A pipe whose writer has stopped writing keeps the next byte for ever.
        fifo = os.path.join(tempfile.mkdtemp(prefix="tvfifo-"), "upload")
        os.mkfifo(fifo)
        with Sim() as sim, Program(["-c", sim.link, "-d", fifo]) as p:
            writer = os.open(fifo, os.O_WRONLY)
            self.addCleanup(os.close, writer)
            os.write(writer, b"abc")
            sim.wait_received(3)
            p.keys(b"\x03")
            p.expect(b"Upload stopped: ", timeout=5)
            p.expect(BANNER)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(timeout=10), 0)

    def test_a_scripted_upload_reads_no_keys(self):
        # The keys waiting on standard input are the terminal's, after the
        # steps: the upload neither stops at their Esc nor eats them.
        path = os.path.join(tempfile.mkdtemp(prefix="tvup-"), "lines.txt")
        with open(path, "wb") as f:
            f.write(b"line one\n")
        with Sim("--echo") as sim, Program(["-c", sim.link, "-d", path, "--timeout", "5", "--expect",
                                            "line one\\n", "--then-terminal"], tty=False) as p:
            p.keys(b"abc\x1b")
            p.proc.stdin.close()                # the Esc is a whole key at once
            self.assertEqual(p.wait(), 0, bytes(p.output) + bytes(p.stderr_data))
            sim.sync()
            self.assertEqual(sim.received_bytes(), b"line one\nabc")

    def test_a_log_whose_reader_stalls_is_a_failed_log(self):
        fifo = os.path.join(tempfile.mkdtemp(prefix="tvfifo-"), "log")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # opened, never read
        self.addCleanup(os.close, reader)
        with Sim() as sim, Program(["-c", sim.link, "-l", fifo]) as p:
            p.expect(BANNER)
            sim.send(b"y" * 200000)                # more than the pipe holds
            # The target gives up on what the program does not read while the
            # log write waits: say it again until the terminal shows it.
            deadline = time.monotonic() + 30
            while b"still shown" not in p.output:
                self.assertLess(time.monotonic(), deadline, "the terminal stopped")
                sim.send(b"still shown")
                for _ in range(10):
                    p.pump(0.05)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(timeout=10), 1)
            self.assertEqual(bytes(p.stderr_data).lower().count(b"log"), 1, p.stderr_data)


    def test_an_events_file_whose_reader_stalls_does_not_hold_the_run(self):
        fifo = os.path.join(tempfile.mkdtemp(prefix="tvfifo-"), "events")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # opened, never read
        self.addCleanup(os.close, reader)
        text = "x" * 70000                     # the start event alone fills the pipe
        with Sim("--quiet") as sim:
            start = time.monotonic()
            rc, out, err = run(["-c", sim.link, "--send", text, "--events", fifo], tty=False)
            self.assertLess(time.monotonic() - start, 10)
        self.assertEqual(rc, 1, out + err)
        self.assertEqual(err.count(b"Cannot write the events file: "), 1, err)

class Floods(unittest.TestCase):
    def test_esc_and_ctrl_c_end_the_terminal_under_any_flood(self):
        for kind, key in (("tty", b"\x1b"), ("tty", b"\x03"), ("socket", b"\x1b"), ("rfc2217", b"\x03")):
            port = flooded_tty(self) if kind == "tty" else HostileServer("data").url(kind)
            with self.subTest(kind=kind, key=key), Program(["-c", port]) as p:
                p.expect(b"x" * 1000, timeout=20)
                p.keys(key)
                self.assertEqual(p.wait(timeout=10), 0)


class OneWayOut(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.events = os.path.join(self.work.path, "events.jsonl")

    def test_a_reader_that_has_gone_ends_nothing(self):
        # Standard output into `head -c 10`; the events on standard error,
        # whose reader has gone: the run goes on to its own end, the port is
        # put back as found.
        upload = self.work.file("notes.txt", b"notes")
        for gone, args, status in (("stdout", ["-d", upload, "--events", self.events], 0),
                                   ("stderr", ["--events", "-"], 1)):
            with self.subTest(gone=gone):
                port, slave, found = port_found_so(self)
                reader, writer = os.pipe()
                os.close(reader)
                streams = {"stdout": subprocess.DEVNULL, "stderr": subprocess.PIPE, gone: writer}
                proc = subprocess.run([TAMBORVINE, "-c", port, "-q"] + args, stdin=subprocess.DEVNULL, timeout=20,
                                      **streams)
                os.close(writer)
                self.assertEqual(proc.returncode, status)
                self.assertEqual(termios.tcgetattr(slave), found)
                if gone == "stdout":
                    self.assertEqual(proc.stderr.count(b"Cannot write standard output: "), 1, proc.stderr)
                    self.assertEqual(ends(self.events), [0])

    def test_a_signal_at_each_stage_ends_the_run_with_one_end_event(self):
        image = self.work.hex_words("big.hex", {a: a for a in range(0x2000)})
        target, idle, never_reads = boot_sim("--pace"), Sim(), HostileServer("negotiation")
        for sim in (target, idle):
            self.addCleanup(sim.close)
        stages = [(["-c", os.path.join(self.work.path, "nothing"), "--wait-port", "30"], None, signal.SIGTERM),
                  ([image, "-w", "-q", "-c", target.link], b"Flash erased", signal.SIGINT),
                  (["-c", idle.link], BANNER, signal.SIGHUP),
                  (["-c", never_reads.url("socket"), "-d", "/dev/zero"], b"send text file = ", signal.SIGTERM)]
        for args, shown, number in stages:
            with self.subTest(args=args), Program(args + ["--events", self.events]) as p:
                p.expect(shown) if shown else wait_until(lambda: os.path.exists(self.events) and ends(self.events) == [])
                p.proc.send_signal(number)
                self.assertEqual(p.wait(timeout=8), 128 + number)
                self.assertEqual(ends(self.events), [128 + number])

    def test_a_signal_while_the_last_event_waits_for_its_reader_is_no_second_way_out(self):
        fifo = os.path.join(self.work.path, "events")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        with Sim() as sim, Program(["-c", sim.link, "--events", fifo]) as p:
            p.expect(BANNER)
            stream = os.read(reader, 1 << 16)
            filler = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            fcntl.fcntl(filler, 1031, 4096)  # F_SETPIPE_SZ: one page, filled to its last byte here
            for size in (64, 1):
                try:
                    while os.write(filler, b"\n" * size):
                        pass
                except BlockingIOError:
                    pass
            os.close(filler)
            p.keys(b"\x1b")
            p.expect(b"Normal Exit")
            wait_until(lambda: waiting_in_poll(p.proc.pid), what="the end event waiting for room")
            p.proc.send_signal(signal.SIGTERM)
            while select.select([reader], [], [], 5)[0] and (chunk := os.read(reader, 1 << 16)):
                stream += chunk
            self.assertEqual(p.wait(), 0)
        with open(self.events, "wb") as f:
            f.write(b"\n".join(line for line in stream.split(b"\n") if line))
        self.assertEqual(ends(self.events), [0])

    def test_names_reach_messages_escaped_and_a_vanished_port_is_said_gone(self):
        odd = self.work.hex_words("fw\x1b[2J\x9b.hex", {0x100: 0x1234})
        with boot_sim() as sim:
            rc, out, _ = run([odd, "-c", sim.link, "-w", "-q"], tty=False)
        self.assertEqual(rc, 0, out)
        self.assertIn(b"fw<1b>[2J\xc2<9b>.hex", out)
        self.assertNotIn(b"\x1b", out)
        # The port vanishes while the verify waits for a page's checksum; the
        # second pass finds it gone.
        blank = self.work.hex_words("blank.hex", {a: 0xFFFF for a in range(0x200)})
        link = os.path.join(self.work.path, "adapter")
        with boot_sim("--silent", "l@3") as sim:
            os.symlink(sim.path, link)
            with Program([blank, "-e", blank, "-q", "-c", link], tty=False) as p:
                wait_until(lambda: len(sim.reported(r"^cmd \d+ l")) == 3, what="the third page's checksum asked")
                os.unlink(link)
                sim.command("hangup")
                self.assertEqual(p.wait(), 1)
        self.assertIn(b"Port " + link.encode() + b" is gone\n", bytes(p.stderr_data))
        self.assertNotIn(b"Bad file descriptor", bytes(p.stderr_data))


class Signals(unittest.TestCase):
    def test_stop_gives_the_keyboard_back_and_continue_takes_it_again(self):
        master, slave = pty.openpty()
        saved = termios.tcgetattr(slave)
        with Sim() as sim:
            # In a process group of its own within this session, as a shell
            # runs a job, so that the stop signal stops it.
            proc = subprocess.Popen([TAMBORVINE, "-c", sim.link], stdin=slave, stdout=slave,
                                    stderr=subprocess.DEVNULL, process_group=0)
            out = bytearray()

            def pump():
                import select
                while select.select([master], [], [], 0)[0]:
                    out.extend(os.read(master, 65536))

            try:
                wait_until(lambda: pump() or BANNER in out, what="banner")
                self.assertTrue(raw_keys(termios.tcgetattr(slave)))
                proc.send_signal(signal.SIGTSTP)
                wait_until(lambda: process_state(proc.pid) == "T", what="the stop")
                self.assertEqual(termios.tcgetattr(slave), saved)
                proc.send_signal(signal.SIGCONT)
                wait_until(lambda: raw_keys(termios.tcgetattr(slave)), what="raw keys again")
                sim.send(b"back again")
                wait_until(lambda: pump() or b"back again" in out, what="the terminal running")
                os.write(master, b"\x1b")
                self.assertEqual(proc.wait(timeout=10), 0)
                self.assertEqual(termios.tcgetattr(slave), saved)
            finally:
                end_raw_run(proc, master, slave)

    def test_signals_that_end_the_run(self):
        for number in (signal.SIGTERM, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM):
            with self.subTest(signal=number), Sim() as sim, Program(["-c", sim.link]) as p:
                p.expect(BANNER)
                p.proc.send_signal(number)
                self.assertEqual(p.wait(), 128 + number)
                self.assertEqual(p.terminal_settings(), p.saved)

    def test_a_signal_while_a_fifo_opens_is_not_swallowed(self):
        work = tempfile.mkdtemp(prefix="tvfifo-")
        upload, image = os.path.join(work, "upload"), os.path.join(work, "image.hex")
        for fifo in (upload, image):
            os.mkfifo(fifo)                     # no writer: the open waits
        with Sim() as sim, Program(["-c", sim.link]) as p:
            p.expect(BANNER)
            p.answer_prompt(upload.encode() + b"\r")
            p.keys(b"\x04")
            wait_until(lambda: opening_a_fifo(p.proc.pid), what="the upload opening its FIFO")
            p.proc.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(timeout=5), 128 + signal.SIGTERM)
            self.assertEqual(bytes(p.output).count(b"file name : "), 1)
            self.assertEqual(p.terminal_settings(), p.saved)
        with Sim() as sim, Program([image, "-c", sim.link, "-q"]) as p:
            p.expect(b"Down loading flash file:")
            wait_until(lambda: opening_a_fifo(p.proc.pid), what="the download opening its FIFO")
            p.proc.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(timeout=5), 128 + signal.SIGTERM)
            self.assertNotIn(b"ERROR", bytes(p.output))


class PortLeftAsFound(unittest.TestCase):
    def test_line_settings_are_put_back_on_every_way_out(self):
        missing = os.path.join(tempfile.mkdtemp(prefix="tvport-"), "missing.hex")
        ways_out = [
            ("Esc", [], b"\x1b", None, 0),
            ("Ctrl-C", [], b"\x03", None, 0),
            ("-q", ["-q"], b"", None, 0),
            ("fatal stop", [missing, "-q"], b"", None, 1),
            ("SIGTERM", [], b"", signal.SIGTERM, 128 + signal.SIGTERM),
        ]
        for name, args, key, number, status in ways_out:
            with self.subTest(way_out=name):
                port, slave, found = port_found_so(self)
                first = [a for a in args if a.endswith(".hex")]
                rest = [a for a in args if not a.endswith(".hex")]
                with Program(first + ["-c", port] + rest) as p:
                    if not args:
                        p.expect(BANNER)
                        self.assertNotEqual(termios.tcgetattr(slave), found)  # the program's own
                    if key:
                        p.keys(key)
                    if number:
                        p.proc.send_signal(number)
                    self.assertEqual(p.wait(), status)
                self.assertEqual(termios.tcgetattr(slave), found)


if __name__ == "__main__":
    unittest.main()

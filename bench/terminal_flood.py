#!/usr/bin/env python3
"""Terminal throughput: a flood source writes text lines and a binary
pattern into a pseudo-terminal as fast as it takes them, while tamborvine
shows them in each display mode (its output on a pseudo-terminal that is
drained here) with a log file. Prints MB/s per mode and checks that every
byte reached the screen and the log. For comparison the same raw text goes
through picocom in the same run.

VT_MODE also gets UTF-8 text (accents, the euro sign, box drawing), and
coloured lines: ended by CR alone and shown with --colors --log-time
--map-in crlf (the colours reach the screen, each CR starts a line, each
log line is tagged), against the same lines ended by CR LF and shown
without the options, so that both put the same lines on the screen (a
line feed is what a terminal's output costs most); picocom shows the CR
LF lines.

Usage: terminal_flood.py [--tamborvine PATH] [--megabytes N] [--binary-megabytes N]
"""
import argparse
import fcntl
import os
import pty
import re
import resource
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MODES = ["VT_MODE", "ASCII_HEX", "HEX_ONLY"]


def text_lines(size):
    out = bytearray()
    n = 0
    while len(out) < size:
        out += b"line %08d: the quick brown fox jumps over the lazy dog 0123456789\r\n" % n
        n += 1
    return bytes(out)


def utf8_lines(size):
    # Accented letters, the euro sign and box drawing: the characters from
    # 0x80 on that a target's text holds.
    out = bytearray()
    n = 0
    while len(out) < size:
        out += ("ligne %08d : déjà vu, 12,50 € ─┼─ ╔═╗ naïve façade\r\n" % n).encode()
        n += 1
    return bytes(out)


def binary_pattern(size):
    # Every byte value, in a stride that never puts '[' right after ESC, so
    # the VT100 subset sees only single controls and dropped escapes.
    block = bytes((i * 7) % 256 for i in range(256))
    out = (block * (size // 256 + 1))[:size]
    assert b"\x1b[" not in out and b"\x1bD" not in out and b"\x1bE" not in out
    return out


# ---- reference forms (no time tags) ---------------------------------------

def printable(b):
    return 32 <= b <= 126


def line_byte(b):
    return printable(b) or b in (10, 13)


def expected_hex_only(data):
    forms = [b" %02x" % b for b in range(256)]
    return b"".join(forms[b] for b in data), b"".join(forms[b] for b in data)


def expected_ascii_hex(data):
    screen = [bytes([b]) if line_byte(b) else b" <%02x>" % b for b in range(256)]
    log = [b"\r\n" if b == 10 else b"" if b == 13 else bytes([b]) if line_byte(b) else b" <%02x>\r\n" % b
           for b in range(256)]
    return b"".join(screen[b] for b in data), b"".join(log[b] for b in data)


def utf8_second_byte_range(lead):
    """(length, low, high) of a UTF-8 character opened by lead, or None."""
    if 0xC2 <= lead <= 0xDF:
        return 2, 0x80, 0xBF
    if 0xE0 <= lead <= 0xEF:
        return 3, 0xA0 if lead == 0xE0 else 0x80, 0x9F if lead == 0xED else 0xBF
    if 0xF0 <= lead <= 0xF4:
        return 4, 0x90 if lead == 0xF0 else 0x80, 0x8F if lead == 0xF4 else 0xBF
    return None


def expected_vt(data):
    # Ground-state forms only (the pattern holds no sequences that place the
    # cursor): ESC and the byte after it vanish. From 0x80 on, whole UTF-8
    # characters other than U+0080-U+009F pass; other bytes pass from 0xA0.
    screen = bytearray()
    log = bytearray()
    after_escape = False
    piece, length, low, high = bytearray(), 0, 0x80, 0xBF

    def strays(bytes_):
        screen.extend(x for x in bytes_ if x >= 0xA0)

    for b in data:
        log += b"\r\n" if b == 10 else b"" if b == 13 else bytes([b]) if line_byte(b) else b" <%02x>\r\n" % b
        if after_escape:
            after_escape = False
            continue
        if b >= 0x80:
            if piece and low <= b <= high:
                piece.append(b)
                low, high = 0x80, 0xBF
                if len(piece) == length:
                    if not (piece[0] == 0xC2 and piece[1] < 0xA0):
                        screen += piece
                    piece = bytearray()
                continue
            strays(piece)
            piece = bytearray()
            opened = utf8_second_byte_range(b)
            if opened:
                length, low, high = opened
                piece.append(b)
            else:
                strays([b])
            continue
        strays(piece)
        piece = bytearray()
        if b == 27:
            after_escape = True
        elif b in (8, 9, 13) or b >= 32:
            screen.append(b)
        elif b in (10, 11, 12):
            screen.append(10)
    return bytes(screen), bytes(log)


EXPECTED = {"VT_MODE": expected_vt, "ASCII_HEX": expected_ascii_hex, "HEX_ONLY": expected_hex_only}

# ---- coloured lines ended by CR, plainly and with the options ---------------

OPTIONS = ["--colors", "--log-time", "--map-in", "crlf"]
GREEN, NORMAL = b"\x1b[32m", b"\x1b[0m"
LOG_TAG = re.compile(rb"(?m)^[ 12]\d:[0-5]\d:[0-6]\d\.\d\d =")


def coloured_lines(size, end=b"\r"):
    out = bytearray()
    n = 0
    while len(out) < size:
        out += GREEN + b"line %08d: the quick brown fox jumps over the lazy dog" % n + NORMAL + end
        n += 1
    return bytes(out)


def line_texts(data):
    return [line[len(GREEN):-len(NORMAL)] for line in data.replace(b"\r\n", b"\r").split(b"\r")[:-1]]


def expected_plain(data):
    # CR LF lines: the subset drops the SGR; the CR logs nothing.
    lines = line_texts(data)
    return (b"".join(t + b"\r\n" for t in lines),
            b"".join(b" <1b>\r\n[32m" + t + b" <1b>\r\n[0m\r\n" for t in lines))


def expected_with_options(data):
    # The SGR reaches the screen, each CR is a line feed; the log's lines
    # each begin with a time tag, taken off before the comparison.
    lines = line_texts(data)
    return (b"".join(GREEN + t + NORMAL + b"\n" for t in lines),
            b"".join(b" <1b>\r\n[32m" + t + b" <1b>\r\n[0m\r\n" for t in lines))


# ---- plumbing -------------------------------------------------------------

def open_line():
    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[0] = attrs[1] = attrs[3] = 0  # raw until the program sets it up
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return master, slave, os.ttyname(slave)


def open_screen(cols=80, rows=24):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
    return master, slave


class Drain:
    """Reads a pseudo-terminal's master side into memory."""

    def __init__(self, fd):
        self.fd = fd
        self.data = bytearray()

    def pump(self, timeout):
        r, _, _ = select.select([self.fd], [], [], timeout)
        if not r:
            return 0
        try:
            chunk = os.read(self.fd, 1 << 20)
        except OSError:
            return 0
        self.data += chunk
        return len(chunk)

    def until(self, pred, timeout):
        deadline = time.monotonic() + timeout
        while not pred():
            if time.monotonic() > deadline:
                raise RuntimeError("timed out; last output %r" % bytes(self.data[-300:]))
            self.pump(0.05)


def flood(fd, data):
    view = memoryview(data)
    while view:
        n = os.write(fd, view[:65536])
        view = view[n:]


def measure(drain, line_master, data, screen_start, expected_len, timeout=300):
    writer = threading.Thread(target=flood, args=(line_master, data))
    start = time.monotonic()
    writer.start()
    drain.until(lambda: len(drain.data) - screen_start >= expected_len, timeout)
    elapsed = time.monotonic() - start
    writer.join()
    return elapsed


def run_tamborvine(binary, mode, payload, tmp, options=(), expected=None):
    line_master, line_slave, line_path = open_line()
    screen_master, screen_slave = open_screen()
    log_path = os.path.join(tmp, "flood-%s.log" % mode)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.Popen([binary, "-c", line_path, "-l", log_path] + list(options), stdin=screen_slave,
                            stdout=screen_slave, stderr=subprocess.DEVNULL, start_new_session=True)
    drain = Drain(screen_master)
    try:
        drain.until(lambda: b"ESC to exit" in drain.data, 20)
        for _ in range(MODES.index(mode)):
            marker = len(drain.data)
            os.write(screen_master, b"\x01")
            drain.until(lambda: b"hex mode = " in drain.data[marker:], 20)
        drain.until(lambda: drain.data.endswith(b"\r\n"), 20)
        screen_expected, log_expected = (expected or EXPECTED[mode])(payload)
        screen_expected = screen_expected.replace(b"\n", b"\r\n")  # the screen's own output processing
        screen_start = len(drain.data)
        elapsed = measure(drain, line_master, payload, screen_start, len(screen_expected))
        os.write(screen_master, b"\x1b")
        drain.until(lambda: b"Normal Exit" in drain.data[screen_start:], 30)
        proc.wait(timeout=30)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        screen = bytes(drain.data[screen_start:])
        screen_ok = screen.startswith(screen_expected)
        with open(log_path, "rb") as f:
            log = f.read()
        log_ok = (LOG_TAG.sub(b"", log) if "--log-time" in options else log) == log_expected
        return elapsed, screen_ok, log_ok, cpu
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        for fd in (line_master, line_slave, screen_master, screen_slave):
            os.close(fd)


def run_picocom(text):
    """picocom showing text (as it comes: it interprets nothing)."""
    picocom = shutil.which("picocom")
    if picocom is None:
        return None
    line_master, line_slave, line_path = open_line()
    screen_master, screen_slave = open_screen()
    proc = subprocess.Popen([picocom, "-q", "--nolock", "--noreset", "-b", "9600", line_path],
                            stdin=screen_slave, stdout=screen_slave, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    drain = Drain(screen_master)
    try:
        time.sleep(0.5)  # picocom prints nothing under -q; give it time to set up
        while drain.pump(0.05):
            pass
        screen_start = len(drain.data)
        elapsed = measure(drain, line_master, text, screen_start, len(text))
        ok = bytes(drain.data[screen_start:]).startswith(text)
        os.write(screen_master, b"\x01\x18")  # C-a C-x: exit
        proc.wait(timeout=10)
        return elapsed, ok
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        for fd in (line_master, line_slave, screen_master, screen_slave):
            os.close(fd)


def compare_options(binary, payload, tmp, rounds=5):
    """The coloured lines plainly (ended by CR LF) and with the options
    (ended by CR), in turns: the best rate of each (a shared machine slows
    single runs at random), and the least processor time the program took
    for them (its whole run: set-up, the flood, the end). Returns the
    failures."""
    plain = payload.replace(b"\r", b"\r\n")
    variants = ((plain, [], expected_plain), (payload, OPTIONS, expected_with_options))
    best = [0.0, 0.0]
    cpu = [float("inf"), float("inf")]
    failures = 0
    for _ in range(rounds):
        for i, (data, options, expected) in enumerate(variants):
            elapsed, screen_ok, log_ok, used = run_tamborvine(binary, "VT_MODE", data, tmp, options, expected)
            best[i] = max(best[i], len(data) / elapsed / 1e6)
            cpu[i] = min(cpu[i], used)
            failures += (not screen_ok) + (not log_ok)
    for (data, options, _), rate, used in zip(variants, best, cpu):
        print("VT_MODE   %-7s : %7.1f MB/s  (%.2f MB, best of %d; %.2f s of processor)  %s"
              % ("colours", rate, len(data) / 1e6, rounds, used, " ".join(options) if options else "CR LF lines"))
    print("          the options cost %.1f %% of the plain rate, %.1f %% more processor time%s"
          % (100.0 * (1 - best[1] / best[0]), 100.0 * (cpu[1] / cpu[0] - 1), "" if not failures else "  BYTES LOST"))
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tamborvine", default=os.environ.get(
        "TAMBORVINE", os.path.join(HERE, "..", "build", "release", "tamborvine")))
    ap.add_argument("--megabytes", type=float, default=4.0)
    ap.add_argument("--binary-megabytes", type=float, default=1.0)
    args = ap.parse_args()

    text = text_lines(int(args.megabytes * 1e6))
    binary = binary_pattern(int(args.binary_megabytes * 1e6))
    utf8 = utf8_lines(int(args.megabytes * 1e6))
    coloured = coloured_lines(int(args.megabytes * 1e6))
    failures = 0
    with tempfile.TemporaryDirectory(prefix="tvbench-") as tmp:
        for name, payload in (("text", text), ("colours", coloured.replace(b"\r", b"\r\n"))):
            result = run_picocom(payload)
            if result is None:
                print("picocom   %-7s : not installed" % name)
                continue
            elapsed, ok = result
            print("picocom   %-7s : %7.1f MB/s  (%.2f MB in %.2f s)%s"
                  % (name, len(payload) / elapsed / 1e6, len(payload) / 1e6, elapsed, "" if ok else "  BYTES LOST"))
        failures += compare_options(args.tamborvine, coloured, tmp)
        for mode in MODES:
            payloads = [("text", text), ("binary", binary)]
            if mode == "VT_MODE":
                payloads.append(("utf8", utf8))
            for name, payload in payloads:
                elapsed, screen_ok, log_ok, _ = run_tamborvine(args.tamborvine, mode, payload, tmp)
                rate = len(payload) / elapsed / 1e6
                verdict = "screen %s, log %s" % ("complete" if screen_ok else "BYTES LOST",
                                                 "complete" if log_ok else "BYTES LOST")
                print("%-9s %-7s : %7.1f MB/s  (%.2f MB in %.2f s)  %s"
                      % (mode, name, rate, len(payload) / 1e6, elapsed, verdict))
                failures += (not screen_ok) + (not log_ok)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""The emulated chips with their real bootloaders: the ATmega128 with
tamborvine's own, and a small speaker of its dialogue, for the firmware
tests; the boards with a stock bootloader (Debian's builds) and avrdude.

Paths come from TAMBORVINE_BUILD (set by ctest): the emulator and the
firmware images live in its firmware/ folder. The stock bootloaders come
from Debian's packages, where TAMBORVINE_BOOTLOADER_<CHIP> does not name
another file.
"""
import fcntl
import os
import random
import re
import select
import struct
import subprocess
import tempfile
import time
import tty
import zlib

from boot_support import checksum as page_checksum
from harness import BUILD, ReportingProcess, write_to_reader

FIRMWARE = os.path.join(BUILD, "firmware")
EMULATOR = os.path.join(FIRMWARE, "tamborvine-avr")
BOOTLOADER_HEX = os.path.join(FIRMWARE, "bootloader.hex")
APP_HEX = os.path.join(FIRMWARE, "zelmo.hex")
SECOND_APP_HEX = os.path.join(FIRMWARE, "zelmo-second.hex")

PAGE_WORDS = 128
BOOT_START_WORD = 0xFC00
APPLICATION_PAGES = BOOT_START_WORD // PAGE_WORDS
FLASH_WORDS = 0x10000
BOOT_RATE = 19200
APP_RATE = 9600
GREETING = b"zelmo example application\r\n"
SECOND_GREETING = b"zelmo example application, second image\r\n"


def firmware_built():
    return all(os.path.exists(p) for p in (EMULATOR, BOOTLOADER_HEX, APP_HEX, SECOND_APP_HEX))


class Board:
    """A board with a stock bootloader: the chip, the bootloader's file,
    avrdude's name for the part, and the rate of both the bootloader and
    the example application."""

    RATE = 115200

    def __init__(self, chip, bootloader, part):
        self.chip = chip
        self.bootloader = os.environ.get("TAMBORVINE_BOOTLOADER_" + chip.upper(), bootloader)
        self.part = part

    def app(self, variant="115200"):
        return os.path.join(FIRMWARE, "echo-%s-%s.hex" % (self.chip, variant))

    def greeting(self, rate=RATE):
        return b"\r\necho example application, %s at %d baud" % (self.chip.encode(), rate)

    def ready(self):
        return firmware_built() and os.path.exists(self.bootloader) and os.path.exists(self.app())


BOARDS = (
    Board("atmega328p", "/usr/share/arduino/hardware/arduino/avr/bootloaders/optiboot/optiboot_atmega328.hex",
          "m328p"),
    Board("atmega1284p", "/usr/share/arduino/hardware/mighty-1284p/bootloaders/optiboot/optiboot_atmega1284p.hex",
          "m1284p"),
)


# ---- Intel HEX --------------------------------------------------------------

def read_hex(path):
    """Word address -> word for every word a HEX file touches (missing
    bytes of a touched word read 0xFF)."""
    data = read_hex_bytes(path)
    words = {}
    for addr in {a >> 1 for a in data}:
        words[addr] = data.get(2 * addr, 0xFF) | (data.get(2 * addr + 1, 0xFF) << 8)
    return words


def read_hex_bytes(path):
    """Byte address -> byte for every byte a HEX file holds."""
    data = {}
    base = 0
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            raw = bytes.fromhex(line[1:])
            count, offset, kind = raw[0], (raw[1] << 8) | raw[2], raw[3]
            body = raw[4:4 + count]
            if kind == 0:
                for i, b in enumerate(body):
                    data[base + offset + i] = b
            elif kind == 2:
                base = ((body[0] << 8) | body[1]) << 4
            elif kind == 4:
                base = ((body[0] << 8) | body[1]) << 16
    return data


def write_hex(path, words):
    """Writes word address -> word as Intel HEX, 16 bytes a record."""
    data = {}
    for addr, w in words.items():
        data[2 * addr] = w & 0xFF
        data[2 * addr + 1] = w >> 8
    lines = []
    upper = None
    addrs = sorted(data)
    i = 0
    while i < len(addrs):
        start = addrs[i]
        run = [data[start]]
        while (i + len(run) < len(addrs) and addrs[i + len(run)] == start + len(run) and len(run) < 16
               and (start + len(run)) & 0xFFFF != 0):
            run.append(data[start + len(run)])
        if start >> 16 != upper:
            upper = start >> 16
            lines.append(_record(0, 4, bytes([upper >> 8, upper & 0xFF])))
        lines.append(_record(start & 0xFFFF, 0, bytes(run)))
        i += len(run)
    lines.append(_record(0, 1, b""))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def _record(offset, kind, body):
    raw = bytes([len(body), offset >> 8, offset & 0xFF, kind]) + body
    return ":" + (raw + bytes([(-sum(raw)) & 0xFF])).hex().upper()


def random_words(first, count, seed):
    rng = random.Random(seed)
    return {first + i: rng.randrange(0x10000) for i in range(count)}


def page_bytes(words):
    return b"".join(bytes([w & 0xFF, w >> 8]) for w in words)


def page_hash(words):
    """The bootloader's page hash: the CRC-32 of the page's bytes, most
    significant byte first."""
    return zlib.crc32(page_bytes(words)).to_bytes(4, "big")


# ---- the emulated chip --------------------------------------------------------

class Emulator(ReportingProcess):
    """tamborvine-avr with the bootloader, optionally an application: the
    ATmega128 with tamborvine's bootloader, or a Board."""

    name = "emulator"

    def __init__(self, app=None, speed=None, trace=False, board=None, options=(), ahead=None):
        self.tmp = tempfile.mkdtemp(prefix="tvavr-")
        self.link = os.path.join(self.tmp, "port")
        self.flash_path = os.path.join(self.tmp, "flash.bin")
        cmd = [EMULATOR, "--link", self.link, "--flash-out", self.flash_path] + list(options)
        if app:
            cmd += ["--app", app]
        if speed:
            cmd += ["--speed", str(speed)]
        if trace:
            cmd.append("--trace")
        cmd += ["--chip", board.chip, board.bootloader] if board else [BOOTLOADER_HEX]
        # A board runs ahead of the machine's load, as avrdude beside it
        # does: on a pseudo-terminal avrdude cannot pulse a reset, so the
        # one reset at its open must find the bootloader keeping pace with
        # its tries (a starved board once answered none of the ten). The
        # ATmega128 lets its time fall behind instead, so that its
        # bootloader's window stays open for a program the load slows
        # (unless the test runs that program ahead too).
        self.ahead = board is not None if ahead is None else ahead
        self.start(cmd)
        if not self.path:
            raise AssertionError("emulator did not start: %r" % self.proc.stderr.read())

    def dump(self, what="dump"):
        """The flash ("dump") or the EEPROM ("dump-eeprom") as it is now."""
        path = os.path.join(self.tmp, what + ".bin")
        n = len(self.lines)
        self.command("%s %s" % (what, path))
        self.wait_line(r"^dumped ", start=n)
        with open(path, "rb") as f:
            return f.read()

    def flash_words(self):
        """The emulated flash, word by word, as it is now."""
        n = len(self.lines)
        self.command("flash")
        self.wait_line(r"^flash written", start=n)
        with open(self.flash_path, "rb") as f:
            raw = f.read()
        assert len(raw) == 2 * FLASH_WORDS, len(raw)
        return [raw[2 * i] | (raw[2 * i + 1] << 8) for i in range(FLASH_WORDS)]

    def state(self):
        """The chip's state report now (its cycle count, how far it fell behind the wall clock)."""
        n = len(self.lines)
        self.command("state")
        return self.wait_line(r"^state .* cycle (\d+)", start=n)

    def cycle(self):
        """The chip's cycle count now."""
        return int(self.state().group(1))

    def traced(self, start=0):
        """With trace: (cycle, 'host' or 'chip', byte) for every byte that
        crossed the line, from report number start on."""
        rx = re.compile(r"^line (\d+) (host|chip) ([0-9a-f]{2})$")
        with self.cond:
            found = (rx.match(line) for line in self.lines[start:])
            return [(int(m.group(1)), m.group(2), int(m.group(3), 16)) for m in found if m]

    def close(self):
        self.forget_link()
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(timeout=5)
            except (BrokenPipeError, OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Line:
    """Our own end of the emulated chip's serial line, raw 8-N-1."""

    def __init__(self, path, rate):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.set_rate(rate)

    # struct termios2 (Linux): four flag words, the line discipline, 19
    # control characters, the input and output rates.
    _TERMIOS2 = struct.Struct("=4IB19s2I")
    _TCGETS2, _TCSETS2 = 0x802C542A, 0x402C542B
    _CBAUD, _BOTHER = 0o010017, 0o010000

    def set_rate(self, rate):
        """Any rate, as the host program sets it."""
        raw = fcntl.ioctl(self.fd, self._TCGETS2, bytes(self._TERMIOS2.size))
        iflag, oflag, cflag, lflag, line, cc, _, _ = self._TERMIOS2.unpack(raw)
        cflag = (cflag & ~self._CBAUD) | self._BOTHER
        fcntl.ioctl(self.fd, self._TCSETS2, self._TERMIOS2.pack(iflag, oflag, cflag, lflag, line, cc, rate, rate))

    def send(self, data):
        write_to_reader(self._send_all, data)

    def _send_all(self, data):
        while data:
            try:
                n = os.write(self.fd, data)
            except BlockingIOError:
                select.select([], [self.fd], [], 0.1)
                continue
            data = data[n:]

    def read(self, count, timeout=2.0):
        """Up to count bytes, whatever came within timeout."""
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([self.fd], [], [], left)
            if r:
                try:
                    out += os.read(self.fd, count - len(out))
                except BlockingIOError:
                    pass
        return out

    def read_until(self, needle, timeout=5.0):
        out = b""
        deadline = time.monotonic() + timeout
        while needle not in out and time.monotonic() < deadline:
            out += self.read(1, deadline - time.monotonic())
        return out

    def discard(self):
        """Throws away what has come so far."""
        while select.select([self.fd], [], [], 0)[0]:
            try:
                if not os.read(self.fd, 4096):
                    return
            except BlockingIOError:
                return

    def ask(self, data, count, timeout=2.0):
        self.send(data)
        return self.read(count, timeout)

    def close(self):
        os.close(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Dialogue:
    """The bootloader's commands as the download host speaks them."""

    def __init__(self, line):
        self.line = line

    def erase(self):
        """'e' where the host sends it: right after the identification."""
        assert self.line.ask(b"Vt", 4) == b"11\x44\x00"
        return self.line.ask(b"e", 1, timeout=10.0)

    def write_page(self, start, words, checksum=None):
        """Sends one host page; returns the bootloader's answer."""
        assert len(words) == PAGE_WORDS
        if self.line.ask(b"A" + bytes([start >> 8, start & 0xFF]), 1) != b"\r":
            raise AssertionError("address 0x%04x not taken" % start)
        if checksum is None:
            checksum = page_checksum(start, words)
        return self.line.ask(b"Dkk" + page_bytes(words) + checksum, 1, timeout=5.0)

    def flash_checksum(self, start):
        if self.line.ask(b"A" + bytes([start >> 8, start & 0xFF]), 1) != b"\r":
            raise AssertionError("address 0x%04x not taken" % start)
        return self.line.ask(b"Dll", 4)

    def hashes(self, first, count):
        """'H' for count device pages from first: the answer, up to its
        whole length."""
        return self.line.ask(b"H" + struct.pack(">HH", first, count), 4 * count + 1, timeout=5.0)

    def write_image(self, words):
        """Writes word address -> word the way the host does: pages of 128
        words from the lowest address, the last one padded with 0xFFFF."""
        lo, hi = min(words), max(words) + 1
        start = lo
        while start <= hi:
            page = [words.get(start + i, 0xFFFF) for i in range(PAGE_WORDS)]
            answer = self.write_page(start, page)
            if answer != b"\r":
                raise AssertionError("page 0x%04x answered %r" % (start, answer))
            start += PAGE_WORDS

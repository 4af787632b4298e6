"""The simulated target's own features, driven directly: the page hash
command, the RFC 2217 endpoint through pyserial's client, and the wire
pacing at 1,000,000 baud."""
import random
import struct
import sys
import time
import unittest
import warnings
import zlib

try:
    import serial
except ImportError:  # an interpreter of its own (pyenv, venv) beside Debian's python3-serial
    sys.path.append("/usr/lib/python3/dist-packages")
    import serial

# The client's thread set-up uses calls newer interpreters call deprecated.
warnings.filterwarnings("ignore", category=DeprecationWarning, module="serial.rfc2217")

from boot_support import Workdir, checksum
from harness import Sim

PAGE_BYTES = 256
APPLICATION_PAGES = 504
BLANK_PAGE = b"\xff" * PAGE_BYTES


def hash_request(first, count):
    return b"H" + struct.pack(">HH", first, count)


def hash_answer(pages):
    return b"".join(struct.pack(">I", zlib.crc32(page)) for page in pages) + b"\r"


def read_exactly(port, count, timeout=5.0):
    data = bytearray()
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        data.extend(port.read(count - len(data)))
    return bytes(data)


def page_write(start, words):
    data = b"".join(struct.pack("<H", w) for w in words)
    return b"A" + struct.pack(">H", start), b"Dkk" + data + checksum(start, words)


class PageHash(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        rng = random.Random(14)
        self.programmed = bytes(rng.randrange(256) for _ in range(PAGE_BYTES))
        swapped = bytearray(self.programmed)
        swapped[6:8], swapped[8:10] = self.programmed[8:10], self.programmed[6:8]  # words 3 and 4
        self.swapped = bytes(swapped)
        flash = bytearray(b"\xff" * 0x20000)
        flash[0:PAGE_BYTES] = self.programmed  # page 0; page 1 stays blank
        flash[2 * PAGE_BYTES:3 * PAGE_BYTES] = self.swapped
        flash[503 * PAGE_BYTES:504 * PAGE_BYTES] = self.programmed  # the last application page
        self.flash = bytes(flash)
        self.image = self.work.file("flash.bin", self.flash)

    def pages(self, flash, first, count):
        return [flash[p * PAGE_BYTES:(p + 1) * PAGE_BYTES] for p in range(first, first + count)]

    def test_hashes_of_programmed_blank_and_swapped_pages_and_the_range_limits(self):
        with Sim("--target", "--boot", "--load", self.image) as sim, \
                serial.Serial(sim.link, 19200, timeout=0.3) as port:
            port.write(hash_request(0, 3))
            answer = read_exactly(port, 13)
            self.assertEqual(answer, hash_answer([self.programmed, BLANK_PAGE, self.swapped]))
            self.assertNotEqual(answer[0:4], answer[8:12])  # swapped words tell apart
            cases = [
                (hash_request(0, APPLICATION_PAGES), hash_answer(self.pages(self.flash, 0, APPLICATION_PAGES))),
                (hash_request(0, 0), b"\r"),  # whether the command is known
                (hash_request(503, 1), hash_answer([self.programmed])),
                (hash_request(503, 2), b"?"),
                (hash_request(504, 1), b"?"),
                (hash_request(1, 0xFFFF), b"?"),
            ]
            for request, expected in cases:
                with self.subTest(request=request.hex()):
                    port.write(request)
                    self.assertEqual(read_exactly(port, len(expected)), expected)
            self.assertEqual(port.read(1), b"")  # and nothing more
            self.assertEqual([c for c in sim.commands() if c[1] == "H"],
                             [(19200, "H", "0 3"), (19200, "H", "0 504"), (19200, "H", "0 0"),
                              (19200, "H", "503 1"), (19200, "H", "503 2 out-of-range"),
                              (19200, "H", "504 1 out-of-range"), (19200, "H", "1 65535 out-of-range")])

    def test_a_page_written_without_erase_leaves_exactly_the_words_sent(self):
        words = [0x1000 + i for i in range(128)]
        start = 0x40  # across device pages 0 (programmed) and 1 (blank)
        address, page = page_write(start, words)
        with Sim("--target", "--boot", "--load", self.image) as sim, \
                serial.Serial(sim.link, 19200, timeout=0.3) as port:
            port.write(address)
            self.assertEqual(read_exactly(port, 1), b"\r")
            port.write(page)
            self.assertEqual(read_exactly(port, 1), b"\r")
            expected = bytearray(self.flash)
            expected[2 * start:2 * start + 256] = page[3:3 + 256]
            self.assertEqual(sim.dump_flash(), bytes(expected))
            stats = sim.stats()
            self.assertEqual((stats["pages"], stats["erases"], stats["device_writes"], stats["device_erases"]),
                             (1, 0, 2, 1))
            port.write(hash_request(0, 2))
            self.assertEqual(read_exactly(port, 9), hash_answer(self.pages(expected, 0, 2)))

    def test_a_bootloader_without_the_hash_command_answers_it_as_unknown(self):
        with Sim("--target", "--boot", "--no-hash") as sim, serial.Serial(sim.link, 19200, timeout=0.3) as port:
            port.write(hash_request(0, 0))
            self.assertEqual(read_exactly(port, 5), b"?????")  # 'H', then each argument byte
            self.assertEqual(port.read(1), b"")
            port.write(b"p")
            self.assertEqual(read_exactly(port, 1), b"S")
            self.assertEqual([c[1:] for c in sim.commands()],
                             [("unknown", "48")] + [("unknown", "00")] * 4 + [("p", "")])


class NetworkEndpoint(unittest.TestCase):
    def connect(self, sim, rate):
        return serial.serial_for_url("rfc2217://127.0.0.1:%d" % sim.network_port(), baudrate=rate, timeout=0.3)

    def test_rates_reach_the_line_and_every_byte_value_passes_both_ways(self):
        everything = bytes(range(256))
        with Sim("--echo", "--rfc2217", "0") as sim:
            client = self.connect(sim, 57600)
            try:
                self.assertEqual(sim.rate(), 57600)
                client.write(everything)
                self.assertEqual(read_exactly(client, 256), everything)
                client.baudrate = 1000000
                self.assertEqual(sim.rate(), 1000000)
                client.write(b"\xff\r\x00")
                self.assertEqual(read_exactly(client, 3), b"\xff\r\x00")
                sim.wait_received(len(everything) + 3)  # the report may come after the echo
                self.assertEqual(sim.received(), [(57600, b) for b in everything] + [(1000000, 0xFF), (1000000, 13), (1000000, 0)])
                # While the client holds the line, what the pseudo-terminal
                # brings does not reach the target.
                with serial.Serial(sim.link, 9600, timeout=0.3) as pty:
                    pty.write(b"zz")
                    sim.wait_line(r"^ignored 9600 7a 7a$")
                    self.assertEqual(pty.read(2), b"")
            finally:
                client.close()
            sim.wait_line(r"^rfc2217 closed$")
            with serial.Serial(sim.link, 38400, timeout=2) as pty:
                pty.write(b"ok")
                self.assertEqual(read_exactly(pty, 2), b"ok")

    def test_a_pulse_on_dtr_or_rts_resets_the_target_into_its_bootloader_for_a_second(self):
        with Sim("--target", "--no-wake", "--rfc2217", "0") as sim:
            client = self.connect(sim, 9600)
            try:
                # The application answers neither the wake-up nor the bootloader.
                client.write(b"Mancb33cbp")
                self.assertEqual(client.read(16), b"")
                client.baudrate = 19200
                client.dtr = True
                client.dtr = False
                sim.wait_line(r"^cmd 19200 reset dtr$")
                client.write(b"p")
                self.assertEqual(read_exactly(client, 1), b"S")
                # A command came within the window: the bootloader stays.
                time.sleep(1.2)
                client.write(b"p")
                self.assertEqual(read_exactly(client, 1), b"S")
                # Nothing within the window: the application starts.
                client.rts = True
                client.rts = False
                sim.wait_line(r"^cmd 19200 reset rts$")
                sim.wait_line(r"^cmd 19200 boot-timeout$", timeout=5)
                # It greets as it starts, garbled at the rate the line is at.
                sim.wait_line(r"^cmd 19200 greeting-garbled$")
                client.write(b"p")
                sim.wait_line(r"^lost 19200 70 \(listening at 9600\)$")
            finally:
                client.close()


class Pacing(unittest.TestCase):
    def test_replies_at_1000000_baud_never_come_before_the_wire_and_the_chip_allow(self):
        byte = 10e-6  # 10 bits at 1,000,000 baud
        words = list(range(128))
        address, page = page_write(0, words)
        # request, reply length, the chip's work before the reply's last bytes
        exchanges = [(address, 1, 0.0), (page, 1, 4.5e-3),
                     (hash_request(0, APPLICATION_PAGES), 4 * APPLICATION_PAGES + 1, 1.6e-3 + 503 * 60e-6)]
        with Sim("--target", "--boot", "--boot-rate", "1000000", "--pace") as sim, \
                serial.Serial(sim.link, 1000000, timeout=2) as port:
            for request, reply_length, work in exchanges:
                start = time.monotonic()
                port.write(request)
                reply = read_exactly(port, reply_length)
                elapsed = time.monotonic() - start
                self.assertEqual(len(reply), reply_length)
                last_bytes = min(reply_length, 5) * byte
                bound = len(request) * byte + max(reply_length * byte, work + last_bytes)
                self.assertGreaterEqual(elapsed, bound - byte / 2, request[:1])
            self.assertEqual({c[0] for c in sim.commands()}, {1000000})
            self.assertEqual(sim.reported(r"^lost"), [])

    def test_a_program_that_stops_reading_for_half_a_second_loses_no_byte(self):
        # As a real port's driver, the line holds more than a pseudo-terminal
        # does; a starved program then re-read blocks another run did not.
        with Sim("--target", "--boot", "--boot-rate", "1000000", "--pace") as sim, \
                serial.Serial(sim.link, 1000000, timeout=2) as port:
            port.write(b"G" + struct.pack(">HH", 0, APPLICATION_PAGES))
            time.sleep(0.5)  # the program that does not read, not a wait for the simulator
            answer = read_exactly(port, APPLICATION_PAGES * (PAGE_BYTES + 4) + 1)
        blocks = [answer[i:i + PAGE_BYTES + 4] for i in range(0, len(answer) - 1, PAGE_BYTES + 4)]
        self.assertEqual([struct.pack(">I", zlib.crc32(b[:PAGE_BYTES])) for b in blocks],
                         [b[PAGE_BYTES:] for b in blocks])
        self.assertEqual((len(blocks), answer[-1:]), (APPLICATION_PAGES, b"\r"))


if __name__ == "__main__":
    unittest.main()

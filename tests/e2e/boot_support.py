"""Helpers for the download tests: Intel HEX files made to order, the
wire bytes of the page exchange, and a run of the program against the
full simulated target."""
import os
import tempfile

from harness import Sim, run

TRANSLATED = b"Translation complete!\r\n"
IDENTIFY = b"pSvVt"
# Said instead of sending 'E' when the verify failed.
STAYS = b"Verify failed: application not started, the board stays in its bootloader\r\n"


def hex_record(address, data, kind=0):
    body = [len(data), (address >> 8) & 0xFF, address & 0xFF, kind] + list(data)
    return ":" + "".join("%02X" % b for b in body + [(-sum(body)) & 0xFF]) + "\n"


def intel_hex(chunks):
    """chunks: {byte address: bytes}. Extended linear address records where
    the data cross 64 KiB."""
    lines, upper = [], 0
    for start in sorted(chunks):
        data = chunks[start]
        for offset in range(0, len(data), 16):
            address = start + offset
            piece = data[offset:offset + 16]
            if address >> 16 != upper:
                upper = address >> 16
                lines.append(hex_record(0, [upper >> 8, upper & 0xFF], 4))
            lines.append(hex_record(address & 0xFFFF, piece))
    lines.append(":00000001FF\n")
    return "".join(lines)


def words_to_bytes(words):
    """{word address: value} -> {byte address: bytes}"""
    return {2 * a: bytes([v & 0xFF, v >> 8]) for a, v in words.items()}


class Workdir:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="tvboot-")

    def file(self, name, content):
        path = os.path.join(self.path, name)
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(path, mode) as f:
            f.write(content)
        return path

    def hex_words(self, name, words):
        return self.file(name, intel_hex(words_to_bytes(words)))


def checksum(page_start, words):
    """Sum high, sum low, XOR high, XOR low of the page start and its words."""
    total, xor = page_start & 0xFFFF, page_start & 0xFFFF
    for w in words:
        total = (total + w) & 0xFFFF
        xor ^= w
    return bytes([total >> 8, total & 0xFF, xor >> 8, xor & 0xFF])


def page_words(image, page_start, hi_addr, per_page=128):
    """The words the program sends for a page, filler past hi_addr."""
    out = []
    for i in range(per_page):
        a = page_start + i
        out.append(image.get(a, 0xFFFF) if a <= hi_addr else 0xFFFF)
    return out


def write_page_bytes(image, page_start, hi_addr):
    words = page_words(image, page_start, hi_addr)
    data = b"".join(bytes([w & 0xFF, w >> 8]) for w in words)
    return (b"A" + bytes([page_start >> 8, page_start & 0xFF]) + b"Dkk" + data + checksum(page_start, words))


def verify_page_bytes(page_start):
    return b"A" + bytes([page_start >> 8, page_start & 0xFF]) + b"Dll"


def download(sim, hex_path, *flags, timeout=60.0):
    """Runs the program with -q against the sim; returns (rc, console after
    the reader's lines, whole output, stderr)."""
    rc, out, err = run([hex_path, "-c", sim.link, "-q"] + list(flags), tty=False, timeout=timeout)
    after = out.split(TRANSLATED, 1)[1] if TRANSLATED in out else None
    return rc, after, out, err


def boot_sim(*args):
    """The full target, already in its bootloader at 19200."""
    return Sim("--target", "--boot", *args)

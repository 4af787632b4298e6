"""A byte lost on the line never makes the bootloader destroy. Every byte of
the host's stream of real downloads (verify-only, write, incremental write)
is dropped in turn and the rest replayed, burst by burst as the host sent
it, to the emulated chip on a 1 MHz clock (its waits hold in emulated time
and run faster than the wall clock); of a page's words, which the
bootloader only counts, one byte in WORD_BYTES_STRIDE. And the real
program, with a byte dropped at the key places of the dialogue, never says
SUCCESS when the flash is not the image."""
import os
import re
import unittest

from avr_target import FIRMWARE, PAGE_WORDS, Board, Emulator, Line, firmware_built, page_bytes, random_words
from boot_support import Workdir, checksum
from harness import run

FAST_BOOTLOADER = os.path.join(FIRMWARE, "bootloader-1mhz.hex")
FAST_CLOCK, FAST_RATE = 1000000, 62500
# Past every wait of the bootloader (50 ms, then 30 ms of quiet); a reply
# that took long to come in the real run (the erase) is waited for that much
# longer.
QUIET_CYCLES = 100000
PAGE = 2 * PAGE_WORDS
TRACED = re.compile(r"^line (\d+) (host|chip) ([0-9a-f]{2})$")
APPLICATION = 0x1F800  # bytes below the boot section

# Pages whose 'A' lost on the line leaves 't' 'e' (0x7465) and 'e' (0x65xx).
IMAGE_T = random_words(0x7465, 2 * PAGE_WORDS - 10, seed=31)
IMAGE_E = random_words(0x6480, 2 * PAGE_WORDS - 10, seed=32)
ONE_PAGE_OLD = {**IMAGE_E, **random_words(0x6500, PAGE_WORDS, seed=34)}
HASH_PROBE, HASH_LIST = b"H\x00\x00\x00\x00", b"H\x00\x00\x01\xf8"
WORD_BYTES_STRIDE = 16


def bursts(traced):
    """The dialogue from the emulator's trace: (what the host sent in one
    go, what the chip answered, the cycles the answer took to begin) each."""
    out, sent_at = [], 0
    for cycle, side, byte in traced:
        if side == "host":
            if not out or out[-1][1]:
                out.append((b"", b"", 0))
            out[-1], sent_at = (out[-1][0] + bytes([byte]), b"", 0), cycle
        elif out:
            sent, answer, took = out[-1]
            out[-1] = (sent, answer + bytes([byte]), took or cycle - sent_at)
    return out


def losses(sent):
    """(burst, byte) of each byte to lose: all but most of a page's words
    (those behind 'D' 'k' 'k', before the 4 checksum bytes)."""
    def taken(burst, i):
        words = burst.startswith(b"Dkk") and 3 <= i < len(burst) - 4
        return not words or (i - 3) % WORD_BYTES_STRIDE == 0 or i == len(burst) - 5  # the last word byte
    return [(b, i) for b, burst in enumerate(sent) for i in range(len(burst)) if taken(burst, i)]


def flash_of(words):
    """The application section holding words, blank elsewhere."""
    flash = bytearray(b"\xff" * APPLICATION)
    for address, word in words.items():
        flash[2 * address:2 * address + 2] = bytes([word & 0xFF, word >> 8])
    return bytes(flash)


def application(chip):
    return chip.dump()[:APPLICATION]


class Talk:
    """Our end of the chip's line, the chip's side of it read from the
    emulator's trace: every byte with the cycle its stop bit ended, in
    order, whatever the machine's load does to the pseudo-terminal. The
    emulator answers a question (the cycle now) before it reports what the
    chip sent in the same slice, so a quiet is over only when a second
    question finds nothing new."""

    def __init__(self, chip, line):
        self.chip, self.line, self.sent, self.on_line, self.seen, self.last, self.carry = chip, line, 0, 0, 0, 0, b""

    def send(self, data):
        self.line.send(data)
        self.sent += len(data)

    def news(self, wait):
        """The chip's bytes on the line since last asked, waiting up to wait
        seconds for the emulator to report any."""
        with self.chip.cond:
            if len(self.chip.lines) == self.seen:
                self.chip.cond.wait(wait)
            lines = self.chip.lines[self.seen:]
        self.seen += len(lines)
        try:
            os.read(self.line.fd, 1 << 16)  # the pseudo-terminal's copy is not needed
        except BlockingIOError:
            pass
        chip = b""
        for m in filter(None, map(TRACED.match, lines)):
            self.on_line += m.group(2) == "host"
            self.last = max(self.last, int(m.group(1)))
            chip += bytes.fromhex(m.group(3)) if m.group(2) == "chip" else b""
        return chip

    def answer(self, count, patience=0):
        """What the chip says, up to count bytes, or once it has been quiet
        for longer than any of its waits and patience cycles more."""
        got, self.carry, over = self.carry, b"", False
        while len(got) < count:
            more = self.news(0.005)
            if not more and self.on_line == self.sent:
                now = self.chip.cycle()
                more = self.news(0)
                if not more and now - self.last > QUIET_CYCLES + patience:
                    if over:
                        break
                    over = True
                    continue
            got += more
            over = False
        got, self.carry = got[:count], got[count:]
        return got

    def restore(self, flash, held):
        """Writes back, through the bootloader, the pages that changed."""
        for start in range(0, APPLICATION, PAGE):
            if flash[start:start + PAGE] != held[start:start + PAGE]:
                words = [held[start + i] | (held[start + i + 1] << 8) for i in range(0, PAGE, 2)]
                self.send(b"A" + (start // 2).to_bytes(2, "big"))
                assert self.answer(1) == b"\r"
                self.send(b"Dkk" + page_bytes(words) + checksum(start // 2, words))
                assert self.answer(1) == b"\r"


def check(where, flash, held, image, erase_allowed):
    """Each word holds what the chip held, or the image's word, or (where
    the download erases) 0xFFFF."""
    for start in range(0, APPLICATION, PAGE):
        if flash[start:start + PAGE] == held[start:start + PAGE]:
            continue
        for a in range(start, start + PAGE, 2):
            word = flash[a:a + 2]
            if word not in (held[a:a + 2], image[a:a + 2]) and not (erase_allowed and word == b"\xff\xff"):
                raise AssertionError("%s: word 0x%04x is %s" % (where, a // 2, word.hex()))


def recorded(work, name, image, held, flags):
    """The real program's dialogue with the chip, what the flash holds after
    it, and how to start such a chip."""
    image_path, held_path = work.hex_words(name + ".hex", image), work.hex_words(name + "-held.hex", held)
    chip_args = dict(app=held_path, board=Board("atmega128", FAST_BOOTLOADER, "m128"), trace=True)
    with Emulator(options=["--clock", str(FAST_CLOCK)], **chip_args) as chip:
        rc, out, _ = run([image_path, "-c", chip.link, "--download-rate", str(FAST_RATE), "-q"] + flags,
                         tty=False, timeout=60)
        assert b"\r\nSUCCESS\r\n" in out, out
        return bursts(chip.traced()), application(chip), chip_args


def replay(name, dialogue, done, chip_args, held, image, erases, drops, start=0, prelude=()):
    """The dialogue from burst start on (after the prelude's bursts), once
    for every (burst, byte) in drops without that byte, to a chip that holds
    held."""
    replies = b"".join(reply for _, reply, _ in dialogue[start:])
    held_flash, image_flash = flash_of(held), flash_of(image)
    with Emulator(options=["--speed", "0", "--clock", str(FAST_CLOCK)], **chip_args) as chip, \
            Line(chip.path, FAST_RATE) as line:
        talk = Talk(chip, line)
        talk.restore(application(chip), held_flash)
        for burst, index in drops:
            for sent, reply, took in prelude:
                talk.send(sent)
                talk.answer(len(reply), took)
            got = b""
            for number, (sent, reply, took) in enumerate(dialogue[start:], start):
                talk.send(sent[:index] + sent[index + 1:] if number == burst else sent)
                got += talk.answer(len(reply), took)
            talk.answer(1 << 20)
            flash = application(chip)
            where = "%s, byte %d of %r lost" % (name, index, dialogue[burst][0][:8])
            # A dialogue that looks whole to the host has done what the whole one did.
            assert got != replies or flash == done, where
            check(where, flash, held_flash, image_flash, erases)
            talk.restore(flash, held_flash)


@unittest.skipUnless(firmware_built() and os.path.exists(FAST_BOOTLOADER), "firmware not built")
class EveryByteLost(unittest.TestCase):
    def test_no_lost_byte_destroys(self):
        work = Workdir()
        # The chip's longest work is the erase and the hash of every page:
        # the bytes past them are replayed without them, to a chip as they
        # leave it (for a write, one that holds the image already: the pages
        # then change nothing; after the hashes, the bootloader readied for
        # an erase by an 'H' that asks for no pages).
        streams = [  # name, image, what the chip held, flags, whether the download erases, resumed after, with
            ("verify", IMAGE_T, IMAGE_T, ["-E"], False, None, None),
            ("write", IMAGE_E, IMAGE_E, ["-w"], True, b"e", None),
            ("incremental", IMAGE_E, ONE_PAGE_OLD, ["-w", "--incremental"], False, HASH_LIST, HASH_PROBE),
        ]
        for name, image, held, flags, erases, after, prelude in streams:
            dialogue, done, chip_args = recorded(work, name, image, held, flags)
            sent = [burst[0] for burst in dialogue]
            start = sent.index(after) + 1 if after else len(dialogue)
            drops = losses(sent)
            arguments = (name, dialogue, done, chip_args, held, image, erases)
            replay(*arguments, [d for d in drops if d[0] < start])
            replay(*arguments, [d for d in drops if d[0] >= start], start,
                   [dialogue[sent.index(prelude)]] if prelude else [])


# Host bytes (counted from 1) of the page at 0x6500: after p S v V t, the
# erase and the first page when writing, the first page when verifying.
WRITTEN_PAGE, VERIFIED_PAGE = 5 + 1 + 266, 5 + 6
LOST_IN_A_RUN = [  # flags, byte lost
    (["-w"], WRITTEN_PAGE + 1), (["-w"], WRITTEN_PAGE + 2), (["-w"], WRITTEN_PAGE + 3),  # 'A' 0x65 0x00
    (["-w"], WRITTEN_PAGE + 4), (["-w"], WRITTEN_PAGE + 5), (["-w"], WRITTEN_PAGE + 6),  # 'D' 'k' 'k'
    (["-w"], WRITTEN_PAGE + 6 + 256 + 1),  # the checksum's first byte
    ([], VERIFIED_PAGE + 1), ([], VERIFIED_PAGE + 2), ([], VERIFIED_PAGE + 3),  # 'A' 0x65 0x00
    ([], VERIFIED_PAGE + 4), ([], VERIFIED_PAGE + 5),  # 'D' 'l'
]


@unittest.skipUnless(firmware_built(), "firmware not built")
class ARealRunLosesAByte(unittest.TestCase):
    def test_never_success_when_the_flash_is_not_the_image(self):
        work = Workdir()
        image_path = work.hex_words("image.hex", IMAGE_E)
        for flags, lost in LOST_IN_A_RUN:
            held = IMAGE_E if not flags else ONE_PAGE_OLD
            with self.subTest(flags=flags, lost=lost), Emulator(app=work.hex_words("held.hex", held)) as chip:
                chip.command("drop %d" % lost)
                chip.cycle()  # the drop is set before the program sends
                rc, out, _ = run([image_path, "-c", chip.link, "-q"] + flags, tty=False, timeout=60)
                chip.wait_line(r"^dropped ")
                flash = application(chip)
                if not flags:
                    self.assertEqual(flash, flash_of(held), out)
                if b"\r\nSUCCESS\r\n" in out:
                    self.assertEqual(flash, flash_of(IMAGE_E), out)


if __name__ == "__main__":
    unittest.main()

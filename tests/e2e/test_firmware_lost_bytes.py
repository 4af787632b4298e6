"""A byte lost on the line never makes the bootloader destroy: each byte of
real downloads (verify-only, write, incremental; of a page's words, which the
bootloader only counts, one in WORD_BYTES_STRIDE) is dropped in turn and the
rest replayed burst by burst to the emulated chip on a 1 MHz clock (faster
than the wall clock). And a real run that loses a byte at the key places
never says SUCCESS when the flash is not the image."""
import os
import re
import unittest

from avr_target import FIRMWARE, PAGE_WORDS, Board, Emulator, Line, firmware_built, page_bytes, random_words
from boot_support import Workdir, checksum
from harness import run

FAST_BOOTLOADER = os.path.join(FIRMWARE, "bootloader-1mhz.hex")
FAST_CLOCK, FAST_RATE = 1000000, 62500
QUIET_CYCLES = 100000  # past the bootloader's waits (50 ms, then 30 ms of quiet)
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
    """(burst, byte) of each byte to lose: all but most of a page's words (behind 'D' 'k' 'k', before the checksum)."""
    def taken(burst, i):
        words = burst.startswith(b"Dkk") and 3 <= i < len(burst) - 4
        return not words or (i - 3) % WORD_BYTES_STRIDE == 0 or i == len(burst) - 5  # the last word byte
    return [(b, i) for b, burst in enumerate(sent) for i in range(len(burst)) if taken(burst, i)]


def flash_of(words):
    """The application section holding words, blank elsewhere."""
    return page_bytes([words.get(address, 0xFFFF) for address in range(APPLICATION // 2)])


class Talk:
    """Our end of the chip's line, the chip's side read from the emulator's
    trace (each byte with its cycle, whatever the load does to the
    pseudo-terminal). The emulator answers a question (the cycle now) before
    it reports the chip's bytes of the same slice: a quiet is over only when
    a second question finds nothing new."""

    def __init__(self, chip, line):
        self.chip, self.line, self.sent, self.on_line, self.seen, self.last, self.carry = chip, line, 0, 0, 0, 0, b""

    def send(self, data):
        self.line.send(data)
        self.sent += len(data)

    def news(self, wait):
        """The chip's bytes on the line since last asked, waiting up to wait seconds for any."""
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
    """Each device page holds what the chip held, or the image's, or (where the download erases) is blank."""
    for start in range(0, APPLICATION, PAGE):
        allowed = (held[start:start + PAGE], image[start:start + PAGE]) + (b"\xff" * PAGE,) * erase_allowed
        assert flash[start:start + PAGE] in allowed, "%s: page 0x%04x" % (where, start // 2)


def recorded(work, name, image, held, flags):
    """The real program's dialogue, the flash after it, and the chip's arguments."""
    image_path, held_path = work.hex_words(name + ".hex", image), work.hex_words(name + "-held.hex", held)
    chip_args = dict(app=held_path, board=Board("atmega128", FAST_BOOTLOADER, "m128"), trace=True)
    with Emulator(options=["--clock", str(FAST_CLOCK)], **chip_args) as chip:
        rc, out, _ = run([image_path, "-c", chip.link, "--download-rate", str(FAST_RATE), "-q"] + flags,
                         tty=False, timeout=60)
        assert b"\r\nSUCCESS\r\n" in out, out
        return bursts(chip.traced()), chip.dump()[:APPLICATION], chip_args


def replay(name, dialogue, done, chip_args, held, image, erases, drops, start=0, prelude=()):
    """The dialogue from burst start on, after the prelude, without each (burst, byte) of drops in turn."""
    replies = b"".join(reply for _, reply, _ in dialogue[start:])
    held_flash, image_flash = flash_of(held), flash_of(image)
    with Emulator(options=["--speed", "0", "--clock", str(FAST_CLOCK)], **chip_args) as chip, \
            Line(chip.path, FAST_RATE) as line:
        talk = Talk(chip, line)
        talk.restore(chip.dump()[:APPLICATION], held_flash)
        for burst, index in drops:
            for sent, reply, took in prelude:
                talk.send(sent)
                talk.answer(len(reply), took)
            got = b""
            for number, (sent, reply, took) in enumerate(dialogue[start:], start):
                talk.send(sent[:index] + sent[index + 1:] if number == burst else sent)
                got += talk.answer(len(reply), took)
            talk.answer(1 << 20)
            flash = chip.dump()[:APPLICATION]
            where = "%s, byte %d of %r lost" % (name, index, dialogue[burst][0][:8])
            # A dialogue that looks whole to the host has done what the whole one did.
            assert got != replies or flash == done, where
            check(where, flash, held_flash, image_flash, erases)
            talk.restore(flash, held_flash)


@unittest.skipUnless(firmware_built() and os.path.exists(FAST_BOOTLOADER), "firmware not built")
class EveryByteLost(unittest.TestCase):
    def test_no_lost_byte_destroys(self):
        work = Workdir()
        # Past the erase or hash list (the chip's longest work), replayed without it to a chip as it
        # leaves it (after the hashes readied for an erase by an 'H' for no pages).
        streams = [  # name, image, what the chip held, flags, whether the download erases, resumed after, with
            ("verify", IMAGE_T, IMAGE_T, ["-E"], False, None, None),
            ("write", IMAGE_E, IMAGE_E, ["-w"], True, b"e", None),
            ("incremental", IMAGE_E, ONE_PAGE_OLD, ["-w", "--incremental"], False, HASH_LIST, HASH_PROBE),
        ]
        for name, image, held, flags, erases, after, prelude in streams:
            dialogue, done, chip_args = recorded(work, name, image, held, flags)
            sent = [burst[0] for burst in dialogue]
            start = sent.index(after) + 1 if after else len(dialogue)
            drops, arguments = losses(sent), (name, dialogue, done, chip_args, held, image, erases)
            replay(*arguments, [d for d in drops if d[0] < start])
            replay(*arguments, [d for d in drops if d[0] >= start], start,
                   [dialogue[sent.index(prelude)]] if prelude else [])


# Host bytes (from 1) before the page at 0x6500: p S v V t, then 'e' and a page, or a page's 'A' 'D' 'l' 'l'.
WRITTEN_PAGE, VERIFIED_PAGE = 5 + 1 + 266, 5 + 6
# Each byte of 'A' 0x65 0x00 and 'D' 'k' 'k' (or 'D' 'l' 'l'), and the checksum's first byte.
LOST_IN_A_RUN = [(["-w"], WRITTEN_PAGE + n) for n in (1, 2, 3, 4, 5, 6, 263)] + \
    [([], VERIFIED_PAGE + n) for n in (1, 2, 3, 4, 5, 6)]  # flags, byte lost


@unittest.skipUnless(firmware_built(), "firmware not built")
class ARealRunLosesAByte(unittest.TestCase):
    def test_never_success_when_the_flash_is_not_the_image(self):
        work = Workdir()
        image_path = work.hex_words("image.hex", IMAGE_E)
        for flags, lost in LOST_IN_A_RUN:
            held = IMAGE_E if not flags else ONE_PAGE_OLD
            # The chip and the program both run ahead of the machine's load: starved alone, the chip
            # once answered the identification later than the program waits, before the lost byte.
            with self.subTest(flags=flags, lost=lost), \
                    Emulator(app=work.hex_words("held.hex", held), ahead=True) as chip:
                chip.command("drop %d" % lost)
                chip.cycle()  # the drop is set before the program sends
                rc, out, _ = run([image_path, "-c", chip.link, "-q"] + flags, tty=False, timeout=60, ahead=True)
                try:
                    chip.wait_line(r"^dropped ")
                except AssertionError as error:  # the run never came that far: say how it ended
                    raise AssertionError("%s\n%s\nthe program (status %d) said: %r"
                                         % (error, chip.state().string, rc, out)) from None
                flash = chip.dump()[:APPLICATION]
                if not flags:
                    self.assertEqual(flash, flash_of(held), out)
                if b"\r\nSUCCESS\r\n" in out:
                    self.assertEqual(flash, flash_of(IMAGE_E), out)


if __name__ == "__main__":
    unittest.main()

"""A byte lost on the line never makes the bootloader destroy. Every byte of
the host's stream of real downloads (verify-only, write, incremental write)
is dropped in turn and the rest replayed, burst by burst as the host sent
it, to the emulated chip on a 1 MHz clock (its waits hold in emulated time
and run faster than the wall clock). And the real program, with a byte
dropped at the key places of the dialogue, never says SUCCESS when the flash
is not the image."""
import os
import unittest
from concurrent.futures import ThreadPoolExecutor

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
APPLICATION = 0x1F800  # bytes below the boot section

# Pages whose 'A' lost on the line leaves 't' 'e' (0x7465) and 'e' (0x65xx).
IMAGE_T = random_words(0x7465, 2 * PAGE_WORDS - 10, seed=31)
IMAGE_E = random_words(0x6480, 2 * PAGE_WORDS - 10, seed=32)
ONE_PAGE_OLD = {**IMAGE_E, **random_words(0x6500, PAGE_WORDS, seed=34)}


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


def flash_of(words):
    """The application section holding words, blank elsewhere."""
    flash = bytearray(b"\xff" * APPLICATION)
    for address, word in words.items():
        flash[2 * address:2 * address + 2] = bytes([word & 0xFF, word >> 8])
    return bytes(flash)


def application(chip):
    n = len(chip.lines)
    chip.command("flash")
    chip.wait_line(r"^flash written", start=n)
    with open(chip.flash_path, "rb") as f:
        return f.read(APPLICATION)


def answer(chip, line, count, patience=0):
    """What the chip says, up to count bytes, or once it has been quiet for
    longer than any of its waits and patience cycles more."""
    got, quiet_since = b"", None
    while len(got) < count:
        more = line.read(count - len(got), timeout=0.002)
        if more:
            got, quiet_since = got + more, None
            continue
        now = chip.cycle()
        if quiet_since is None:
            quiet_since = now
        elif now - quiet_since > QUIET_CYCLES + patience:
            break
    return got


def restore(chip, line, flash, held):
    """Writes back, through the bootloader, the pages that changed."""
    for start in range(0, APPLICATION, PAGE):
        if flash[start:start + PAGE] != held[start:start + PAGE]:
            words = [held[start + i] | (held[start + i + 1] << 8) for i in range(0, PAGE, 2)]
            line.send(b"A" + (start // 2).to_bytes(2, "big"))
            assert answer(chip, line, 1) == b"\r"
            line.send(b"Dkk" + page_bytes(words) + checksum(start // 2, words))
            assert answer(chip, line, 1) == b"\r"


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


def every_loss(work, name, image, held, flags, erases):
    """Records the real program's dialogue, then replays it once for every
    byte of the host's side, without that byte."""
    image_path, held_path = work.hex_words(name + ".hex", image), work.hex_words(name + "-held.hex", held)
    chip_args = dict(app=held_path, board=Board("atmega128", FAST_BOOTLOADER, "m128"),
                     options=["--speed", "0", "--clock", str(FAST_CLOCK)])
    with Emulator(trace=True, **chip_args) as chip:
        rc, out, _ = run([image_path, "-c", chip.link, "--download-rate", str(FAST_RATE), "-q"] + flags,
                         tty=False, timeout=60)
        assert b"\r\nSUCCESS\r\n" in out, out
        dialogue, done = bursts(chip.traced()), application(chip)
    replies = b"".join(reply for _, reply, _ in dialogue)
    held_flash, image_flash = flash_of(held), flash_of(image)
    with Emulator(**chip_args) as chip, Line(chip.path, FAST_RATE) as line:
        for burst, (sent, _, _) in enumerate(dialogue):
            for index in range(len(sent)):
                got = b""
                for number, (bytes_sent, reply, took) in enumerate(dialogue):
                    line.send(bytes_sent[:index] + bytes_sent[index + 1:] if number == burst else bytes_sent)
                    got += answer(chip, line, len(reply), took)
                answer(chip, line, 1 << 20)
                flash = application(chip)
                where = "%s, byte %d of %r lost" % (name, index, sent[:8])
                # A dialogue that looks whole to the host has done what the whole one did.
                assert got != replies or flash == done, where
                check(where, flash, held_flash, image_flash, erases)
                restore(chip, line, flash, held_flash)


@unittest.skipUnless(firmware_built() and os.path.exists(FAST_BOOTLOADER), "firmware not built")
class EveryByteLost(unittest.TestCase):
    def test_no_lost_byte_destroys(self):
        work = Workdir()
        streams = [  # name, image, what the chip held, flags, whether the download erases
            ("verify", IMAGE_T, IMAGE_T, ["-E"], False),
            ("write", IMAGE_E, IMAGE_E, ["-w"], True),
            ("incremental", IMAGE_E, ONE_PAGE_OLD, ["-w", "--incremental"], False),
        ]
        with ThreadPoolExecutor(len(streams)) as pool:
            for done in [pool.submit(every_loss, work, *stream) for stream in streams]:
                done.result()


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

"""--incremental: only the pages whose hash differs from the image's are
written, without a chip erase, and the chip ends as a full download would
leave it; a bootloader without the page hash gets the usual download; and
no run starts an application whose verify failed."""
import os
import tempfile
import unittest
import zlib

from avr_target import (BOOT_START_WORD, BOOTLOADER_HEX, PAGE_WORDS, Emulator, firmware_built, random_words,
                        read_hex, write_hex)
from boot_support import IDENTIFY, STAYS, Workdir, boot_sim, checksum, download, write_page_bytes
from harness import run
from network_support import TcpBridge
from steps_support import of_kind, read_events

HOST_TIMEOUT = 180.0
APPLICATION_PAGES = BOOT_START_WORD // PAGE_WORDS
PROBE = b"H\x00\x00\x00\x00"
WHOLE = b"H\x00\x00\x01\xf8"  # the hashes of the 504 pages
FALLBACK = b"Bootloader knows no page hash: erasing and writing the whole image\r\n"
BROKE_OFF = b"Page hash list broke off: erasing and writing the whole image\r\n"

# Words 0x40..0x53F: host pages off the device's page grid on the first
# download, device pages 0 to 10 touched.
IMAGE_A = random_words(0x40, 0x500, seed=21)


def host_commands(wire):
    """The host's side of the dialogue cut into commands, (letter, detail)
    each: the word address of 'A', the letter of 'D' ('k' with its page and
    checksum, 'l'), (first page, count) of 'H'; other bytes stand alone."""
    out = []
    i = 0
    while i < len(wire):
        letter = chr(wire[i])
        if letter == "A":
            out.append(("A", (wire[i + 1] << 8) | wire[i + 2]))
            i += 3
        elif letter == "D":
            kind = chr(wire[i + 1])
            out.append(("D", kind))
            i += 3 + (2 * PAGE_WORDS + 4 if kind == "k" else 0)
        elif letter == "H":
            out.append(("H", ((wire[i + 1] << 8) | wire[i + 2], (wire[i + 3] << 8) | wire[i + 4])))
            i += 5
        else:
            out.append((letter, None))
            i += 1
    return out


def written_pages(commands):
    """Word addresses of the pages the host wrote ('A' then 'D' 'k')."""
    return [a[1] for a, d in zip(commands, commands[1:]) if a[0] == "A" and d == ("D", "k")]


class ReplaceOnce:
    """Replaces the first old in a stream cut anywhere by new, holding back
    only a tail that may begin it."""

    def __init__(self, old, new):
        self.old, self.new, self.held = old, new, b""

    def __call__(self, data):
        if self.held is None:
            return data
        data, at = self.held + data, (self.held + data).find(self.old)
        if at >= 0:
            self.held = None
            return data[:at] + self.new + data[at + len(self.old):]
        keep = next((k for k in range(len(self.old) - 1, 0, -1) if data.endswith(self.old[:k])), 0)
        self.held = data[len(data) - keep:]
        return data[:len(data) - keep]


def progress(written):
    """One character per page of the application section."""
    return "".join("." if p in written else "-" for p in range(APPLICATION_PAGES)).encode()


@unittest.skipUnless(firmware_built(), "firmware not built (gcc-avr, avr-libc, libsimavr-dev missing)")
class OnTheChip(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def download(self, chip, image, *flags):
        """One -q run; returns (status, console without CRs, the host's
        commands of this run); its events are left in self.events."""
        path = os.path.join(self.tmp.name, "image.hex")
        write_hex(path, image)
        events = os.path.join(self.tmp.name, "events.jsonl")
        start = len(chip.lines)
        rc, out, _ = run([path, "-c", chip.link, "-q", "-w", "--events", events] + list(flags), tty=False,
                         timeout=HOST_TIMEOUT)
        self.events = read_events(events)
        chip.command("state")  # every byte of the run is reported before the state
        chip.wait_line(r"^state ", start=start)
        wire = bytes(byte for _, side, byte in chip.traced(start) if side == "host")
        return rc, out.replace(b"\r", b""), host_commands(wire)

    def assert_flash_holds(self, chip, image):
        """The application section word for word as a full download of the
        image leaves it, and the bootloader untouched."""
        flash = chip.flash_words()
        wrong = [a for a in range(BOOT_START_WORD) if flash[a] != image.get(a, 0xFFFF)]
        self.assertEqual(wrong[:8], [], "words differ from the image")
        for addr, word in read_hex(BOOTLOADER_HEX).items():
            self.assertEqual(flash[addr], word, "bootloader word 0x%04x" % addr)

    def incremental(self, chip, image, pages):
        """An --incremental run that must write exactly these device pages."""
        rc, out, commands = self.download(chip, image, "--incremental")
        self.assertEqual(rc, 0, out)
        self.assertEqual(written_pages(commands), [p * PAGE_WORDS for p in pages], out)
        self.assertNotIn(("e", None), commands)
        whole = ("H", (0, APPLICATION_PAGES))
        self.assertEqual([c for c in commands if c[0] == "H"], [("H", (0, 0)), whole, whole])
        self.assertEqual(commands[-1], ("E", None))
        self.assertIn(b"\nPage hashes compared\n" + progress(pages) +
                      b"\nFlash Download finished\nPages written: %d of %d\nVerify Flash.\nPage hashes checked\n"
                      % (len(pages), APPLICATION_PAGES), out)
        self.assertTrue(out.endswith(b"\nSUCCESS\n"), out)
        self.assertEqual([(e["result"], e["differ"]) for e in of_kind(self.events, "page_hashes")],
                         [("compared", len(pages)), ("checked", 0)])
        self.assertEqual([e["address"] for e in of_kind(self.events, "page") if e["pass"] == "write"],
                         [p * PAGE_WORDS for p in pages])
        self.assertEqual([(e["pass"], e["result"]) for e in of_kind(self.events, "pass")],
                         [("write", "written"), ("verify", "SUCCESS")])
        self.assert_flash_holds(chip, image)

    def test_a_changed_page_then_an_identical_image(self):
        changed = dict(IMAGE_A)
        changed[0x2A7] ^= 0x0400  # device page 5
        with Emulator(trace=True) as chip:
            rc, out, commands = self.download(chip, IMAGE_A)
            self.assertEqual(rc, 0, out)
            self.assertIn(("e", None), commands)
            self.incremental(chip, changed, [5])
            self.incremental(chip, changed, [])

    def test_swapped_words_and_a_shorter_image(self):
        swapped = dict(IMAGE_A)
        swapped[0x100], swapped[0x101] = IMAGE_A[0x101], IMAGE_A[0x100]
        self.assertNotEqual(swapped[0x100], swapped[0x101])
        # The download's own page checksum cannot tell the two apart.
        page = [IMAGE_A[0x100 + i] for i in range(PAGE_WORDS)]
        self.assertEqual(checksum(0x100, page), checksum(0x100, [swapped[0x100 + i] for i in range(PAGE_WORDS)]))
        shorter = {a: w for a, w in swapped.items() if a < 0x300}
        with Emulator(trace=True) as chip:
            rc, out, _ = self.download(chip, IMAGE_A)
            self.assertEqual(rc, 0, out)
            self.incremental(chip, swapped, [2])
            # Device pages 6 to 10 hold the old image's tail: erased.
            self.incremental(chip, shorter, [6, 7, 8, 9, 10])


# One word, 0x1234 at word address 0x0100.
ONE_WORD = {0x100: 0x1234}


class AgainstTheSimulatedTarget(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", ONE_WORD)

    def test_a_bootloader_without_the_page_hash_gets_the_usual_download(self):
        # '?' to each byte of the question, silence, and a hash list that
        # never comes: each says so in one line, and the usual download
        # follows byte for byte.
        page = write_page_bytes(ONE_WORD, 0x100, 0x101)
        cases = [(("--no-hash",), FALLBACK, PROBE), (("--silent", "H"), FALLBACK, PROBE),
                 (("--silent", "H@2"), BROKE_OFF, PROBE + WHOLE)]
        for faults, said, asked in cases:
            with self.subTest(faults=faults), boot_sim(*faults) as sim:
                rc, after, out, _ = download(sim, self.hex, "-w", "--incremental")
                self.assertEqual(rc, 0, out)
                self.assertEqual(after, said + b"Flash erased\r\n.\r\nFlash Download finished\r\n"
                                              b"Verify Flash.\r\n.\r\nSUCCESS\r\n")
                wire = IDENTIFY + asked + b"e" + page + b"A\x01\x00Dll" + b"E"
                self.assertEqual(sim.wait_received(len(wire)), wire)

    def test_a_page_asked_for_again_is_resent_and_counted_once(self):
        with boot_sim("--nak-page", "1") as sim:
            rc, after, out, _ = download(sim, self.hex, "-w", "--incremental")
            self.assertEqual(rc, 0, out)
            self.assertEqual(after, b"Page hashes compared\r\n--retry count =1 \r\n." + b"-" * 501 +
                             b"\r\nFlash Download finished\r\nPages written: 1 of 504\r\n"
                             b"Verify Flash.\r\nPage hashes checked\r\n.\r\nSUCCESS\r\n")
            page = write_page_bytes(ONE_WORD, 0x100, 0x101)
            wire = IDENTIFY + PROBE + WHOLE + page + page + WHOLE + b"A\x01\x00Dll" + b"E"
            self.assertEqual(sim.wait_received(len(wire)), wire)

    def test_a_page_the_first_hash_list_misjudged_fails_the_verify(self):
        # Device page 300 holds an older image; a hash list altered on the
        # way calls it blank, as the image has it, so it is not written.
        # The hashes asked again after the write show it.
        stale = bytes(range(256))
        flash = bytearray(b"\xff" * 0x20000)
        flash[300 * 256:301 * 256] = stale
        load = self.work.file("old.bin", bytes(flash))
        misjudged = ReplaceOnce(zlib.crc32(stale).to_bytes(4, "big"), zlib.crc32(b"\xff" * 256).to_bytes(4, "big"))
        with boot_sim("--load", load) as sim, TcpBridge(sim.path, rate=19200, alter=misjudged) as bridge:
            rc, out, _ = run([self.hex, "-c", bridge.url(), "-q", "-w", "--incremental"], tty=False, timeout=60)
            self.assertEqual(rc, 1, out)
            self.assertIn(b"Verify Flash.\r\nPage hashes after the write: 1 of 504 pages differ from the image "
                          b"(the first: page 300)\r\n\r\nFAILURE\r\n" + STAYS, out)
            self.assertEqual(sim.dump_flash()[300 * 256:301 * 256], stale)

    def test_an_image_past_the_application_section_is_refused_first(self):
        above = self.work.hex_words("above.hex", {0xFC00: 0xA55A})
        with boot_sim() as sim:
            rc, after, out, _ = download(sim, above, "-w", "--incremental")
            self.assertEqual(rc, 1)
            self.assertEqual(after, b"\r\nburn_flash() Flash address too big...\r\n\r\n")
            self.assertEqual([c[1] for c in sim.commands()], ["p", "S", "v", "V", "t"])

    def test_no_start_after_a_failed_verify(self):
        cases = [
            (("-w",), ("--bad-checksum", "1"), b"\r\nFAILURE\r\n"),
            (("-w", "--incremental"), ("--bad-checksum", "1"), b"\r\nFAILURE\r\n"),
            (("-E",), (), b"too many errors, bailing out\r\n"),  # blank flash: the verify gives up
        ]
        for flags, faults, verdict in cases:
            with self.subTest(flags=flags), boot_sim(*faults) as sim:
                rc, after, out, _ = download(sim, self.hex, *flags)
                self.assertEqual(rc, 1, out)
                self.assertTrue(after.endswith(verdict + STAYS), after)
                names = [c[1] for c in sim.commands()]
                self.assertEqual(names[-1], "l")
                self.assertNotIn("E", names)


if __name__ == "__main__":
    unittest.main()

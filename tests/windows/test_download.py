"""Downloads by the Windows build under wine against the full simulated
target: the same lines and the same bytes on the wire as the POSIX build,
without a console and on one, and the terminal after the download."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import winharness as w
from winharness import WineTestCase, expect_screen, make_raw

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from boot_support import Workdir  # noqa: E402

POSIX_BUILD = os.environ.get("TAMBORVINE", "")
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "zelmo.hex")


def image_words():
    # Three pages and a stray word in a fourth, so that page ends and
    # filler are on the wire.
    words = {a: (a * 7 + 3) & 0xFFFF for a in range(0x40, 0x40 + 300)}
    words[0x220] = 0x1234
    return words


class Download(WineTestCase):
    def setUp(self):
        self.work = Workdir()
        self.addCleanup(shutil.rmtree, self.work.path, True)
        self.hex_name = os.path.basename(self.work.hex_words("image.hex", image_words()))

    def download(self, sim_args, args, tty=False, image=None):
        sim = self.sim(*sim_args)
        p = self.program([image or self.hex_name, "-c", "COM1"] + args, tty=tty, cwd=self.work.path)
        if tty:
            make_raw(p.slave)
        return sim, p

    def posix_download(self, sim_args, args, image=None):
        """The same run by the POSIX build: its lines and its wire bytes."""
        sim = w.Sim(*sim_args)
        self.addCleanup(w.close_sim, sim)
        run = subprocess.run([POSIX_BUILD, image or self.hex_name, "-c", sim.link] + args, cwd=self.work.path,
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return run.returncode, run.stdout, wire(sim)

    def test_lines_and_wire_bytes_match_the_posix_build(self):
        if not POSIX_BUILD or not os.path.exists(POSIX_BUILD):
            self.skipTest("no POSIX build to compare with (TAMBORVINE)")
        cases = [
            (["--target", "--boot"], ["-w", "-V", "-q"]),
            (["--target"], ["-t", "-w", "-V", "-q"]),   # wakes the application at 9600 first
            (["--target", "--boot"], ["-q"]),           # verify only
            (["--target"], ["-t", "-w", "-q", "--download-rate", "1000000"]),  # the bootloader at divisor 0
            (["--target", "--boot"], ["-w", "--incremental", "-q"]),  # page hashes, then the pages that differ
            (["--target"], ["-t", "-w", "-e", "image.hex", "--read-flash", "old.hex", "--read-eeprom", "old.eep", "-V",
                            "-q", "--download-rate", "1000000"]),  # read back, then the flash and the EEPROM in one session
        ]
        for sim_args, args in cases:
            with self.subTest(args=args):
                sim, p = self.download(sim_args, args)
                rc = p.wait(120)
                out = w.fold_line_ends(bytes(p.output))
                said = out + w.fold_line_ends(bytes(p.stderr_data))
                windows_wire = wire(sim)
                sim.close()
                expected_rc, expected_out, expected_wire = self.posix_download(sim_args, args)
                self.assertEqual(rc, expected_rc, said)
                self.assertEqual(out, expected_out, said)
                self.assertEqual(windows_wire, expected_wire)
                if "-w" in args:
                    self.assertIn(b"\r\nSUCCESS\r\n", out)

    def test_elf_files_read_as_the_posix_build_reads_them(self):
        if not POSIX_BUILD or not os.path.exists(POSIX_BUILD) or not shutil.which("avr-gcc"):
            self.skipTest("needs the POSIX build to compare with (TAMBORVINE) and avr-gcc")
        source = self.work.file("app.c", "#include <avr/io.h>\nchar text[] = \"data\";\n"
                                "int main(void) { for (;;) PORTB = text[PORTA & 3]; }\n")
        subprocess.run(["avr-gcc", "-mmcu=atmega128", "-Os", "-o", self.work.path + "/app.elf", source], check=True)
        elf = bytearray(open(self.work.path + "/app.elf", "rb").read())
        elf[18] = 62  # another machine: refused before anything is sent
        self.work.file("foreign.elf", bytes(elf))
        for image, expected_end in (("app.elf", b"\r\nSUCCESS\r\n"), ("foreign.elf", b"ABORTED>>\r\n\r\n\r\n")):
            with self.subTest(image=image):
                sim, p = self.download(["--target", "--boot"], ["-w", "-q"], image=image)
                rc, out, windows_wire = p.wait(120), w.fold_line_ends(bytes(p.output)), wire(sim)
                sim.close()
                self.assertEqual((rc, out, windows_wire), self.posix_download(["--target", "--boot"], ["-w", "-q"], image))
                self.assertIn(expected_end, out)

    def test_write_and_verify_on_the_console(self):
        sim, p = self.download(["--target", "--boot"], ["-w", "-V", "-q"], tty=True)
        rc = p.wait(120)
        screen = w.screen_text(bytes(p.output))
        self.assertEqual(rc, 0, screen[-1500:])
        self.assertIn(b"Translation complete!", screen)
        self.assertIn(b"SUCCESS", screen)

    def test_terminal_after_the_download_shows_the_application(self):
        sim = self.sim("--target", "--app-start-ms", "1000")  # greets once the host is surely back
        p = self.program([os.path.abspath(EXAMPLE), "-c", "COM1", "-t", "-w"], tty=True)
        make_raw(p.slave)
        expect_screen(p, b"SUCCESS", 120)
        expect_screen(p, b"Hello from the simulated ATmega128")
        p.keys(b"hi")
        expect_screen(p, b"hi")
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 0)

    def test_watch_reflashes_an_image_renamed_onto_the_file(self):
        # ReadDirectoryChangesW under wine tells a rename onto the name; one
        # page of the image changes; the build runs in cmd.exe first.
        sim = self.sim("--target", "--app-start-ms", "1000")
        p = self.program([self.hex_name, "-c", "COM1", "-t", "-w", "--watch", "--build", "echo built by cmd"], tty=True,
                         cwd=self.work.path)
        make_raw(p.slave)
        expect_screen(p, b"Hello from the simulated ATmega128", 120)
        changed = image_words()
        changed[0x41] ^= 0xFFFF
        os.replace(self.work.hex_words("changed.hex", changed), os.path.join(self.work.path, self.hex_name))
        expect_screen(p, b"built by cmd\r\nReflashing " + self.hex_name.encode(), 120)
        expect_screen(p, b"Reflashed: 1 of 504 pages", 120)
        expect_screen(p, b"application started\r\n\r\nHello from the simulated ATmega128", 20)
        p.keys(b"\x1b")
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(sim.stats()["erases"], 1)  # the first download's; the reflash wrote one page

    def test_five_wake_ups_in_a_row_on_a_loaded_machine(self):
        self.sim("--target")
        with w.harness.busy_cores():
            ends = [self.run_exe([os.path.abspath(EXAMPLE), "-c", "COM1", "-t", "-w", "-q"], timeout=120)
                    for _ in range(5)]
        self.assertEqual([rc for rc, _, _ in ends], [0] * 5, [out[-120:] for _, out, _ in ends])


def wire(sim):
    """What reached the target, however the reads were split: every byte
    with the rate it came at, and the commands the target met. Taken once
    the program has ended and the target has reported all it got."""
    sim.sync()
    received, commands = [], []
    with sim.cond:
        for line in sim.lines:
            parts = line.split()
            if parts and parts[0] in ("rx", "lost"):
                received.extend((parts[0], parts[1], h) for h in parts[2:] if re.match(r"^[0-9a-f]{2}$", h))
            elif parts and parts[0] == "cmd" and not parts[2].startswith("greeting"):
                # (the application's greeting after the exit command is the
                # target's own doing, reported whenever it gets to it)
                commands.append(line)
    return received, commands


if __name__ == "__main__":
    unittest.main()

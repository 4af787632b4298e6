"""Reflash from the terminal (--watch, the reflash key, --build) on the
emulated ATmega128 with its own bootloader and -t, and on the emulated
ATmega328P with Debian's stock bootloader (STK500v1, reset over RFC 2217):
the new greeting comes without the program restarting, one page written."""
import os
import re
import shlex
import shutil
import unittest

from avr_target import APP_HEX, BOARDS, FIRMWARE, GREETING, Emulator, firmware_built
from harness import SOURCE, Program, run
from steps_support import Scratch, of_kind, read_events
from test_command_line import MISSING_PORT

EDITED_APP = os.path.join(FIRMWARE, "zelmo-edited.hex")
EDITED_GREETING = b"zelmo edited! application"
UNO = BOARDS[0]
UNO_EDITED = os.path.join(FIRMWARE, "echo-atmega328p-edited.hex")
NOT_AN_IMAGE = b"does not read as an image (HEX file has no end-of-file record (empty or cut short))"


def readme_one_liner(port):
    """The command of the README's edit-flash-watch section, on this port."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        section = f.read().split("## The edit–flash–watch loop", 1)[1]
    words = shlex.split(re.search(r"^    tamborvine (.*)$", section, re.M).group(1))
    return [port if word == "/dev/ttyUSB0" else word for word in words]


def replace_by_rename(path, source):
    shutil.copy(source, path + ".tmp")
    os.rename(path + ".tmp", path)


class Watching(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch(self)

    def run_steps(self, command, first_image, steps):
        """Starts the terminal on app.hex, a copy of first_image, then for
        each step (what to do, what the screen then shows, the reflash
        event's fields) does it and waits for it."""
        image, events = self.scratch("app.hex"), self.scratch("events.jsonl")
        shutil.copy(first_image, image)
        with Program(command + ["--events", events], cwd=self.scratch.path) as host:
            host.expect(b"Start terminal emulation", timeout=120)
            for act, shows, fields in steps:
                seen = len(host.output)
                act(host, image)
                host.expect(shows, timeout=60, since=seen)
                if fields is not None:
                    reflash = of_kind(read_events(events), "reflash")[-1]
                    self.assertEqual({k: reflash.get(k) for k in fields}, fields, bytes(host.output[seen:]))
            host.keys(b"\x1b")
            self.assertEqual(host.wait(20), 0)
        return read_events(events)

    def test_runs_that_could_not_reflash_are_refused_before_the_port(self):
        need = b"Options --watch and --reflash-key "
        for args, message in ((["--watch"], need + b"need the flash file as the first word"),
                              ([APP_HEX, "--watch", "-q"], need + b"reflash from the terminal: not with -q"),
                              ([APP_HEX, "--reflash-key", "ctrl-w", "--send", "x"], need + b"reflash from the"),
                              ([APP_HEX, "--build", "make"], b"Option --build runs before a reflash"),
                              ([APP_HEX, "--reflash-key", "ctrl-["], b"Option --reflash-key takes ctrl-a to"),
                              ([APP_HEX, "--reflash-key", "ctrl-c"], b"Option --reflash-key takes ctrl-a to")):
            with self.subTest(args=args):
                rc, out, _ = run(args + ["-c", MISSING_PORT], tty=False)
                self.assertEqual((rc, out[:len(message) + 2]), (1, b"\r\n" + message), out)

    @unittest.skipUnless(firmware_built() and os.path.exists(EDITED_APP), "firmware not built")
    def test_own_bootloader_by_wake_up(self):
        def in_two_pieces(host, path):
            with open(APP_HEX, "rb") as f:
                text = f.read()
            half = text.index(b"\n", len(text) // 2) + 1
            with open(path, "wb") as f:
                f.write(text[:half])
                f.flush()
                host.expect(NOT_AN_IMAGE, timeout=30, since=len(host.output))  # the first piece alone is no image: not flashed
                f.write(text[half:])

        fail_build = lambda host, path: open(self.scratch("fail"), "w").close() or host.keys(b"\x17")
        steps = [
            (lambda host, path: replace_by_rename(path, EDITED_APP), EDITED_GREETING,
             {"cause": "changed", "result": "started", "pages_written": 1, "pages": 504}),
            (in_two_pieces, GREETING.rstrip(), {"cause": "changed", "result": "started", "pages_written": 1}),
            (lambda host, path: host.keys(b"\x17"), b"Reflashed: 0 of 504 pages", {"cause": "key", "pages_written": 0}),
            (fail_build, b"Build failed (status 2): nothing flashed", {"cause": "key", "result": "build failed"}),
        ]
        with open(self.scratch("Makefile"), "w") as f:  # what the README's --build runs
            f.write(".PHONY: app.hex\napp.hex:\n\t@echo building; test ! -e fail\n")
        with Emulator(app=APP_HEX) as chip:
            chip.wait_line(r"^uart 9615$")
            events = self.run_steps(readme_one_liner(chip.link), APP_HEX, steps)
        # The half file was read and said to be no image, and nothing was written for it.
        self.assertIn("not an image", [e["result"] for e in of_kind(events, "reflash")])
        reflashes = events[events.index(of_kind(events, "image")[1]):]
        self.assertEqual(len([p for p in of_kind(reflashes, "page") if p["pass"] == "write"]), 2)

    @unittest.skipUnless(UNO.ready() and os.path.exists(UNO_EDITED), "firmware or Debian's bootloader missing")
    def test_stk500_board_by_reset(self):
        options = ["--rfc2217", "0", "--no-reset-on-open"]
        steps = [(lambda host, path: replace_by_rename(path, UNO_EDITED), b"echo edited! application",
                  {"result": "started", "pages_written": 1})]
        with Emulator(board=UNO, options=options) as chip:
            url = "rfc2217://127.0.0.1:%d" % chip.network_port()
            events = self.run_steps(["app.hex", "-w", "--watch", "-c", url, "--protocol", "arduino", "-b", "115200"],
                                    UNO.app(), steps)
        self.assertEqual(of_kind(events, "pages_read")[-1]["differ"], 1)


if __name__ == "__main__":
    unittest.main()

"""README's examples, run: every indented block of README.md that runs one of
the programs is found and run against the simulated target or the emulated
chip, the board's names (ports, hosts, files) standing for the test's own.
A block the table below does not know fails, so does a row no block has any
more; a block that cannot run here is printed with why."""
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

from avr_target import APP_HEX, BOARDS, Emulator
from harness import BUILD, SOURCE, TAMBORVINE, Program, Sim, run

PROGRAMS = re.compile(r"^(\$ |- )?(\S*/)?(tamborvine|tamborvine-sim|tamborvine-avr|demo|avrdude)\s")
BOARD_PORTS = {"/dev/ttyUSB0", "/dev/ttyACM0", "/tmp/target", "/tmp/avr", "/tmp/uno", "rfc2217://benchpi.lab:3001"}
SIM_APP = os.path.join(SOURCE, "examples", "zelmo.hex")
FAKE_MACHINE = os.path.join(SOURCE, "tests", "data", "fake_machine")

# The first program line of a block (its start) -> the target started for
# it and, for each tamborvine or avrdude line, (status, what the output
# holds); or why it is not run.
EXAMPLES = {
    "./scripts/demo": "it installs packages and builds build/release: its run is the simulated target's below",
    "tamborvine [file.hex]": "the synopsis",
    "tamborvine examples/zelmo.hex -w -c /dev/ttyUSB0 --expect": ("avr", [(0, b"status\r")]),
    "build/release/sim/tamborvine-sim --target --link": ("sim", [(0, b"AVR said Hello")]),
    "build/release/sim/tamborvine-sim --target --no-wake": ("rfc2217", []),
    "tamborvine app.hex -w -V --reset dtr -c /dev/ttyUSB0": ("rfc2217", [(0, b"SUCCESS")]),
    "$ tamborvine --list-ports": ("usb", [(0, b"/dev/ttyUSB0  usb:0403:6001:A50285BI")]),
    "tamborvine app.hex -w --reset dtr -c usb:": ("usb", [(0, b"SUCCESS")]),
    "tamborvine app.hex -w -V --reset dtr -c rfc2217:": ("rfc2217", [(0, b"SUCCESS"), (0, b"ESC to exit")]),
    "- tamborvine firmware.hex -w -q": ("rfc2217", [(0, b"SUCCESS")]),
    "tamborvine sketch.hex -w --protocol arduino": ("uno", [(0, b"SUCCESS")]),
    "avrdude -c usbasp": "it needs an ISP programmer on a real chip",
    "tamborvine build/firmware/firmware/zelmo.hex -w -V -c": ("avr", [(0, b"SUCCESS")]),
    "tamborvine zelmo.hex -t -r 57600": ("avr-app", [(0, b"SUCCESS"), (0, b"SUCCESS")]),
    "build/firmware/firmware/tamborvine-avr --link": ("avr", [(0, b"SUCCESS")]),
    "tamborvine-avr --chip atmega328p": ("uno", [(0, b"bytes of flash verified")]),
    "build/release/sim/tamborvine-sim --target --link /tmp/com1": "tests/windows runs the Windows program so",
}


def command_blocks(text):
    """(line number, [program lines]) of each indented block that runs a
    program; a line ending in a backslash goes on in the next."""
    found = []
    for m in re.finditer(r"(?:^|\n\n)((?: {4}.*\n|\n(?= {4}))+)", text):
        block = re.sub(r"\\\n\s*", "", m.group(1)).split("\n")
        lines = [line.strip() for line in block if PROGRAMS.match(line.strip() + " ")]
        if lines:
            found.append((text[:m.start(1)].count("\n") + 1, lines))
    return found


def row_of(line):
    starts = [key for key in EXAMPLES if line.startswith(key)]
    return max(starts, key=len) if starts else None


class Target:
    """What a row runs against: its port and the files that stand for the
    board's."""

    def __init__(self, test, kind):
        self.env, self.app = None, APP_HEX
        if kind in ("sim", "rfc2217", "usb"):
            self.process = Sim("--target", *{"rfc2217": ["--no-wake", "--rfc2217", "0"], "usb": ["--boot"]}
                               .get(kind, []))
            self.port, self.app = self.process.link, SIM_APP
        else:
            board = BOARDS[0] if kind == "uno" else None
            self.process = Emulator(app=APP_HEX if kind == "avr-app" else None, board=board)
            self.port = self.process.path
            if kind == "avr-app":
                self.process.wait_line(r"^uart 9615$")  # the application runs (and has greeted)
            self.app = board.app("9600") if board else APP_HEX
        if kind == "rfc2217":
            self.port = "rfc2217://127.0.0.1:%d" % self.process.network_port()
        if kind == "usb":
            root = os.path.join(tempfile.mkdtemp(prefix="tvreadme-"), "machine")
            test.addCleanup(shutil.rmtree, os.path.dirname(root), True)
            shutil.copytree(FAKE_MACHINE, root, symlinks=True)
            os.symlink(self.process.path, os.path.join(root, "dev", "ttyUSB0"))
            self.env = {"TAMBORVINE_PORT_ROOT": root}

    def word(self, word):
        if word in ("tamborvine", "build/release/tamborvine"):
            return TAMBORVINE
        if word in BOARD_PORTS:
            return self.port
        if word.endswith(".hex") and not word.startswith("build/test/"):
            return self.app
        return word.replace("build/test/", BUILD + "/")


class ReadmeExamples(unittest.TestCase):
    def test_every_block_has_a_row_and_every_row_a_block(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            blocks = command_blocks(f.read())
        rows = [row_of(lines[0]) for _, lines in blocks]
        for (line, lines), row in zip(blocks, rows):
            with self.subTest(line=line, example=lines[0]):
                self.assertIsNotNone(row, "README line %d: no row in EXAMPLES says how it is run" % line)
                if isinstance(EXAMPLES.get(row), str):
                    print("README line %d not run: %s (%s)" % (line, EXAMPLES[row], lines[0]))
                elif row is not None:
                    self.run_block(lines, *EXAMPLES[row])
        self.assertEqual(set(EXAMPLES) - set(rows), set(), "rows that no README block has")

    def run_block(self, lines, kind, outcomes):
        target = Target(self, kind)
        self.addCleanup(target.process.close)  # at once when the block passed, below
        commands = [line for line in lines if re.match(r"^(\$ |- )?(\S*/)?(tamborvine|avrdude)\s", line)]
        self.assertEqual(len(commands), len(outcomes), lines)
        work = tempfile.mkdtemp(prefix="tvreadme-")
        self.addCleanup(shutil.rmtree, work, True)
        for command, (status, holds) in zip(commands, outcomes):
            args = [target.word(w) for w in shlex.split(re.sub(r"^(\$|-) ", "", command), comments=True)]
            rc, out = self.run_command(args, target.env, work)
            self.assertEqual(rc, status, (command, out))
            self.assertIn(holds, out, command)
        target.process.close()

    def run_command(self, args, env, work):
        """A run that ends by itself, or a terminal ended with Esc once
        it runs; the status and what it wrote on both streams."""
        if args[0] != TAMBORVINE or {"-q", "--expect", "--list-ports"} & set(args):
            if args[0] == TAMBORVINE:
                rc, out, err = run(args[1:], tty=False, env=env, cwd=work)
            else:
                done = subprocess.run(args, capture_output=True, cwd=work, timeout=120)
                rc, out, err = done.returncode, done.stdout, done.stderr
            return rc, out + err
        with Program(args[1:], tty=False, env=env, cwd=work) as p:
            p.expect(b"ESC to exit", timeout=60)
            p.keys(b"\x1b")
            return p.wait(), bytes(p.output)


if __name__ == "__main__":
    unittest.main()

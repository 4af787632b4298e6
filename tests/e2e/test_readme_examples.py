"""README's examples, run: each indented block of README.md that runs a
program is run against the simulated target or the emulated chip, the
board's names standing for the test's own. A block without a row fails, so
does a row without a block; a block that cannot run here is printed with why."""
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

from avr_target import APP_HEX, BOARDS, Emulator
from harness import BUILD, SOURCE, TAMBORVINE, Program, Sim

PROGRAM = r"^(\$ |- )?(\S*/)?(tamborvine|avrdude%s)\s"
BOARD_PORTS = {"/dev/ttyUSB0", "/dev/ttyACM0", "/tmp/target", "/tmp/avr", "/tmp/uno", "rfc2217://benchpi.lab:3001"}

# The start of a block's first program line -> the target started for it and
# what the output of each tamborvine or avrdude line holds (status 0); or
# why it is not run.
EXAMPLES = {
    "./scripts/demo": "it installs packages and builds build/release: its run is the simulated target's below",
    "tamborvine [file.hex]": "the synopsis",
    "tamborvine examples/zelmo.hex -w -c /dev/ttyUSB0 --expect": ("avr", [b"status\r"]),
    "build/release/sim/tamborvine-sim --target --link /tmp/target": ("sim", [b"AVR said Hello"]),
    "build/release/sim/tamborvine-sim --target --link /tmp/com1": "tests/windows runs the Windows program so",
    "build/release/sim/tamborvine-sim --target --no-wake": ("rfc2217", []),
    "tamborvine app.hex -w -V --reset dtr -c /dev/ttyUSB0": ("rfc2217", [b"SUCCESS"]),
    "$ tamborvine --list-ports": ("usb", [b"/dev/ttyUSB0  usb:0403:6001:A50285BI"]),
    "tamborvine app.hex -w --reset dtr -c usb:": ("usb", [b"SUCCESS"]),
    "tamborvine app.hex -w -V --reset dtr -c rfc2217:": ("rfc2217", [b"SUCCESS", b"ESC to exit"]),
    "- tamborvine firmware.hex -w -q": ("rfc2217", [b"SUCCESS"]),
    "tamborvine sketch.hex -w --protocol arduino": ("uno", [b"SUCCESS"]),
    "avrdude -c usbasp": "it needs an ISP programmer on a real chip",
    "tamborvine build/firmware/firmware/zelmo.hex -w -V -c": ("avr", [b"SUCCESS"]),
    "tamborvine zelmo.hex -t -r 57600": ("avr-app", [b"SUCCESS", b"SUCCESS"]),
    "build/firmware/firmware/tamborvine-avr --link": ("avr", [b"SUCCESS"]),
    "tamborvine-avr --chip atmega328p": ("uno", [b"bytes of flash verified"]),
    "tamborvine app.hex -t -w --watch": "test_watch.py runs it on the emulated chip, through its edits",
    "tamborvine build/app.elf -w -e build/app.elf": "test_memories runs these on the emulated chip with an EEMEM program",
}


def command_blocks(text):
    """(line number, program lines) of each indented block that runs a
    program, lines ended by a backslash joined to the next."""
    for m in re.finditer(r"(?:^|\n\n)((?: {4}.*\n|\n(?= {4}))+)", text):
        lines = [line.strip() for line in re.sub(r"\\\n\s*", "", m.group(1)).split("\n")]
        lines = [line for line in lines if re.match(PROGRAM % "|tamborvine-sim|tamborvine-avr|demo", line + " ")]
        if lines:
            yield text[:m.start(1)].count("\n") + 1, lines


def start_target(test, kind):
    """The process, its port, the image that stands for the board's, the runs' environment."""
    sim_app, env = os.path.join(SOURCE, "examples", "zelmo.hex"), {}
    if kind in ("sim", "rfc2217", "usb"):
        target = Sim("--target", *{"rfc2217": ["--no-wake", "--rfc2217", "0"], "usb": ["--boot"]}.get(kind, []))
        port = "rfc2217://127.0.0.1:%d" % target.network_port() if kind == "rfc2217" else target.link
        if kind == "usb":  # a fake machine whose adapter of that identity is the simulated target
            env = {"TAMBORVINE_PORT_ROOT": tempfile.mkdtemp(prefix="tvreadme-") + "/m"}
            test.addCleanup(shutil.rmtree, os.path.dirname(env["TAMBORVINE_PORT_ROOT"]), True)
            shutil.copytree(os.path.join(SOURCE, "tests", "data", "fake_machine"), env["TAMBORVINE_PORT_ROOT"],
                            symlinks=True)
            os.symlink(target.path, env["TAMBORVINE_PORT_ROOT"] + "/dev/ttyUSB0")
        test.addCleanup(target.close)
        return target, port, sim_app, env
    board = BOARDS[0] if kind == "uno" else None
    target = Emulator(app=APP_HEX if kind == "avr-app" else None, board=board)
    test.addCleanup(target.close)
    if kind == "avr-app":
        target.wait_line(r"^uart 9615$")  # the application runs and has greeted
    return target, target.path, board.app("9600") if board else APP_HEX, env


class ReadmeExamples(unittest.TestCase):
    def test_every_block_runs_as_its_row_says(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            blocks = list(command_blocks(f.read()))
        rows = [max((key for key in EXAMPLES if lines[0].startswith(key)), key=len, default=None)
                for _, lines in blocks]
        for (line, lines), row in zip(blocks, rows):
            with self.subTest(line=line, example=lines[0]):
                self.assertIsNotNone(row, "README line %d: no row of EXAMPLES says how it is run" % line)
                if isinstance(EXAMPLES.get(row), str):
                    print("README line %d not run: %s (%s)" % (line, EXAMPLES[row], lines[0]))
                elif row is not None:
                    self.run_block([line for line in lines if re.match(PROGRAM % "", line)], *EXAMPLES[row])
        self.assertEqual(set(EXAMPLES) - set(rows), set(), "rows that no README block has")

    def test_every_package_list_is_named(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            text = f.read()
        lists = sorted(os.listdir(os.path.join(SOURCE, "scripts", "packages")))
        self.assertEqual([name for name in lists if "`%s`" % name not in text], [])

    def run_block(self, commands, kind, outputs):
        process, port, image, env = start_target(self, kind)
        self.assertEqual(len(commands), len(outputs), commands)
        work = tempfile.mkdtemp(prefix="tvreadme-")
        self.addCleanup(shutil.rmtree, work, True)
        swap = {"tamborvine": TAMBORVINE, "build/release/tamborvine": TAMBORVINE, **{p: port for p in BOARD_PORTS}}
        for command, holds in zip(commands, outputs):
            args = [swap.get(w, image if w.endswith(".hex") and "build/test/" not in w else
                             w.replace("build/test/", BUILD + "/"))
                    for w in shlex.split(re.sub(r"^(\$|-) ", "", command), comments=True)]
            if args[0] != TAMBORVINE or {"-q", "--expect", "--list-ports"} & set(args):
                done = subprocess.run(args, capture_output=True, cwd=work, env={**os.environ, **env}, timeout=120)
                rc, out = done.returncode, done.stdout + done.stderr
            else:  # the terminal, ended with Esc once it runs
                with Program(args[1:], tty=False, env=env, cwd=work) as p:
                    p.expect(b"ESC to exit", timeout=60)
                    p.keys(b"\x1b")
                    rc, out = p.wait(), bytes(p.output)
            self.assertEqual((rc, holds in out), (0, True), (command, out))
        process.close()  # at once: a board left running slows the next on a loaded machine


if __name__ == "__main__":
    unittest.main()

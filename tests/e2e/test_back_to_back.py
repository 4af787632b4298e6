"""Downloads in a row, as a script that flashes one board again and again
runs them: each run wakes the application that the run before started,
which greets as it starts, while another load keeps every core busy."""
import os
import unittest

from avr_target import APP_HEX, Emulator, firmware_built
from harness import SOURCE, Sim, busy_cores, run

RUNS = 5


def simulated():
    return Sim("--target"), os.path.join(SOURCE, "examples", "zelmo.hex")


def emulated():
    chip = Emulator(app=APP_HEX)
    chip.wait_line(r"^uart 9615$")  # the bootloader's second is over: the application runs
    return chip, APP_HEX


class BackToBack(unittest.TestCase):
    def test_five_wake_ups_in_a_row_on_a_loaded_machine(self):
        for name, target in (("simulated", simulated), ("emulated", emulated)):
            with self.subTest(target=name):
                if name == "emulated" and not firmware_built():
                    self.skipTest("firmware not built (gcc-avr, avr-libc, libsimavr-dev missing)")
                line, image = target()
                with line, busy_cores():
                    ends = [run([image, "-t", "-w", "-q", "-c", line.link], tty=False, timeout=120)
                            for _ in range(RUNS)]
                self.assertEqual([rc for rc, _, _ in ends], [0] * RUNS, [out[-120:] for _, out, _ in ends])


if __name__ == "__main__":
    unittest.main()

"""--download-rate: any rate for the download, the wake-up divisor it
gives, the values it refuses, and the warning for a rate the divisor
misses on a 16 MHz chip."""
import unittest

from boot_support import Workdir, download
from harness import Sim, run
from test_command_line import fatal

ONE_WORD = {0x100: 0x1234}
WARNING_115200 = b"Warning: the wake-up divisor 7 means 125000 baud on a 16 MHz chip, 8.5 % off 115200 baud\r\n"


class FastRates(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", ONE_WORD)

    def test_wake_up_divisor_and_every_command_at_the_rate(self):
        # The application hears the wake-up at the terminal rate; the
        # bootloader then listens at exactly 1,000,000 / (divisor + 1) and
        # loses bytes sent more than 4 % off, so a whole write and verify
        # shows that the program followed it.
        for option, rate, text in ((["--download-rate", "250000"], 250000, b" 3"),
                                   (["--download-rate=500000"], 500000, b" 1"),
                                   (["--download-rate", "1000000"], 1000000, b" 0")):
            with self.subTest(rate=rate), Sim("--target") as sim:
                rc, after, out, _ = download(sim, self.hex, "-t", "-w", "-V", *option)
                self.assertEqual(rc, 0, out)
                self.assertIn(b"saying Mancb" + text + b"cb at 9600\r\nAVR said Hello : Hello!\r\n"
                              b"Set download baud rate to : %d\r\n" % rate, out)
                self.assertNotIn(b"Warning", out)
                self.assertTrue(after.endswith(b"\r\nSUCCESS\r\nwe say E\r\n \r\r\n"), after)
                sim.sync()
                self.assertEqual(sim.received()[:9], [(9600, b) for b in b"Mancb" + text + b"cb"])
                commands = sim.commands()
                self.assertEqual([c[1] for c in commands],
                                 ["wake", "p", "S", "v", "V", "t", "e", "A", "k", "A", "l", "E"])
                self.assertEqual({c[0] for c in commands[1:]}, {rate})
                self.assertEqual(sim.reported(r"^lost "), [])

    def test_without_wake_up_the_bootloader_is_met_at_the_rate(self):
        # The last rate option given is the one used.
        with Sim("--target", "--boot", "--boot-rate", "1000000") as sim:
            rc, _, out, _ = download(sim, self.hex, "-w", "-r", "57600", "--download-rate", "1000000")
            self.assertEqual(rc, 0, out)
            sim.sync()
            self.assertEqual({r for r, _ in sim.received()}, {1000000})


class Refusals(unittest.TestCase):
    def test_bad_rates_stop_as_the_letters_do(self):
        # Before the port is touched; only a whole positive decimal number
        # is a rate. -r keeps its four rates.
        for args in (["--download-rate", "0"], ["--download-rate", "-250000"], ["--download-rate=abc"],
                     ["--download-rate="], ["--download-rate", "250000baud"], ["--download-rate", "1e6"],
                     ["--download-rate", "99999999999"], ["--download-rate", " 9600"],
                     ["-r", "250000"], ["-r", "1000000"]):
            with self.subTest(args=args):
                rc, out, err = run(["-c", "/nonexistent/port"] + args, tty=False)
                self.assertEqual((rc, out), (1, fatal(b"Baud Rate - Bad Argument")))
                self.assertTrue(err.startswith(b"tamborvine: " + args[0].split("=")[0].encode()), err)
        self.assertEqual(run(["--download-rate"], tty=False),
                         (1, fatal(b"Option --download-rate needs a value: --download-rate N"), b""))


class Warning(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", ONE_WORD)

    def test_a_rate_the_divisor_misses_is_named_before_the_wake_up(self):
        # 115200 gives divisor 7, 125,000 baud: the run goes on and, as on a
        # real 16 MHz chip, the bootloader cannot read it; the stop says
        # where the board was left.
        for rate in (["--download-rate", "115200"], ["-r", "115200"]):
            with self.subTest(rate=rate), Sim("--target", "--chip-clock") as sim:
                rc, after, out, err = download(sim, self.hex, "-t", "-V", *rate)
                self.assertEqual(rc, 1)
                self.assertIn(WARNING_115200 + b"line quiet for 100 ms, 0 bytes dropped\r\n"
                              b"saying Mancb 7cb at 9600\r\nAVR said Hello", after)
                self.assertEqual(out.count(b"Warning"), 1)
                self.assertTrue(out.endswith(b"didn't get reply from AVR, out of sync\r\n\r\n"), out)
                self.assertEqual(err, b"The board's bootloader now listens at 125000 baud, which 115200 baud "
                                      b"does not reach: reset the board before the next run\n")
                sim.wait_line(r"^lost 115200 70 \(listening at 125000\)$")

    def test_no_hello_says_when_the_board_is_in_its_bootloader_already(self):
        for sim_args, hint in ((["--boot"], b"The board is already in its bootloader: run again without -t\n"),
                               (["--no-wake"], b"")):
            with self.subTest(sim=sim_args), Sim("--target", *sim_args) as sim:
                rc, _, out, err = download(sim, self.hex, "-t", "-w")
                self.assertEqual((rc, out[-24:], err), (1, fatal(b"No hello from AVR\r\n")[-24:], hint))
        # 57600 gives divisor 16, 58,824 baud (2.1 % off): no warning, and
        # none without -t.
        for args, sim_args in ((["-t", "-r", "57600"], []),
                               (["--download-rate", "115200"], ["--boot", "--boot-rate", "115200"])):
            with self.subTest(args=args), Sim("--target", *sim_args) as sim:
                rc, _, out, _ = download(sim, self.hex, "-w", *args)
                self.assertEqual(rc, 0, out)
                self.assertNotIn(b"Warning", out)


if __name__ == "__main__":
    unittest.main()

"""The program starts, parses, opens the simulated port and says what it does."""
import unittest

from harness import VERSION_OUTPUT, Program, Sim, run


class Smoke(unittest.TestCase):
    def test_version_is_framed_and_exits_zero(self):
        rc, out, _ = run(["-v"], tty=False)
        self.assertEqual(rc, 0)
        self.assertEqual(out, VERSION_OUTPUT)

    def test_opens_the_simulated_port_at_the_terminal_rate(self):
        # A key typed in the terminal reaches the target at the rate (the
        # port is put back as found when the run ends).
        with Sim() as sim, Program(["-c", sim.link, "-b", "57600"], tty=False) as p:
            p.expect(b"ESC to exit")
            p.keys(b"x")
            self.assertEqual(sim.wait_received(1), b"x")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)
            self.assertEqual(sim.received(), [(57600, ord("x"))])


if __name__ == "__main__":
    unittest.main()

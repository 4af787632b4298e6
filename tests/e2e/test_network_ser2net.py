"""The program against ser2net exporting the simulated target with RFC
2217: whole downloads at both rates, the terminal with every byte value,
and the connection killed and brought back while the terminal runs."""
import os
import threading
import unittest

from boot_support import Workdir, download
from harness import Program, Sim, run
from network_support import (BACK, GONE, START, Ser2net, check_every_byte_both_ways, check_flash,
                             every_byte_image, require_ser2net)

# ser2net drives a pseudo-terminal, which has no modem lines: it leaves the
# program's DTR and RTS settings unanswered, and the program says so once.
UNANSWERED = b"the server did not answer SET-CONTROL"


def open_sockets(pid):
    fds = "/proc/%d/fd" % pid
    return sum(os.readlink(os.path.join(fds, fd)).startswith("socket:") for fd in os.listdir(fds))


class Downloads(unittest.TestCase):
    def setUp(self):
        require_ser2net()
        self.work = Workdir()
        self.hex, self.data = every_byte_image(self.work)

    def download_through_ser2net(self, sim_args, flags):
        with Sim(*sim_args) as sim, Ser2net(sim.path) as server:
            rc, out, err = run([self.hex, "-c", server.url(), "-q"] + flags, tty=False, timeout=120)
            self.assertEqual(rc, 0, out + err)
            self.assertIn(b"\r\nSUCCESS\r\n", out)
            check_flash(self, sim.dump_flash(), self.data)
            self.assertEqual(err.count(UNANSWERED), 1, err)
            return sim.commands()

    def test_write_and_verify_at_the_download_rate(self):
        commands = self.download_through_ser2net(["--target", "--boot"], ["-w", "-V"])
        self.assertEqual({rate for rate, _, _ in commands}, {19200})
        names = [name for _, name, _ in commands]
        self.assertEqual(names[:6], ["p", "S", "v", "V", "t", "e"])
        self.assertEqual(names.count("k"), names.count("l"))
        self.assertGreaterEqual(names.count("k"), 8)
        self.assertEqual(names[-1], "E")

    def test_wake_up_at_the_terminal_rate_then_57600(self):
        commands = self.download_through_ser2net(["--target"], ["-t", "-r", "57600", "-w"])
        self.assertEqual(commands[0][:2], (9600, "wake"))
        self.assertEqual([name for _, name, _ in commands[1:6]], ["p", "S", "v", "V", "t"])
        self.assertEqual({rate for rate, _, _ in commands[1:]}, {57600})


class Terminal(unittest.TestCase):
    def test_every_byte_value_both_ways_and_esc(self):
        require_ser2net()
        work = Workdir()
        with Sim() as sim, Ser2net(sim.path) as server:
            err = check_every_byte_both_ways(self, server.url(), sim, work)
            self.assertEqual({rate for rate, _ in sim.received()}, {9600})
            self.assertEqual(err.count(UNANSWERED), 1, err)

    def test_wait_port_for_a_server_that_starts_a_second_later(self):
        require_ser2net()
        with Sim() as sim:
            with Ser2net(sim.path) as first:
                port = first.port  # a port that was free a moment ago
            later = []
            timer = threading.Timer(1.0, lambda: later.append(Ser2net(sim.path, port=port)))
            timer.start()
            try:
                with Program(["-c", "rfc2217://127.0.0.1:%d" % port, "--wait-port", "10"]) as p:
                    p.expect(START, timeout=15)
                    p.keys(b"\x1b")
                    self.assertEqual(p.wait(), 0)
            finally:
                timer.join()
                for server in later:
                    server.close()

    def test_killed_connection_is_gone_once_then_back(self):
        require_ser2net()
        with Sim() as sim, Ser2net(sim.path) as server, Program(["-c", server.url()]) as p:
            p.expect(START)
            sim.send(b"before\r\n")
            p.expect(b"before")
            server.kill()
            p.expect(GONE)
            p.pump_for(2.5)
            out = bytes(p.output)
            self.assertEqual(out.count(GONE), 1)
            self.assertEqual(out.count(b"Bad read result"), 1)
            self.assertIsNone(p.proc.poll())
            server.start()
            p.expect(b"*** Port " + server.url().encode() + b" " + BACK, timeout=10)
            sim.send(b"after\r\n")
            p.expect(b"after")
            p.keys(b"k")
            self.assertTrue(sim.wait_received(1).endswith(b"k"))
            self.assertEqual(open_sockets(p.proc.pid), 1)  # the dropped connection's is closed
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)
            self.assertEqual(bytes(p.output).count(GONE), 1)


if __name__ == "__main__":
    unittest.main()

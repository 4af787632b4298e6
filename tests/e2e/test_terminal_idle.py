"""The idle terminal sleeps until something comes: it does not wake while
nothing happens, yet a key or a received byte ends its wait at once, and a
lost port is still tried about once a second."""
import ctypes
import os
import socket
import struct
import tempfile
import threading
import time
import unittest

from harness import Program, Sim

BANNER = b"Start terminal emulation - ESC to exit\r\r\n"
GONE = b"is gone: re-opening it every second (Esc to exit) ***"
# A 1 ms poll would sleep about a thousand times a second.
IDLE_SECONDS = 2.0
MOST_SLEEPS_WHILE_IDLE = 20
# A wait that a key or a byte does not end lasts until something else is
# due; these bounds are far above a wait that ends at once.
PROMPTLY = 0.5


def sleeps(pid):
    """How often the process's main thread has gone to sleep so far."""
    with open("/proc/%d/task/%d/status" % (pid, pid)) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches"):
                return int(line.split()[1])
    raise AssertionError("no context switch count for %d" % pid)


class OpenWatch:
    """Counts the opens of one file (inotify IN_OPEN)."""

    IN_OPEN = 0x20

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, path.encode(), self.IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.count = 0

    def take(self):
        while True:
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                return self.count
            at = 0
            while at < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, at)
                self.count += bool(mask & self.IN_OPEN)
                at += 16 + length

    def close(self):
        os.close(self.fd)


class Idle(unittest.TestCase):
    def start(self, port):
        self.p = Program(["-c", port])
        self.addCleanup(self.p.close)
        self.p.expect(BANNER)
        return self.p

    def test_sleeps_while_idle_and_wakes_at_once_for_a_byte_or_a_key(self):
        sim = Sim()
        self.addCleanup(sim.close)
        p = self.start(sim.link)
        time.sleep(0.3)
        before = sleeps(p.proc.pid)
        time.sleep(IDLE_SECONDS)
        self.assertLessEqual(sleeps(p.proc.pid) - before, MOST_SLEEPS_WHILE_IDLE)

        start = time.monotonic()
        sim.send(b"after the quiet\r\n")
        p.expect(b"after the quiet")
        self.assertLess(time.monotonic() - start, PROMPTLY)
        time.sleep(0.5)
        start = time.monotonic()
        p.keys(b"k")
        self.assertEqual(sim.wait_received(1), b"k")
        self.assertLess(time.monotonic() - start, PROMPTLY)
        # Keys typed together are all taken, one a pass, with none left
        # waiting for more input; a lone Esc then ends the run.
        p.keys(b"abc")
        self.assertEqual(sim.wait_received(4), b"kabc")
        p.keys(b"\x1b")
        self.assertEqual(p.wait(), 0)
        self.assertTrue(bytes(p.output).endswith(b"\r\r\nNormal Exit\r\r\n"))

    def test_a_lost_port_is_tried_about_once_a_second(self):
        # The port's name leads to a file that opens but is no terminal:
        # each try opens it once.
        sim = Sim()
        self.addCleanup(sim.close)
        work = tempfile.mkdtemp(prefix="tvidle-")
        link = os.path.join(work, "adapter")
        os.symlink(sim.path, link)
        p = self.start(link)
        os.unlink(link)
        not_a_port = os.path.join(work, "not-a-port")
        open(not_a_port, "wb").close()
        watch = OpenWatch(not_a_port)
        self.addCleanup(watch.close)
        os.symlink(not_a_port, link)
        sim.command("hangup")
        p.expect(GONE)
        watch.take()
        start = time.monotonic()
        time.sleep(3.5)
        tries = watch.take()
        elapsed = time.monotonic() - start
        self.assertGreaterEqual(tries, 2, "%d tries in %.1f s" % (tries, elapsed))
        self.assertLessEqual(tries, elapsed + 1.5, "%d tries in %.1f s" % (tries, elapsed))
        p.keys(b"\x1b")
        self.assertEqual(p.wait(), 0)

    def test_a_server_that_hangs_up_at_once_is_tried_about_once_a_second(self):
        # As ser2net does while its device is unplugged: each connection is
        # taken, told why and closed. The first failure is reported and the
        # line opened again at once; one that fails again right away is gone.
        server = socket.socket()
        self.addCleanup(server.close)
        server.bind(("127.0.0.1", 0))
        server.listen(16)
        server.settimeout(0.1)
        accepted = []
        stop = threading.Event()

        def serve():
            while not stop.is_set():
                try:
                    connection, _ = server.accept()
                except OSError:
                    continue
                accepted.append(time.monotonic())
                connection.sendall(b"Device open failure\r\n")
                connection.close()

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        self.addCleanup(thread.join)
        self.addCleanup(stop.set)
        p = self.start("socket://127.0.0.1:%d" % server.getsockname()[1])
        p.expect(GONE)
        start = time.monotonic()
        time.sleep(3.5)
        tries = sum(1 for t in accepted if t >= start)
        elapsed = time.monotonic() - start
        self.assertGreaterEqual(tries, 2, "%d tries in %.1f s" % (tries, elapsed))
        self.assertLessEqual(tries, elapsed + 1.5, "%d tries in %.1f s" % (tries, elapsed))
        p.keys(b"\x1b")
        self.assertEqual(p.wait(), 0)
        self.assertEqual(bytes(p.output).count(b"Bad read result"), 1)


if __name__ == "__main__":
    unittest.main()

"""Finding the port: --list-ports on the machine and on a fake machine
(tests/data/fake_machine, through the test hook TAMBORVINE_PORT_ROOT),
usb: names matching none, one or two adapters, and --wait-port for a port
that appears a second after the start and for one that never does."""
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from harness import NOBODY, SOURCE, TAMBORVINE, Program, Sim, run
from network_support import BACK, GONE, START

FAKE_MACHINE = os.path.join(SOURCE, "tests", "data", "fake_machine")
UNABLE = b"Unable to open COM port : "


def fake_machine(test):
    """A copy of the fake machine; its dev/ is where the tests link the
    simulated target in."""
    root = os.path.join(tempfile.mkdtemp(prefix="tvports-"), "machine")
    shutil.copytree(FAKE_MACHINE, root, symlinks=True)
    test.addCleanup(shutil.rmtree, os.path.dirname(root), True)
    return root


def with_root(root):
    return {"TAMBORVINE_PORT_ROOT": root}


class ListPorts(unittest.TestCase):
    def test_fake_machine_one_line_per_port(self):
        root = fake_machine(self)
        rc, out, err = run(["--list-ports"], tty=False, env=with_root(root))
        self.assertEqual((rc, err), (0, b""))
        by_id = root + "/dev/serial/by-id/"
        self.assertEqual(out.decode().split("\r\n"), [
            root + '/dev/ttyACM0  usb:2e8a:000a:E66038B7133F3F2F  manufacturer="Raspberry Pi"  product="Pico"'
            "  by-id=" + by_id + "usb-Raspberry_Pi_Pico_E66038B7133F3F2F-if00",
            root + "/dev/ttyS0",
            root + "/dev/ttyS10",
            root + '/dev/ttyUSB0  usb:0403:6001:A50285BI  manufacturer="FTDI"  product="FT232R USB UART"'
            "  by-id=" + by_id + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
            root + "/dev/ttyUSB1  usb:0403:6001:A7004YUZ  manufacturer=\"FTDI?[2J'\"  product=\"FT232R USB UART\""
            "  by-id=" + by_id + "usb-FTDI_FT232R_USB_UART_A7004YUZ-if00-port0",
            ""])

    def test_this_machine_lists_what_exists(self):
        rc, out, err = run(["--list-ports"], tty=False)
        self.assertEqual((rc, err), (0, b""))
        for line in out.decode().split("\r\n")[:-1]:
            self.assertTrue(os.path.exists(line.split()[0]), line)


class UsbNames(unittest.TestCase):
    def setUp(self):
        self.root = fake_machine(self)
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        os.symlink(self.sim.path, os.path.join(self.root, "dev", "ttyUSB0"))

    def test_one_match_opens_that_adapter(self):
        with Program(["-c", "usb:0403:6001:A50285BI"], env=with_root(self.root)) as p:
            p.expect(START)
            p.keys(b"x")
            self.assertEqual(self.sim.wait_received(1), b"x")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)

    def test_an_adapter_back_under_another_name_is_found_again(self):
        usb = os.path.join(self.root, "sys", "devices", "pci0000:00", "0000:00:14.0", "usb1")
        with Program(["-c", "usb:0403:6001:A50285BI"], env=with_root(self.root)) as p:
            p.expect(START)
            # Unplugged; back as ttyUSB1 (the other adapter's serial number
            # moved away), on a new line.
            os.unlink(os.path.join(self.root, "dev", "ttyUSB0"))
            self.sim.command("hangup")
            p.expect(GONE)
            n = len(self.sim.lines)
            self.sim.command("replug")
            path = self.sim.wait_line(r"^/dev/\S+$", start=n).group(0)
            for device, serial in (("1-2", "GONE0000"), ("1-4", "A50285BI")):
                with open(os.path.join(usb, device, "serial"), "w") as f:
                    f.write(serial + "\n")
            os.symlink(path, os.path.join(self.root, "dev", "ttyUSB1"))
            p.expect(b"*** Port usb:0403:6001:A50285BI " + BACK, timeout=5)
            p.keys(b"y")
            self.assertEqual(self.sim.wait_received(1), b"y")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)

    def test_two_matches_stop_and_list_both(self):
        rc, out, _ = run(["-c", "usb:0403:6001", "-q"], tty=False, env=with_root(self.root))
        self.assertEqual(rc, 1)
        self.assertTrue(out.startswith(b"\r\n" + UNABLE + b"usb:0403:6001\r\n"), out)
        self.assertIn(b"Several ports match", out)
        for device in (b"/dev/ttyUSB0  usb:0403:6001:A50285BI", b"/dev/ttyUSB1  usb:0403:6001:A7004YUZ"):
            self.assertIn(self.root.encode() + device, out)
        self.assertNotIn(b"ttyACM0", out)

    def test_no_match_stops_and_lists_the_usb_ports_there_are(self):
        rc, out, err = run(["-c", "USB:1234:ABCD", "-q"], tty=False, env=with_root(self.root))
        self.assertEqual(rc, 1)
        self.assertTrue(out.startswith(b"\r\n" + UNABLE + b"USB:1234:ABCD\r\n"), out)
        self.assertIn(b"No serial port matches", out)
        self.assertEqual(err, b"Cannot open USB:1234:ABCD: no serial port has this USB identity "
                              b"(is the adapter plugged in?)\n")
        self.assertEqual(out.count(b"  usb:"), 3)

    def test_a_malformed_usb_name_is_a_bad_port_argument(self):
        rc, out, _ = run(["-c", "usb:0403:xyz", "-q"], tty=False)
        self.assertEqual((rc, out), (1, b"\r\nCom Port Bad Argument\r\n\r\n"))


class WaitPort(unittest.TestCase):
    def link_later(self, target, link, delay=1.0):
        timer = threading.Timer(delay, os.symlink, (target, link))
        timer.start()
        self.addCleanup(timer.cancel)

    def test_a_port_appearing_after_a_second_is_opened(self):
        sim = Sim()
        self.addCleanup(sim.close)
        link = os.path.join(tempfile.mkdtemp(prefix="tvwait-"), "adapter")
        self.link_later(sim.path, link)
        with Program(["-c", link, "--wait-port", "5"]) as p:
            p.expect(START, timeout=10)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)

    def test_an_adapter_by_its_usb_identity_appearing_after_a_second(self):
        root = fake_machine(self)
        sim = Sim()
        self.addCleanup(sim.close)
        self.link_later(sim.path, os.path.join(root, "dev", "ttyUSB1"))
        with Program(["-c", "usb:0403:6001:A7004YUZ", "--wait-port=5"], env=with_root(root)) as p:
            p.expect(START, timeout=10)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)

    def test_a_device_that_refuses_this_user_at_first_is_tried_a_while_longer(self):
        # udev gives a new adapter its group a moment after it appears: a
        # permission denied is tried again for a while, past --wait-port.
        sim = Sim()
        self.addCleanup(sim.close)
        self.addCleanup(os.chmod, sim.path, os.stat(sim.path).st_mode & 0o7777)
        os.chmod(sim.path, 0o600)
        timer = threading.Timer(1.8, os.chmod, (sim.path, 0o666))
        timer.start()
        self.addCleanup(timer.cancel)
        done = subprocess.run(NOBODY + [TAMBORVINE, "-c", sim.path, "--wait-port", "1", "-q"],
                              capture_output=True, timeout=30)
        self.assertEqual(done.returncode, 0, done)

    def test_nothing_appearing_stops_after_the_time_given(self):
        link = os.path.join(tempfile.mkdtemp(prefix="tvwait-"), "never")
        start = time.monotonic()
        rc, out, _ = run(["-c", link, "--wait-port", "5", "-q"], tty=False, timeout=30)
        elapsed = time.monotonic() - start
        self.assertEqual(rc, 1)
        self.assertEqual(out, b"\r\n" + UNABLE + link.encode() + b"\r\n\r\n\r\n")
        self.assertGreaterEqual(elapsed, 4.9)


if __name__ == "__main__":
    unittest.main()

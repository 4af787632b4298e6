"""The Windows build under wine on network ports (Winsock) against the same
servers as the POSIX build: ser2net with RFC 2217, a raw TCP bridge, and
the simulated target's own RFC 2217 endpoint for --reset; the emulated
ATmega328P with its stock bootloader, reset by DTR and RTS over RFC 2217
(--protocol arduino); and --list-ports, which lists the COM ports the wine
prefix maps."""
import os
import shutil
import sys
import unittest

import winharness as w
from winharness import WineTestCase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from avr_target import BOARDS, Emulator, read_hex_bytes  # noqa: E402
from boot_support import Workdir  # noqa: E402
from network_support import (Ser2net, TcpBridge, check_flash, every_byte_image, require_ser2net,  # noqa: E402
                             sim_rfc2217_port)


class NetworkPorts(WineTestCase):
    def setUp(self):
        self.work = Workdir()
        self.addCleanup(shutil.rmtree, self.work.path, True)
        hex_path, self.data = every_byte_image(self.work)
        self.hex_name = os.path.basename(hex_path)

    def target(self, *args):
        sim = w.Sim(*args)
        self.addCleanup(w.close_sim, sim)
        return sim

    def download(self, sim, url, *flags):
        p = self.program([self.hex_name, "-c", url, "-q"] + list(flags), tty=False, cwd=self.work.path)
        rc = p.wait(180)
        out = w.fold_line_ends(bytes(p.output))
        self.assertEqual(rc, 0, out + bytes(p.stderr_data))
        self.assertIn(b"\r\nSUCCESS\r\n", out)
        check_flash(self, sim.dump_flash(), self.data)
        return w.fold_line_ends(bytes(p.stderr_data))

    def test_rfc2217_through_ser2net_at_both_rates(self):
        require_ser2net()
        sim = self.target("--target")
        with Ser2net(sim.path) as server:
            err = self.download(sim, server.url(), "-t", "-r", "57600", "-w")
        commands = sim.commands()
        self.assertEqual(commands[0][:2], (9600, "wake"))
        self.assertEqual({rate for rate, _, _ in commands[1:]}, {57600})
        self.assertEqual(err.count(b"the server did not answer SET-CONTROL"), 1, err)

    def test_raw_socket_through_a_bridge(self):
        sim = self.target("--target", "--boot")
        with TcpBridge(sim.path, rate=19200) as bridge:
            self.download(sim, bridge.url(), "-w")

    def test_reset_by_dtr_against_the_simulated_targets_endpoint(self):
        sim = self.target("--target", "--rfc2217", "0")
        url = "rfc2217://127.0.0.1:%d" % sim_rfc2217_port(sim)
        self.assertEqual(self.download(sim, url, "--reset", "dtr", "-w"), b"")

    def test_a_board_with_its_stock_bootloader_reset_over_rfc2217(self):
        board = BOARDS[0]
        shutil.copy(board.app(), self.work.path)
        with Emulator(board=board, options=["--rfc2217", "0"]) as chip:
            url = "rfc2217://127.0.0.1:%d" % chip.network_port()
            p = self.program([os.path.basename(board.app()), "-c", url, "-w", "-q", "--protocol", "arduino"],
                             tty=False, cwd=self.work.path)
            self.assertEqual(p.wait(180), 0, bytes(p.output) + bytes(p.stderr_data))
            self.assertIn(b"\r\nSUCCESS\r\n", w.fold_line_ends(bytes(p.output)))
            flash, written = chip.dump(), read_hex_bytes(board.app())
            self.assertEqual({a: flash[a] for a in written}, written)
            chip.wait_line(r"^reset external (dtr|rts)$")

    def test_list_ports_shows_the_mapped_com_ports(self):
        rc, out, err = self.run_exe(["--list-ports"])
        self.assertEqual(rc, 0, out + err)
        names = [line.split()[0] for line in out.decode().split("\r\n") if line]
        for name in w.MAPPED_PORTS:
            self.assertIn(name, names)


if __name__ == "__main__":
    unittest.main()

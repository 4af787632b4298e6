"""socket:// against a raw TCP bridge to the simulated target, --reset
against the simulated target's own RFC 2217 endpoint, whose DTR or RTS
pulse resets the target into its bootloader, hostile servers, and names
and connections that never answer."""
import json
import os
import signal
import socket
import threading
import unittest

from boot_support import Workdir
from harness import Program, Sim, run
from network_support import (GONE, START, HostileServer, OwnResolver, TcpBridge, check_every_byte_both_ways,
                             check_flash, every_byte_image, sim_rfc2217_port)

NO_MODEM_LINES = b"the port has no modem lines"
IN_SYNC_LOST = b"didn't get reply from AVR, out of sync"


class RawSocket(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()

    def test_download_at_the_bridges_rate(self):
        hex_path, data = every_byte_image(self.work)
        with Sim("--target", "--boot") as sim, TcpBridge(sim.path, rate=19200) as bridge:
            rc, out, err = run([hex_path, "-c", bridge.url(), "-w", "-q"], tty=False, timeout=120)
            self.assertEqual(rc, 0, out + err)
            self.assertIn(b"\r\nSUCCESS\r\n", out)
            check_flash(self, sim.dump_flash(), data)
            self.assertEqual({rate for rate, _, _ in sim.commands()}, {19200})

    def test_terminal_every_byte_value_and_no_modem_lines_unsaid_when_only_dropped(self):
        # Only the drop of DTR as the port opens needed them: nothing to say.
        with Sim() as sim, TcpBridge(sim.path) as bridge:
            err = check_every_byte_both_ways(self, bridge.url(), sim, self.work)
            self.assertEqual(err.count(NO_MODEM_LINES), 0, err)

    def test_a_last_send_step_goes_out_before_the_run_ends(self):
        # Output to a network port is gathered; the end of the run sends it.
        with Sim("--rfc2217", "0") as sim, TcpBridge(sim.path) as bridge:
            for url, text in ((bridge.url(), b"raw\r"), ("rfc2217://127.0.0.1:%d" % sim_rfc2217_port(sim), b"telnet\r")):
                with self.subTest(url=url):
                    before = len(sim.received())
                    rc, out, err = run(["-c", url, "--send", text.decode()], tty=False)
                    self.assertEqual(rc, 0, out + err)
                    self.assertEqual(sim.wait_received(before + len(text))[before:], text)


class ResetIntoTheBootloader(unittest.TestCase):
    """The target starts in its application, which ignores the bootloader's
    commands."""

    def setUp(self):
        self.work = Workdir()
        self.hex, self.data = every_byte_image(self.work)

    def endpoint(self):
        sim = Sim("--target", "--rfc2217", "0")
        self.addCleanup(sim.close)
        return sim, "rfc2217://127.0.0.1:%d" % sim_rfc2217_port(sim)

    def test_a_pulse_on_each_line_choice_resets_the_target_and_the_download_succeeds(self):
        for lines in ("dtr", "rts", "dtr,rts"):
            with self.subTest(lines=lines):
                sim, url = self.endpoint()
                events = os.path.join(self.work.path, "events.jsonl")
                rc, out, err = run([self.hex, "-c", url, "--reset", lines, "-w", "-q", "--events", events],
                                   tty=False, timeout=120)
                self.assertEqual(rc, 0, out + err)
                self.assertIn(b"\r\nSUCCESS\r\n", out)
                check_flash(self, sim.dump_flash(), self.data)
                self.assertEqual(err, b"")
                with open(events) as f:
                    resets = [e for e in map(json.loads, f) if e["event"] == "reset"]
                self.assertEqual([(e["lines"], e["reset_ms"], e["boot_wait_ms"]) for e in resets],
                                 [(lines, 50, 100)])

    def test_ctrl_r_in_the_terminal_pulses_dtr_at_the_server(self):
        sim, url = self.endpoint()
        with Program(["-c", url]) as p:
            p.expect(START)
            p.keys(b"\x12")
            sim.wait_line(r"^cmd \d+ reset dtr")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)
        self.assertEqual(sim.reported(r"^rfc2217 control (8|9)$")[-2:], ["rfc2217 control 8", "rfc2217 control 9"])

    def test_without_reset_the_application_does_not_answer(self):
        sim, url = self.endpoint()
        rc, out, _ = run([self.hex, "-c", url, "-w", "-q"], tty=False, timeout=60)
        self.assertEqual(rc, 1)
        self.assertTrue(out.endswith(b"\r\n" + IN_SYNC_LOST + b"\r\n\r\n"), out[-200:])

    def test_on_a_pseudo_terminal_the_refused_lines_are_said_once_and_the_run_goes_on(self):
        with Sim("--target", "--boot") as sim:
            rc, out, err = run([self.hex, "-c", sim.link, "--reset", "dtr,rts", "--reset-ms", "20",
                                "--boot-wait-ms=0", "-w", "-q"], tty=False, timeout=120)
            self.assertEqual(rc, 0, out + err)
            check_flash(self, sim.dump_flash(), self.data)
            self.assertEqual(err.count(b"\n"), 1, err)

    def test_reset_with_wake_up_is_refused(self):
        rc, out, _ = run([self.hex, "-t", "--reset", "dtr", "-c", "/nonexistent", "-q"], tty=False)
        self.assertEqual(rc, 1)
        self.assertIn(b"--reset", out)
        self.assertNotIn(b"Unable to open", out)


class HostileServers(unittest.TestCase):
    def test_an_endless_subnegotiation_neither_hangs_the_start_nor_the_keys(self):
        server = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(server.close)

        def flood():
            client, _ = server.accept()
            client.sendall(bytes([255, 250, 44]))  # IAC SB COM-PORT-OPTION, never ended
            filler = b"\x07" * (1 << 20)

            def send():
                try:
                    while True:
                        client.sendall(filler)
                except OSError:
                    pass

            senders = [threading.Thread(target=send, daemon=True) for _ in range(2)]
            for sender in senders:
                sender.start()
            for sender in senders:
                sender.join()
            client.close()

        threading.Thread(target=flood, daemon=True).start()
        with Program(["-c", "rfc2217://127.0.0.1:%d" % server.getsockname()[1]]) as p:
            p.expect(START, timeout=30)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)
            self.assertIn(b"does not take the COM-PORT-OPTION", bytes(p.stderr_data))

    def test_a_server_that_never_reads_holds_neither_the_keys_nor_a_download(self):
        server = HostileServer("negotiation")  # and answers to it pile up
        with Program(["-c", server.url()]) as p:
            p.expect(START, timeout=20)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(timeout=10), 0)
        hex_path, _ = every_byte_image(Workdir())
        rc, out, err = run([hex_path, "-c", server.url(), "-w", "-q"], tty=False, timeout=30)
        self.assertEqual(rc, 1, out + err)

    def test_settings_never_answered_are_named_in_one_line_and_another_rate_stops_the_run(self):
        rc, out, err = run(["-c", HostileServer("mute").url(), "-q"], tty=False)
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(err.count(b"\n"), 1, err)
        self.assertIn(b"did not answer SET-DATASIZE, SET-PARITY, SET-STOPSIZE, SET-CONTROL (no flow control), "
                      b"PURGE-DATA, SET-CONTROL (RTS off), SET-CONTROL (DTR off), SET-BAUDRATE within", err)
        hex_path, _ = every_byte_image(Workdir())
        url = HostileServer("rate").url()
        for args, rate in ((["-q"], 9600), ([hex_path, "-b", "115200", "-w", "-q"], 19200)):  # at start, then mid-way
            with self.subTest(rate=rate):
                rc, out, err = run(args + ["-c", url], tty=False)
                self.assertEqual(rc, 1, out + err)
                self.assertTrue(out.endswith(b"\r\nUnable to set %d baud\r\n\r\n" % rate), out)
                self.assertIn(b"the server set 115200 baud instead of %d\n" % rate, err)


class NamesAndConnectionsThatNeverAnswer(unittest.TestCase):
    """The program runs with a resolver of its own (in a mount namespace of
    its own) whose name server takes each question and never answers."""

    def setUp(self):
        self.resolver = OwnResolver(Workdir().path)
        self.addCleanup(self.resolver.close)
        self.prefix = self.resolver.prefix

    def test_a_signal_ends_a_look_up_or_a_connect_at_once_and_a_look_up_times_out_said(self):
        listener = socket.create_server(("127.0.0.1", 0), backlog=0)  # its queue filled: a connect waits
        self.addCleanup(listener.close)
        for _ in range(3):
            filler = socket.socket()
            self.addCleanup(filler.close)
            filler.setblocking(False)
            filler.connect_ex(listener.getsockname())
        syn_sent = "0100007F:%04X 02" % listener.getsockname()[1]  # in /proc/net/tcp

        def connects():
            with open("/proc/net/tcp") as table:
                return table.read().count(syn_sent)

        cases = [("rfc2217://nowhere.example:2217", self.resolver.asked),
                 ("socket://127.0.0.1:%d" % listener.getsockname()[1], lambda: connects() > fillers)]
        for (url, waiting), number in [(c, n) for c in cases for n in (signal.SIGINT, signal.SIGTERM)]:
            fillers = connects()
            while self.resolver.asked():
                pass
            with self.subTest(url=url, signal=number), Program(["-c", url], prefix=self.prefix) as p:
                while not waiting():
                    p.pump(0.01)
                p.proc.send_signal(number)
                self.assertEqual(p.wait(timeout=10), 128 + number)
        rc, out, err = run(["-c", "socket://nowhere.example:1"], prefix=self.prefix, tty=False)
        self.assertEqual(rc, 1, out)
        self.assertIn(b"(looking up nowhere.example: no answer within ", err)

    def test_a_re_open_waiting_on_the_network_holds_no_key(self):
        with Sim("--rfc2217", "0") as sim, Program(["-c", "rfc2217://bench.example:%d" % sim_rfc2217_port(sim)],
                                                   prefix=self.prefix) as p:
            p.expect(START)
            open(self.resolver.hosts, "w").close()  # from now on the name's look-up never ends
            sim.command("drop")
            p.expect(GONE)
            p.keys(b"\x1b")
            self.assertEqual(p.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main()

"""Scripted steps after the download (--send, --expect, --timeout,
--then-terminal) and the event stream (--events), through the real binary
against the simulated target, run the way CI runs them: no terminal, the
output on a pipe."""
import os
import signal
import unittest

from boot_support import Workdir
from harness import Program, Sim
from steps_support import Scratch, events_from_stderr, of_kind, read_events, run_timed

# Words 0x100..0x180: two pages, the second mostly filler.
TWO_PAGES = {a: (a * 3) & 0xFFFF for a in range(0x100, 0x181)}
GREETING_END = "Type and I echo.\\r\\n"


class FlashAndCheck(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch(self)
        self.hex = Workdir().hex_words("two.hex", TWO_PAGES)

    def test_flash_wait_for_the_greeting_send_a_line_and_see_its_echo(self):
        events = self.scratch("events.jsonl")
        with Sim("--target", "--app-start-ms", "1000") as sim:  # greets once the host is surely back
            rc, out, err, _ = run_timed([self.hex, "-c", sim.link, "-t", "-w", "--events", events,
                                         "--expect", GREETING_END, "--send", "hi there\\r",
                                         "--expect", "hi there\\r"])
            self.assertEqual(rc, 0, out + err)
            # What arrived is on standard output after the download lines.
            self.assertIn(b"\r\nSUCCESS\r\n", out)
            shown = out.split(b"SUCCESS", 1)[1]
            self.assertIn(b"Hello from the simulated ATmega128. Type and I echo.\r\n", shown)
            self.assertIn(b"hi there", shown.split(b"Type and I echo.", 1)[1])
            self.assertNotIn(b"Start terminal emulation", out)
            self.assertEqual(sim.received_bytes()[-9:], b"hi there\r")
            self.assertNotIn(b"Timed out", err)

        log = read_events(events)
        self.assertEqual(log[0]["event"], "start")
        self.assertEqual(log[0]["port"], sim.link)
        self.assertEqual([s.get("expect", s.get("send")) for s in log[0]["options"]["steps"]],
                         [GREETING_END, "hi there\\r", "hi there\\r"])
        image = of_kind(log, "image")[0]
        self.assertEqual((image["low_word"], image["high_word"]), (0x100, 0x181))
        self.assertEqual(of_kind(log, "identify")[0]["family"], 128)
        pages = [(p["pass"], p["address"], p["retries"], p["result"]) for p in of_kind(log, "page")]
        self.assertEqual(pages, [(kind, address, 0, "ok") for kind in ("write", "verify")
                                 for address in (0x100, 0x180)])
        self.assertEqual([p["result"] for p in of_kind(log, "pass")], ["written", "SUCCESS"])
        steps = of_kind(log, "step")
        self.assertEqual([(s["kind"], s["result"]) for s in steps],
                         [("expect", "matched"), ("send", "sent"), ("expect", "matched")])
        self.assertTrue(all(s["ms"] >= 0 for s in steps if s["kind"] == "expect"))
        self.assertEqual(log[-1], dict(log[-1], event="end", status=rc))
        self.assertEqual(len(of_kind(log, "end")), 1)
        times = [e["t_ms"] for e in log]
        self.assertEqual(times, sorted(times))

    def test_a_page_answered_n_once_shows_its_retry(self):
        # Without steps too: the event stream serves a plain -q download.
        events = self.scratch("events.jsonl")
        with Sim("--target", "--boot", "--nak-page", "2") as sim:
            rc, out, _, _ = run_timed([self.hex, "-c", sim.link, "-w", "-q", "--events", events])
        self.assertEqual(rc, 0, out)
        self.assertIn(b"retry count =1 \r\n", out)
        log = read_events(events)
        written = [(p["address"], p["retries"], p["result"]) for p in of_kind(log, "page") if p["pass"] == "write"]
        self.assertEqual(written, [(0x100, 0, "ok"), (0x180, 1, "ok")])
        self.assertEqual(of_kind(log, "pass")[0]["errors"], 1)
        self.assertEqual(log[-1]["status"], 0)

    def test_a_failed_verify_ends_the_run_before_the_steps(self):
        events = self.scratch("events.jsonl")
        with Sim("--target", "--boot", "--bad-checksum", "1") as sim:
            rc, out, err, _ = run_timed([self.hex, "-c", sim.link, "-w", "--events", events,
                                         "--send", "never sent", "--then-terminal"])
            sim.sync()
            self.assertNotIn(b"never sent", sim.received_bytes())
        self.assertEqual(rc, 1, out)
        self.assertIn(b"\r\nFAILURE\r\n", out)
        self.assertNotIn(b"Start terminal emulation", out)
        self.assertIn(b"steps were not run", err)
        log = read_events(events)
        self.assertEqual(of_kind(log, "pass")[-1]["result"], "FAILURE")
        self.assertEqual(of_kind(log, "step"), [])
        self.assertEqual(log[-1]["status"], 1)


class StepsWithoutDownload(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch(self)

    def test_a_text_that_never_comes_times_out(self):
        with Sim("--echo") as sim:
            rc, out, err, took = run_timed(["-c", sim.link, "--send", "ping", "--expect", "ping",
                                            "--timeout", "1.5", "--expect", "no\\r\\nway", "--events", "-"])
        self.assertEqual(rc, 1, out + err)
        self.assertIn(b'Timed out after 1.5 s waiting for "no\\r\\nway"', err)
        self.assertGreaterEqual(took, 1.5)
        self.assertLess(took, 1.5 + 1.5, "the run outlived its timeout")
        log = events_from_stderr(err)
        step = of_kind(log, "step")[-1]
        self.assertEqual((step["result"], step["timeout_s"]), ("timed out", 1.5))
        self.assertGreaterEqual(step["ms"], 1500)
        self.assertEqual((log[-1]["event"], log[-1]["status"]), ("end", 1))
        self.assertIn("Timed out", log[-1]["reason"])

    def test_escapes_in_sent_and_expected_texts(self):
        with Sim() as sim:
            with Program(["-c", sim.link, "-q", "--send", "a\\tb\\\\c\\x41\\r\\n",
                          "--expect", "\\x01\\xFE\\r\\n"], tty=False) as p:
                sim.wait_received(8)
                sim.send(b"\x01\xfe\r\n")
                rc = p.wait(20)
            self.assertEqual(rc, 0, bytes(p.output) + bytes(p.stderr_data))
            self.assertEqual(sim.received_bytes(), b"a\tb\\cA\r\n")
        for bad in ("a\\qb", "\\x4", "tail\\"):
            with self.subTest(text=bad), Sim() as sim:
                rc, out, _, _ = run_timed(["-c", sim.link, "--send", bad])
                self.assertEqual(rc, 1, out)
                self.assertIn(b"Bad escape", out)
                self.assertIn(bad.encode(), out)
                sim.sync()
                self.assertEqual(sim.received_bytes(), b"")

    def test_a_match_split_across_reads_and_after_a_false_start(self):
        log_file = self.scratch("session.log")
        with Sim() as sim:
            with Program(["-c", sim.link, "-l", log_file, "--send", "go", "--expect", "hello",
                          "--send", "done"], tty=False) as p:
                sim.wait_received(2)
                sim.send(b"heh")
                p.expect(b"heh")                # shown: read before the rest comes
                sim.send(b"ello")
                sim.wait_received(6)
                rc = p.wait(20)
            self.assertEqual(rc, 0, bytes(p.output))
            self.assertIn(b"hehello", bytes(p.output))
        with open(log_file, "rb") as f:
            self.assertIn(b"hehello", f.read())

    def test_each_expect_looks_only_after_the_previous_match(self):
        with Sim() as sim:
            with Program(["-c", sim.link, "--send", "go", "--expect", "A", "--expect", "y",
                          "--timeout=0.00001", "--expect", "A"], tty=False) as p:
                sim.wait_received(2)
                sim.send(b"xAy")
                rc = p.wait(20)
            self.assertEqual(rc, 1)
            self.assertIn(b'Timed out after 0.00001 s waiting for "A"', bytes(p.stderr_data))

    def test_what_arrived_by_the_deadline_counts_and_the_rest_is_shown(self):
        # One burst: an expect with no time left still finds its text among
        # the bytes waiting, and what follows it is shown before the end.
        with Sim() as sim:
            with Program(["-c", sim.link, "--send", "go", "--expect", "A", "--timeout", "0",
                          "--expect", "B"], tty=False) as p:
                sim.wait_received(2)
                sim.send(b"A" + b"0123456789" * 20 + b"B\r\ntail\r\n")
                rc = p.wait(20)
            self.assertEqual(rc, 0, bytes(p.stderr_data))
            self.assertTrue(bytes(p.output).endswith(b"9B\r\ntail\r\n"), bytes(p.output)[-40:])

    def test_the_answer_to_the_upload_is_kept_for_the_steps(self):
        sent = self.scratch("commands.txt")
        with open(sent, "wb") as f:
            f.write(b"line one\nline two\n")
        with Sim("--echo") as sim:
            rc, out, err, _ = run_timed(["-c", sim.link, "-d", sent, "--timeout", "3", "--expect", "line two\n"])
        self.assertEqual(rc, 0, out + err)
        self.assertIn(b"line one\nline two\n", out)

    def test_then_terminal_goes_on_after_the_steps(self):
        events = self.scratch("events.jsonl")
        with Sim("--echo") as sim, Program(["-c", sim.link, "--send", "one\\r", "--expect", "one\\r",
                                            "--then-terminal", "--events", events]) as p:
            p.expect(b"Start terminal emulation")
            p.keys(b"typed")
            p.expect(b"typed")
            p.keys(b"\x1b")
            self.assertEqual(p.wait(), 0)
        log = read_events(events)
        self.assertEqual([s["result"] for s in of_kind(log, "step")], ["sent", "matched"])
        self.assertEqual((log[-1]["event"], log[-1]["status"], log[-1]["reason"]), ("end", 0, "Normal Exit"))

    def test_a_signal_during_a_step_still_ends_the_event_stream(self):
        events = self.scratch("events.jsonl")
        with Sim() as sim, Program(["-c", sim.link, "--send", "go", "--expect", "never", "--timeout", "30",
                                    "--events", events], tty=False) as p:
            sim.wait_received(2)
            p.proc.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(10), 128 + signal.SIGTERM)
        log = read_events(events)
        self.assertEqual((log[-1]["event"], log[-1]["status"]), ("end", 128 + signal.SIGTERM))

    def test_bad_step_options_are_refused_before_the_port_is_used(self):
        cases = [
            (["--timeout", "soon"], b"--timeout"),
            (["--timeout", "-1"], b"--timeout"),
            (["--timeout", "1e9"], b"--timeout"),
            (["--expect", ""], b"--expect"),
            (["--events", os.path.join(self.scratch.path, "no", "such", "dir")], b"Cannot open events file"),
            (["--events", os.path.join(self.scratch.path, ".", "sent.txt"), "-d", self.scratch("sent.txt")],
             b"is a file the run reads"),
        ]
        with open(self.scratch("sent.txt"), "w") as f:
            f.write("keep me")
        for args, message in cases:
            with self.subTest(args=args), Sim() as sim:
                rc, out, _, _ = run_timed(["-c", sim.link, "--send", "x"] + args)
                self.assertEqual(rc, 1, out)
                self.assertIn(message, out)
                sim.sync()
                self.assertEqual(sim.received_bytes(), b"")
        with open(self.scratch("sent.txt")) as f:
            self.assertEqual(f.read(), "keep me")


if __name__ == "__main__":
    unittest.main()

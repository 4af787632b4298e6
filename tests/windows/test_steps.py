"""Scripted steps and the event stream in the Windows build under wine,
against the simulated target on COM1: flash and check in one run."""
import json
import os
import shutil
import sys
import unittest

from winharness import WineTestCase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from boot_support import Workdir  # noqa: E402


class FlashAndCheck(WineTestCase):
    def setUp(self):
        self.work = Workdir()
        self.addCleanup(shutil.rmtree, self.work.path, True)
        self.work.hex_words("image.hex", {a: a for a in range(0x100, 0x181)})

    def test_flash_then_expect_the_greeting_and_the_echo(self):
        sim = self.sim("--target", "--app-start-ms", "1000")  # greets once the host is surely back
        p = self.program(["image.hex", "-c", "COM1", "-t", "-w", "--events", "events.jsonl",
                          "--expect", "Type and I echo.\\r\\n", "--send", "hi\\r", "--expect", "hi\\r"],
                         tty=False, cwd=self.work.path)
        rc = p.wait(120)
        out = bytes(p.output)
        self.assertEqual(rc, 0, out[-1500:] + bytes(p.stderr_data))
        self.assertIn(b"Type and I echo.", out.split(b"SUCCESS", 1)[1])
        with open(os.path.join(self.work.path, "events.jsonl"), "rb") as f:
            log = [json.loads(line) for line in f.read().splitlines()]
        pages = [(e["pass"], e["address"], e["result"]) for e in log if e["event"] == "page"]
        self.assertEqual(pages, [(k, a, "ok") for k in ("write", "verify") for a in (0x100, 0x180)])
        self.assertEqual((log[-1]["event"], log[-1]["status"]), ("end", 0))
        sim.sync()
        self.assertEqual(sim.received_bytes()[-3:], b"hi\r")

    def test_a_text_that_never_comes(self):
        self.sim("--echo")
        rc, out, err = self.run_exe(["-c", "COM1", "--send", "x", "--timeout", "0.5", "--expect", "never",
                                     "--events", "-"])
        self.assertEqual(rc, 1, out + err)
        self.assertIn(b'Timed out after 0.5 s waiting for "never"', err, out + err)
        log = [json.loads(line) for line in err.splitlines() if line.startswith(b"{")]
        self.assertEqual([e["event"] for e in log], ["start", "step", "step", "end"])
        self.assertEqual((log[-1]["status"], log[-2]["result"]), (1, "timed out"))


if __name__ == "__main__":
    unittest.main()

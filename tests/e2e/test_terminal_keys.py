"""The terminal's keys through a real pseudo-terminal as standard input:
mode changes, clear, uploads and the prompt, the exits, and keys that go to
the target. The keyboard's settings are checked after every way out."""
import os
import re
import signal
import tempfile
import time
import unittest

from harness import CLEAR, SOURCE, Program, Sim

BANNER = b"Start terminal emulation - ESC to exit\r\r\n"


def text_file(size, name="upload.txt"):
    path = os.path.join(tempfile.mkdtemp(prefix="tvup-"), name)
    with open(path, "wb") as f:
        f.write(bytes((i * 13 + 1) % 256 for i in range(size)))
    return path


class Keys(unittest.TestCase):
    def start(self, *args):
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        self.p = Program(["-c", self.sim.link] + list(args))
        self.addCleanup(self.p.close)
        self.p.expect(BANNER)
        return self.p

    def end_with(self, key, message, status=0):
        saved = self.p.saved
        self.p.keys(key)
        self.assertEqual(self.p.wait(), status)
        self.assertIn(message, bytes(self.p.output))
        self.assertEqual(self.p.terminal_settings(), saved)

    def test_mode_key_cycles_through_the_three_modes(self):
        p = self.start()
        p.keys(b"\x01\x01\x01")
        p.expect(b"VT_MODE\r\r\n")
        shown = re.findall(rb"\r\r\n hex mode = (\w+)\r\r\n", bytes(p.output))
        self.assertEqual(shown, [b"ASCII_HEX", b"HEX_ONLY", b"VT_MODE"])
        self.sim.send(b"\x1b[2;2HA")           # interpreted again
        p.expect(b"\x1b[2;2HA")
        self.end_with(b"\x1b", b"\r\r\nNormal Exit\r\r\n")

    def test_clear_key(self):
        p = self.start()
        mark = len(p.output)
        p.keys(b"\x02")
        deadline = time.monotonic() + 5
        while CLEAR not in p.output[mark:] and time.monotonic() < deadline:
            p.pump(0.05)
        self.assertIn(CLEAR, bytes(p.output[mark:]))
        self.end_with(b"\x03", b"\r\r\nControl-C Exit\r\r\n")

    def test_keys_reach_the_target(self):
        p = self.start()
        p.keys(b"hi\x05\x07\x08\x09\r\x1f~\x7f\xe9")
        p.keys(b"\x00")                      # Ctrl-Space: code 0
        self.sim.wait_received(12)
        p.keys(b"\x1b[A")                    # cursor up: 0 then 72, not Esc
        got = self.sim.wait_received(14)
        # Backspace, which the terminal sends as its erase character DEL,
        # reaches the target as 8.
        self.assertEqual(got, b"hi\x05\x07\x08\x09\r\x1f~\x08\xe9\x00\x00H")
        self.sim.send(b"still here")            # no key ended the terminal
        p.expect(b"still here")
        self.end_with(b"\x1b", b"Normal Exit")

    def test_exits_close_the_log(self):
        for key, message in ((b"\x1b", b"\r\r\nNormal Exit\r\r\n"), (b"\x03", b"\r\r\nControl-C Exit\r\r\n")):
            with self.subTest(key=key):
                log = os.path.join(tempfile.mkdtemp(prefix="tvlog-"), "run.log")
                self.start("-l", log)
                self.sim.send(b"logged\r\n")
                self.p.expect(b"logged")
                self.end_with(key, message)
                with open(log, "rb") as f:
                    self.assertEqual(f.read(), b"logged\r\n")
                # The exit message is the last thing written.
                self.assertTrue(bytes(self.p.output).endswith(message))

    def test_upload_key_sends_the_named_file_with_dots_and_count(self):
        path = text_file(2500)
        p = self.start()
        p.answer_prompt(path.encode() + b"\r")
        self.assertIn(b"\r\r\r\n\r\r\nPlease enter an file name : ", bytes(p.output))
        self.sim.sync()
        self.assertEqual(self.sim.received_bytes(), b"")  # the prompt only asks
        p.keys(b"\x04")
        p.expect(b"\r\r\n\r*** 2500 Chars Sent *** \r\r\r\n")
        with open(path, "rb") as f:
            self.assertEqual(self.sim.wait_received(2500), f.read())
        # Typed so soon after the prompt, the name may come before the echo
        # is switched on: count the dots after the prompt, past the name.
        upload = bytes(p.output).split(b"file name : ")[1].replace(path.encode(), b"").split(b"***")[0]
        self.assertEqual(upload.count(b"."), 2)
        self.end_with(b"\x1b", b"Normal Exit")

    def test_upload_of_an_empty_file(self):
        path = text_file(0)
        p = self.start()
        p.answer_prompt(path.encode() + b"\r")
        p.keys(b"\x04")
        p.expect(b"*** 0 Chars Sent *** ")
        self.assertNotIn(b".", bytes(p.output).split(b"file name : ")[1].replace(path.encode(), b""))
        self.end_with(b"\x1b", b"Normal Exit")

    def test_upload_without_a_file_prompts_then_uploads(self):
        path = text_file(1200)
        p = self.start()
        p.keys(b"\x04")
        p.expect(b"Cannot open input file.\r\r\r\n\r\r\r\n\r\r\nPlease enter an file name : ")
        p.keys(path.encode() + b"\r")
        p.expect(b"*** 1200 Chars Sent *** ")
        self.sim.wait_received(1200)
        self.end_with(b"\x1b", b"Normal Exit")

    def test_a_directory_does_not_open_for_upload(self):
        path = text_file(20)
        p = self.start()
        p.answer_prompt(os.path.dirname(path).encode() + b"\r")
        p.keys(b"\x04")
        p.expect(b"Cannot open input file.\r\r\r\n\r\r\r\n\r\r\nPlease enter an file name : ")
        p.keys(path.encode() + b"\r")
        p.expect(b"*** 20 Chars Sent *** ")
        self.sim.wait_received(20)
        self.end_with(b"\x1b", b"Normal Exit")

    def test_second_failed_open_ends_the_run(self):
        p = self.start()
        p.keys(b"\x04")
        p.expect(b"file name : ")
        self.end_with(b"/no/such/file\r", b"\r\nCannot open input file.\r\r\n\r\r\n", status=1)

    def test_prompt_takes_thirty_characters(self):
        # The name is the first thirty characters; the rest of the line goes
        # nowhere (not to the next prompt, not to the target).
        work = tempfile.mkdtemp(prefix="tvprompt-")
        with open(os.path.join(work, "a" * 30), "wb") as f:
            f.write(b"0123456789")
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        self.p = p = Program(["-c", self.sim.link], cwd=work)
        self.addCleanup(p.close)
        p.expect(BANNER)
        p.answer_prompt(b"a" * 35 + b"\r")
        p.expect(b"a" * 35)                    # echoed by the line input
        p.keys(b"\x04")
        p.expect(b"*** 10 Chars Sent *** ")
        self.assertEqual(bytes(p.output).count(b"Please enter an file name : "), 1)
        self.assertEqual(self.sim.wait_received(10), b"0123456789")
        self.end_with(b"\x1b", b"Normal Exit")

    def test_prompt_then_esc_exits_without_upload(self):
        path = text_file(10)
        p = self.start()
        p.answer_prompt(path.encode() + b"\r")
        self.end_with(b"\x1b", b"Normal Exit")
        self.assertEqual(self.sim.received_bytes(), b"")

    def test_keys_typed_ahead_answer_the_prompt(self):
        # Ctrl-F, a name, Enter and Ctrl-D in one burst, typed on the
        # keyboard and piped in by a script: the name answers the prompt,
        # the Ctrl-D after it uploads, and nothing of the line reaches the
        # target as keys.
        path = text_file(10)
        with open(path, "rb") as f:
            content = f.read()
        for tty, enter in ((True, b"\r"), (False, b"\n"), (False, b"\r\n")):
            with self.subTest(tty=tty, enter=enter), Sim() as sim:
                p = Program(["-c", sim.link], tty=tty)
                self.addCleanup(p.close)
                p.expect(b"ESC to exit")
                p.keys(b"\x06" + path.encode() + enter + b"\x04")
                p.expect(b"*** 10 Chars Sent *** ")
                if tty:                         # echoed as the line input would
                    self.assertIn(b"file name : " + path.encode() + b"\r\n\r", bytes(p.output))
                self.assertEqual(sim.wait_received(10), content)
                p.keys(b"\x1b")
                self.assertEqual(p.wait(), 0)
                sim.sync()
                self.assertEqual(sim.received_bytes(), content)

    def test_dtr_pulse_keeps_the_terminal_running(self):
        p = self.start()
        p.keys(b"\x12")
        self.sim.send(b"after pulse")
        p.expect(b"after pulse")
        self.end_with(b"\x1b", b"Normal Exit")

    def test_upload_before_the_terminal(self):
        path = text_file(2500)
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        self.p = Program(["-c", self.sim.link, "-d", path])
        self.addCleanup(self.p.close)
        self.p.expect(BANNER)
        out = bytes(self.p.output)
        self.assertIn(b"text file: " + path.encode() + b"\r\r\r\n", out)
        head = out.split(b"send text file = " + path.encode() + b"  ")[1]
        self.assertTrue(head.startswith(b"..\r\r\n\r*** 2500 Chars Sent *** \r\r\r\n" + BANNER), head)
        with open(path, "rb") as f:
            self.assertEqual(self.sim.wait_received(2500), f.read())
        self.end_with(b"\x1b", b"Normal Exit")

    def test_end_of_input_at_the_prompt_keeps_the_name(self):
        path = text_file(10)
        self.sim = Sim()
        self.addCleanup(self.sim.close)
        self.p = p = Program(["-c", self.sim.link, "-d", path])
        self.addCleanup(p.close)
        p.expect(b"*** 10 Chars Sent *** ")
        p.answer_prompt(b"\x04")              # end of input: no word
        p.keys(b"\x04")                        # uploads the -d file again
        p.expect(re.compile(rb"file name : .*\*\*\* 10 Chars Sent \*\*\* ", re.S))
        self.assertEqual(self.sim.wait_received(20)[10:], self.sim.received_bytes()[:10])
        self.end_with(b"\x1b", b"Normal Exit")

    def test_upload_key_after_a_download_sends_the_image_file(self):
        # The image named on the command line is the current file name
        # until another is typed.
        image = os.path.join(SOURCE, "examples", "zelmo.hex")
        with open(image, "rb") as f:
            content = f.read()
        self.sim = Sim("--target")
        self.addCleanup(self.sim.close)
        self.p = p = Program([image, "-c", self.sim.link, "-t", "-w", "-V"])
        self.addCleanup(p.close)
        p.expect(BANNER, timeout=30)
        self.sim.sync()
        before = len(self.sim.received_bytes())
        p.keys(b"\x04")
        p.expect(b"*** %d Chars Sent *** " % len(content), timeout=30)
        self.sim.sync()
        self.assertEqual(self.sim.received_bytes()[before:], content)
        self.end_with(b"\x1b", b"Normal Exit")

    def test_a_signal_restores_the_keyboard(self):
        p = self.start()
        saved = p.saved
        p.proc.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 128 + signal.SIGTERM)
        self.assertEqual(p.terminal_settings(), saved)

    def test_pipe_output_shows_bytes_as_they_come(self):
        sim = Sim()
        self.addCleanup(sim.close)
        p = Program(["-c", sim.link], tty=False)
        self.addCleanup(p.close)
        p.expect(b"Start terminal emulation - ESC to exit\r\n")
        sim.send(b"through the pipe\r\n")
        p.expect(b"through the pipe\r\n", timeout=3)
        self.assertIsNone(p.proc.poll())
        p.keys(b"\x1b")
        self.assertEqual(p.wait(), 0)


if __name__ == "__main__":
    unittest.main()

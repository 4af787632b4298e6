"""The download dialogue on the wire: exact bytes, rates per command, the
console lines of a normal run, and the passes that stop early."""
import unittest

from boot_support import (IDENTIFY, STAYS, Workdir, boot_sim, checksum, download, verify_page_bytes,
                          write_page_bytes)
from harness import Sim

# One word, 0x1234 at word address 0x0100: LoAddr 0x100, HiAddr 0x101.
ONE_WORD = {0x100: 0x1234}
WORKED_WRITE = (b"A\x01\x00" + b"Dkk" + b"\x34\x12" + b"\xff\xff" * 127 + b"\x12\xb5\xec\xcb")


class WorkedExample(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", ONE_WORD)

    def test_write_and_verify_bytes_on_the_wire(self):
        self.assertEqual(write_page_bytes(ONE_WORD, 0x100, 0x101), WORKED_WRITE)
        with boot_sim() as sim:
            rc, after, out, _ = download(sim, self.hex, "-w")
            self.assertEqual(rc, 0, out)
            self.assertEqual(after, b"Flash erased\r\n.\r\nFlash Download finished\r\n"
                                    b"Verify Flash.\r\n.\r\nSUCCESS\r\n")
            wire = sim.wait_received(len(IDENTIFY) + 1 + len(WORKED_WRITE) + 6 + 1)
            self.assertEqual(wire, IDENTIFY + b"e" + WORKED_WRITE + b"A\x01\x00Dll" + b"E")
            flash = sim.dump_flash()
            self.assertEqual(flash[0x200:0x202], b"\x34\x12")
            self.assertEqual(flash[0x202:0x400], b"\xff" * 0x1fe)

    def test_verify_only_sends_no_data_and_compares_the_targets_checksum(self):
        flash = bytearray(b"\xff" * 0x20000)
        flash[0x200:0x202] = b"\x34\x12"
        image = self.work.file("flash.bin", bytes(flash))
        with boot_sim("--load", image) as sim:
            rc, after, out, _ = download(sim, self.hex)
            self.assertEqual(rc, 0, out)
            self.assertEqual(after, b"Verify Flash.\r\n.\r\nSUCCESS\r\n")
            self.assertEqual(sim.wait_received(11), IDENTIFY + b"A\x01\x00Dll")
            self.assertEqual(sim.stats()["pages"], 0)

    def test_pages_start_at_lo_addr_not_at_device_page_boundaries(self):
        image = {a: (a * 7) & 0xFFFF for a in range(0x10, 0x111)}  # LoAddr 0x10, HiAddr 0x111
        path = self.work.hex_words("unaligned.hex", image)
        with boot_sim() as sim:
            rc, after, out, _ = download(sim, path, "-w")
            self.assertEqual(rc, 0, out)
            self.assertEqual(after, b"Flash erased\r\n...\r\nFlash Download finished\r\n"
                                    b"Verify Flash.\r\n...\r\nSUCCESS\r\n")
            wire = sim.wait_received(len(IDENTIFY) + 1 + 3 * 266 + 3 * 6 + 1)
            pages = b"".join(write_page_bytes(image, start, 0x111) for start in (0x10, 0x90, 0x110))
            self.assertEqual(wire[len(IDENTIFY) + 1:len(IDENTIFY) + 1 + len(pages)], pages)
            flash = sim.dump_flash()
        for a in range(0x200):
            self.assertEqual(flash[2 * a] | flash[2 * a + 1] << 8, image.get(a, 0xFFFF), "word 0x%x" % a)

    def test_verbose_mismatch_shows_both_checksums(self):
        with boot_sim("--bad-checksum", "1") as sim:
            sim_sum = checksum(0x100, [0xFFFF] * 128)
            rc, after, out, _ = download(sim, self.hex, "-V")
            self.assertEqual(rc, 1)
            recv = bytes([sim_sum[0], sim_sum[1], sim_sum[2], sim_sum[3] ^ 0x5A])
            shown = b"".join(b"%2x " % b for b in recv)
            self.assertIn(b"\r\nerror at page: 256\r\ncsum sent = 12 b5 ec cb \r\ncsum recv = " + shown +
                          b"\r\nretry count =1 \r\n", after)

    def test_verbose_run_with_wake_up_line_by_line(self):
        with Sim("--target") as sim:
            rc, after, out, _ = download(sim, self.hex, "-t", "-w", "-V")
            self.assertEqual(rc, 0, out)
            device = (b"DeviceID = Mega128\r\nFlashSize = 64k\r\nPageSize = 256 bytes\r\n"
                      b"EEpromSize = 4096 bytes\r\n")
            self.assertEqual(after,
                             b"line quiet for 100 ms, 0 bytes dropped\r\n"
                             b"saying Mancb33cb at 9600\r\n"
                             b"AVR said Hello : Hello!\r\n"
                             b"Set download baud rate to : 19200\r\n"
                             b"we say p\r\n S\r\nsrl cnt = 1 buf[0] = S\r\n"
                             b"we say S\r\n A\r\n"
                             b"we say v\r\n 1\r\n"
                             b"we say V\r\n 1\r\n"
                             b"we say t\r\n C\r\n"
                             b"device is Mega128\r\n"
                             b"we are writing too, not only verify! Now say e (erase)\r\n \r\r\n"
                             b"Flash erased\r\n" + device +
                             b"sent page: 256\r\n.\r\nend WORD address = 102\r\n"
                             b"\r\nTOTAL serious errors during write: 0\r\n"
                             b"\r\nFlash Download finished\r\n"
                             b"Verify Flash.\r\n" + device +
                             b"check page: 256\r\n.\r\nend WORD address = 102\r\n"
                             b"\r\nTOTAL serious errors during verify: 0\r\n"
                             b"\r\nSUCCESS\r\n"
                             b"we say E\r\n \r\r\n")


class Rates(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", ONE_WORD)

    def test_wake_up_at_terminal_rate_then_everything_at_download_rate(self):
        with Sim("--target", "--app-rate", "4800") as sim:
            rc, _, out, _ = download(sim, self.hex, "-t", "-w", "-b", "4800", "-r", "57600", "-V")
            self.assertEqual(rc, 0, out)
            self.assertIn(b"saying Mancb10cb at 4800\r\n", out)
            commands = sim.commands()
            self.assertEqual(commands[0][:2], (4800, "wake"))
            self.assertEqual([c[1] for c in commands[1:]], ["p", "S", "v", "V", "t", "e", "A", "k", "A", "l", "E"])
            self.assertEqual({c[0] for c in commands[1:]}, {57600})

    def test_divisor_text_for_each_download_rate(self):
        for rate, text in ((19200, b"33"), (38400, b"19"), (57600, b"10"), (115200, b" 7")):
            with self.subTest(rate=rate), Sim("--target") as sim:
                rc, _, out, _ = download(sim, self.hex, "-t", "-r", str(rate))
                sim.wait_received(9)
                self.assertEqual(sim.received_bytes()[:9], b"Mancb" + text + b"cb")
                self.assertEqual(sim.received()[0][0], 9600)
                self.assertEqual(b"Warning" in out, rate == 115200)  # 125,000 baud on a 16 MHz chip
                # The bootloader listens at the rate the divisor names, so a
                # whole verify pass shows the program followed it.
                self.assertIn(b"Verify Flash.\r\n", out)
                self.assertEqual({c[0] for c in sim.commands()[1:]}, {rate})
                self.assertFalse([l for l in sim.lines if l.startswith("lost")])

    def test_one_wake_up_for_both_passes(self):
        # The EEPROM pass speaks to the bootloader the flash pass reached:
        # no second wake-up, everything after the first at the download rate.
        with Sim("--target") as sim:
            rc, _, out, _ = download(sim, self.hex, "-t", "-w", "-V", "-r", "38400", "-e", self.hex)
            self.assertEqual(rc, 0, out)
            first, second = out.split(b"Down loading eeprom file:", 1)
            self.assertIn(b"saying Mancb19cb at 9600\r\n", first)
            self.assertNotIn(b"saying", second)
            self.assertTrue(second.endswith(b"Verify EEPROM.\r\nwe say X for blocks 2 to 2\r\n.\r\nSUCCESS\r\n"
                                            b"we say E\r\n \r\r\n"), second)
            self.assertEqual({c[0] for c in sim.commands()[1:]}, {38400})

    def test_without_wake_up_the_bootloader_is_met_at_the_download_rate(self):
        with Sim("--target", "--boot", "--boot-rate", "38400") as sim:
            rc, _, out, _ = download(sim, self.hex, "-r", "38400", "-w")
            self.assertEqual(rc, 0, out)
            sim.sync()
            self.assertEqual(sim.received_bytes()[:5], IDENTIFY)
            self.assertEqual({r for r, _ in sim.received()}, {38400})


class ShortPasses(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.hex = self.work.hex_words("one.hex", ONE_WORD)

    def test_eeprom_pass_writes_after_identification(self):
        with boot_sim() as sim:
            from harness import run
            rc, out, _ = run(["-e", self.hex, "-c", sim.link, "-q"], tty=False)
            self.assertEqual(rc, 0, out)
            self.assertIn(b"hex file: " + self.hex.encode() + b"\r\r\n", out)
            self.assertIn(b"Down loading eeprom file:" + self.hex.encode() + b"\r\n", out)
            self.assertFalse(b"Verify Flash" in out)
            self.assertEqual(sim.wait_received(5)[:5], IDENTIFY)
            self.assertEqual([c[1] for c in sim.commands()], ["p", "S", "v", "V", "t", "X", "A", "W", "X"])

    def test_flash_verify_then_eeprom_pass_at_the_download_rate(self):
        flash = bytearray(b"\xff" * 0x20000)
        flash[0x200:0x202] = b"\x34\x12"
        with boot_sim("--load", self.work.file("flash.bin", bytes(flash))) as sim:
            rc, _, out, _ = download(sim, self.hex, "-e", self.hex)
            self.assertEqual(rc, 0, out)
            self.assertEqual([c[1] for c in sim.commands()],
                             ["p", "S", "v", "V", "t", "A", "l", "p", "S", "v", "V", "t", "X", "A", "W", "X"])
            self.assertEqual({c[0] for c in sim.commands()}, {19200})

    def test_the_exit_waits_for_the_eeprom_pass(self):
        # -w implies 'E', sent once the EEPROM pass is done.
        with boot_sim() as sim:
            rc, _, out, _ = download(sim, self.hex, "-w", "-e", self.hex)
            self.assertEqual(rc, 0, out)
            self.assertEqual([c[1] for c in sim.commands()][-6:], ["t", "X", "A", "W", "X", "E"])

    def test_exit_command_without_write(self):
        with boot_sim() as sim:
            rc, _, out, _ = download(sim, self.hex, "-E")
            self.assertEqual(rc, 1, out)  # blank flash: every try of the page fails
            self.assertTrue(out.endswith(b"too many errors, bailing out\r\n" + STAYS), out)
            self.assertEqual([c[1] for c in sim.commands()][-1], "l")  # no 'E' after a failed verify
            self.assertEqual(sim.stats()["erases"], 0)


if __name__ == "__main__":
    unittest.main()

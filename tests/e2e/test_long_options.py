"""Long options on the command line: --help, and what the parser does with
names it does not know, values given to flags, long options among the
option letters, and the values the bench options refuse. (Values of
value-taking long options, the next word or the text after '=', are covered
by the parser's unit test and the tests of each option.)
"""
import unittest

from harness import run
from test_command_line import MISSING_PORT, USAGE, fatal

LONG_OPTIONS = (
    b"   [long options] optional\r\n"
    b"       --help : this usage, with the long options\r\n"
    b"       --download-rate N : download baud rate, any the port takes (1000000...)\r\n"
    b"       --incremental : with -w, write only the pages that changed\r\n"
    b"       --watch : reflash from the terminal when the flash file changes\r\n"
    b"       --reflash-key KEY : reflash by this key (ctrl-w with --watch; none for no key)\r\n"
    b"       --build COMMAND : run COMMAND before each reflash; a failed one flashes nothing\r\n"
    b"       --expect TEXT : wait for TEXT to arrive (escapes \\r \\n \\t \\\\ \\xHH)\r\n"
    b"       --send TEXT : send TEXT; steps run after the downloads, in order\r\n"
    b"       --timeout SECONDS : how long each later --expect waits (default 10)\r\n"
    b"       --then-terminal : go on into the terminal after the steps\r\n"
    b"       --events FILE : events as JSON lines into FILE (- for standard error)\r\n"
    b"       --protocol NAME : the bootloader's dialogue: tamborvine (default), stk500v1 (arduino)\r\n"
    b"       --reset dtr|rts|dtr,rts|none : reset the target by these lines, not with -t\r\n"
    b"       --reset-ms MS : how long --reset holds the lines (default 50)\r\n"
    b"       --boot-wait-ms MS : wait after --reset (default 100)\r\n"
    b"       --list-ports : list this machine's serial ports and exit\r\n"
    b"       --wait-port SECONDS : retry opening the port every 100 ms this long\r\n"
    b"       --read-flash FILE : read the flash into FILE (Intel HEX) before any write\r\n"
    b"       --read-eeprom FILE : read the EEPROM into FILE (Intel HEX) before any write\r\n"
    b"       --data-bits 5|6|7|8 : the terminal's data bits (default 8)\r\n"
    b"       --parity none|even|odd : the terminal's parity (default none)\r\n"
    b"       --stop-bits 1|2 : the terminal's stop bits (default 1)\r\n"
    b"       --flow none|rts-cts|xon-xoff : the terminal's flow control (default none)\r\n"
    b"       --keys pc|vt100 : how cursor and function keys go out (default pc: 0, then a code)\r\n"
    b"       --exit-key KEY : KEY (ctrl-], ctrl-x...) alone ends the terminal; Esc goes to the target\r\n"
    b"       --colors : the target's colours (SGR) reach the screen\r\n"
    b"       --map-in MAPS : received bytes mapped: crlf,crcrlf,igncr,lfcr,lfcrlf,ignlf,bsdel,delbs\r\n"
    b"       --map-out MAPS : typed keys mapped, as --map-in\r\n"
    b"       --echo : show what the keys send\r\n"
    b"       --log-append : -l appends to its file instead of emptying it\r\n"
    b"       --log-time : a time tag at the start of every line of the -l log\r\n"
    b"       --time-format clock|iso : the tags of -T and --log-time (iso: ISO 8601 with ms)\r\n"
    b"       --profile NAME : the settings of section NAME of the configuration file\r\n"
    b"\r\n"
)


def run_piped(args):
    return run(args, tty=False)


class LongOptions(unittest.TestCase):
    def test_help_is_the_usage_then_the_long_options(self):
        # Anywhere among the letters, before the port is touched; the words
        # after it are never reached.
        for args in (["--help"], ["-V", "--help", "-x"], ["-c", MISSING_PORT, "--help"],
                     ["--help", "--x=1"]):
            with self.subTest(args=args):
                self.assertEqual(run_piped(args), (0, USAGE + LONG_OPTIONS, b""))

    def test_names_not_in_the_table_are_bad_arguments(self):
        # Exact names only: no abbreviation, no other case; "--" alone is no
        # long option, and the first stop wins.
        for args in (["--x=1"], ["--x", "1"], ["--"], ["--hel"], ["--HELP"], ["--help-me"],
                     ["---help"], ["-w", "--x", "-h"], ["-x", "--help"]):
            with self.subTest(args=args):
                rc, out, err = run_piped(args)
                self.assertEqual((rc, out), (1, fatal(b"Bad Argument")))
                self.assertRegex(err, rb"^tamborvine: unknown option (letter . in )?-\S*( \(did you mean --\S+\?\))?\n$")

    def test_an_unknown_word_is_named_with_the_option_it_may_mean(self):
        for word, said in (("--incremantal", b"--incremantal (did you mean --incremental?)"),
                           ("--Help", b"--Help (did you mean --help?)"), ("--frobnicate", b"--frobnicate"),
                           ("-incremental", b"letter i in -incremental (did you mean --incremental?)")):
            with self.subTest(word=word):
                self.assertEqual(run_piped([word]),
                                 (1, fatal(b"Bad Argument"), b"tamborvine: unknown option " + said + b"\n"))

    def test_a_flag_given_a_value_stops_naming_the_option(self):
        for args in (["--help=1"], ["--help="], ["-V", "--help=yes", "-h"]):
            with self.subTest(args=args):
                self.assertEqual(run_piped(args), (1, fatal(b"Option --help takes no value"), b""))

    def test_bench_options_refuse_values_out_of_their_range_before_the_port(self):
        reset = b"Option --reset takes dtr, rts, dtr,rts or none"
        pulse = b"Option --reset-ms takes milliseconds from 0 to 10000"
        boot = b"Option --boot-wait-ms takes milliseconds from 0 to 10000"
        wait = b"Option --wait-port takes whole seconds from 0 to 86400"
        for args, message in ((["--reset", "DTR"], reset), (["--reset=dtr,dtr"], reset), (["--reset="], reset),
                              (["--reset-ms", "-1"], pulse), (["--reset-ms=10001"], pulse),
                              (["--boot-wait-ms", "1.5"], boot), (["--boot-wait-ms", "99999999999999999999"], boot),
                              (["--wait-port", "2.5"], wait), (["--wait-port", "86401"], wait),
                              (["--wait-port", " 5"], wait)):
            with self.subTest(args=args):
                self.assertEqual(run_piped(args + ["-c", MISSING_PORT]), (1, fatal(message), b""))


if __name__ == "__main__":
    unittest.main()

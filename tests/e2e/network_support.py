"""Network servers in front of the simulated target, for the tests of the
network ports:

- Ser2net: Debian's ser2net (4.x) exporting the target's pseudo-terminal
  with RFC 2217 (a telnet(rfc2217) accepter) on a free local port. It runs
  with a configuration file of its own (never /etc/ser2net), in the
  foreground (-n), logging to its standard output instead of syslog (-d,
  collected in a file), without UUCP lock files (-u), and is killed at the
  end. On a pseudo-terminal it applies each SET-BAUDRATE to the line's
  settings (which the simulated target reads from its master side) and
  answers it; SET-CONTROL for DTR or RTS fails on a pseudo-terminal, and
  ser2net then sends no answer at all.
- TcpBridge: a raw TCP server that passes bytes between one client and the
  target's line at a fixed rate (for socket://).
- sim_rfc2217_port: the port of the simulated target's own RFC 2217
  endpoint (--rfc2217 0), which resets the target into its bootloader on a
  DTR or RTS pulse.
- HostileServer: a server that floods, reads nothing, or answers settings
  wrongly or never.
- OwnResolver: a resolver of the program's own whose name server never
  answers, in a mount namespace of the program's own.
"""
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest

from harness import write_to_reader

SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"
START_LIMIT = 10.0  # seconds a server may take to listen


def require_ser2net():
    if not os.access(SER2NET, os.X_OK):
        raise unittest.SkipTest("ser2net is not installed (Debian package ser2net)")


def listening_port(pid):
    """The TCP port the process listens on, from /proc (None while it has
    none): the inodes of its sockets, looked up in /proc/net/tcp{,6}."""
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            m = re.match(r"socket:\[(\d+)\]", target)
            if m:
                inodes.add(m.group(1))
    except OSError:
        return None
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if len(fields) > 9 and fields[3] == "0A" and fields[9] in inodes:  # 0A: LISTEN
                return int(fields[1].split(":")[1], 16)
    return None


class Ser2net:
    """ser2net exporting device with RFC 2217 (or raw TCP with
    rfc2217=False) on 127.0.0.1. port=0 takes a free port; start() again
    after kill() listens on the same one."""

    def __init__(self, device, port=0, rfc2217=True, rate=9600):
        require_ser2net()
        self.tmp = tempfile.mkdtemp(prefix="tvs2n-")
        self.device = device
        self.port = port
        self.accepter = "telnet(rfc2217),tcp" if rfc2217 else "tcp"
        self.rate = rate
        self.proc = None
        self.start()

    def url(self, scheme="rfc2217"):
        return "%s://127.0.0.1:%d" % (scheme, self.port)

    def _config(self):
        path = os.path.join(self.tmp, "ser2net.yaml")
        with open(path, "w") as f:
            f.write("%%YAML 1.1\n---\n"
                    "connection: &tamborvine\n"
                    "  accepter: %s,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,%dn81,local\n"
                    "  options:\n"
                    "    kickolduser: true\n" % (self.accepter, self.port, self.device, self.rate))
        return path

    def start(self):
        self.log = open(os.path.join(self.tmp, "ser2net.log"), "ab")
        self.proc = subprocess.Popen([SER2NET, "-n", "-d", "-u", "-c", self._config()], stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + START_LIMIT
        while True:
            port = listening_port(self.proc.pid)
            if port:
                self.port = port
                return
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.kill()
                raise AssertionError("ser2net did not start listening:\n" + self.log_text())
            time.sleep(0.02)

    def log_text(self):
        with open(os.path.join(self.tmp, "ser2net.log"), "rb") as f:
            return f.read().decode(errors="replace")

    def kill(self):
        """Gone at once, as a server whose machine went down: its
        connections end."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
        if self.proc:
            self.log.close()

    def close(self):
        self.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class TcpBridge:
    """A raw TCP server on 127.0.0.1 passing bytes between one client at a
    time and the line at path, which it holds open at a fixed rate; what the
    line sends goes through alter on its way."""

    def __init__(self, path, rate=9600, alter=None):
        self.path = path
        self.rate = rate
        self.alter = alter or (lambda data: data)
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.port = self.server.getsockname()[1]
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def url(self):
        return "socket://127.0.0.1:%d" % self.port

    def _open_line(self):
        fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        attrs = termios.tcgetattr(fd)
        speed = getattr(termios, "B%d" % self.rate)
        attrs[4] = attrs[5] = speed
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        return fd

    def _serve(self):
        while not self.stop.is_set():
            r, _, _ = select.select([self.server], [], [], 0.1)
            if not r:
                continue
            client, _ = self.server.accept()
            line = self._open_line()
            try:
                self._shuttle(client, line)
            finally:
                client.close()
                os.close(line)

    def _shuttle(self, client, line):
        while not self.stop.is_set():
            r, _, _ = select.select([client, line], [], [], 0.1)
            if client in r:
                data = client.recv(4096)
                if not data:
                    return
                write_to_reader(lambda d: self._write_line(line, d), data)
            if line in r:
                try:
                    data = os.read(line, 4096)
                except (BlockingIOError, OSError):
                    data = b""
                if data:
                    write_to_reader(client.sendall, self.alter(data))

    @staticmethod
    def _write_line(line, data):
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(line, view):]
            except BlockingIOError:
                select.select([], [line], [], 0.1)

    def close(self):
        self.stop.set()
        self.thread.join(timeout=5)
        self.server.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class HostileServer:
    """A network port on 127.0.0.1 that misbehaves, each connection as mode
    says: "data" sends text without end and takes what comes; "negotiation"
    sends option requests without end and reads nothing; "mute" agrees to
    COM-PORT-OPTION and answers no setting; "rate" answers SET-BAUDRATE
    with 115200 and the other settings as asked."""

    COM_PORT = bytes([255, 253, 44])  # IAC DO COM-PORT-OPTION
    FLOODS = {"data": b"x" * 4096, "negotiation": bytes([255, 251, 1, 255, 251, 3]) * 700}

    def __init__(self, mode):
        self.mode, self.server = mode, socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=self._serve, daemon=True).start()

    def url(self, scheme="rfc2217"):
        return "%s://127.0.0.1:%d" % (scheme, self.server.getsockname()[1])

    def _serve(self):
        while True:
            client, _ = self.server.accept()
            threading.Thread(target=self._talk, args=(client,), daemon=True).start()

    def _talk(self, client):
        try:
            if self.mode == "data":
                threading.Thread(target=self._answer, args=(client,), daemon=True).start()
            while self.mode in self.FLOODS:
                client.sendall(self.FLOODS[self.mode])
            client.sendall(self.COM_PORT)
            self._answer(client)
        except OSError:
            pass
        finally:
            client.close()

    def _answer(self, client):
        """Takes what comes; in "rate" mode answers each setting."""
        heard = b""
        try:
            for chunk in iter(lambda: client.recv(4096), b""):
                heard += chunk
                for m in re.finditer(rb"\xff\xfa\x2c(.)(.*?)\xff\xf0", heard, re.S) if self.mode == "rate" else ():
                    value = (115200).to_bytes(4, "big") if m.group(1) == b"\x01" else m.group(2)
                    client.sendall(bytes([255, 250, 44, m.group(1)[0] + 100]) + value + bytes([255, 240]))
                heard = heard[heard.rfind(b"\xff\xf0") + 2:] if b"\xff\xf0" in heard else heard
        except OSError:
            pass


class OwnResolver:
    """The command prefix (prefix) that runs the program with a resolver of
    its own, in a mount namespace of its own: a name server that takes each
    question and never answers (silent), and a hosts file (hosts) naming
    bench.example, which the caller may empty."""

    def __init__(self, work_path):
        self.silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        while not self.silent.getsockname()[1]:
            try:
                self.silent.bind(("127.%d.%d.%d" % tuple(random.randrange(1, 255) for _ in range(3)), 53))
            except OSError:
                pass
        resolv, self.hosts = os.path.join(work_path, "resolv.conf"), os.path.join(work_path, "hosts")
        with open(resolv, "w") as f:
            f.write("nameserver %s\noptions timeout:30 attempts:1\n" % self.silent.getsockname()[0])
        with open(self.hosts, "w") as f:
            f.write("127.0.0.1 bench.example\n")
        script = 'mount --bind "$0" /etc/resolv.conf && mount --bind "$1" /etc/hosts && shift && exec "$@"'
        self.prefix = ["unshare", "-m", "sh", "-c", script, resolv, self.hosts]

    def asked(self):
        """Whether a question reached the name server since the last look."""
        return bool(select.select([self.silent], [], [], 0)[0]) and bool(self.silent.recv(512))

    def close(self):
        self.silent.close()


def sim_rfc2217_port(sim):
    """The port the simulated target's RFC 2217 endpoint (--rfc2217 0)
    reports that it listens on."""
    return int(sim.wait_line(r"^rfc2217 (?:port )?(\d+)$").group(1))


# ---- checks shared by the network tests ----------------------------------

EVERY_BYTE = bytes(range(256))
START = b"Start terminal emulation - ESC to exit\r\r\n"
GONE = b"is gone: re-opening it every second (Esc to exit) ***"
BACK = b"is back ***"
FLASH_END = 0x1F800  # the boot section above is never written


def every_byte_image(work):
    """A HEX file of eight pages that hold every byte value (IAC and the
    Telnet command bytes included), and the flash those pages make."""
    from boot_support import intel_hex
    data = EVERY_BYTE * 8
    return work.file("every_byte.hex", intel_hex({0: data})), data


def check_flash(test, flash, data):
    """The image word for word at address 0, erased flash after it."""
    test.assertEqual(flash[:len(data)], data)
    test.assertEqual(flash[len(data):FLASH_END], b"\xff" * (FLASH_END - len(data)))


def check_every_byte_both_ways(test, url, sim, work, extra=()):
    """The terminal over url: every byte value typed (as a text upload) reaches
    the target, every byte value the target sends is shown (HEX_ONLY), Esc
    ends the run."""
    from harness import Program
    upload = work.file("every_byte.bin", EVERY_BYTE)
    with Program(["-c", url, "-d", upload] + list(extra)) as p:
        p.expect(b"*** 256 Chars Sent ***", timeout=20)
        p.expect(START)
        test.assertEqual(sim.wait_received(256), EVERY_BYTE)
        p.keys(b"\x01\x01")
        p.expect(b"hex mode = HEX_ONLY\r\r\n")
        mark = len(p.output)
        sim.send(EVERY_BYTE)
        shown = b"".join(b" %02x" % b for b in EVERY_BYTE)
        p.expect(shown)
        test.assertEqual(bytes(p.output[mark:]).count(shown), 1)
        p.keys(b"\x1b")
        test.assertEqual(p.wait(), 0)
        test.assertTrue(bytes(p.output).endswith(b"\r\r\nNormal Exit\r\r\n"))
        return bytes(p.stderr_data)

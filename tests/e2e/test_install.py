"""What a user installs: `cmake --install` into a staging directory and the
Debian package that cpack makes both hold the program, the simulated
target, the manual page and the bash completion, and the installed program
runs. The manual page documents every option letter that -h lists, and the
completion completes what it promises."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import BUILD, VERSION, VERSION_OUTPUT

CMAKE = os.environ.get("TAMBORVINE_CMAKE", "cmake")
CPACK = os.environ.get("TAMBORVINE_CPACK", "cpack")

PROGRAM = "usr/bin/tamborvine"
SIMULATOR = "usr/bin/tamborvine-sim"
MANUAL = "usr/share/man/man1/tamborvine.1.gz"
COMPLETION = "usr/share/bash-completion/completions/tamborvine"
INSTALLED = (PROGRAM, SIMULATOR, MANUAL, COMPLETION)


def quiet(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300, **kw)


class Installed(unittest.TestCase):
    """The files as `cmake --install` lays them out under a prefix."""

    @classmethod
    def setUpClass(cls):
        cls.stage = tempfile.mkdtemp(prefix="tvinstall-")
        done = quiet([CMAKE, "--install", BUILD, "--prefix", os.path.join(cls.stage, "usr")])
        if done.returncode != 0:
            shutil.rmtree(cls.stage, True)
            raise AssertionError("cmake --install failed:\n" + done.stdout.decode(errors="replace"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.stage, True)

    def path(self, name):
        return os.path.join(self.stage, name)

    def test_the_four_files_and_the_installed_program_runs(self):
        for name in INSTALLED:
            self.assertTrue(os.path.isfile(self.path(name)), name)
        for name in (PROGRAM, SIMULATOR):
            self.assertTrue(os.access(self.path(name), os.X_OK), name)
        done = subprocess.run([self.path(PROGRAM), "-v"], stdout=subprocess.PIPE, timeout=30)
        self.assertEqual((done.returncode, done.stdout), (0, VERSION_OUTPUT))

    def test_manual_page_renders_cleanly_and_names_every_option_letter(self):
        if not shutil.which("man"):
            self.skipTest("no man (package man-db)")
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
        shown = subprocess.run(["man", "--warnings", "-l", self.path(MANUAL)], env=env, timeout=60,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((shown.returncode, shown.stderr), (0, b""))
        page = shown.stdout.decode()
        usage = subprocess.run([self.path(PROGRAM), "-h"], stdout=subprocess.PIPE, timeout=30).stdout.decode()
        letters = set(re.findall(r"\[-([A-Za-z])\b", usage))
        self.assertGreaterEqual(len(letters), 13, usage)
        for letter in sorted(letters) + ["-help"]:
            self.assertRegex(page, r"(?m)^ {7}-%s\b" % letter, "the manual page does not explain -%s" % letter)
        self.assertIn("EXIT STATUS", page)
        self.assertIn("Ctrl-A", page)

    def test_completion(self):
        work = tempfile.mkdtemp(prefix="tvcomplete-")
        self.addCleanup(shutil.rmtree, work, True)
        for name in ("app.hex", "OTHER.HEX", "notes.txt"):
            open(os.path.join(work, name), "w").close()
        script = r"""
            source "$1"
            complete_words() {
                COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
                _tamborvine 2>/dev/null
                printf '%s|' "${COMPREPLY[@]}"; echo
            }
            complete_words tamborvine ''
            complete_words tamborvine app.hex --he
            complete_words tamborvine app.hex -w -l no
            complete_words tamborvine app.hex -r ''
            complete_words tamborvine app.hex -wc ./no
            complete_words tamborvine app.hex --reset=''
            complete -p tamborvine
        """
        done = subprocess.run(["bash", "-c", script, "bash", self.path(COMPLETION)], cwd=work, timeout=30,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.decode().splitlines()
        self.assertEqual(sorted(lines[0].split("|")[:-1]), ["OTHER.HEX", "app.hex"])  # HEX files first
        # A port that is no device is a file of one's own, such as the simulator's link.
        self.assertEqual(lines[1:5], ["--help|", "notes.txt|", "19200|38400|57600|115200|", "./notes.txt|"])
        self.assertEqual(lines[5], "--reset=dtr|--reset=rts|--reset=dtr,rts|--reset=none|")
        self.assertEqual(lines[6], "complete -F _tamborvine tamborvine")


class DebianPackage(unittest.TestCase):
    """The .deb that cpack makes, opened without installing it."""

    def test_package_holds_the_four_files_runs_and_depends_on_what_it_links(self):
        for tool, package in (("dpkg-deb", "dpkg"), ("dpkg-shlibdeps", "dpkg-dev"), ("file", "file")):
            if not shutil.which(tool):
                self.skipTest("no %s (package %s)" % (tool, package))
        work = tempfile.mkdtemp(prefix="tvdeb-")
        self.addCleanup(shutil.rmtree, work, True)
        made = quiet([CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB", "-B", work])
        self.assertEqual(made.returncode, 0, made.stdout.decode(errors="replace"))
        debs = [name for name in os.listdir(work) if name.endswith(".deb")]
        self.assertEqual(len(debs), 1, os.listdir(work))
        deb = os.path.join(work, debs[0])
        self.assertRegex(debs[0], r"^tamborvine_%s_[a-z0-9]+\.deb$" % re.escape(VERSION))

        listing = quiet(["dpkg-deb", "--contents", deb]).stdout.decode()
        for name in INSTALLED:
            self.assertIn("./" + name + "\n", listing)
        depends = quiet(["dpkg-deb", "--field", deb, "Depends"]).stdout.decode()
        self.assertIn("libc6", depends)
        self.assertIn("libstdc++6", depends)

        root = os.path.join(work, "root")
        self.assertEqual(quiet(["dpkg-deb", "--extract", deb, root]).returncode, 0)
        done = subprocess.run([os.path.join(root, PROGRAM), "-v"], stdout=subprocess.PIPE, timeout=30)
        self.assertEqual((done.returncode, done.stdout), (0, VERSION_OUTPUT))


if __name__ == "__main__":
    unittest.main()

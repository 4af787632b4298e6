"""Makes the wine prefix for one test run: a fresh prefix with COM1 mapped
to a fixed path of ours (never to a serial device of the machine).
Usage: make_prefix.py PREFIX      (removes it again with --remove)"""
import os
import shutil
import subprocess
import sys
import time

import winharness as w


def run_wine(prefix, args):
    done = subprocess.run(["timeout", "-k", "5", "300", w.WINE] + args, env=w.wine_env(prefix),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        sys.exit("%s ended with status %d: %r" % (" ".join(args), done.returncode, done.stdout))


def make(prefix):
    start = time.monotonic()
    remove(prefix)
    os.makedirs(os.path.dirname(w.port_link(prefix)), exist_ok=True)
    # A harmless target for COM1 until a test points it at its own line.
    if os.path.lexists(w.port_link(prefix)):
        os.unlink(w.port_link(prefix))
    os.symlink(os.devnull, w.port_link(prefix))
    run_wine(prefix, ["wineboot", "-i"])
    # The new prefix's own processes finish setting it up before its
    # registry is written; then every port in one import, one process.
    w.wait_for_wineserver(prefix)
    # COM12 too: a number that Windows finds only through the \\.\ prefix.
    ports = os.path.join(os.path.dirname(w.port_link(prefix)), "ports.reg")
    with open(ports, "w") as f:
        f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
        f.writelines('"%s"="%s"\n' % (name, w.port_link(prefix)) for name in w.MAPPED_PORTS)
    run_wine(prefix, ["reg", "import", ports])
    w.wait_for_wineserver(prefix)
    # The device links are made when wine starts: start it once and check.
    run_wine(prefix, ["cmd", "/c", "exit"])
    w.wait_for_wineserver(prefix)
    for name in w.MAPPED_PORTS:
        target = w.com_target(name, prefix)
        if target != w.port_link(prefix):
            sys.exit("%s of the new prefix leads to %r, not %r" % (name, target, w.port_link(prefix)))
    print("wine prefix %s made in %.1f s; %s -> %s"
          % (prefix, time.monotonic() - start, ", ".join(w.MAPPED_PORTS), w.port_link(prefix)))


def remove(prefix):
    if os.path.isdir(prefix):
        # A server a stopped run left behind never ends by itself (the tests start it to persist).
        w.stop_wineserver(prefix)
        shutil.rmtree(prefix, ignore_errors=True)
    shutil.rmtree(os.path.dirname(w.port_link(prefix)), ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--remove":
        remove(os.path.abspath(sys.argv[2]))
    elif len(sys.argv) == 2:
        missing = w.missing_parts()
        if missing:
            print("no wine prefix made: %s" % missing)
            sys.exit(w.SKIPPED)
        make(os.path.abspath(sys.argv[1]))
    else:
        sys.exit(__doc__)

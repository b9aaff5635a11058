#!/usr/bin/env python3
"""The exporter's MSI as an administrator meets it: `msiexec /i ... /qn`, the service running
(`sc query`), a scrape on the address given as a property, `msiexec /x ... /qn`, and nothing left:
no service, no port, no file in the program folder.

On a Windows machine (the CI runner) it runs the real Windows Installer and service manager; here
it runs the same steps under Wine, in a prefix of its own.

Usage: msi_install_check.py MSI [--launcher WINE] [--prefix WINE_PREFIX_DIR] [--log-dir DIR]
Must run elevated on Windows. The exporter listens on 127.0.0.1 on a free port.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import windows_program as wp
from exporter_test import FAILURES, check, free_port

SERVICE = "winperf_exporter"


class Machine:
    """The Windows commands of this machine, or of the Wine prefix."""

    def __init__(self, launcher, env):
        self.launcher, self.env = launcher, env

    def run(self, *cmd, timeout=300):
        """(exit code or None when it did not end in time, its output). The output goes through
        a file: services the command starts inherit its handles and would hold a pipe open."""
        with tempfile.TemporaryFile() as out:
            proc = subprocess.Popen(wp.command(self.launcher, *cmd), stdout=out,
                                    stderr=subprocess.STDOUT, env=self.env)
            try:
                rc = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                rc = None
            out.seek(0)
            return rc, out.read().decode("utf-8", "replace")

    def service_state(self):
        """(state name or None, the return code of sc query)."""
        rc, out = self.run("sc", "query", SERVICE, timeout=60)
        m = re.search(r"STATE\s*:\s*\d+\s+([A-Z_]+)", out)
        return (m.group(1) if m else None), rc

    def exporter_running(self):
        """Whether a winperf-exporter.exe of this machine (of this prefix, under Wine) runs."""
        if not self.launcher:
            _, out = self.run("tasklist", "/FI", "IMAGENAME eq winperf-exporter.exe", "/NH")
            return "winperf-exporter.exe" in out
        mine = f"WINEPREFIX={self.env['WINEPREFIX']}".encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"winperf-exporter.exe" not in f.read():
                        continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if mine in f.read().split(b"\0"):
                        return True
            except OSError:
                continue
        return False

    def program_folder(self):
        if self.launcher:
            return os.path.join(self.env["WINEPREFIX"], "drive_c", "Program Files", "winperf")
        return os.path.join(os.environ.get("ProgramW6432", r"C:\Program Files"), "winperf")


def until(what, done, seconds, interval=0.5):
    """what() again until done(its value) or seconds have passed; its last value."""
    deadline = time.monotonic() + seconds
    while True:
        got = what()
        if done(got) or time.monotonic() > deadline:
            return got
        time.sleep(interval)


def scrape(port, path="/metrics"):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as res:
            return res.status, res.read().decode("utf-8", "replace")
    except (urllib.error.URLError, OSError) as e:
        return None, str(e)


def msiexec(machine, action, msi, log, *properties):
    rc, out = machine.run("msiexec", action, wp.path(msi), "/qn", "/l*v", wp.path(log),
                          *properties)
    # 3010: done, a reboot asked for.
    if not check(rc in (0, 3010), f"msiexec {action} exited {rc} {out}"):
        print(log_tail(log))
    return rc


def log_tail(log, lines=40):
    try:
        with open(log, "rb") as f:
            data = f.read()
    except OSError as e:
        return f"(no log: {e})"
    text = data.decode("utf-16" if data.startswith(b"\xff\xfe") else "utf-8", "replace")
    return "\n".join(text.splitlines()[-lines:])


def install_scrape_uninstall(machine, msi, log_dir):
    port = free_port()
    msiexec(machine, "/i", msi, os.path.join(log_dir, "install.log"),
            f"LISTEN_ADDRESS=127.0.0.1:{port}")
    state, _ = until(machine.service_state, lambda s: s[0] == "RUNNING", 60)
    check(state == "RUNNING", f"after the install the service is {state}")
    print(f"installed: sc query {SERVICE}: {state}")
    check(machine.exporter_running(), "no winperf-exporter.exe runs while the service does")

    status, text = until(lambda: scrape(port), lambda r: r[0] == 200, 30)
    check(status == 200, f"no scrape on 127.0.0.1:{port}: {status} {text[:200]}")
    if status == 200:
        build = [l for l in text.splitlines() if l.startswith("winperf_exporter_build_info")]
        families = {l.split()[2] for l in text.splitlines() if l.startswith("# TYPE")}
        check(build, "no winperf_exporter_build_info in the scrape")
        for family in ("winperf_memory_physical_bytes", "winperf_exporter_collect_success"):
            check(family in families, f"no {family} in the scrape")
        print(f"scraped 127.0.0.1:{port}/metrics: {len(families)} families, {build[:1]}")

    # The service's process ends before the uninstall: a service manager may say STOPPED
    # while its process still holds the files (Wine does).
    machine.run("net", "stop", SERVICE, timeout=120)
    status, _ = until(lambda: scrape(port), lambda r: r[0] is None, 30)
    check(status is None, "the port still answers after net stop")
    check(not until(machine.exporter_running, lambda running: not running, 30),
          "the stopped service's process did not end")

    msiexec(machine, "/x", msi, os.path.join(log_dir, "uninstall.log"))
    # sc query exits 1060 for a service that does not exist (Wine's exits 1).
    state, rc = until(machine.service_state, lambda s: s[0] is None and s[1] not in (0, None), 30)
    check(state is None and rc not in (0, None),
          f"after the uninstall sc query answers {rc} with the service {state}")
    left = [os.path.join(d, f) for d, _, files in os.walk(machine.program_folder()) for f in files]
    check(not left, f"files left after the uninstall: {left}")
    print(f"uninstalled: sc query {SERVICE} exits {rc}, {len(left)} files left in "
          f"{machine.program_folder()}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("msi")
    p.add_argument("--launcher", default="",
                   help="what runs a Windows program (wine); none on Windows")
    p.add_argument("--prefix", help="the Wine prefix to make for this test")
    p.add_argument("--log-dir", help="where msiexec's logs go (a temporary folder if not given)")
    args = p.parse_args()
    msi = os.path.abspath(args.msi)
    with tempfile.TemporaryDirectory() as tmp:
        log_dir = args.log_dir or tmp
        os.makedirs(log_dir, exist_ok=True)
        with wp.prefix(args.launcher, args.prefix) as env:
            install_scrape_uninstall(Machine(args.launcher, env), msi, log_dir)
    print(f"msi install check: {len(FAILURES)} failed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

"""The one way the tests start Windows programs: through the launcher the build gives (Wine when
the programs were cross-compiled), or directly when the tests run on Windows itself.

A launcher of "" means "run them as they are"; paths and interrupts follow from it.
"""
import contextlib
import os
import shutil
import signal
import subprocess
import sys

ON_WINDOWS = sys.platform == "win32"

# Wine turns the Unix command line into the Windows one with the locale's character set.
ENV = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")


def command(launcher, exe, *flags):
    return ([launcher] if launcher else []) + [exe, *flags]


def run(launcher, exe, *flags, cwd=None, timeout=60, **kw):
    return subprocess.run(command(launcher, exe, *flags), cwd=cwd, capture_output=True,
                          text=True, errors="replace", timeout=timeout, env=ENV, **kw)


def popen(launcher, exe, *flags, **kw):
    """A program that interrupt() can send Ctrl+C (Ctrl+Break on Windows) to."""
    if ON_WINDOWS:
        # Ctrl+Break reaches a process group of its own only, not this script.
        kw.setdefault("creationflags", subprocess.CREATE_NEW_PROCESS_GROUP)
    return subprocess.Popen(command(launcher, exe, *flags), env=kw.pop("env", ENV), **kw)


def interrupt(proc):
    """What an operator's Ctrl+C is: Wine turns SIGINT into it; Windows has CTRL_BREAK_EVENT for
    another console process group."""
    proc.send_signal(signal.CTRL_BREAK_EVENT if ON_WINDOWS else signal.SIGINT)


def path(local_path):
    """A path as the program sees it: Wine maps the Unix root to drive Z:."""
    return local_path if ON_WINDOWS else "Z:" + local_path.replace("/", "\\")


def is_wine(launcher):
    return bool(launcher) and os.path.basename(launcher).startswith("wine")


@contextlib.contextmanager
def prefix(launcher, folder):
    """A Wine prefix of the caller's own in folder, with a server that stays up (Wine ends
    services once no ordinary Wine process is left) and is ended afterwards with whatever still
    runs in it. On Windows: nothing to set up."""
    if not is_wine(launcher):
        yield dict(os.environ)
        return
    env = dict(ENV, WINEPREFIX=folder, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    server = shutil.which("wineserver", path=os.path.dirname(launcher) or None) or "wineserver"
    subprocess.run([server, "-k"], env=env, capture_output=True)
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run([launcher, "wineboot", "--init"], env=env, capture_output=True, timeout=300)
    subprocess.run([server, "-w"], env=env, timeout=300)
    subprocess.run([server, "-p"], env=env)
    try:
        yield env
    finally:
        subprocess.run([server, "-k"], env=env, capture_output=True)

"""The demo's child processes: the local collector, the stand-in application, ``show``."""

import re
import selectors
import socket
import subprocess
import sys
from pathlib import Path

# Children import the very package this process runs (-P: not whatever the working
# directory holds).
PYTHON = [sys.executable, "-P"]
PACKAGE_ROOT = str(Path(__file__).resolve().parents[2])
_START_TIMEOUT = 30.0
_RUN_TIMEOUT = 60.0


class DemoError(Exception):
    """A step of the demo failed; the message says which and why."""


def port_to_request(preferred):
    """(port, taken): ``preferred`` if it is free now, else 0 (any free port) and taken=True."""
    if preferred == 0:
        return 0, False
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", preferred))
        except OSError:
            return 0, True
    return preferred, False


class CollectorProcess:
    """``python3 -P -m orlune.collector serve`` as a child; its log goes to ``log_path``."""

    def __init__(self, env, port, db, log_path):
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.proc = subprocess.Popen(
                [*PYTHON, "-m", "orlune.collector", "serve", "--port", str(port), "--db", str(db)],
                env=env, stdout=subprocess.PIPE, stderr=log, text=True,
            )
        line = self._first_line()
        match = re.match(r"listening on (http://127\.0\.0\.1:(\d+))", line)
        if not match:
            self.stop()
            raise DemoError(f"the collector did not start: {self._own_error()}")
        self.listening = line.strip()
        self.url, self.port = match.group(1), int(match.group(2))

    def _first_line(self):
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            if not sel.select(_START_TIMEOUT):
                return ""
        return self.proc.stdout.readline()  # the collector writes the whole line at once

    def _own_error(self):
        try:
            code = self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            return f"no answer within {_START_TIMEOUT:.0f} s"
        lines = [ln for ln in Path(self.log_path).read_text().splitlines() if ln.strip()]
        return lines[-1] if lines else f"it exited with code {code}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


def run_app(env, *extra):
    """Run the stand-in application once; its output, and whether the demo killed it."""
    try:
        proc = subprocess.run([*PYTHON, "-m", "orlune.demo.app", *extra], env=env,
                              capture_output=True, text=True, timeout=_RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise DemoError(f"the application did not finish within {_RUN_TIMEOUT:.0f} s") from None
    if proc.returncode not in (0, -9):
        raise DemoError(f"the application exited with {proc.returncode}:\n{proc.stdout}{proc.stderr}")
    match = re.search(r"session ([0-9a-f]{8}) opened", proc.stdout)
    if not match:
        raise DemoError(f"the application opened no session:\n{proc.stdout}{proc.stderr}")
    return proc.stdout, match.group(1)


def collector_show(env, db):
    """What ``python3 -P -m orlune.collector show`` prints for the demo's database."""
    proc = subprocess.run([*PYTHON, "-m", "orlune.collector", "show", "--db", str(db)],
                          env=env, capture_output=True, text=True, timeout=60)
    if proc.returncode != 0:
        raise DemoError(f"collector show failed: {proc.stderr.strip()}")
    return proc.stdout.rstrip()

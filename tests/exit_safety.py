"""Exit with work in flight: the interpreter finalizes while an open report and the start-up
flush wait for their replies, and the server answers while finalization is busy (cyclic
garbage whose __del__ sleeps), so the workers wake up into a finalizing interpreter.

The pytest suite runs it once; to repeat it by hand:
    PYTHONPATH=. python3 tests/exit_safety.py 50
"""

import subprocess
import sys
import tempfile
import threading

from conftest import child_env

API_KEY = "exit-safety-key"

CHILD = """
import sys, time
from orlune.app import AppContext
from orlune.core.runtime_guard import RuntimeGuarder, report_open

class Slow:  # cyclic garbage collected at exit keeps finalization busy
    def __del__(self):
        print("finalizing", flush=True)
        time.sleep(1.0)

slow = Slow()
slow.me = slow
del slow
RuntimeGuarder(AppContext()).initialize()
report_open("ExitSafety")
sys.stdin.readline()  # exit when told, with both requests in flight
"""


class HeldReplies:
    """A reply_override that keeps every request in flight until `release` is set."""

    def __init__(self):
        self.release = threading.Event()
        self._cond = threading.Condition()
        self.entered = 0

    def __call__(self, received):
        with self._cond:
            self.entered += 1
            self._cond.notify_all()
        self.release.wait(30)
        return 200, b'{"ok": true}', 0

    def wait_entered(self, n, timeout):
        with self._cond:
            return self._cond.wait_for(lambda: self.entered >= n, timeout)


def run_once(collector, home):
    """Runs the child once; returns (returncode, stdout, stderr, requests held at exit)."""
    held = HeldReplies()
    collector.reply_override = held
    env = child_env(HOME=str(home), ORLUNE_SERVER_URL=collector.url + "/api/validate",
                    ORLUNE_SERVER_API_KEY=collector.api_key)
    env.pop("ORLUNE_TELEMETRY", None)
    with subprocess.Popen([sys.executable, "-P", "-c", CHILD], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=env) as proc:
        lines = []

        def read_stdout():
            for line in proc.stdout:
                lines.append(line)
                if line.strip() == "finalizing":
                    held.release.set()  # answer now, while finalization sleeps

        reader = threading.Thread(target=read_stdout, daemon=True)
        reader.start()
        try:
            in_flight = held.entered if not held.wait_entered(2, 30) else 2
            proc.stdin.write("\n")
            proc.stdin.flush()
            stderr = proc.stderr.read()
            proc.wait(60)
        finally:
            held.release.set()
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    reader.join(5)
    return proc.returncode, "".join(lines), stderr, in_flight


def main(runs):
    from orlune.collector import Collector

    clean = 0
    with Collector(api_key=API_KEY) as collector, tempfile.TemporaryDirectory() as home:
        for i in range(runs):
            code, out, err, in_flight = run_once(collector, home)
            ok = code == 0 and err == "" and "finalizing" in out and in_flight == 2
            clean += ok
            if not ok:
                print(f"run {i}: exit {code}, {in_flight} in flight, stdout {out!r}, stderr {err!r}")
    print(f"{clean}/{runs} clean exits")
    return 0 if clean == runs else 1


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 10))

"""A short stand-in application run: the host's component framework driving RuntimeGuarder.

    python3 -P -m orlune.demo.app [--crash] [--features]

With --crash the process kills itself (SIGKILL) after start-up, before any shutdown runs.
With --features library code of the application also reports two opened features: one with
report_open, one through a function decorated with @runtimeguard.
"""

import argparse
import logging
import os
import signal
import sys
import time
from pathlib import Path

from orlune.app import build_app_context

log = logging.getLogger("orlune.demo.app")


def wait_until_sent(guard, seconds=5.0):
    """The start-up flush runs on a daemon thread; wait until it has delivered our open row."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with guard._lock:
            row = guard._current_session()
            if row is not None and row.get("flushed"):
                return True
        time.sleep(0.05)
    return False


def open_features():
    """What library code does: fire-and-forget open reports that never block or raise."""
    from orlune.core.runtime_guard import flush_runtime_guard, report_open, runtimeguard

    @runtimeguard("Segmentation")
    def segment(study):
        return f"segmented {study}"

    report_open("Viewer")
    segment("ct_chest")
    flush_runtime_guard()  # a short run: let both reports finish before shutdown
    print(f"  [app {os.getpid()}] report_open(\"Viewer\") and a call of a function decorated "
          "with @runtimeguard(\"Segmentation\"): each sent on its own light thread", flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--crash", action="store_true", help="die by SIGKILL before shutdown")
    parser.add_argument("--features", action="store_true",
                        help="report two opened features (report_open and @runtimeguard)")
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.WARNING)
    logging.getLogger("orlune").setLevel(logging.INFO)
    ctx = build_app_context(Path.home() / ".orlune" / "settings.ini")

    from orlune.core.runtime_guard import RuntimeGuarder, _telemetry_on

    guard = RuntimeGuarder(ctx)
    ctx.register("runtime_guard", guard)
    guard.initialize()
    print(f"  [app {os.getpid()}] initialize: session {guard._current_id[:8]} opened", flush=True)
    if _telemetry_on():
        sent = wait_until_sent(guard)
        print(f"  [app {os.getpid()}] start-up flush {'delivered' if sent else 'did NOT deliver'} "
              "the open row", flush=True)
    else:
        print(f"  [app {os.getpid()}] telemetry is off: the session is stored locally, marked "
              "opted out, and will never be sent", flush=True)

    log.info("Opened study from /home/dr.lee/studies/patient-0042/ct_chest.dcm")
    log.warning("Report shared with dr.lee@clinic.example.org")
    log.info("Activation key ABCD-1234-EF56-7890 accepted")
    log.info("Segmentation finished in 1.2 s (2024-01-15)")

    if args.features:
        open_features()

    if args.crash:
        print(f"  [app {os.getpid()}] crashing now (SIGKILL), no cleanup", flush=True)
        os.kill(os.getpid(), signal.SIGKILL)

    time.sleep(1.1)  # a session that lasts at least a second
    guard.cleanup()
    print(f"  [app {os.getpid()}] cleanup: session closed"
          + (" and flushed" if _telemetry_on() else ", stored locally only, never to be sent"),
          flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

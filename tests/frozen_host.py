"""A small host application: one session with an open report, against the server that
ORLUNE_SERVER_URL and ORLUNE_SERVER_API_KEY name. The PyInstaller test freezes it; the hook
test runs it as a script to see what the extension imports."""

import logging
import sys
import threading
from pathlib import Path

from orlune.app import build_app_context
from orlune.core import runtime_guard
from orlune.core.runtime_guard import RuntimeGuarder, flush_runtime_guard, report_open, runtimeguard


# Decorating a coroutine function reaches the one import that only the decorator makes.
@runtimeguard("FrozenImport")
async def import_study():
    return None


def main():
    # The module's own records reach stderr, so a run that delivers nothing says why.
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr,
                        format="%(levelname)s %(name)s %(message)s")
    logging.getLogger("orlune.core.runtime_guard").setLevel(logging.DEBUG)
    ctx = build_app_context(Path.home() / ".orlune" / "settings.ini")
    guard = ctx.register("runtime_guard", RuntimeGuarder(ctx))
    guard.initialize()
    # A run this short could otherwise close its session before the start-up flush sent it open.
    for thread in threading.enumerate():
        if thread.name == "orlune-usage-flush":
            thread.join(timeout=10)
    report_open("FrozenViewer")
    logging.getLogger("frozen_host").warning("host is working")
    flush_runtime_guard()
    guard.cleanup()
    print(f"extension: {runtime_guard.__file__}", flush=True)


if __name__ == "__main__":
    main()

"""Calls the stub must reject: each line marked ``# rejected`` is one mypy error."""

from orlune.core.runtime_guard import RuntimeGuarder, report_open, runtimeguard


@runtimeguard("Export")
def export_study(path: str) -> int:
    return len(path)


@runtimeguard
def bare(path: str) -> int:
    return len(path)


def misuse(guard: RuntimeGuarder) -> str:
    bare(1)  # rejected
    export_study(42)  # rejected
    report_open("Viewer", 3)  # rejected
    guard.cleanup(timeout=1)  # rejected
    return guard.initialize()  # rejected

"""A host application using the runtime_guard API, as a type checker sees it.

The tests run ``mypy --strict`` on this file against the shipped stub; it is not run itself.
"""

from typing import Any

from orlune.core.runtime_guard import (
    RuntimeGuarder,
    flush_runtime_guard,
    format_panel_logs,
    infer_open_name,
    report_open,
    runtimeguard,
    sanitize_log_text,
)


class AppContext:
    """The least a host context offers the component: components by name."""

    def __init__(self) -> None:
        self.components: dict[str, Any] = {}

    def get_component(self, name: str) -> Any:
        return self.components.get(name)


@runtimeguard()
def export_study(path: str, *, fmt: str = "dicom") -> int:
    return len(path) + len(fmt)


@runtimeguard
def open_viewer(study: str) -> str:
    return study


@runtimeguard
async def fetch_study(uid: str) -> bytes:
    return uid.encode()


@runtimeguard("Segmentation")
class SegmentationTool:
    def __init__(self, threshold: float) -> None:
        self.threshold = threshold


def run_application() -> int:
    guard = RuntimeGuarder(AppContext())
    ready: bool = guard.initialize()
    report_open("Viewer")
    report_open(depth=3)
    guard.report_open()
    written: int = export_study("/data/a.dcm", fmt="png")  # the decorator keeps the signature
    tool = SegmentationTool(0.5)
    shown: str = open_viewer("ct")  # bare use keeps the signature too
    pending_fetch = fetch_study("1.2.3")
    pending_fetch.close()
    safe: str = sanitize_log_text("shared with dr.lee@clinic.example.org")
    panel: str = format_panel_logs([{"timestamp": 0, "level": "INFO", "message": "ready"}])
    feature: str = infer_open_name()
    guard.cleanup()
    flush_runtime_guard(timeout=1.5)
    return 0 if ready and written and tool.threshold and safe and panel and feature and shown else 1

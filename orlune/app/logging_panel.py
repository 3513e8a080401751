"""In-memory buffer of recent log records, shown in the application's log panel."""

import collections
import logging
import threading
from typing import Any

from orlune.core.base_component import ApplicationComponent


class _PanelHandler(logging.Handler):
    def __init__(self, panel: "LoggingPanel") -> None:
        super().__init__()
        self._panel = panel

    def emit(self, record: logging.LogRecord) -> None:
        try:
            message = record.getMessage()
        except Exception:
            # Bad format arguments: keep what the caller wrote rather than lose the line.
            message = str(record.msg)
        self._panel._append(
            {"timestamp": record.created, "level": record.levelname, "message": message}
        )


class LoggingPanel(ApplicationComponent):
    """Component ``logger``: keeps the last ``capacity`` records as dicts.

    Attaching does not change logger levels; records filtered out by the
    logger never reach the panel.
    """

    def __init__(self, capacity: int = 2000, app_context: Any = None) -> None:
        super().__init__("logger", app_context)
        self._records: collections.deque[dict[str, Any]] = collections.deque(maxlen=capacity)
        self._lock = threading.Lock()
        self.handler = _PanelHandler(self)
        self._attached_to: logging.Logger | None = None

    def _append(self, entry: dict[str, Any]) -> None:
        with self._lock:
            self._records.append(entry)

    def attach(self, logger: logging.Logger | None = None) -> None:
        self.detach()
        target = logger if logger is not None else logging.getLogger()
        target.addHandler(self.handler)
        self._attached_to = target

    def detach(self) -> None:
        if self._attached_to is not None:
            self._attached_to.removeHandler(self.handler)
            self._attached_to = None

    def get_recent_logs(self, count: int = 1000) -> list[dict[str, Any]]:
        """The last ``count`` records, oldest first, as a new list."""
        if count <= 0:
            return []
        with self._lock:
            records = list(self._records)
        return [dict(r) for r in records[-count:]]

    def cleanup(self) -> None:
        self.detach()

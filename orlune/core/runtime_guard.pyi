"""Types of the native module ``orlune.core.runtime_guard`` (checked against it by the tests)."""

import threading
from collections.abc import Callable
from datetime import UTC as UTC
from logging import Logger
from pathlib import Path
from re import Pattern
from typing import Any, TypeVar, overload

from orlune.core.base_component import ApplicationComponent

log: Logger

_USAGE_DIR: Path
_SESSIONS_FILE: Path
_MAX_STORED: int
_STARTUP_FLUSH_TIMEOUT: float
_SHUTDOWN_FLUSH_TIMEOUT: float
_LIGHT_TIMEOUT: float
_MAX_LOG_CHARS: int
_MAX_LOG_LINES: int
_MAX_FEATURE_NAME: int
_MAX_STORE_BYTES: int
_MAX_STORE_LINE_BYTES: int
_MAX_UPLOAD_BYTES: int
_MAX_LIGHT_IN_FLIGHT: int

_PATH_RE: Pattern[str]
_EMAIL_RE: Pattern[str]
_TOKENISH_RE: Pattern[str]

_F = TypeVar("_F", bound=Callable[..., Any])

_light_threads_lock: threading.Lock
_light_threads: set[threading.Thread]
_atexit_registered: bool
_skip_endpoint_warned: bool
_skip_machine_warned: bool
_telemetry_word_noted: bool
_light_dropping: bool
_auth_ready_lock: threading.Lock
_auth_ready: bool

def _ensure_auth_ready() -> None: ...
def _spawn_light_thread(target: Callable[[], None], *, name: str) -> None: ...
def flush_runtime_guard(timeout: float = 2.0) -> None:
    """Wait up to ``timeout`` seconds for open reports still being sent (also run at exit)."""
def _utcnow_iso() -> str: ...
def _local_tz_offset() -> str: ...
def _usage_url(validate_url: str) -> str: ...
def sanitize_log_text(text: str) -> str:
    """Redact paths, emails, and token-like strings from panel logs."""
def format_panel_logs(records: list[dict[str, Any]]) -> str:
    """Render in-memory logger records the same way the logging panel stores them."""
def _clip_feature(name: str) -> str: ...
def infer_open_name(depth: int = 2) -> str:
    """Best-effort ``Class.method`` / ``module.func`` name from the call stack."""
def _resolve_endpoint() -> tuple[str, str]: ...
def _resolve_machine_id() -> str: ...
def _resolve_token_fields() -> tuple[str, str]: ...
def _resolve_app_version() -> str: ...
def _telemetry_on() -> bool: ...
def _post_usage(
    sessions: list[dict[str, Any]], *, timeout: float, allow_empty: bool = False
) -> tuple[int | None, dict[str, Any] | None]: ...
def _opened_log_line(feature: str) -> str: ...
def _build_open_session(feature: str) -> dict[str, Any]: ...
def report_open(name: str | None = None, *, depth: int = 2) -> None:
    """Fire-and-forget open event including the function/class name."""
@overload
def runtimeguard(name: _F) -> _F:
    """Bare ``@runtimeguard``: the same as ``@runtimeguard()``."""
@overload
def runtimeguard(name: str | None = None) -> Callable[[_F], _F]:
    """Decorate a function or class so that each call or instantiation reports an open."""

class RuntimeGuarder(ApplicationComponent):
    """Record local open/close sessions and flush them to the usage endpoint."""

    dependencies: list[str]
    _enabled: bool
    _lock: threading.Lock
    _sessions: list[dict[str, Any]]
    _current_id: str
    _flush_lock: threading.Lock

    def __init__(self, app_context: Any) -> None: ...
    def initialize(self) -> bool: ...
    def cleanup(self) -> None: ...
    def report_open(self, name: str | None = None, *, depth: int = 2) -> None:
        """Instance alias for the module-level :func:`report_open` helper."""
    def _reload_flags(self) -> None: ...
    def _load_store(self) -> None: ...
    def _persist(self) -> None: ...
    def _persist_unlocked(self) -> None: ...
    def _current_session(self) -> dict[str, Any] | None: ...
    def _close_stale_sessions(self) -> None: ...
    def _start_session(self) -> None: ...
    def _capture_logs(self) -> str: ...
    def _spawn_flush(self, timeout: float) -> None: ...
    def _flush(self, timeout: float = 3.0, wait: bool = False, allow_empty: bool = False) -> None: ...
    @staticmethod
    def _machine_id() -> str: ...
    @staticmethod
    def _token_fields() -> tuple[str, str]: ...
    @staticmethod
    def _app_version() -> str: ...
    @staticmethod
    def _endpoint() -> tuple[str, str]: ...

def _duration_s(started_at: str, ended_at: str) -> int: ...

"""The panel rendering written in plain Python: the reference for tests and the benchmark."""

from datetime import datetime


def python_rendering(records, sanitize, max_lines):
    lines = []
    for entry in records[-max_lines:]:
        try:
            ts = datetime.fromtimestamp(float(entry.get("timestamp") or 0)).strftime("%Y-%m-%d %H:%M:%S")
        except (TypeError, ValueError, OSError):
            ts = ""
        level = str(entry.get("level") or "INFO")
        msg = str(entry.get("message") or "")
        lines.append(f"{ts} {level} {msg}".strip())
    return sanitize("\n".join(lines))

"""The store's reading and writing as plain Python code of its description: the reference for
the tests and the benchmark's Python build."""

import json
import re


def python_rows(text, max_stored=200):
    """The rows _load_store keeps of a store text."""
    kept = []
    for line in text.splitlines():
        line = line.strip()
        if not line:
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError:
            continue
        if isinstance(row, dict) and row.get("session_id"):
            kept.append(row)
    return kept[-max_stored:]


def reader_rows(data, max_stored=200):
    """The rows the module's reader keeps of a store's bytes (well within its bounds): lines end
    at LF, CR LF or CR and nowhere else, a byte-order mark before the first is no part of it,
    and a line json.loads fails on with any ValueError (an over-long integer) is unreadable."""
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    kept = []
    for raw in re.split(rb"[\r\n]", data):
        line = raw.decode("utf-8", "surrogateescape").strip()
        if not line or any("\udc80" <= c <= "\udcff" for c in line):
            continue
        try:
            row = json.loads(line)
        except ValueError:
            continue
        if isinstance(row, dict) and row.get("session_id"):
            kept.append(row)
    return kept[-max_stored:]


def python_text(rows, max_stored=200):
    """The store text _persist_unlocked writes of the rows."""
    text = "\n".join(json.dumps(row, separators=(",", ":")) for row in rows[-max_stored:])
    return text + "\n" if text else text

"""The store's reading and writing as plain Python code of its description: the reference for
the tests and the benchmark's Python build."""

import json


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


def python_text(rows, max_stored=200):
    """The store text _persist_unlocked writes of the rows."""
    text = "\n".join(json.dumps(row, separators=(",", ":")) for row in rows[-max_stored:])
    return text + "\n" if text else text

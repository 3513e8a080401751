"""What the stored uploads say about each session.

The collector stores one row per upload: a session is typically sent twice, open at start-up
and closed at shutdown, and a crashed one again as not cleanly ended by the next start. These
helpers fold the rows into one entry per session, its latest state first, for people and tools.
"""

import datetime

CLOSED = "closed cleanly"
NOT_CLOSED = "open or not cleanly ended"  # the server cannot tell a running session from a crash


def state(row) -> str:
    return CLOSED if row["ended_cleanly"] else NOT_CLOSED


def sessions(rows) -> list:
    """One dict per session id, in the order of its first upload: the fields of its latest
    upload, plus ``state``, ``uploads`` (how many rows it has) and ``history`` (those rows)."""
    by_id = {}
    for row in rows:
        entry = by_id.get(row["session_id"])
        history = entry["history"] if entry else []
        history.append(row)
        # Re-assigning an existing key keeps its place: order stays that of the first upload.
        by_id[row["session_id"]] = dict(row, state=state(row), uploads=len(history),
                                        history=history)
    return list(by_id.values())


def totals(entries, upload_count) -> str:
    closed = sum(1 for e in entries if e["state"] == CLOSED)
    return (f"{len(entries)} session{'s' if len(entries) != 1 else ''}: {closed} {CLOSED}, "
            f"{len(entries) - closed} {NOT_CLOSED}; {upload_count} "
            f"upload{'s' if upload_count != 1 else ''}")


def find(entries, wanted):
    """The entries whose id is ``wanted`` or starts with it (ids are shown cut to 8)."""
    exact = [e for e in entries if e["session_id"] == wanted]
    return exact or [e for e in entries if e["session_id"].startswith(wanted)]


def duration(seconds) -> str:
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}"


def stamp(text) -> str:
    """An ISO time stamp as UTC wall-clock time to the second; other text as it came."""
    try:
        moment = datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return text or ""
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S")

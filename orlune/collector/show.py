"""``show``: the stored sessions for people (tables) and for tools (``--json``)."""

import json

from orlune.collector import views

_PREVIEW_CHARS = 40
_SESSION_HEADER = ("session", "state", "started (UTC)", "duration", "version", "received (UTC)",
                   "uploads")
_UPLOAD_HEADER = ("id", "start", "end", "duration", "clean", "log")


def table(rows) -> list:
    """Lines of left-aligned columns, two spaces apart."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]


def _preview(text):
    if text is None:
        return ""
    flat = text.replace("\r\n", "\n").replace("\r", "\n").replace("\n", "\\n")
    return flat if len(flat) <= _PREVIEW_CHARS else flat[:_PREVIEW_CHARS] + "..."


def _public(entry):
    """A session entry as plain JSON data: the history's rows without the nesting."""
    return {k: v for k, v in entry.items() if k != "history"}


def session_lines(entries, total_entries, upload_count) -> list:
    rows = [_SESSION_HEADER]
    for e in entries:
        rows.append((e["session_id"][:8], e["state"], views.stamp(e["started_at"]),
                     views.duration(e["duration_s"]), e["app_version"],
                     views.stamp(e["received_at"]), str(e["uploads"])))
    shown = "" if len(entries) == len(total_entries) else f"last {len(entries)} shown of "
    return table(rows) + [shown + views.totals(total_entries, upload_count)]


def upload_lines(rows) -> list:
    cells = [_UPLOAD_HEADER]
    for r in rows:
        cells.append((r["session_id"][:8], r["started_at"], r["ended_at"],
                      views.duration(r["duration_s"]), "yes" if r["ended_cleanly"] else "no",
                      _preview(r["log_text"])))
    return table(cells)


def full_lines(entry) -> list:
    e = entry
    lines = [
        f"session   {e['session_id']}",
        f"state     {e['state']}",
        f"started   {views.stamp(e['started_at'])} UTC",
        f"ended     {views.stamp(e['ended_at']) + ' UTC' if e['ended_at'] else '(no end time)'}",
        f"duration  {views.duration(e['duration_s'])}",
        f"app       {e['app_version']} on {e['os']}, time zone {e['tz']}",
        f"machine   {e['machine_id']}",
        f"account   {e['token_id'] or '(none)'}, plan {e['plan']}",
        f"uploads   {e['uploads']}",
    ]
    lines += [f"  received {views.stamp(r['received_at'])} UTC: {views.state(r)}"
              for r in e["history"]]
    text = e["log_text"]
    if text is None:
        lines.append("log text  (none: only a clean close carries one)")
    else:
        lines.append(f"log text  {len(text.splitlines())} lines, {len(text)} characters:")
        lines += ["  | " + line for line in text.splitlines()]
    return lines


def as_json(value) -> str:
    if isinstance(value, list):
        value = [_public(v) if "history" in v else v for v in value]
    elif "history" in value:
        value = dict(_public(value), history=value["history"])
    return json.dumps(value, indent=2, ensure_ascii=False)

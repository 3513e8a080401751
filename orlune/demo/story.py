"""What the demo shows after each run, and its closing summary.

The collector sees a session that is still running and one whose process was killed alike
(not cleanly ended, no end time). The demo knows which run it killed, so it says which is which.
"""

import json

from orlune.collector import views
from orlune.collector.store import SessionStore

# What the stand-in application logs that must never reach the server as written.
SECRETS = ("/home/dr.lee/studies/patient-0042/ct_chest.dcm", "dr.lee@clinic.example.org",
           "ABCD-1234-EF56-7890")
MARKERS = (("<path>", "path"), ("<email>", "e-mail address"), ("<token>", "token-like string"))


def _plural(n, word):
    return f"{n} {word}{'' if n == 1 else 'es' if word.endswith('s') else 's'}"


class Story:
    def __init__(self, home, db):
        self.home, self.db = home, db
        self.store = home / ".orlune" / "usage" / "sessions.jsonl"
        self.sessions = []  # (short id, how the run ended) in run order
        self.killed = None  # short id of the run the demo killed
        self.first_row = len(self._received())
        self.seen = self.first_row

    def _received(self):
        store = SessionStore(str(self.db), read_only=True)
        try:
            return store.all()
        finally:
            store.close()

    def _local_rows(self):
        if not self.store.exists():
            return []
        return [json.loads(line) for line in self.store.read_text().splitlines() if line.strip()]

    def ran(self, short_id, killed):
        self.sessions.append(short_id)
        if killed:
            self.killed = short_id

    def _upload_label(self, row, run):
        opened = (row["log_text"] or "").partition(" INFO Opened ")[2]
        if opened and row["session_id"][:8] not in self.sessions:
            return f"open report: the feature \"{opened}\" was opened (one-row, closed session)"
        if row["ended_cleanly"]:
            return "closed cleanly, with its redacted log text"
        if row["session_id"][:8] == self.killed and run > self.sessions.index(self.killed) + 1:
            return "the run the demo killed, sent as not cleanly ended by this start"
        return "open: sent at start-up while the run was still going"

    def new_uploads(self, run):
        """Lines for the uploads that arrived during run ``run`` (1-based)."""
        rows = self._received()
        fresh = rows[self.seen:]
        self.seen = len(rows)
        if not fresh:
            return ["  the collector received nothing"]
        lines = ["  the collector received (the state it sees, then what the demo knows):"]
        for row in fresh:
            lines.append(f"    {row['session_id'][:8]}  {views.state(row):<25}  "
                         f"{self._upload_label(row, run)}")
        return lines

    def received_log(self):
        closed = [r for r in self._received()[self.first_row:]
                  if r["log_text"] and r["session_id"][:8] in self.sessions]
        if not closed:
            return []
        return (["  log text of the closed session as the collector received it (redacted):"]
                + ["    | " + line for line in closed[-1]["log_text"].splitlines()])

    def _local_label(self, row):
        if row.get("opted_out"):
            delivery = "kept on this machine for good (recorded while telemetry was off)"
        elif row.get("flushed"):
            delivery = "delivered"
        else:
            delivery = "pending (not yet accepted by the server)"
        short = row["session_id"][:8]
        if row.get("stale"):
            ended = "crashed: closed as stale by a later start, runtime unknown"
        elif row.get("ended_at"):
            ended = "closed cleanly"
        elif short == self.killed:
            ended = "crashed: left open, its process is gone (the demo killed it)"
        else:
            ended = "open"
        return f"{short}  {ended}; {delivery}"

    def local_store(self):
        lines = [f"  local store {self.store}:"]
        for row in self._local_rows():
            if row.get("log_text"):
                text = row["log_text"]
                row["log_text"] = text[:50] + ("..." if len(text) > 50 else "")
            lines += [f"    {self._local_label(row)}", f"      {json.dumps(row)}"]
        return lines

    def check_nothing_leaked(self):
        """Names of the raw values that reached the collector (there must be none)."""
        stored = json.dumps(self._received()[self.first_row:])
        return [s for s in SECRETS if s in stored]

    def summary(self, telemetry_on, db_kept):
        received = self._received()[self.first_row:]
        rows = [r for r in self._local_rows() if r["session_id"][:8] in self.sessions]
        pending = [r for r in self._local_rows() if not r.get("flushed") and not r.get("opted_out")]
        kept = [r for r in self._local_rows() if r.get("opted_out")]
        crashed = sum(1 for r in rows if r.get("stale") or r["session_id"][:8] == self.killed)
        clean = sum(1 for r in rows if r.get("ended_cleanly"))
        recorded = f"{_plural(len(rows), 'session')} in {self.store}: {clean} closed cleanly"
        if crashed:
            recorded += f", {crashed} crashed (the killed run, marked stale by the next start)"
        if telemetry_on:
            logs = [r["log_text"] for r in received if r["log_text"]]
            redacted = ", ".join(_plural(sum(t.count(m) for t in logs), word)
                                 for m, word in MARKERS)
            ids = {r["session_id"] for r in received}
            reports = sum(1 for i in ids if i[:8] not in self.sessions)
            sent = [f"{_plural(len(received), 'upload')} reached the collector, all accepted "
                    f"({_plural(len(ids) - reports, 'session')}, "
                    f"{_plural(reports, 'open report')});",
                    f"the log text was redacted before it left: {redacted} replaced; the raw "
                    "path, e-mail address and key appear nowhere on the collector"]
        else:
            sent = ["nothing: the collector received no upload"]
        local = [f"the store itself, and its 'flushed', 'stale' and 'opted_out' marks; "
                 f"{_plural(len(pending), 'row')} pending"]
        if pending:
            local.append("pending rows go out at the next start with telemetry on")
        if kept:
            local.append(f"{_plural(len(kept), 'row')} recorded while telemetry was off: marked "
                         "opted out, never sent, not even once telemetry is on again")
        show = f"python3 -P -m orlune.collector show --db {self.db}"
        tries = [show + "   (add --full ID, --uploads, --json)" if db_kept
                 else "python3 -P -m orlune.demo --keep, then " + show,
                 "ORLUNE_TELEMETRY=0 python3 -P -m orlune.demo   (the user's opt-out)"
                 if telemetry_on else "python3 -P -m orlune.demo   (telemetry on)",
                 "README.md, section \"API\": wire RuntimeGuarder into your own application"]
        lines = ["", "== Summary", f"  recorded:     {recorded}"]
        for title, items in (("sent:", sent), ("stayed local:", local), ("try next:", tries)):
            lines += [f"  {title:<14}{item}" if i == 0 else f"  {'':<14}{item}"
                      for i, item in enumerate(items)]
        return lines, len(received), len(pending)

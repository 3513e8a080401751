"""Reference-leak check for the upload path, run by hand (not a test: it takes a while).

    PYTHONPATH=. python3 bench/leak_upload.py [rounds]

Runs the flush (accepted, rejected, unreachable), `_post_usage` and the resolvers `rounds`
times each against a collector on loopback, and prints how the number of live objects tracked
by the collector and the Python heap (tracemalloc) grew between the first half and the second
half. A leaked reference per call shows as growth proportional to the rounds (a dict per flush
is ~1000 objects for 2000 rounds); a flat line is what a sound build gives.
"""

import gc
import os
import sys
import tempfile
import tracemalloc

os.environ["HOME"] = tempfile.mkdtemp(prefix="rg-leak-")

import orlune.auth.validator as validator  # noqa: E402
import orlune.core.runtime_guard as rg  # noqa: E402
from orlune.auth.storage import save_token  # noqa: E402
from orlune.collector import Collector  # noqa: E402

KEY = "leak-check-key"


def row(n, **kw):
    return {"session_id": f"s-{n}", "started_at": "2024-05-01T09:00:00+00:00", "ended_at": "",
            "duration_s": 1.5, "ended_cleanly": False, "flushed": False, "log_text": "x" * 100, **kw}


def main(rounds):
    save_token("tok", "pro")
    collector = Collector(api_key=KEY).start()
    validator._DEFAULT_VALIDATION_URL = collector.url
    validator._SERVER_API_KEY = KEY
    g = rg.RuntimeGuarder(None)
    statuses = iter([])

    def answer(received):
        return next(statuses), b'{"ok": true}', 0

    collector.reply_override = answer  # the collector stores nothing: only our side can grow

    def one_round(i):
        nonlocal statuses
        statuses = iter([200, 500, 200])
        g._sessions = [row(i), row(i + 1, flushed=True), {"session_id": None}]
        g._flush(5)  # accepted: marks and persists
        g._sessions[0]["flushed"] = False
        g._flush(5)  # rejected
        rg._post_usage([row(i)], timeout=5)
        rg._resolve_endpoint(), rg._resolve_machine_id(), rg._resolve_token_fields()
        rg._resolve_app_version(), rg._telemetry_on(), rg._usage_url("https://h.test")
        if i % 10 == 0:  # unreachable: the failure path with its traceback
            saved, validator._DEFAULT_VALIDATION_URL = validator._DEFAULT_VALIDATION_URL, "http://127.0.0.1:9"
            g._flush(0.5)
            validator._DEFAULT_VALIDATION_URL = saved
        collector.received.clear()

    for i in range(100):  # warm-up: caches, interned names, connection machinery
        one_round(i)
    gc.collect()
    tracemalloc.start()
    samples = []
    for half in range(2):
        for i in range(rounds // 2):
            one_round(i)
        gc.collect()
        samples.append((len(gc.get_objects()), tracemalloc.get_traced_memory()[0]))
    collector.stop()
    (objs1, mem1), (objs2, mem2) = samples
    print(f"rounds per half: {rounds // 2}")
    print(f"gc-tracked objects: {objs1} -> {objs2} ({objs2 - objs1:+d})")
    print(f"traced heap bytes:  {mem1} -> {mem2} ({mem2 - mem1:+d})")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 2000)

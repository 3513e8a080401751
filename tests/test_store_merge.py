"""Two components writing one store: each write merges with what the other wrote meanwhile.

In one process for determinism; tests/test_store_shared.py runs the same with real processes."""

import json


def stored(rg):
    return [json.loads(line) for line in rg._SESSIONS_FILE.read_text().splitlines()]


def loaded_pair(rg, rows=()):
    rg._USAGE_DIR.mkdir(parents=True, exist_ok=True)
    rg._SESSIONS_FILE.write_text("".join(json.dumps(r, separators=(",", ":")) + "\n" for r in rows))
    a, b = rg.RuntimeGuarder(None), rg.RuntimeGuarder(None)
    a._load_store()
    b._load_store()
    return a, b


def test_each_keeps_the_others_rows_and_sees_them(rg):
    a, b = loaded_pair(rg, [{"session_id": "old", "flushed": False}])
    a._sessions.append({"session_id": "a1", "flushed": False})
    a._persist()
    b_rows = b._sessions
    b._sessions.append({"session_id": "b1", "flushed": False})
    b._persist()
    assert [r["session_id"] for r in stored(rg)] == ["old", "a1", "b1"]
    assert b._sessions is b_rows and b._sessions == stored(rg)

    a._sessions[0]["flushed"] = True  # a delivered "old"
    a._persist()
    old_in_b = b._sessions[0]
    b._persist()  # b still holds "old" as pending: the delivery stands
    assert stored(rg)[0] == {"session_id": "old", "flushed": True}
    assert old_in_b is b._sessions[0] and old_in_b["flushed"] is True  # b's next flush skips it
    assert [r["session_id"] for r in stored(rg)] == ["old", "a1", "b1"]


def test_owner_closing_its_row_beats_a_delivery_of_the_open_row(rg):
    open_row = {"session_id": "s", "ended_at": "", "ended_cleanly": False, "flushed": False}
    closed = {"session_id": "s", "ended_at": "t1", "ended_cleanly": True, "flushed": False, "log_text": "x"}
    for owner_first in (True, False):
        owner, other = loaded_pair(rg, [open_row])
        other._sessions[0]["flushed"] = True  # other sent the open row and it was accepted
        owner._sessions[0].update(closed)
        first, second = (owner, other) if owner_first else (other, owner)
        first._persist()
        second._persist()
        assert stored(rg) == [closed]
        if owner_first:
            assert other._sessions == [closed]  # so the other's next flush sends the closed row


def test_rows_another_writer_trimmed_stay_out(rg, monkeypatch):
    monkeypatch.setattr(rg, "_MAX_STORED", 3)
    a, b = loaded_pair(rg, [{"session_id": str(i), "flushed": False} for i in range(3)])
    b._sessions.append({"session_id": "b-new"})
    b._persist()  # "0" falls out of the store
    a._sessions[0]["flushed"] = True  # a changed it meanwhile
    a._current_id = "a-new"
    a._sessions.append({"session_id": "a-new"})
    a._persist()
    assert [r["session_id"] for r in stored(rg)] == ["2", "b-new", "a-new"]


def test_lines_of_other_writers_load_as_a_load_would(rg):
    a, b = loaded_pair(rg, [{"session_id": "keep"}])
    with rg._SESSIONS_FILE.open("a") as f:  # an older version wrote here meanwhile, and badly
        f.write('\r\n  {"session_id":"spaced", "x": "\u00e9"}  \n{torn\n[1]\n{"session_id":""}\n')
    a._sessions.append({"session_id": "mine"})
    a._persist()
    assert rg._SESSIONS_FILE.read_text() == (
        '{"session_id":"keep"}\n{"session_id":"spaced","x":"\\u00e9"}\n{"session_id":"mine"}\n')


def test_a_record_whose_key_empties_its_own_lists_mid_merge_is_no_crash(rg):
    # _store_synced is an attribute a host can replace; the merge must not index lists that
    # host code run during it (a key's __hash__) can shrink.
    a, _ = loaded_pair(rg, [{"session_id": str(i), "flushed": False} for i in range(50)])
    keys, lines = [], []

    class Shrinking(str):
        def __hash__(self):
            keys.clear()
            lines.clear()
            return str.__hash__(self)

    keys += [Shrinking("k")] + [str(i) for i in range(49)]
    lines += ['{"session_id":"x%d"}' % i for i in range(50)]
    a._store_synced = (keys, lines, None)
    a._persist()
    assert [r["session_id"] for r in stored(rg)] == [str(i) for i in range(50)]

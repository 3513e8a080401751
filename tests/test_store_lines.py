"""The store's lines against the json module: what _persist writes is byte for byte what
json.dumps gives, what _load_store reads is object for object (key order and value types
included) what json.loads gives, on generated rows and on hand-edited lines, whichever way the
module gets there. RG_FUZZ_EXAMPLES sets the examples per property (default 2000).
"""

import collections
import enum
import json
import os
import sys

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from reference_store import python_rows, python_text, reader_rows

EXAMPLES = int(os.environ.get("RG_FUZZ_EXAMPLES", "2000"))
fuzz = settings(max_examples=EXAMPLES // 4, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])

# Every character class json treats apart: its short escapes, other controls, DEL, Latin-1,
# the BMP, line separators, astral text and surrogates (paired in the text, or lone).
SPECIAL = list('"\\/\b\f\n\r\t\x00\x01\x1f\x7f\x80\xe9\xff') + [
    "\u0100", "\u2028", "\u2029", "\ufeff", "\uffff", "\U0001f600", "\U0010ffff", "\ud800", "\udbff",
    "\udc00", "\udfff", "\ud83d\ude00"]
texts = st.lists(st.one_of(st.sampled_from(SPECIAL), st.characters(max_codepoint=0x7F),
                           st.characters(blacklist_categories=())), max_size=40).map("".join)
ints = st.one_of(st.integers(), st.integers(-2**64, 2**64), st.sampled_from([0, -1, 2**63 - 1, -2**63, 2**63, 10**18, -10**19]),
                 st.integers(-10**600, 10**600))
values = st.one_of(texts, ints, st.booleans(), st.none())
rows = st.lists(st.tuples(texts, values), max_size=8).map(
    lambda items: {"session_id": "s", **dict(items)})


def dumps(row):
    return json.dumps(row, separators=(",", ":"))


def typed(value):
    """A value with its exact type all the way down: True is not 1, a dict's order counts."""
    if isinstance(value, dict):
        return (type(value), [(typed(k), typed(v)) for k, v in value.items()])
    if isinstance(value, list):
        return (list, [typed(v) for v in value])
    if isinstance(value, float) and value != value:
        return (float, "nan")
    return (type(value), value)


def load(rg, text):
    rg._USAGE_DIR.mkdir(parents=True, exist_ok=True)
    rg._SESSIONS_FILE.write_bytes(text.encode("utf-8", "surrogatepass"))
    g = rg.RuntimeGuarder(None)
    g._load_store()
    return g._sessions


def assert_round_trip(rg, stored):
    rg._SESSIONS_FILE.unlink(missing_ok=True)  # else the write merges with the last example's rows
    g = rg.RuntimeGuarder(None)
    g._sessions = [dict(r) for r in stored]
    g._persist()
    expected = python_text(stored)
    assert rg._SESSIONS_FILE.read_bytes() == expected.encode("ascii")
    g._load_store()
    assert typed(g._sessions) == typed(python_rows(expected))


# ---- generated rows -------------------------------------------------------------------------

@fuzz
@given(st.lists(rows, min_size=1, max_size=6))
@example([{"session_id": "s", "a": "\ud83d\ude00\ud83d", "b": "\udc00\ud800", "c": -0, "d": 2**4000}])
@example([{"session_id": "dup", "k": 1}, {"session_id": "x\u0000y", "\u00e9": "\x7f\u2028"}])
def test_written_and_read_as_json_does(rg, stored):
    assert_round_trip(rg, stored)


def test_rows_outside_the_subset_are_written_by_json(rg):
    class Word(str):
        pass

    class Level(enum.IntEnum):
        HIGH = 3

    rows = [
        {"session_id": "f", "x": 1.5, "nan": float("nan"), "inf": -float("inf")},
        {"session_id": "n", "nested": {"a": [1, {"b": None}]}, "t": (1, "2")},
        {"session_id": "k", 1: "int key", True: "bool key", None: "none key", 2.5: "float key"},
        {"session_id": Word("sub"), "level": Level.HIGH, "flag": True},
        collections.OrderedDict(session_id="o", z=1, a=2),
    ]
    assert_round_trip(rg, rows)


def test_integers_past_the_digit_limit_fail_as_json_does(rg):
    limit = sys.get_int_max_str_digits()
    g = rg.RuntimeGuarder(None)
    g._sessions = [{"session_id": "big", "n": 10**limit}]
    with pytest.raises(ValueError) as ours:
        g._persist()
    with pytest.raises(ValueError) as theirs:
        dumps(g._sessions[0])
    assert str(ours.value) == str(theirs.value)
    assert_round_trip(rg, [{"session_id": "edge", "n": 10**(limit - 1), "m": -(10**(limit - 1))}])


# ---- hand-edited lines ------------------------------------------------------------------------

# What str.strip() removes around a line: json's own spaces, the other ASCII ones, and some
# outside ASCII (those send the line through json.loads).
SPACE = st.text(st.sampled_from(" \t \t\x0b\x0c\x1c\x1f\x85\u2028\u3000"), max_size=2)


def escaped(ch, upper):
    """One character as an editor might write it: itself, or some escape json accepts."""
    short = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r",
             "\t": "\\t"}
    if ord(ch) > 0xFFFF:
        v = ord(ch) - 0x10000
        units = [0xD800 | (v >> 10), 0xDC00 | (v & 0x3FF)]
    else:
        units = [ord(ch)]
    forms = "".join(f"\\u{u:04X}" if upper else f"\\u{u:04x}" for u in units)
    if ch in short:
        return short[ch] if not upper else forms
    if 0x20 <= ord(ch) < 0x7F:
        return forms if upper else ch
    return forms


@st.composite
def edited_lines(draw):
    """A JSON object as hand editing leaves it: spaces around tokens, escapes in either case,
    duplicate keys, and sometimes one stray character anywhere."""
    def text(t):
        return '"' + "".join(escaped(c, draw(st.booleans())) for c in t) + '"'

    def value():
        kind = draw(st.sampled_from(["text", "int", "literal", "raw"]))
        if kind == "text":
            return text(draw(texts))
        if kind == "int":
            return str(draw(st.integers(-10**40, 10**40)))
        if kind == "literal":
            return draw(st.sampled_from(["true", "false", "null"]))
        return draw(st.sampled_from(["-0", "1.0", "1e3", "[1]", '{"a":1}', "NaN", "-Infinity", "01", "+1",
                                     '"\x01"', '"\u2028\x85"', '"\\x41"', '"\\u12"', '"\\ud800\\u12G4"', "tru", "-"]))

    keys = draw(st.lists(st.sampled_from(["session_id", "a", "b", "\u00e9", "log_text"]), max_size=6))
    pairs = [draw(SPACE) + text(k) + draw(SPACE) + ":" + draw(SPACE) + value() + draw(SPACE) for k in keys]
    line = draw(SPACE) + "{" + ",".join(pairs) + (draw(SPACE) if not pairs else "") + "}" + draw(SPACE)
    if draw(st.integers(0, 4)) == 0:
        at = draw(st.integers(0, len(line)))
        line = line[:at] + draw(st.sampled_from(list(',:{}[]"\\ 0a\x00\x7f\u00e9'))) + line[at:]
    return line


@fuzz
@given(st.lists(edited_lines(), min_size=1, max_size=8), st.sampled_from(["", "\ufeff"]),
       st.sampled_from(["\n", "\r\n", "\r"]))
@example(['{"session_id":"a","session_id":"b","x":1,"x":2}'], "", "\n")
@example(['{ "session_id" : "\\uD83D\\uDE00\\ud83d\\ud83d\\ude00\\udc00" , "k" : -0 }'], "", "\n")
@example(['\x0b{"session_id":"a","n":1' + "0" * 5000 + '}\x1c', '\x1f {"session_id":"b"}\x0c'], "\ufeff", "\r")
def test_hand_edited_lines_load_as_json_reads_them(rg, lines, mark, ending):
    """Whichever line ending an editor leaves, with or without a byte-order mark."""
    text = mark + ending.join(lines)
    assert typed(load(rg, text)) == typed(reader_rows(text.encode("utf-8", "surrogatepass")))


# ---- a json that is not the interpreter's own --------------------------------------------------

def test_a_replaced_json_is_called_as_python_code_would(rg, monkeypatch):
    calls = []
    real_dumps, real_loads = json.dumps, json.loads

    def spy_dumps(obj, **kw):
        calls.append("dumps")
        return real_dumps(obj, **kw)

    def spy_loads(text, **kw):
        calls.append("loads")
        return real_loads(text, **kw)

    monkeypatch.setattr(json, "dumps", spy_dumps)
    monkeypatch.setattr(json, "loads", spy_loads)
    g = rg.RuntimeGuarder(None)
    g._sessions = [{"session_id": "a"}, {"session_id": "b"}]
    g._persist()
    g._load_store()
    assert calls == ["dumps", "dumps", "loads", "loads"]
    assert g._sessions == [{"session_id": "a"}, {"session_id": "b"}]


def test_default_decoder_hooks_are_honoured(rg, monkeypatch):
    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(object_pairs_hook=collections.OrderedDict))
    rows = load(rg, '{"session_id":"a","n":1}\n')
    assert type(rows[0]) is collections.OrderedDict and list(rows[0].items()) == [("session_id", "a"), ("n", 1)]


def test_the_native_path_is_taken_for_the_store_own_rows(rg):
    """Python functions of json run only for the rows outside the subset."""
    entered = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(os.path.dirname(json.__file__)):
            entered.append(frame.f_code.co_name)

    g = rg.RuntimeGuarder(None)
    g._sessions = [{"session_id": "a", "log_text": "x\n" * 100, "n": 2**70}, {"session_id": "b", "f": 0.5}]
    sys.setprofile(profile)
    try:
        g._persist()
        g._load_store()
    finally:
        sys.setprofile(None)
    assert entered.count("dumps") == 1 and entered.count("loads") == 1


def test_a_merge_parses_only_the_lines_another_process_changed(rg, monkeypatch):
    mine, theirs = rg.RuntimeGuarder(None), rg.RuntimeGuarder(None)
    mine._sessions = [{"session_id": f"s{i}", "flushed": False, "log_text": "t" * 50} for i in range(50)]
    mine._persist()
    theirs._load_store()
    theirs._sessions[7]["flushed"] = True
    theirs._persist()

    parsed = []
    real_loads = json.loads
    monkeypatch.setattr(json, "loads", lambda text, **kw: parsed.append(text) or real_loads(text, **kw))
    mine._sessions[-1]["log_text"] = "mine"
    mine._persist()
    assert parsed == [dumps(theirs._sessions[7])]
    assert mine._sessions[7]["flushed"] is True and mine._sessions[-1]["log_text"] == "mine"


def test_an_edit_in_place_of_the_same_size_is_seen(rg):
    """The write's check that the file is still what it last wrote compares bytes, not sizes."""
    g = rg.RuntimeGuarder(None)
    g._sessions = [{"session_id": "a", "log_text": "t" * 5000}, {"session_id": "b", "log_text": "x"}]
    g._persist()
    data = rg._SESSIONS_FILE.read_bytes()
    with open(rg._SESSIONS_FILE, "r+b") as f:  # another writer, in place, same length
        f.seek(data.index(b"t" * 10) + 4000)
        f.write(b"u")
    g._sessions[1]["log_text"] = "y"
    g._persist()
    assert g._sessions[0]["log_text"] == "t" * 4000 + "u" + "t" * 999
    assert python_rows(rg._SESSIONS_FILE.read_text()) == g._sessions

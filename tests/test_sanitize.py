"""Redaction of log text: the native scanners against the module's own `re.sub` chain.

The property tests run RG_FUZZ_EXAMPLES examples each (default 2000). For a long run by hand:

    RG_FUZZ_EXAMPLES=50000 PYTHONPATH=. python3 -m pytest -q tests/test_sanitize.py -k differential
"""

import os
import re
import sys

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import orlune.core.runtime_guard as rg

EXAMPLES = int(os.environ.get("RG_FUZZ_EXAMPLES", "2000"))
fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

PATTERNS = ("_PATH_RE", "_EMAIL_RE", "_TOKENISH_RE")
MARKERS = {"_PATH_RE": "<path>", "_EMAIL_RE": "<email>", "_TOKENISH_RE": "<token>"}


def reference(text):
    """What the module's compiled patterns and cap give, the way Python code applies them."""
    out = text or ""
    for name in PATTERNS:
        out = getattr(rg, name).sub(MARKERS[name], out)
    if len(out) > rg._MAX_LOG_CHARS:
        out = out[-rg._MAX_LOG_CHARS :]
    return out


def assert_same(text):
    got = rg.sanitize_log_text(text)
    want = reference(text)
    assert got == want, (text, got, want)
    # Same storage width too: equality alone does not tell ASCII from Latin-1 storage.
    assert type(got) is str and sys.getsizeof(got) == sys.getsizeof(want)


# ---- generated text ---------------------------------------------------------------------------

SPECIAL = list("/\\:'\"<>|@.-_%+ \t\n") + ["\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x1f"]
LETTERS = list("aAbBcCzZxXyY09187")
# Word characters outside ASCII (letters, other scripts' digits, astral), Unicode spaces.
UNICODE = ["é", "ß", "Ω", "٣", "𝐀", "😀", "\u00a0", "\u2003", "\u3000", "\x85", "\u2028"]
RICH = SPECIAL + LETTERS + UNICODE

rich_text = st.text(alphabet=st.sampled_from(RICH), max_size=80)
any_text = st.text(alphabet=st.characters(codec=None), max_size=60)
glue = st.sampled_from(["", " ", "\t", "\n", "/", "\\", ".", "-", "_", "@", "'", '"', "|", "<", ">",
                        ":", "é", "٣", "𝐀", "😀", "\u00a0", "\u3000", "\x1f", "\x85", "x", "9"])
word = st.text(alphabet=st.sampled_from(LETTERS + [".", "-", "_", "é", "٣", "𝐀", "%", "+", "\x1e"]),
               max_size=8)
ALNUM = st.sampled_from(list("aZ09bY"))
group4 = st.text(alphabet=ALNUM, min_size=4, max_size=4)
odd_group = st.text(alphabet=st.sampled_from(list("aZ09") + ["é", "_", "٣", "𝐀", "."]), min_size=3, max_size=5)


@st.composite
def paths(draw):
    root = draw(st.sampled_from(["/", "//", "\\\\", "\\", "C:\\", "c:\\", "Z:/", "1:\\", "é:\\", ""]))
    parts = draw(st.lists(word, max_size=5))
    seps = [draw(st.sampled_from(["/", "\\", "//", "\\/", " ", "'", "\x1c"])) for _ in parts]
    return root + "".join(p + s for p, s in zip(parts, seps)) + draw(word)


@st.composite
def emails(draw):
    local = draw(st.text(alphabet=st.sampled_from(list("aZ09._%+-é_٣")), max_size=6))
    labels = draw(st.lists(st.text(alphabet=st.sampled_from(list("aZ09-.é")), max_size=5), max_size=4))
    tld = draw(st.sampled_from(["com", "c", "io", "c0m", "çom", "COM", "co_", "de9", "c٣", "org.", ""]))
    return local + "@" + ".".join(labels) + "." + tld


# Mostly well-formed four-character groups, sometimes a near miss.
tokens = st.lists(st.one_of(group4, group4, group4, odd_group), min_size=1, max_size=6).map("-".join)

uuids = st.uuids().map(str) | st.uuids().map(lambda u: str(u).upper())
structured = st.lists(st.one_of(paths(), emails(), tokens, tokens, uuids, glue, word), max_size=12).map("".join)
generated = st.one_of(rich_text, structured, any_text)


@fuzz
@given(generated)
@example("see /home/user/scans/a.dcm now")
@example("a.a.a.a.a@b.c.d.e.ff.g")
@example("ABCD-EFGH-IJKL-MNOPQ")
def test_differential_chain(text):
    assert_same(text)


@fuzz
@given(generated, st.sampled_from(PATTERNS))
def test_differential_single_pass(text, only):
    # The other two patterns are swapped for ones that never match, so a fault in one scanner
    # cannot hide behind what an earlier pass already removed.
    never = re.compile(r"(?!)")
    with pytest.MonkeyPatch.context() as mp:
        for name in PATTERNS:
            if name != only:
                mp.setattr(rg, name, never)
        assert_same(text)


@fuzz
@given(st.one_of(rich_text, structured), st.integers(min_value=-12, max_value=40))
def test_differential_with_small_cap(text, limit):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(rg, "_MAX_LOG_CHARS", limit)
        assert_same(text)


# ---- hand-picked cases --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("opened /home/user/scans/a.dcm in viewer", "opened <path> in viewer"),
        ("/etc", "/etc"),
        ("dir/file", "dir/file"),
        ("x/y/z", "x<path>"),
        ("C:\\Users\\report.pdf", "<path>"),
        ("\\\\server\\share\\scan.dcm", "<path>"),
        ("fetch https://example.org/a done", "fetch https:<path> done"),
        ("'/a/b' \"/c/d\" |/e/f|", "'<path>' \"<path>\" |<path>|"),
        ("mail jane.doe+x@mail.example.com now", "mail <email> now"),
        ("key ABCD-EFGH-IJKL", "key <token>"),
        ("ABCD-EFGH", "ABCD-EFGH"),
        ("123e4567-e89b-12d3-a456-426614174000", "123e4567-<token>-426614174000"),
        ("ABCDE-FGHI-JKLM-NOPQ", "ABCDE-<token>"),
        ("2024-01-15", "2024-01-15"),
        ("/home/jane@example.com/x", "<path>"),
        ("a@b.c", "a@b.c"),
        ("a@b.c0m", "a@b.c0m"),
        # Greedy groups that end inside a word give one group back.
        ("ABCD-EFGH-IJKL-MNOPQ", "<token>-MNOPQ"),
        # The top-level part must end at a non-word character: é is a word character.
        ("a@b.comé", "a@b.comé"),
        ("a@b.com.é", "<email>.é"),
        # Backtracking over the domain's dots; the next match may start at a dot.
        ("joe@mail.example.com_x", "<email>.com_x"),
        ("a@b.cc.x@d.ee", "<email><email>"),
        # A drive-letter root needs a backslash; a slash root inside a word still counts.
        ("C:/a/b", "C:<path>"),
        ("/a/b/", "<path>"),
        # Two groups followed by a word character: no token at all.
        ("ABCD-EFGH-IJKLx", "ABCD-EFGH-IJKLx"),
        # Digits of other scripts are word characters for the boundaries.
        ("٣ABCD-EFGH-IJKL", "٣ABCD-EFGH-IJKL"),
        ("x@y.org٣", "x@y.org٣"),
        # The information separators \x1c-\x1f are whitespace: they end a path component.
        ("/a\x1cb/c", "/a\x1cb/c"),
        ("/a/b\x1f/c", "<path>\x1f/c"),
        # A path needs a component after its last separator.
        ("/a/", "/a/"),
        ("//", "//"),
        (None, ""),
        ("", ""),
    ],
)
def test_edge_cases(text, expected):
    assert rg.sanitize_log_text(text) == expected
    assert reference(text) == expected


@pytest.mark.parametrize(
    "text",
    [
        "plain ascii /a/b x@y.org ABCD-EFGH-IJKL",
        "latin-1 café /tmp/é/x müller@x.de",
        "bmp Ω\u3000/a/b\u2003ABCD-EFGH-IJKL\u00a0",
        "astral 😀 /a/𝐀/b 𝐀@x.com ABCD-EFGH-IJKL😀",
        "only the path is wide: /a/😀/b",
        "/é/x",
    ],
)
def test_every_storage_width(text):
    assert_same(text)
    assert_same(text * 50)


def test_redaction_narrows_storage_when_the_wide_characters_go():
    assert rg.sanitize_log_text("log /a/😀/b") == "log <path>"
    assert rg.sanitize_log_text("log /a/😀/b").isascii()


def test_cap_keeps_the_tail_and_may_cut_a_marker(monkeypatch):
    assert rg._MAX_LOG_CHARS == 48000
    exact = "x" * 48000
    assert rg.sanitize_log_text(exact) == exact
    longer = "head " + "y" * 48000
    assert rg.sanitize_log_text(longer) == "y" * 48000
    # Redaction runs first, so the cap counts the markers, and a cut may split one.
    monkeypatch.setattr(rg, "_MAX_LOG_CHARS", 4)
    assert rg.sanitize_log_text("x /a/b/c") == "ath>"


@pytest.mark.parametrize("limit", [0, -3, True, 10**30, -(10**30), 7])
def test_cap_follows_python_slicing(monkeypatch, limit):
    monkeypatch.setattr(rg, "_MAX_LOG_CHARS", limit)
    text = "0123456789 /a/b abcd"
    assert rg.sanitize_log_text(text) == reference(text)


def test_cap_of_wrong_type_raises_like_python(monkeypatch):
    monkeypatch.setattr(rg, "_MAX_LOG_CHARS", 2.5)
    with pytest.raises(TypeError):
        rg.sanitize_log_text("long enough")
    assert rg.sanitize_log_text("ab") == "ab"  # 2 > 2.5 is false: nothing to slice
    monkeypatch.setattr(rg, "_MAX_LOG_CHARS", "48000")
    with pytest.raises(TypeError):
        rg.sanitize_log_text("text")


@pytest.mark.parametrize("value", [None, "", 0, b"", [], False])
def test_falsy_input_gives_empty_text(value):
    assert rg.sanitize_log_text(value) == ""


@pytest.mark.parametrize("value", [b"/a/b", 5, 1.5, ["x"], bytearray(b"x")])
def test_truthy_non_text_raises_type_error(value):
    with pytest.raises(TypeError):
        rg.sanitize_log_text(value)


def test_argument_passing():
    assert rg.sanitize_log_text(text="/a/b") == "<path>"
    with pytest.raises(TypeError):
        rg.sanitize_log_text()
    with pytest.raises(TypeError):
        rg.sanitize_log_text("a", "b")
    with pytest.raises(TypeError):
        rg.sanitize_log_text(txt="a")


def test_result_is_plain_str():
    class Text(str):
        pass

    for value in (Text("nothing to hide"), Text("/a/b")):
        out = rg.sanitize_log_text(value)
        assert type(out) is str
        assert out == reference(value)
    clean = "nothing to hide here"
    assert rg.sanitize_log_text(clean) is clean  # no match: no copy


def test_replaced_patterns_are_followed(monkeypatch):
    monkeypatch.setattr(rg, "_TOKENISH_RE", re.compile(r"\d+"))
    assert rg.sanitize_log_text("id 42 at /a/b") == "id <token> at <path>"
    # Same text but other flags is another pattern: it is used as given.
    monkeypatch.setattr(rg, "_PATH_RE", re.compile(rg._PATH_RE.pattern, re.ASCII))
    assert rg.sanitize_log_text("/a\u3000b/c") == "<path>"

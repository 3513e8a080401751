"""The native module against its Python model (tests/model.py) on generated calls and inputs."""

import datetime
import inspect
import re

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import model
import orlune.core.runtime_guard as rg
from test_python_exactness import FUNCTIONS, METHODS

fuzz = settings(deadline=None, max_examples=1500,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


def outcome(fn, *args, **kwargs):
    try:
        return "returned", fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the kind of failure is what is compared
        return type(e), str(e)


# ---- argument binding ---------------------------------------------------------------------------

def test_declared_signatures_are_the_described_ones():
    # The models below are built from these texts; here they meet the described list, whole.
    assert model.signatures(rg) == FUNCTIONS
    assert model.signatures(rg.RuntimeGuarder) == METHODS
    timeout = inspect.signature(rg.RuntimeGuarder._flush).parameters["timeout"].default
    assert timeout == 3.0 and type(timeout) is float


class Sub(rg.RuntimeGuarder):
    pass


NATIVE_CLASS, MODEL_CLASS = rg.RuntimeGuarder, model.python_class(model.signatures(rg.RuntimeGuarder))
MODEL_FUNCTIONS = model.python_functions(model.signatures(rg))
MODEL_SUB = type("Sub", (MODEL_CLASS,), {})


def cases():
    """(label, native callable, model callable, parameter names)."""
    out = [(name, getattr(rg, name), fn) for name, fn in MODEL_FUNCTIONS.items()]
    out.append(("RuntimeGuarder()", NATIVE_CLASS, MODEL_CLASS))
    natives = {"unbound": NATIVE_CLASS, "bound": NATIVE_CLASS(None), "bound on a subclass": Sub(None)}
    models = {"unbound": MODEL_CLASS, "bound": object.__new__(MODEL_CLASS),
              "bound on a subclass": object.__new__(MODEL_SUB)}
    for how, native in natives.items():
        out += [(f"{how} {name}", getattr(native, name), getattr(models[how], name))
                for name in METHODS]
    return [(label, native, python, [*inspect.signature(python).parameters])
            for label, native, python in out]


CASES = cases()


@st.composite
def calls(draw):
    label, native, python, names = draw(st.sampled_from(CASES))
    positional = draw(st.integers(0, len(names) + 2))
    # Near misses too: from 3.13 an unexpected keyword may come with "Did you mean ...?".
    words = names + ["self", "bogus", "Timeout", "name", "timeot", "TIMEOUT", "slef", "dpeth",
                     "allow_emtpy", "wait_", "nam", "tïmeout", "\udc80ame", "x" * 41 + "name"]
    keywords = draw(st.lists(st.sampled_from(words), unique=True, max_size=4))
    return label, native, python, tuple(range(positional)), dict.fromkeys(keywords, 0)


@fuzz
@given(calls())
def test_rejected_calls_raise_the_interpreters_type_error(call):
    label, native, python, args, kwargs = call
    expected = outcome(python, *args, **kwargs)
    if expected[0] == "returned":
        return  # accepted: the native one would really run
    assert expected[0] is TypeError
    assert outcome(native, *args, **kwargs) == expected, (label, args, kwargs)


@pytest.mark.parametrize("keyword", ["Depth", "dept", "nmae", "timeot", "Timeout", "TIMEOUT",
                                     "allow_emtpy", "\udc80ame", "d" * 41 + "epth"])
def test_unexpected_keywords_are_named_as_the_interpreter_names_them(keyword):
    # 3.13 suggests the nearest parameter, within a third of the characters; earlier ones never.
    by_label = {label: (native, python) for label, native, python, _ in CASES}
    for label in ("report_open", "bound _flush", "bound on a subclass _flush"):
        native, python = by_label[label]
        assert outcome(native, **{keyword: 0}) == outcome(python, **{keyword: 0}), label


def test_defaults_reach_the_implementation():
    """What a call without arguments passes on: `wait` False and, when waiting, timeout 3.0."""
    seen = []

    class Recorder:
        def acquire(self, **kw):
            seen.append(kw)
            return False  # "another flush runs": nothing more happens

    g = rg.RuntimeGuarder(None)
    g._flush_lock = Recorder()
    assert g._flush() is None and g._flush(wait=True) is None
    assert seen == [{"blocking": False}, {"blocking": True, "timeout": 3.0}]
    assert seen[0]["blocking"] is False and type(seen[1]["timeout"]) is float

    def named():
        return (lambda: rg.infer_open_name())()  # depth 2: the lambda's caller

    assert named() == f"{__name__}.named"


# ---- results of the side-effect-free helpers ----------------------------------------------------

ODD = ["", " ", "\t", "\n", "\x00", "\x1f", "\x1c", "\x85", "\u00a0", "\u2028", "\u3000", "é", "😀"]
URL_PARTS = ["http", "https", "h+s-1.x", "1http", "", ":", "://", "/", "//", "?", "#", "@", ":8765",
             "h.test", "127.0.0.1", "[::1]", "api", "/api", "/api/validate", "/api/validatex",
             "/base/", "?x=/api/validate", "validate", "usage"]
urls = st.one_of(
    st.lists(st.sampled_from(URL_PARTS + ODD), max_size=8).map("".join),
    st.builds(lambda pre, scheme, host, path, post: pre + scheme + "://" + host + path + post,
              st.sampled_from(["", " ", "\t\n"]), st.sampled_from(["http", "https", "h1+.-", "1h", ""]),
              st.sampled_from(["h.test", "u@127.0.0.1:8765", "", "h?q", "h#f", "h.test\u3000x"]),
              st.sampled_from(["", "/", "/api", "/api/validate", "/a/b", "/api/validate/api/validate"]),
              st.sampled_from(["", " ", "\u3000", "\n"])),
    st.none(), st.text(max_size=20),
)

WORDS = ["Seg", "Viewer", "x" * 60, "y" * 119, "z" * 121, "Ünï", "𝐀", "😀", ".", "a.b"]
names = st.one_of(
    st.lists(st.sampled_from(WORDS + ODD + ["  ", "\t\t", " \n "]), max_size=8).map("".join),
    st.text(max_size=130), st.text(alphabet=st.sampled_from("ab \t\x85\u3000"), min_size=110, max_size=130),
    st.sampled_from([None, 0, 42, 1.5, b"bytes", (), ("a b",), False, True]),
)

stamps = st.one_of(
    st.datetimes(min_value=datetime.datetime(1, 1, 2), max_value=datetime.datetime(9999, 12, 30),
                 timezones=st.one_of(st.none(), st.timezones())).map(lambda d: d.isoformat()),
    st.datetimes().map(lambda d: d.isoformat(sep=" ", timespec="seconds") + "Z"),
    st.sampled_from(["", "Z", "2024-01-01", "2024-01-01T00:00:00Z", "2024-01-01T00:00:00ZZ",
                     "2024-13-01T00:00:00", "yesterday", "2024-01-01T00:00:00+25:00", "20240101T000000",
                     "2024-01-01T00:00:00.123456789", None, 0, 12345, b"2024-01-01", 1.5]),
    st.text(alphabet=st.sampled_from("0123456789-:TZ+. "), max_size=26),
)

PURE = {"_usage_url": urls, "_clip_feature": names, "_duration_s": st.tuples(stamps, stamps),
        "sanitize_log_text": st.one_of(st.text(max_size=40), st.sampled_from(["", None, "/a/b c@d.ef"]))}


@st.composite
def pure_calls(draw):
    name = draw(st.sampled_from(sorted(PURE)))
    values = draw(PURE[name])
    values = values if isinstance(values, tuple) else (values,)
    params = [*inspect.signature(getattr(model, name)).parameters]
    cut = draw(st.integers(0, len(values)))  # the first `cut` by position, the rest by keyword
    return name, values[:cut], dict(zip(params[cut:], values[cut:]))


@settings(deadline=None, max_examples=2500)
@given(pure_calls())
@example(("_usage_url", ("https://telemetry.example.test",), {}))
@example(("_usage_url", (), {"validate_url": " https://h.test/api/check "}))
@example(("_clip_feature", ("x" * 119 + " tail",), {}))
@example(("_duration_s", ("2024-01-01T02:00:00+02:00",), {"ended_at": "2024-01-01T00:00:05Z"}))
def test_pure_helpers_match_the_model(call):
    name, args, kwargs = call
    python = getattr(model, name)
    want, got = outcome(python, *args, **kwargs), outcome(getattr(rg, name), *args, **kwargs)
    if want[0] == "returned":
        assert got == want and type(got[1]) is type(want[1]), (name, args, kwargs)
    else:  # a value Python refuses: the same kind of error (the wording is the builtin's own)
        assert got[0] is want[0], (name, args, kwargs, got, want)


@settings(deadline=None, max_examples=300)
@given(names)
def test_opened_log_line_is_a_local_stamp_and_the_clipped_feature(feature):
    before = datetime.datetime.now().replace(microsecond=0)
    line = rg._opened_log_line(feature)
    after = datetime.datetime.now()
    stamp = line[:19]
    assert before <= datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S") <= after
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", stamp)
    assert line == model._opened_log_line(feature, stamp)


"""The module's Python-exact surfaces written as plain Python: what the native module is held
to by the differential tests.

Argument binding: a `def` per exported function and a class `RuntimeGuarder` with a `def` per
method, built from signature texts; the interpreter then gives the TypeError messages itself.
Results: the side-effect-free helpers, read as Python code would be written.
"""

import re
import types
from datetime import UTC, datetime

from test_sanitize import reference as sanitize_log_text  # noqa: F401  (one redaction model)

MAX_FEATURE_NAME = 120


# ---- argument binding ---------------------------------------------------------------------------

def signatures(owner):
    """{name: text signature} of the native functions a module or class defines, in order."""
    if isinstance(owner, types.ModuleType):
        return {n: v.__text_signature__ for n, v in vars(owner).items()
                if isinstance(v, types.BuiltinFunctionType) and v.__module__ == owner.__name__}
    return {n: getattr(owner, n).__text_signature__ for n in vars(owner)
            if isinstance(getattr(owner, n), types.BuiltinFunctionType)}


def python_functions(table):
    scope = {}
    exec("".join(f"def {name}{params}: pass\n" for name, params in table.items()), scope)
    return {name: scope[name] for name in table}


def python_class(table):
    """class RuntimeGuarder with those methods: a method without `self` is a staticmethod,
    and the interpreter's messages name RuntimeGuarder.<method> as for the real class."""
    body = "".join(("" if re.match(r"\(self\b", params) else "    @staticmethod\n")
                   + f"    def {name}{params}: pass\n" for name, params in table.items())
    scope = {}
    exec("class RuntimeGuarder:\n" + (body or "    pass\n"), scope)
    return scope["RuntimeGuarder"]


def python_def(name, params, method=False):
    """The plain `def` Python code with those parameters would have."""
    if method:
        return getattr(python_class({name: params}), name)
    return python_functions({name: params})[name]


# ---- results ------------------------------------------------------------------------------------

def _usage_url(validate_url):
    url = (validate_url or "").strip()
    if "/api/validate" in url:
        return url.replace("/api/validate", "/api/usage")
    if url.endswith("/"):
        return url + "api/usage"
    if not url:
        return ""
    # A bare "scheme://host[:port]" keeps its host: cutting its last "/" would cut the host
    # and send the server key to another one.
    if re.fullmatch(r"[A-Za-z][A-Za-z0-9+.\-]*://[^/?#]+", url):
        return url + "/api/usage"
    return url.rsplit("/", 1)[0] + "/api/usage"


def _clip_feature(name):
    text = re.sub(r"\s+", " ", str(name or "").strip())
    return text[:MAX_FEATURE_NAME] if text else "unknown"


def _duration_s(started_at, ended_at):
    def parse(value):
        if not value:
            return None
        try:
            parsed = datetime.fromisoformat(value.replace("Z", "+00:00"))
        except ValueError:
            return None
        return parsed if parsed.tzinfo is not None else parsed.replace(tzinfo=UTC)

    start, end = parse(started_at), parse(ended_at)
    if start is None or end is None:
        return 0
    seconds = int((end - start).total_seconds())
    return seconds if seconds > 0 else 0


def _opened_log_line(feature, stamp):
    """The line for `feature` at the local wall-clock `stamp` ("%Y-%m-%d %H:%M:%S")."""
    return stamp + " INFO Opened " + _clip_feature(feature)

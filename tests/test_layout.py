"""The source tree's layers: includes point down or sideways only, and every declared
function is bound by the module body."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "runtime_guard"

# Runs from a source checkout; a copy of the tests alone (the sanitizer run) has no sources.
pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="no source tree beside the tests")

# Lower numbers sit lower; a file may include its own layer or a lower one.
LAYER = {"defaults": 0, "platform": 0, "capi": 1, "frame": 3}


def layer_of(path: pathlib.Path) -> int:
    top = path.relative_to(SRC).parts
    return LAYER["frame"] if len(top) == 1 else LAYER.get(top[0], 2)


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp"))


def test_includes_never_point_up():
    upward = []
    for path in sources():
        for target in re.findall(r'#include "([^"]+)"', path.read_text()):
            if layer_of(SRC / target) > layer_of(path):
                upward.append(f"{path.relative_to(SRC)} -> {target}")
    assert upward == []
    frame = [p.name for p in sources() if len(p.relative_to(SRC).parts) == 1]
    assert frame == ["module.cpp"]


def test_every_declaration_is_bound_once_by_the_body():
    declared = set()
    for path in sources():
        text = path.read_text()
        for kind, ident in re.findall(r"^\s*RG_DEF\((\w+), (\w+),", text, re.M):
            scope = "guarder::" if kind != "Function" else ""
            declared.add(scope + ident + "_def")
    body = (SRC / "module.cpp").read_text()
    bound = re.findall(r"&((?:guarder::)?\w+_def)\b", body)
    assert sorted(bound) == sorted(declared)

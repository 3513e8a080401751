"""The source tree's layers: includes point down or sideways only, every declared function has
its own place in the body that binds it, and the unchecked macros stay behind the typed
references."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "runtime_guard"

# Runs from a source checkout; a copy of the tests alone (the sanitizer run) has no sources.
pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="no source tree beside the tests")

# Lower numbers sit lower; a file may include its own layer or a lower one. The helpers (the
# constants, the clock, the host's resolvers) sit with the subsystems they serve.
LAYER = {"platform": 0, "capi": 1, "helpers": 2, "frame": 3}

# Accessors that trust the object's type; reachable only through capi/ref.hpp's typed references.
UNCHECKED = re.compile(
    r"\b(?:Py(?:List|Tuple)_(?:GET_ITEM|GET_SIZE|SET_ITEM)|Py(?:Bytes|ByteArray)_(?:AS_STRING|GET_SIZE)"
    r"|PyUnicode_(?:GET_LENGTH|DATA|KIND|READ|READ_CHAR|WRITE|[124]BYTE_DATA|IS_ASCII"
    r"|IS_COMPACT_ASCII|MAX_CHAR_VALUE)|PyFloat_AS_DOUBLE|PyDict_GET_SIZE|PySequence_Fast_\w+)\b"
)


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


def declared_places():
    """{"module": {ordinal: Python name}, "class": {...}} read from every RG_DEF, and how many
    RG_DEF lines there are."""
    bodies, lines = {"module": {}, "class": {}}, 0
    for path in sources():
        text = path.read_text()
        lines += len(re.findall(r"^RG_DEF\(", text, re.M))
        for kind, ordinal, name in re.findall(r'^RG_DEF\((\w+), (\d+), \w+, "(\w+)\(', text, re.M):
            body = bodies["module" if kind == "Function" else "class"]
            assert int(ordinal) not in body, f"{name} and {body[int(ordinal)]} share {ordinal}"
            body[int(ordinal)] = name
    return bodies, lines


def test_every_declaration_has_its_own_place_in_its_body():
    """Each RG_DEF takes the slot its ordinal names in its body's table (the module's functions,
    or the class's members): per body, ordinals run 1..n with no hole and no clash, Python names
    are unique, and nothing lists the declarations a second time."""
    bodies, lines = declared_places()
    for places in bodies.values():
        assert sorted(places) == list(range(1, len(places) + 1))
        assert len(set(places.values())) == len(places)
    assert sum(map(len, bodies.values())) == lines > 0  # every declaration read, however laid out
    idents = {i for p in sources()
              for i in re.findall(r"^RG_DEF\(\w+, \d+, (\w+),", p.read_text(), re.M)}
    listed = re.compile(r"\b(?:%s)_def\b" % "|".join(sorted(idents)))
    assert [p.name for p in sources() if listed.search(p.read_text())] == []


def test_unchecked_macros_only_behind_typed_references():
    uses = []
    for path in sources():
        if path.relative_to(SRC).as_posix() == "capi/ref.hpp":
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = line.split("//")[0]
            uses += [f"{path.relative_to(SRC)}:{number}: {m}" for m in UNCHECKED.findall(code)]
    assert uses == []

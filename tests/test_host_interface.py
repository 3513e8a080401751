"""The README's "What the host application provides" names exactly what the extension takes
from its host: the host modules and names it imports, the components it asks the application
context for and what it reads from each, as a real session records them."""

import re
from pathlib import Path

import pytest

from support_recorder import recorded_session  # noqa: F401

HOST_PACKAGE = "orlune"
EXTENSION = "orlune.core.runtime_guard"


def readme_section():
    readme = Path(__file__).resolve().parents[1] / "README.md"
    if not readme.is_file():
        pytest.skip("the README is not beside the tests (an installed package only)")
    text = readme.read_text(encoding="utf-8")
    return text.split("## What the host application provides\n", 1)[1].split("\n## ", 1)[0]


def table_rows(section):
    """(first cell, second cell) of every body row of the section's tables."""
    rows = []
    for line in section.splitlines():
        if line.startswith("|") and not line.startswith("|---"):
            cells = [cell.strip() for cell in line.strip("|").split(" | ")]
            if cells[0] not in ("Module", "Component"):  # a header
                rows.append((cells[0], cells[1]))
    return rows


# The name of a row that lists a module imported by itself, not a name from it.
ITSELF = "the module"


def listed(section):
    """({module: {names}}, {component: {attributes}}) as the tables give them."""
    modules, components = {}, {}
    for first, second in table_rows(section):
        if module := re.fullmatch(r"`([\w.]+)`", first):
            name = ITSELF if second == ITSELF else re.match(r"`(\w+)", second)[1]
            modules.setdefault(module[1], set()).add(name)
        elif component := re.fullmatch(r'`"(\w+)"`', first):
            components.setdefault(component[1], set()).add(re.match(r"`(\w+)\(", second)[1])
        else:
            raise AssertionError(f"a row that names neither a host module nor a component: {first}")
    return modules, components


def imported(recorded):
    """{module: {names}} of the host modules the extension imported, itself left out; a module
    imported by itself, with no names, counts as ITSELF."""
    modules = {}
    for module, fromlist, _ in recorded["imports"]:
        if module.split(".")[0] == HOST_PACKAGE and module != EXTENSION:
            modules.setdefault(module, set()).update(fromlist or [ITSELF])
    return modules


def test_the_tables_name_exactly_what_the_extension_takes(recorded_session):  # noqa: F811
    modules, components = listed(readme_section())
    assert imported(recorded_session) == modules
    read = {name: set(attributes) for name, attributes in recorded_session["components"].items()}
    assert read == components

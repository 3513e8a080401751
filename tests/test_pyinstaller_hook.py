"""The PyInstaller hook names every module the extension imports: a frozen application has
only what the hook or PyInstaller's analysis of Python code brought along."""

import ast
import re
import sys
from pathlib import Path

import pytest

from orlune._pyinstaller import get_hook_dirs

from support_recorder import recorded_session  # noqa: F401

ROOT = Path(__file__).resolve().parents[1]


def hook_imports(every_version=False):
    """What the hook lists on this interpreter, or on any with `every_version`."""
    (hook_dir,) = get_hook_dirs()
    tree = ast.parse((Path(hook_dir) / "hook-orlune.core.runtime_guard.py").read_text())
    literals = {node.targets[0].id: ast.literal_eval(node.value) for node in tree.body
                if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name)
                and node.targets[0].id in ("hiddenimports", "imported_before")}
    assert set(literals) == {"hiddenimports", "imported_before"}, "the hook's lists moved"
    before = literals["imported_before"]
    return literals["hiddenimports"] + [name for name, version in before.items()
                                        if every_version or sys.version_info < version]


def test_hook_lists_every_module_named_at_an_import_call():
    # Catches imports on paths a session does not reach; the table-driven imports of the
    # module body run at every import and are seen by the session test below.
    sources = ROOT / "src" / "runtime_guard"
    if not sources.is_dir():
        pytest.skip("the C++ sources are not beside this test (an installed package only)")
    named = set()
    for path in sources.rglob("*.[ch]pp"):
        named |= set(re.findall(r'\bimport(?:_from)?\(\s*"([\w.]+)"', path.read_text()))
    assert {"requests", "orlune.auth.validator", "orlune.core.payload_crypto"} <= named
    assert named - set(hook_imports(every_version=True)) == set()


def test_hook_lists_exactly_what_a_session_imports(recorded_session):  # noqa: F811
    imported = set()
    for module, _, submodules in recorded_session["imports"]:
        imported.add(module)
        imported.update(f"{module}.{item}" for item in submodules)
    hooked = set(hook_imports())
    assert imported - hooked == set(), "imported by the extension, missing from the hook"
    assert hooked - imported == set(), "listed in the hook, never imported by the extension"

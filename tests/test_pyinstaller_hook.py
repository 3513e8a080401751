"""The PyInstaller hook names every module the extension imports: a frozen application has
only what the hook or PyInstaller's analysis of Python code brought along."""

import ast
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from orlune.collector import Collector
from orlune._pyinstaller import get_hook_dirs

from conftest import child_env

ROOT = Path(__file__).resolve().parents[1]
HERE = Path(__file__).resolve().parent
KEY = "hook-test-key"


def hook_imports():
    (hook_dir,) = get_hook_dirs()
    tree = ast.parse((Path(hook_dir) / "hook-orlune.core.runtime_guard.py").read_text())
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["hiddenimports"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the hook sets no hiddenimports")


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
    assert named - set(hook_imports()) == set()


# Records each __import__ the extension makes (it passes its module dict as globals), then
# runs the host application as a script.
RECORDER = """
import builtins, json, runpy, sys
seen, real = set(), builtins.__import__
def recording(name, globals=None, locals=None, fromlist=(), level=0):
    module = real(name, globals, locals, fromlist, level)
    if isinstance(globals, dict) and globals.get("__name__") == "orlune.core.runtime_guard":
        seen.add(name)
        seen.update(f"{name}.{item}" for item in fromlist or () if f"{name}.{item}" in sys.modules)
    return module
builtins.__import__ = recording
runpy.run_path(sys.argv[1], run_name="__main__")
print("imports:", json.dumps(sorted(seen)))
"""


def test_hook_lists_exactly_what_a_session_imports(tmp_path):
    with Collector(api_key=KEY) as c:
        proc = subprocess.run(
            [sys.executable, "-P", "-c", RECORDER, str(HERE / "frozen_host.py")],
            env=child_env(HOME=str(tmp_path), ORLUNE_SERVER_URL=c.url + "/api/validate",
                          ORLUNE_SERVER_API_KEY=KEY),
            capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        # Every path ran: the start-up and shutdown flushes and the open report were delivered.
        assert [r.status for r in c.received] == [200, 200, 200], proc.stderr
    line = proc.stdout.splitlines()[-1]
    assert line.startswith("imports: ")
    imported = set(json.loads(line.removeprefix("imports: ")))
    hooked = set(hook_imports())
    assert imported - hooked == set(), "imported by the extension, missing from the hook"
    assert hooked - imported == set(), "listed in the hook, never imported by the extension"

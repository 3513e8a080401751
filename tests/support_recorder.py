"""What the extension takes from its host, recorded in a real session against a local
collector: every __import__ it makes (it passes its module dict as globals) and every component
it asks the application context for, with the attributes it reads from each."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env
from orlune.collector import Collector

HERE = Path(__file__).resolve().parent
KEY = "recorder-test-key"

# Runs the host application given as argument as a script, with both recorders in place.
RECORDER = """
import builtins, json, runpy, sys
from orlune.app import AppContext

imports, components, real_import = [], {}, builtins.__import__

def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
    module = real_import(name, globals, locals, fromlist, level)
    if isinstance(globals, dict) and globals.get("__name__") == "orlune.core.runtime_guard":
        items = list(fromlist or ())
        imports.append([name, items, [i for i in items if f"{name}.{i}" in sys.modules]])
    return module

class Reads:
    def __init__(self, name, component):
        self._name, self._component = name, component

    def __getattr__(self, attribute):
        components[self._name].add(attribute)
        return getattr(self._component, attribute)

real_get_component = AppContext.get_component

def recording_get_component(self, name):
    component = real_get_component(self, name)
    components.setdefault(name, set())
    return None if component is None else Reads(name, component)

builtins.__import__ = recording_import
AppContext.get_component = recording_get_component
runpy.run_path(sys.argv[1], run_name="__main__")
print("recorded:", json.dumps({"imports": imports,
                               "components": {k: sorted(v) for k, v in components.items()}}))
"""


@pytest.fixture(scope="module")
def recorded_session(tmp_path_factory):
    """{"imports": [[module, fromlist, submodules in it]...], "components": {name: [read]}}
    of one session of tests/frozen_host.py: initialize, an open report, cleanup."""
    home = tmp_path_factory.mktemp("recorded-home")
    with Collector(api_key=KEY) as c:
        proc = subprocess.run(
            [sys.executable, "-P", "-c", RECORDER, str(HERE / "frozen_host.py")],
            env=child_env(HOME=str(home), ORLUNE_SERVER_URL=c.url + "/api/validate",
                          ORLUNE_SERVER_API_KEY=KEY),
            capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        # Every path ran: the start-up and shutdown flushes and the open report were delivered.
        assert [r.status for r in c.received] == [200, 200, 200], proc.stderr
    line = proc.stdout.splitlines()[-1]
    assert line.startswith("recorded: ")
    return json.loads(line.removeprefix("recorded: "))

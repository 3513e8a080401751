"""A host application frozen with PyInstaller (onedir) delivers its sessions and open reports:
the hook shipped with the package brings along what the extension imports from C++."""

import os
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import orlune
from orlune._pyinstaller import get_hook_dirs
from orlune.auth.storage import save_token
from orlune.collector import Collector
from orlune.utils.package_info import get_version

from conftest import child_env

pytest.importorskip("PyInstaller",
                    reason="PyInstaller comes with the test extra: pip install '.[test]'")
pytestmark = pytest.mark.slow

HOST = Path(__file__).resolve().parent / "frozen_host.py"
KEY = "frozen-test-key"


def hook_options():
    """Nothing for an installed package: PyInstaller must find the hook through the entry
    point. A checkout on PYTHONPATH has no entry point; name its hook directory instead."""
    try:
        dist = metadata.distribution("orlune")
        installed = (Path(dist.locate_file("orlune/__init__.py")).resolve()
                     == Path(orlune.__file__).resolve())
    except metadata.PackageNotFoundError:
        installed = False
    if not installed:
        return ["--additional-hooks-dir", get_hook_dirs()[0]]
    hooks = [ep.value for ep in dist.entry_points if ep.group == "pyinstaller40"]
    assert hooks == ["orlune._pyinstaller:get_hook_dirs"]
    return []


def test_frozen_host_delivers_sessions_and_open_report(tmp_path):
    build = subprocess.run(
        [sys.executable, "-m", "PyInstaller", "--onedir", "--noconfirm", "--log-level", "WARN",
         "--workpath", str(tmp_path / "build"), "--distpath", str(tmp_path / "dist"),
         "--specpath", str(tmp_path), "--name", "frozen_host", *hook_options(), str(HOST)],
        cwd=tmp_path, env=child_env(), capture_output=True, text=True, timeout=600)
    assert build.returncode == 0, build.stderr[-4000:]
    app = tmp_path / "dist" / "frozen_host" / "frozen_host"

    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "ORLUNE_"))}  # the frozen app has only what it carries
    save_token("tok-frozen", "Pro")  # the account fields need orlune.auth.storage and .plans
    with Collector(api_key=KEY) as c:
        env.update(HOME=str(Path.home()), ORLUNE_SERVER_URL=c.url + "/api/validate",
                   ORLUNE_SERVER_API_KEY=KEY)
        run = subprocess.run([str(app)], cwd=tmp_path, env=env, capture_output=True, text=True,
                             timeout=60)
        received = list(c.received)
        rows = c.sessions()
    assert run.returncode == 0, run.stderr
    # The extension itself came from the bundle, not from the interpreter that built it.
    extension = Path(run.stdout.split("extension: ")[1].strip())
    assert extension.is_relative_to(app.parent) and extension.suffix == ".so"
    assert "WARNING orlune.core.runtime_guard" not in run.stderr
    assert "failed" not in run.stderr, run.stderr

    assert [r.status for r in received] == [200, 200, 200], run.stderr
    assert {(r.payload["app_version"], r.payload["token_id"], r.payload["plan"])
            for r in received} == {(get_version(), "tok-frozen", "pro")}
    (report,) = [row for row in rows if "Opened" in (row["log_text"] or "")]
    opened, closed = [row for row in rows if row is not report]  # start-up flush, then cleanup
    assert opened["session_id"] == closed["session_id"]
    assert (opened["ended_at"], opened["ended_cleanly"]) == ("", False)
    assert closed["ended_cleanly"] and closed["ended_at"]
    assert "WARNING host is working" in closed["log_text"]
    assert report["log_text"].endswith("INFO Opened FrozenViewer") and report["ended_cleanly"]

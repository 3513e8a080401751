"""The shipped type stub matches the built module, and a host using the API type-checks."""

import re
import site
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env

pytest.importorskip("mypy", reason="mypy comes with the test extra: pip install '.[test]'")

HERE = Path(__file__).resolve().parent


def mypy_env():
    """Find the package mypy should check: installed, or the checkout the tests import."""
    env = child_env()
    import orlune

    root = Path(orlune.__file__).resolve().parents[1]
    if root not in {Path(p).resolve() for p in site.getsitepackages()}:
        env["MYPYPATH"] = str(root)  # mypy reads site-packages itself and refuses it here
    return env


def run(*args, cwd):
    return subprocess.run([sys.executable, "-P", "-m", *args], env=mypy_env(), cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def test_stub_matches_built_module(tmp_path):
    proc = run("mypy.stubtest", "orlune.core.runtime_guard", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def readme_wiring_block():
    """The first Python block of the README's section on wiring RuntimeGuarder."""
    readme = (HERE.parent / "README.md").read_text(encoding="utf-8")
    section = readme.split("### Wiring `RuntimeGuarder` into a host application", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_readme_wiring_type_checks_strictly(tmp_path):
    """What a host copies from the README passes `mypy --strict` as it stands."""
    example = tmp_path / "readme_wiring.py"
    example.write_text(readme_wiring_block())
    proc = run("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(example), cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_host_code_type_checks_strictly(tmp_path):
    good, bad = HERE / "typing" / "sample_host.py", HERE / "typing" / "sample_misuse.py"
    proc = run("mypy", "--strict", "--follow-imports=silent", "--cache-dir", str(tmp_path / "cache"),
               "--no-error-summary", str(good), str(bad), cwd=tmp_path)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if good.name in e], proc.stdout + proc.stderr
    wanted = [n for n, line in enumerate(bad.read_text().splitlines(), 1) if line.endswith("  # rejected")]
    assert sorted(int(re.search(r":(\d+): error", e).group(1)) for e in errors) == wanted, proc.stdout

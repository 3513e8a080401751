"""The C++ platform layer alone (tests/platform/test_file_ops.cpp), built with this machine's
compiler against its POSIX implementation and run. CI also builds it for Windows and runs it
under Wine."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = [ROOT / "tests" / "platform" / "test_file_ops.cpp",
           ROOT / "src" / "runtime_guard" / "platform" / "file_ops_posix.cpp"]


@pytest.mark.posix
def test_file_ops_posix(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not compiler or not all(p.exists() for p in SOURCES):
        pytest.skip("needs a C++ compiler and the sources of a checkout")
    # Not under a sanitizer preloaded into the suite: the compiler is no part of what is tested.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["TMPDIR"] = str(tmp_path)
    exe = tmp_path / "test_file_ops"
    subprocess.run([compiler, "-std=c++20", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra",
                    "-Wpedantic", "-Werror", "-I", str(ROOT / "src" / "runtime_guard"), "-o", str(exe),
                    *map(str, SOURCES)], check=True, env=env, timeout=120)
    run = subprocess.run([str(exe)], capture_output=True, text=True, env=env, timeout=60)
    last = run.stdout.strip().splitlines()[-1]
    assert run.returncode == 0 and last.endswith(" passed, 0 failed"), run.stdout

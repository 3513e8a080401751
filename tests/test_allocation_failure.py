"""Every allocation of start-up and of the first decoration made to fail, one at a time."""

import json
import pathlib
import subprocess
import sys

import pytest

from conftest import child_env

pytest.importorskip("_testcapi")

DRIVER = pathlib.Path(__file__).with_name("alloc_failure.py")

# The interpreter's own crashes under these failures (pure-Python loops of the same calls with
# the same failures crash it too, without this module): from 3.12, making a nested function
# whose allocation fails releases its code object twice (CPython gh-122752), and json's
# encoder makes one on every dump; 3.13's dict.setdefault leaves the dict corrupt when its
# resize fails, and making a type fills its dict that way.
_MAKE_FUNCTION = pytest.mark.skipif(
    sys.version_info[:2] in ((3, 12), (3, 13)),
    reason="the interpreter crashes: a nested def whose allocation fails frees its code object")
_SETDEFAULT = pytest.mark.skipif(
    sys.version_info[:2] == (3, 13),
    reason="the interpreter crashes: dict.setdefault corrupts the dict when its resize fails")


def drive(check):
    proc = subprocess.run([sys.executable, str(DRIVER), check], capture_output=True, text=True,
                          env=child_env(ORLUNE_TELEMETRY="0"), timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


@_MAKE_FUNCTION
def test_start_up_never_keeps_an_id_without_its_row():
    # Each failure either ends start-up with the logged error before the session id is set, or
    # leaves the id with its row, which cleanup then closes and stores; no stored row is lost.
    result = drive("initialize")
    assert result["faults"] == []
    assert result["attempts"] > 300 and result["outcomes"]["failed"] > 100
    assert result["outcomes"]["failed-with-id"] > 0


@_SETDEFAULT
def test_first_decoration_fails_as_memory_error():
    # The wrapper types are made at the first decoration; no failure there is a SystemError.
    result = drive("decorator")
    assert result["faults"] == []
    assert result["outcomes"]["MemoryError"] > 10


@_MAKE_FUNCTION
def test_merging_write_fails_as_memory_error_and_leaves_a_whole_store():
    # The merge's tables live on the Python heap: a failed allocation is a MemoryError, and
    # the store is the other instance's version or the merged one, never a torn one.
    result = drive("merge")
    assert result["faults"] == []
    assert result["outcomes"]["MemoryError"] > 100

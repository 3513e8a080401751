"""The README's main job runs end to end and shows the session's road."""

import subprocess
import sys

from conftest import child_env


def test_demo_shows_clean_and_crashed_runs(tmp_path):
    proc = subprocess.run([sys.executable, "-P", "-m", "orlune.demo", "--home", str(tmp_path), "--port", "0"],
                          env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout
    assert out.count("start-up flush delivered the open row") == 3
    assert "WARNING Report shared with <email>" in out and "Activation key <token> accepted" in out
    assert "dr.lee" not in out.split("== 2.")[0].split("redacted):")[1]
    assert '"stale": true' in out.split("== 3.")[1]

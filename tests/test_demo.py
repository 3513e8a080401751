"""The README's main job runs end to end, tells its story and respects the user."""

import re
import socket
import subprocess
import sys

import pytest

from conftest import child_env


def demo(*args, **env):
    proc = subprocess.run([sys.executable, "-P", "-m", "orlune.demo", *args],
                          env=child_env(**env), capture_output=True, text=True, timeout=120)
    return proc, proc.stdout


@pytest.mark.posix
def test_demo_shows_clean_and_crashed_runs(tmp_path):
    proc, out = demo("--port", "0", TMPDIR=str(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert out.count("start-up flush delivered the open row") == 3
    assert "WARNING Report shared with <email>" in out and "Activation key <token> accepted" in out
    assert "dr.lee" not in out.split("== 2.")[0].split("redacted):")[1]
    assert '"stale": true' in out.split("== 3.")[1]

    # The demo tells the crashed run from an open one, though the collector cannot.
    killed = re.search(r"session ([0-9a-f]{8}) opened\n.*\n.*crashing now", out).group(1)
    run2, run3 = out.split("== 2.")[1].split("== 3.")
    assert f"{killed}  open or not cleanly ended  open: sent at start-up" in run2
    assert f"{killed}  crashed: left open, its process is gone" in run2
    assert f"{killed}  open or not cleanly ended  the run the demo killed" in run3
    assert f"{killed}  crashed: closed as stale" in run3
    assert "5 sessions: 4 closed cleanly, 1 open or not cleanly ended; 8 uploads" in run3

    # Library code's open reports: report_open and a decorated call, each its own closed row.
    run1 = out.split("== 2.")[0]
    assert 'open report: the feature "Viewer" was opened' in run1
    assert 'open report: the feature "Segmentation" was opened' in run1

    summary = out.split("== Summary")[1]
    assert "8 uploads reached the collector, all accepted (3 sessions, 2 open reports)" in summary
    assert "0 rows pending" in summary
    assert "2 paths, 2 e-mail addresses, 2 token-like strings replaced" in summary
    assert "--keep, then python3 -P -m orlune.collector show" in summary
    assert out.splitlines()[-1] == "Demo finished: 3 runs, 8 uploads accepted by the collector, 0 rows pending."
    home = re.search(r"^home: (\S+) \(temporary\)$", out, re.M).group(1)
    assert f"removed the temporary home {home}" in out and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("where, switch", [("new --home", {"ORLUNE_TELEMETRY": " Off "}),
                                           ("temporary, --keep", {"DO_NOT_TRACK": "1"})])
def test_demo_with_telemetry_off_sends_nothing(tmp_path, where, switch):
    home = tmp_path / "not" / "yet" / "there"
    args = ["--home", str(home)] if where == "new --home" else ["--keep"]
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        proc, out = demo(*args, "--port", str(port), **switch, TMPDIR=str(tmp_path))
    [(name, value)] = switch.items()
    assert f"telemetry is off ({name}={value})" in out
    assert f"port {port} is in use; the collector listens on" in out
    home = home if where == "new --home" else next(tmp_path.glob("orlune-demo-*"))
    assert (home / ".orlune" / "usage" / "sessions.jsonl").is_file()  # created, and kept
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "the collector received nothing" in out and "sent:         nothing" in out
    assert "closed cleanly; kept on this machine for good" in out and "0 rows pending" in out
    assert "1 row recorded while telemetry was off: marked opted out, never sent" in out
    assert '"opted_out": true' in out
    assert out.splitlines()[-1] == "Demo finished: telemetry off, 1 session recorded locally, nothing sent."


@pytest.mark.posix
def test_demo_bad_places_give_one_line(tmp_path):
    a_file = tmp_path / "a-file"
    a_file.write_text("")
    collector_db_is_a_dir = tmp_path / "home"
    (collector_db_is_a_dir / "collector.db").mkdir(parents=True)
    cases = [
        (["--home", str(a_file)], f"demo: --home {a_file} is not a directory"),
        (["--home", str(a_file / "sub")], f"demo: cannot use --home {a_file / 'sub'}: Not a directory"),
        (["--home", "/proc/orlune-demo-home"], "demo: cannot use --home /proc/orlune-demo-home: "),
        (["--port", "65536"], "demo: --port must be between 0 and 65535, not 65536"),
        # The collector's own reason, not an empty string.
        (["--home", str(collector_db_is_a_dir), "--port", "0"],
         f"demo: the collector did not start: error: cannot open the database "
         f"{collector_db_is_a_dir / 'collector.db'}"),
    ]
    for args, wanted in cases:
        proc, out = demo(*args)
        assert proc.returncode != 0 and "Demo finished" not in out, args
        assert proc.stderr.startswith(wanted) and proc.stderr.count("\n") == 1, (args, proc.stderr)
    assert a_file.read_text() == ""

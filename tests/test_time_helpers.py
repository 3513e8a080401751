"""Timestamps, the time-zone label and durations."""

import re

import pytest

from conftest import run_python


def test_utcnow_iso_shape(rg):
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00", rg._utcnow_iso())


@pytest.mark.parametrize(
    "tz, expected",
    [("UTC0", "+00:00"), ("CET-1", "+01:00"), ("EST5", "-05:00"), ("IST-5:30", "+05:30"),
     ("XYZ-0:00:30", "UTC")],
)
def test_local_tz_offset_in_zones(tz, expected):
    proc = run_python("import orlune.core.runtime_guard as rg; print(rg._local_tz_offset())", env={"TZ": tz})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expected


@pytest.mark.parametrize(
    "start, end, expected",
    [
        ("2024-01-01T00:00:00+00:00", "2024-01-01T01:01:01+00:00", 3661),
        ("2024-01-01T00:00:00Z", "2024-01-01T00:00:10+00:00", 10),
        ("2024-01-01T00:00:00", "2024-01-01T00:00:10+00:00", 10),  # naive counts as UTC
        ("2024-01-01T02:00:00+02:00", "2024-01-01T00:00:05Z", 5),  # absolute time, not wall clock
        ("2024-01-01T00:00:00.5+00:00", "2024-01-01T00:00:02.4+00:00", 1),  # 1.9 s truncates
        ("2024-01-01T00:00:10+00:00", "2024-01-01T00:00:00+00:00", 0),  # negative span
        ("2024-01-01T00:00:00.6+00:00", "2024-01-01T00:00:00.1+00:00", 0),
        ("", "2024-01-01T00:00:00+00:00", 0),
        ("2024-01-01T00:00:00+00:00", "", 0),
        (None, "x", 0),
        ("yesterday", "2024-01-01T00:00:00+00:00", 0),
        ("2024-01-01T00:00:00+00:00", "2024-13-01T00:00:00", 0),
    ],
)
def test_duration_s(rg, start, end, expected):
    got = rg._duration_s(start, end)
    assert got == expected and type(got) is int


def test_duration_s_lets_non_text_errors_through(rg):
    with pytest.raises(AttributeError):
        rg._duration_s(12345, "2024-01-01T00:00:00+00:00")
    with pytest.raises(TypeError):
        rg._duration_s(b"2024-01-01", "2024-01-01T00:00:00+00:00")
    assert rg._duration_s(started_at="2024-01-01T00:00:00Z", ended_at="2024-01-01T00:01:00Z") == 60

"""The decorator's wrapper: caller-side cost of a decorated call against the baselines, in the
same run, as ratios.

    PYTHONPATH=. python3 bench/bench_wrapper.py [--previous PATH/runtime_guard.cpython-3XX-*.so]

`report_open` is replaced by a no-op on every module measured, so the figures are the wrapper's
own cost: calling through it, the report's lookup and call, and calling the function. The
baselines are the undecorated function and the `functools.wraps` wrapper of the description.
`--previous` loads an earlier build of the extension beside this one (as package `previous`)
and measures its wrapper too. Calls come from Python code (on 3.11 they run the wrapper's
code) and from C (`map`, as Qt or a callback registry would call).
"""

import argparse
import importlib.util
import pathlib
import platform
import statistics
import sys
import tempfile
import time

import orlune.core.runtime_guard as rg

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import bench_open_report as described  # noqa: E402  the Python implementation of the description


def load_previous(path):
    """The extension built at `path`, imported as `previous.runtime_guard`."""
    package = pathlib.Path(tempfile.mkdtemp()) / "previous"
    package.mkdir()
    (package / "__init__.py").write_text("")
    target = package / pathlib.Path(path).name
    target.write_bytes(pathlib.Path(path).read_bytes())
    sys.path.insert(0, str(package.parent))
    return importlib.import_module("previous.runtime_guard")


def from_python(fn, n):
    t0 = time.perf_counter()
    for i in range(n):
        fn(i)
    return time.perf_counter() - t0


def from_c(fn, n):
    t0 = time.perf_counter()
    for _ in map(fn, range(n)):
        pass
    return time.perf_counter() - t0


def median_ns(loop, fn, n=20000, repeats=15):
    loop(fn, n // 10)
    return statistics.median(loop(fn, n) / n for _ in range(repeats)) * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--previous", help="an earlier build's extension module file")
    args = parser.parse_args()

    def body(x):
        return x

    noop = lambda label: None  # noqa: E731
    rg.report_open = described.report_open = noop
    candidates = [("undecorated", body),
                  ("functools.wraps wrapper", described.runtimeguard("F")(body)),
                  ("this build's wrapper", rg.runtimeguard("F")(body))]
    if args.previous:
        previous = load_previous(args.previous)
        previous.report_open = noop
        candidates.append(("previous build's wrapper", previous.runtimeguard("F")(body)))
    print(f"Python {platform.python_version()}, {platform.machine()}; ns per call, median of 15 runs")
    rows = []
    for label, fn in candidates:
        rows.append((label, median_ns(from_python, fn), median_ns(from_c, fn)))
    ours = dict((r[0], r) for r in rows)["this build's wrapper"]
    print(f"{'':28} {'from Python':>12} {'ratio':>6} {'from C':>10} {'ratio':>6}   (ratio: this build / row)")
    for label, py, c in rows:
        print(f"{label:28} {py:10.0f}ns {ours[1] / py:6.2f} {c:8.0f}ns {ours[2] / c:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

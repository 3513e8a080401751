"""The decorator's wrapper where third-party code inspects callables: Qt's signals and slots
(PySide6, PyQt6), mock's autospec, pytest and unittest collection, click, singledispatch, abc,
descriptors, dataclasses, pickling, copies and weak references. Each case runs in a child
process, so a crash fails that case alone."""

import importlib.util

import pytest

from conftest import run_python
from support_upload import API_KEY, endpoint  # noqa: F401

BINDINGS = {"PySide6": "from PySide6.QtCore import QObject, Signal, Slot\n"
                       "from PySide6.QtGui import QAction, QGuiApplication\n",
            "PyQt6": "from PyQt6.QtCore import QObject, pyqtSignal as Signal, pyqtSlot as Slot\n"
                     "from PyQt6.QtGui import QAction, QGuiApplication\n"}

# Each decorated slot is connected and its signal emitted once; `ran` records what the slot
# received, and every emission must make exactly one open report.
QT_CASES = {
    "bound method taking *args": ("w.varargs", "e.number", "[(5,)]"),
    "bound method under a Slot decorator": ("w.slotted", "e.number", "[(5,)]"),
    "fixed-arity slot on triggered(bool)": ("w.fixed", "action.triggered", "[()]"),
    "plain function": ("plain", "e.number", "[(5,)]"),
}


def qt_script(binding, slot, signal):
    return BINDINGS[binding] + f"""
import os
from orlune.core.runtime_guard import flush_runtime_guard, runtimeguard
from orlune.core import runtime_guard as rg
ran = []

class Emitter(QObject):
    number = Signal(int)

class Window(QObject):
    @runtimeguard("Segmentation")
    def varargs(self, *a): ran.append(a)

    @Slot(int)
    @runtimeguard("Segmentation")
    def slotted(self, *a): ran.append(a)

    @runtimeguard("Segmentation")
    def fixed(self): ran.append(())

@runtimeguard("Segmentation")
def plain(*a): ran.append(a)

app = QGuiApplication([])
w, e, action = Window(), Emitter(), QAction("Segment")
{signal}.connect({slot})
{"action.trigger()" if "action" in signal else signal + ".emit(5)"}
flush_runtime_guard(10)
print(ran)
"""


def qt_env(binding, collector, tmp_path):
    if importlib.util.find_spec(binding) is None:
        pytest.skip(f"{binding} is not installed (it comes with the test extra)")
    return dict(QT_QPA_PLATFORM="offscreen", HOME=str(tmp_path),
                ORLUNE_SERVER_URL=collector.url + "/api/validate", ORLUNE_SERVER_API_KEY=API_KEY)


def opened(collector):
    return [s["log_text"].split(" INFO ", 1)[1] for r in collector.received for s in r.payload["sessions"]]


@pytest.mark.parametrize("binding", sorted(BINDINGS))
@pytest.mark.parametrize("case", sorted(QT_CASES))
def test_decorated_slots_run_once_per_emission_and_report_once(binding, case, endpoint, tmp_path):
    slot, signal, expected = QT_CASES[case]
    proc = run_python(qt_script(binding, slot, signal), env=qt_env(binding, endpoint, tmp_path))
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == expected, proc.stderr[-3000:]
    assert endpoint.wait_for(1) and opened(endpoint) == ["Opened Segmentation"]


@pytest.mark.parametrize("binding", sorted(BINDINGS))
def test_a_fixed_arity_slot_on_a_longer_signal(binding, endpoint, tmp_path):
    """number(int) into `fixed(self)`: PySide gives a slot as many arguments as its code takes,
    PyQt calls again with fewer after the TypeError; either way the slot runs once and one
    open is reported."""
    proc = run_python(qt_script(binding, "w.fixed", "e.number"), env=qt_env(binding, endpoint, tmp_path))
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "[()]", proc.stderr[-3000:]
    assert endpoint.wait_for(1) and opened(endpoint) == ["Opened Segmentation"]


def test_introspecting_libraries(tmp_path):
    proc = run_python("""
        import abc, asyncio, copy, dataclasses, functools, inspect, pickle, sys, typing, weakref
        from unittest import mock
        from orlune.core import runtime_guard as rg
        seen = []
        rg.report_open = seen.append
        guard = rg.runtimeguard

        @guard()
        def export(path: str, *, fmt: str = "dcm") -> str:
            return f"{path}.{fmt}"

        assert inspect.isfunction(export) and export.__code__.co_varnames == ("path", "fmt")
        assert (export.__code__.co_argcount, export.__kwdefaults__) == (1, {"fmt": "dcm"})
        for name in ("__code__", "__defaults__", "__kwdefaults__", "__globals__", "__closure__",
                     "__builtins__", *functools.WRAPPER_ASSIGNMENTS):
            getattr(export, name)
        def reference(path: str, *, fmt: str = "dcm") -> str: ...
        reference.__name__ = reference.__qualname__ = "export"
        reference_wrapper = functools.wraps(reference)(lambda *a, **k: None)
        assert vars(export).keys() == vars(reference_wrapper).keys()
        for name in functools.WRAPPER_ASSIGNMENTS:
            assert getattr(export, name, None) == getattr(reference_wrapper, name, None), name
        assert typing.get_type_hints(export) == {"path": str, "fmt": str, "return": str}
        assert pickle.loads(pickle.dumps(export)) is export and copy.deepcopy(export) is export
        assert weakref.ref(export)() is export

        class Tool(abc.ABC):
            @guard()
            def run(self, n): return n
            @property
            @guard("Prop")
            def size(self): return 3
            @classmethod
            @guard()
            def make(cls): return cls()
            @staticmethod
            @guard()
            def helper(x): return x
            @abc.abstractmethod
            @guard()
            def todo(self): ...
        class Done(Tool):
            def todo(self): return "done"
        try:
            Tool()
        except TypeError:
            pass
        else:
            raise AssertionError("abstract method lost")
        d = Done.make()
        assert (d.run(1), d.size, d.helper(2), d.todo()) == (1, 3, 2, "done")

        with mock.patch.object(Done, "run", autospec=True) as patched:
            Done().run(5)
            try:
                Done().run(1, 2)
            except TypeError:
                pass
            else:
                raise AssertionError("autospec lost the signature")
            patched.assert_called_once()

        @functools.singledispatch
        @guard()
        def show(x): return "any"
        @show.register
        def _(x: int): return "int"
        assert (show("a"), show(1)) == ("any", "int")

        @guard("Point")  # outermost: the initialiser dataclass wrote is the one wrapped
        @dataclasses.dataclass
        class Point:
            x: int
            y: int = 0
        assert Point(1) == Point(1, 0) and Point.__init__.__wrapped__

        @guard()
        async def fetch():
            return "got"
        assert asyncio.iscoroutinefunction(fetch) and asyncio.run(fetch()) == "got"
        if sys.version_info >= (3, 12):
            assert inspect.iscoroutinefunction(fetch)
        print(len(seen))
        """, env={"ORLUNE_TELEMETRY": "0", "HOME": str(tmp_path)})
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert int(proc.stdout) == 8  # make, run, size, helper, show("a"), Point twice, fetch


def test_collection_and_command_line_frameworks(tmp_path):
    """pytest and unittest collect decorated tests; click builds a command from one."""
    (tmp_path / "test_decorated.py").write_text(
        "import unittest\n"
        "from orlune.core.runtime_guard import runtimeguard\n"
        "@runtimeguard()\n"
        "def test_plain():\n    assert True\n"
        "class Case(unittest.TestCase):\n"
        "    @runtimeguard()\n"
        "    def test_method(self):\n        self.assertTrue(True)\n")
    proc = run_python(f"""
        import sys, pytest
        sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", {str(tmp_path / "test_decorated.py")!r}]))
        """, env={"ORLUNE_TELEMETRY": "0", "HOME": str(tmp_path)})
    assert proc.returncode == 0 and "2 passed" in proc.stdout, proc.stdout + proc.stderr
    proc = run_python(f"""
        import sys, unittest
        sys.path.insert(0, {str(tmp_path)!r})
        result = unittest.main(module="test_decorated", exit=False, argv=["x"]).result
        assert result.testsRun == 1 and result.wasSuccessful(), result  # the TestCase method
        """, env={"ORLUNE_TELEMETRY": "0", "HOME": str(tmp_path)})
    assert proc.returncode == 0, proc.stderr[-3000:]
    if importlib.util.find_spec("click") is None:
        pytest.skip("click is not installed (it comes with the test extra)")
    proc = run_python("""
        import click
        from orlune.core.runtime_guard import runtimeguard
        @click.command()
        @click.option("--count", default=1, type=int)
        @runtimeguard("Export")
        def export(count):
            click.echo(f"exported {count}")
        export(["--count", "3"], standalone_mode=False)
        """, env={"ORLUNE_TELEMETRY": "0", "HOME": str(tmp_path)})
    assert proc.returncode == 0 and proc.stdout == "exported 3\n", proc.stderr[-3000:]


@pytest.mark.parametrize("binding", sorted(BINDINGS))
def test_qt_desktop_demo(binding, tmp_path):
    if importlib.util.find_spec(binding) is None:
        pytest.skip(f"{binding} is not installed (it comes with the test extra)")
    proc = run_python(f"""
        import sys
        from orlune.demo.qt_app import main
        sys.exit(main(["--binding", "{binding}"]))
        """, env={"QT_QPA_PLATFORM": "offscreen", "HOME": str(tmp_path)})
    assert proc.returncode == 0, proc.stdout + proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    assert lines[0] == f"{binding} window: segmented, exported (checked=False)"
    assert sorted(lines[1:3]) == ["  collector received: Opened Export",
                                  "  collector received: Opened Segmentation"]
    assert lines[-1] == "Qt demo finished"


def test_qt_demo_without_qt_says_so_in_one_line(tmp_path):
    proc = run_python("""
        import sys
        sys.modules["PySide6"] = sys.modules["PyQt6"] = None  # as on a machine without Qt
        from orlune.demo.qt_app import main
        sys.exit(main([]))
        """, env={"HOME": str(tmp_path)})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ("Qt demo skipped: neither PySide6 nor PyQt6 is installed "
                           "(pip install PySide6-Essentials)\n")

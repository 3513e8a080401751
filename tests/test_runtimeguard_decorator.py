"""The open-report decorator on functions, methods and classes, and its wrapper's metadata."""

import asyncio
import gc
import inspect
import pickle
import pydoc
import types
import weakref

import pytest

import orlune.core.runtime_guard as runtime_guard
from support_upload import endpoint  # noqa: F401


@pytest.fixture
def reports(rg, monkeypatch):
    """Labels passed to report_open, which the wrappers look up in the module on every call."""
    seen = []
    monkeypatch.setattr(rg, "report_open", lambda *a, **kw: seen.append((a, kw)))
    return seen


def labels(reports):
    return [a[0] for a, kw in reports]


@runtime_guard.runtimeguard()
def export_study(path, *, fmt: str = "dcm") -> str:
    """Export a study."""
    return f"{path}.{fmt}"


export_study.marker = "kept"


def test_function_reports_then_runs(rg, reports):
    order = []

    @rg.runtimeguard()
    def body(x, y=1):
        order.append(list(reports))
        return x + y

    assert body(2, y=3) == 5 and body(1) == 2
    qualname = "test_function_reports_then_runs.<locals>.body"
    assert reports == [((qualname,), {})] * 2  # the label only, passed by position
    assert order[0] == [((qualname,), {})]  # reported before the body ran

    @rg.runtimeguard(name="Named")
    @rg.runtimeguard("  ")
    def twice():
        raise KeyError("body error")

    with pytest.raises(KeyError, match="body error"):
        twice()
    assert labels(reports)[2:] == ["Named", "unknown"]

    deep = type("Q" * 130, (), {})
    deep.__qualname__ = "Q" * 130
    assert rg.runtimeguard("")(deep)  # empty name: the qualified name, clipped
    deep()
    assert labels(reports)[-1] == "Q" * 120


def test_methods_bind_like_functions(rg, reports):
    class Tool:
        @rg.runtimeguard()
        def run(self, n):
            return (self, n)

        @classmethod
        @rg.runtimeguard()
        def load(cls):
            return cls

        @staticmethod
        @rg.runtimeguard("Build")
        def build(a):
            return a

    t = Tool()
    assert t.run(3) == (t, 3) and Tool.run(t, 4) == (t, 4)
    assert Tool.load() is Tool and t.build(7) == 7
    base = "test_methods_bind_like_functions.<locals>.Tool"
    assert labels(reports) == [f"{base}.run"] * 2 + [f"{base}.load", "Build"]
    assert Tool.__dict__["run"].__get__(None, Tool) is Tool.__dict__["run"]
    assert inspect.signature(t.run) == inspect.signature(lambda n: None)


def test_class_reports_on_each_instantiation(rg, reports):
    @rg.runtimeguard("Segmentation")
    class Segmentation:
        def __init__(self, a, b=0):
            labels_at_init.append(list(labels(reports)))
            self.total = a + b

    labels_at_init = []
    original = Segmentation
    seg = Segmentation(1, b=2)
    assert Segmentation is original and type(seg) is Segmentation and seg.total == 3
    assert labels_at_init == [["Segmentation"]]
    assert Segmentation.__init__.__wrapped__.__name__ == "__init__"

    @rg.runtimeguard()
    class Plain:  # no initialiser of its own: object's, with the same arguments
        pass

    class Child(Plain):
        pass

    class Calling(Plain):
        def __init__(self, x):
            self.x = x
            super().__init__()

    Plain()
    Child()
    assert Calling(5).x == 5
    with pytest.raises(TypeError):
        Plain(1)  # object.__init__ refuses it, after the report
    with pytest.raises(TypeError, match="self"):
        Plain.__init__()
    name = "test_class_reports_on_each_instantiation.<locals>.Plain"
    assert labels(reports)[1:] == [name] * 4

    rg.runtimeguard("Again")(Segmentation)
    Segmentation(1)
    assert labels(reports)[-2:] == ["Again", "Segmentation"]


def test_async_and_generator_functions_report_at_creation(rg, reports):
    @rg.runtimeguard()
    async def fetch():
        return "done"

    @rg.runtimeguard()
    def count(n):
        yield from range(n)

    coroutine = fetch()
    gen = count(3)
    assert len(reports) == 2  # before anything ran
    assert asyncio.run(coroutine) == "done" and list(gen) == [0, 1, 2] and len(reports) == 2
    assert inspect.isfunction(fetch)  # a plain function, as functools.wraps would make it


def test_wrapper_metadata(rg, reports):
    w = export_study
    assert (w.__name__, w.__qualname__, w.__doc__, w.__module__) == (
        "export_study", "export_study", "Export a study.", __name__)
    assert w.__annotations__ == {"fmt": str, "return": str} and w.marker == "kept"
    assert inspect.unwrap(w).__code__.co_name == "export_study"
    assert str(inspect.signature(w)) == "(path, *, fmt: str = 'dcm') -> str"
    assert pickle.loads(pickle.dumps(w)) is w
    doc = pydoc.render_doc(w, renderer=pydoc.plaintext)
    assert "export_study(path, *, fmt: str = 'dcm') -> str\n    Export a study." in doc
    assert repr(w).startswith("<function export_study at 0x")

    class NoName:  # a callable without metadata keeps the wrapper's own
        def __call__(self):
            return "called"

    wrapped = rg.runtimeguard()(NoName())
    assert wrapped() == "called" and labels(reports) == ["unknown"]
    assert (wrapped.__name__, wrapped.__doc__) == ("_wrapper", None)


def test_wrapper_is_collected_with_its_cycles(rg):
    def fn():
        pass

    wrapper = rg.runtimeguard()(fn)
    fn.back = wrapper  # wrapper -> fn -> wrapper, and through __dict__
    wrapper.self_ref = wrapper
    ref = weakref.ref(wrapper)
    del wrapper, fn
    gc.collect()
    assert ref() is None

    # Through its names too, as for a function: a str subclass may refer back to it.
    class Name(str):
        pass

    def function_wrapper():
        return rg.runtimeguard()(lambda: None)

    def init_wrapper():
        return rg.runtimeguard()(type("Tool", (), {})).__dict__["__init__"]

    for attribute in ("__name__", "__qualname__"):
        for make in (function_wrapper, init_wrapper):
            wrapper = make()
            name = Name("named")
            name.owner = wrapper
            setattr(wrapper, attribute, name)
            ref = weakref.ref(wrapper)
            del wrapper, name
            gc.collect()
            assert ref() is None, attribute


def test_decorated_call_reaches_the_collector(rg, endpoint):
    assert export_study("scan") == "scan.dcm"
    rg.flush_runtime_guard(10)
    (row,) = [s for r in endpoint.received for s in r.payload["sessions"]]
    assert row["log_text"].endswith(" INFO Opened export_study")


def test_wrappers_behave_as_the_nested_defs(rg, reports, monkeypatch):
    decorate = rg.runtimeguard("Deco")
    assert str(inspect.signature(decorate)) == "(fn)"
    assert decorate(fn=len).__wrapped__ is len
    with pytest.raises(TypeError, match=r"_decorate\(\) missing 1 required positional arg"):
        decorate()
    decorate.note = "kept"
    holder = type("Holder", (), {"deco": decorate})
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        holder().deco(len)  # stored on a class it binds, as a function does

    def plain(a):
        pass

    plain.marker = "kept"
    w = rg.runtimeguard()(plain)
    assert sorted(vars(w)) == ["__wrapped__", "marker"]  # the metadata is not in __dict__
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        w.__name__ = 5
    w.__dict__ = {}
    assert w.__name__ == "plain" and str(inspect.signature(w)) == "(a)"  # its code takes plain's parameters
    any_callable = rg.runtimeguard()(len)
    del any_callable.__wrapped__
    assert str(inspect.signature(any_callable)) == "(*args, **kwargs)"

    @rg.runtimeguard()
    class Plain:
        def __init__(self, a=1):
            self.a = a

    obj = Plain.__new__(Plain)
    Plain.__init__(self=obj, a=5)  # `self` by keyword, as the Python _init accepts it
    assert obj.a == 5
    qualname = "test_wrappers_behave_as_the_nested_defs.<locals>.Plain.__init__"
    with pytest.raises(TypeError, match=f"^{qualname}\\(\\) missing 1 required positional"):
        Plain.__init__()
    with pytest.raises(TypeError, match="got multiple values for argument 'self'"):
        Plain.__init__(obj, self=obj)
    assert len(reports) == 1  # argument errors come before the report

    # While it reports, the wrapper and _before_call count as call levels, as Python frames.
    inferred = []
    monkeypatch.setattr(rg, "report_open", lambda label: inferred.append(
        (rg.infer_open_name(2), rg.infer_open_name(3), rg.infer_open_name(4))))  # 1: the lambda
    rg.runtimeguard()(len)("abc")
    Plain(1)
    here = "test_runtimeguard_decorator.test_wrappers_behave_as_the_nested_defs"
    module = "orlune.core.runtime_guard"
    assert inferred == [(f"{module}._before_call", f"{module}._wrapper", here),
                        (f"{module}._before_call", "Plain._init", here)]

    dressed = []
    fake = types.SimpleNamespace(
        wraps=lambda wrapped: lambda wrapper: dressed.append(wrapper) or "dressed")
    monkeypatch.setattr(rg, "functools", fake)  # functools.wraps is read late and its result binds
    assert rg.runtimeguard()(len) == "dressed"
    assert len(dressed) == 1 and dressed[0].__name__ == "_wrapper"


def test_bare_decorator_works_as_called_factory(rg, reports):
    @rg.runtimeguard
    def plain(x):
        """Plain."""
        return x * 2

    class Tool:
        @rg.runtimeguard
        def run(self, n):
            return n + 1

    @rg.runtimeguard
    class Viewer:
        def __init__(self, study):
            self.study = study

    class Callable:
        def __call__(self):
            return "called"

    assert plain(4) == 8 and Tool().run(1) == 2 and Viewer("ct").study == "ct"
    assert rg.runtimeguard(Callable())() == "called"
    where = "test_bare_decorator_works_as_called_factory.<locals>."
    assert labels(reports) == [where + "plain", where + "Tool.run", where + "Viewer", "unknown"]
    assert (plain.__name__, plain.__doc__, inspect.unwrap(plain).__name__) == ("plain", "Plain.", "plain")
    assert type(plain) is type(rg.runtimeguard()(lambda: None)) and isinstance(Viewer("x"), Viewer)
    assert rg.runtimeguard("Label")(plain)(1) == 2 and labels(reports)[-2:] == ["Label", where + "plain"]


def test_async_wrapper_is_a_coroutine_function(rg, reports):
    @rg.runtimeguard()
    async def fetch():
        return "done"

    class Client:
        @rg.runtimeguard
        async def get(self):
            return "got"

    @rg.runtimeguard()
    def sync():
        return "sync"

    assert asyncio.iscoroutinefunction(fetch) and asyncio.iscoroutinefunction(Client().get)
    assert asyncio.iscoroutinefunction(rg.runtimeguard()(fetch))  # stacked: still one
    assert not asyncio.iscoroutinefunction(sync) and "_is_coroutine" not in vars(sync)
    coroutine = Client().get()
    assert len(reports) == 1  # reported when the coroutine is created, before it runs
    assert asyncio.run(coroutine) == "got" and len(reports) == 1


def test_plain_functions_do_not_load_asyncio():
    from conftest import run_python

    proc = run_python("""
        import sys
        from orlune.core.runtime_guard import runtimeguard
        runtimeguard(lambda: None)
        assert "asyncio" not in sys.modules, "asyncio loaded"
        """, env={"ORLUNE_TELEMETRY": "0"})
    assert proc.returncode == 0, proc.stderr


def test_wrapper_takes_the_functions_parameters_and_passes_them_on(rg, reports):
    """Its code has the function's parameters (what Qt reads for a slot's arity); called from
    Python code or from C, every call gives the function's result or its very TypeError, and
    a call the function's parameters refuse makes no report, whoever calls."""
    import operator

    def shaped(a, b=2, /, c=3, *rest, d, e=5, **more):
        return a, b, c, rest, d, e, more

    def named_guard(guard, *, x=1):  # the cell's own name: the (*args, **kwargs) code then
        return guard, x

    calls = [((1,), {"d": 4}), ((1, 2, 3, 4, 5), {"d": 1, "z": 2}), ((), {}),
             ((1,), {"a": 3, "d": 1}), ((1,), {"b": 9, "d": 1}), ((1, 2, 3), {"c": 1, "d": 1})]
    for fn, own in ((shaped, "(a, b=2, /, c=3, *rest, d, e=5, **more)"), (named_guard, "(*args, **kwargs)")):
        w = rg.runtimeguard()(fn)
        assert str(inspect.signature(w, follow_wrapped=False)) == own
        for args, kwargs in calls + [(("g",), {}), (("g",), {"x": 2})]:
            outcomes = []
            for call in (fn, w, lambda *a, **k: operator.call(w, *a, **k)):
                try:
                    outcomes.append(call(*args, **kwargs))
                except TypeError as e:
                    outcomes.append(str(e))
            assert outcomes[0] == outcomes[1] == outcomes[2], (fn, args, kwargs, outcomes)
    assert w.__defaults__ is None and rg.runtimeguard()(shaped).__defaults__ == (2, 3)

    reports.clear()
    w = rg.runtimeguard()(shaped)
    with pytest.raises(TypeError, match=r"<locals>.shaped\(\) missing 1 required keyword-only argument: 'd'$"):
        w(1)  # bound by the wrapper's own code: refused before any report
    with pytest.raises(TypeError, match="got multiple values for argument 'c'"):
        operator.call(w, 1, 2, 3, c=1, d=1)  # from C, as Qt calls a slot
    assert reports == [] and w(1, d=0) and len(reports) == 1

"""Host bindings: telemetry switch, usage URL, resolvers, the settings flag, the auth preload."""

import builtins
import importlib.abc
import importlib.util
import logging
import sys
import threading
import types

import pytest

import orlune.auth
import orlune.auth.plans as plans
import orlune.auth.storage as storage
import orlune.auth.validator as validator
import orlune.utils.package_info as package_info
from conftest import rg_messages
from orlune.app import AppContext, ConfigManager
from support_upload import Abort, module_records  # noqa: F401

PRELOAD_FAILED = "runtime_guard: auth preload failed"
DISABLED = "Usage tracking disabled ([Telemetry] enabled=false)"


@pytest.mark.parametrize("value, on", [
    (None, True), ("", True), ("1", True), ("yes", True), ("disabled", True), ("n", True),
    ("f", True), ("0", False), ("false", False), ("NO", False), (" Off ", False), ("\toff\n", False),
])
def test_telemetry_switch(rg, monkeypatch, value, on):
    monkeypatch.delenv("ORLUNE_TELEMETRY", raising=False)
    if value is not None:
        monkeypatch.setenv("ORLUNE_TELEMETRY", value)
    assert rg._telemetry_on() is on


@pytest.mark.parametrize("given, expected", [
    (None, ""), ("   ", ""),
    ("https://h.test/api/validate?x=/api/validate", "https://h.test/api/usage?x=/api/usage"),
    ("https://h.test/base/", "https://h.test/base/api/usage"),
    ("  https://h.test/api/check ", "https://h.test/api/api/usage"),
    ("localhost", "localhost/api/usage"),
    # A bare origin keeps its host; cutting at the scheme's "/" would send the key elsewhere.
    ("https://telemetry.example.test", "https://telemetry.example.test/api/usage"),
    (" http://user@127.0.0.1:8765 ", "http://user@127.0.0.1:8765/api/usage"),
    # Not a bare origin: the text rule applies as it is.
    ("://h.test", "://api/usage"), ("1http://h.test", "1http://api/usage"),
    ("http://", "http://api/usage"),
])
def test_usage_url(rg, given, expected):
    assert rg._usage_url(given) == expected == rg._usage_url(validate_url=given)


def test_resolvers_ask_the_host_on_every_call(rg, monkeypatch):
    monkeypatch.setattr(validator, "_DEFAULT_VALIDATION_URL", "https://a.test/api/validate")
    monkeypatch.setattr(validator, "_SERVER_API_KEY", "k1")
    assert rg._resolve_endpoint() == ("https://a.test/api/usage", "k1")
    monkeypatch.setattr(validator, "_SERVER_API_KEY", None)
    monkeypatch.setattr(rg, "_usage_url", lambda url: "late:" + url)  # looked up per call
    assert rg._resolve_endpoint() == ("late:https://a.test/api/validate", "")
    monkeypatch.setattr(rg, "_usage_url", lambda url: 1 / 0)
    assert rg._resolve_endpoint() == ("", "")

    def abort():
        raise Abort

    for host, name, resolver, cases in [
        (validator, "_get_machine_id", rg._resolve_machine_id,
         [("x" * 200, "x" * 128), (None, ""), (["a"] * 130, ["a"] * 128)]),
        (package_info, "get_version", rg._resolve_app_version,
         [("v" * 80, "v" * 64), (None, "None"), (3.5, "3.5")]),
    ]:
        for value, expected in cases:
            monkeypatch.setattr(host, name, lambda v=value: v)
            assert resolver() == expected
        monkeypatch.setattr(host, name, lambda: 1 / 0)
        assert resolver() == ""
        monkeypatch.setattr(host, name, abort)
        with pytest.raises(Abort):
            resolver()


def test_token_fields(rg, monkeypatch):
    assert rg._resolve_token_fields() == ("", "free")  # no token stored
    storage.save_token("  tok-9  ", "Team")
    assert rg._resolve_token_fields() == ("tok-9", "team")
    labels = []
    for label in ("", None):
        monkeypatch.setattr(plans, "plan_label", lambda t, r=label: labels.append(t) or r)
        assert rg._resolve_token_fields() == ("tok-9", "free")
    storage.save_token("   ", "pro")  # blank id: the plan is not asked for
    assert rg._resolve_token_fields() == ("", "free") and labels == ["Team", "Team"]
    storage.save_token("tok-9", "pro")
    monkeypatch.setattr(plans, "plan_label", lambda t: 1 / 0)  # the id read first is dropped
    assert rg._resolve_token_fields() == ("", "free")


def test_auth_package_absent(rg, rg_logs, monkeypatch):
    monkeypatch.setattr(rg, "_auth_ready", False)
    monkeypatch.setitem(sys.modules, "orlune.auth.validator", None)
    assert rg._resolve_endpoint() == ("", "") and rg._resolve_machine_id() == ""
    rg._ensure_auth_ready()
    # One preload from the endpoint, one direct; the machine id does not preload.
    assert rg_messages(rg_logs, logging.DEBUG) == [PRELOAD_FAILED] * 2
    assert all(issubclass(r.exc_info[0], ImportError) for r in module_records(rg_logs))
    assert rg._auth_ready is False and not rg._auth_ready_lock.locked()


def test_auth_submodule_substituted_in_sys_modules(rg, rg_logs, monkeypatch):
    # A stand-in put in sys.modules is not an attribute of its package; the import statement
    # finds it all the same.
    fake = types.ModuleType(validator.__name__)
    fake._DEFAULT_VALIDATION_URL, fake._SERVER_API_KEY = "https://h.test/api/validate", "key"
    monkeypatch.setitem(sys.modules, validator.__name__, fake)
    monkeypatch.delattr(orlune.auth, "validator")
    monkeypatch.setattr(rg, "_auth_ready", False)
    rg._ensure_auth_ready()
    assert rg._auth_ready is True and rg_messages(rg_logs) == []
    assert rg._resolve_endpoint() == ("https://h.test/api/usage", "key")


def test_static_helpers_call_the_module_functions_late(rg, monkeypatch):
    for n in range(2):
        for helper, resolver in [("_machine_id", "_resolve_machine_id"), ("_endpoint", "_resolve_endpoint"),
                                 ("_token_fields", "_resolve_token_fields"),
                                 ("_app_version", "_resolve_app_version")]:
            monkeypatch.setattr(rg, resolver, lambda r=resolver, n=n: (r, n))
            assert getattr(rg.RuntimeGuarder, helper)() == getattr(rg.RuntimeGuarder(None), helper)() == (resolver, n)


class Settings:
    """Both the app context and its "config_manager"."""

    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def get_component(self, name):
        return self if name == "config_manager" else None

    def get_value(self, section, key, default):
        assert (section, key, default) == ("Telemetry", "enabled", True)
        if self.error:
            raise self.error
        return self.value


@pytest.mark.parametrize("value, enabled", [
    (False, False), (0, False), (None, False), ("", False), (True, True), ("false", True), (2, True),
])
def test_reload_flags(rg, rg_logs, value, enabled):
    g = rg.RuntimeGuarder(Settings(value))
    g._enabled = not enabled
    g._reload_flags()
    assert g._enabled is enabled
    assert rg_messages(rg_logs, logging.INFO) == ([] if enabled else [DISABLED])
    for unchanged in (rg.RuntimeGuarder(None), rg.RuntimeGuarder(AppContext())):  # no settings
        unchanged._enabled = enabled
        unchanged._reload_flags()
        assert unchanged._enabled is enabled
    with pytest.raises(KeyError):
        rg.RuntimeGuarder(Settings(error=KeyError("broken")))._reload_flags()


def test_reload_flags_with_host_settings(rg, tmp_path):
    ctx = AppContext()
    config = ctx.register("config_manager", ConfigManager(tmp_path / "settings.ini", ctx))
    g = rg.RuntimeGuarder(ctx)
    g._reload_flags()
    assert g._enabled is True
    config.set_value("Telemetry", "enabled", False)
    g._reload_flags()
    assert g._enabled is False


class GatedValidator(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Serves `orlune.auth.validator`; executing it waits for `gate`, then raises `error`."""

    NAME = "orlune.auth.validator"

    def __init__(self, error=None):
        self.error, self.executed = error, 0
        self.entered, self.gate = threading.Event(), threading.Event()

    def find_spec(self, name, path=None, target=None):
        return importlib.util.spec_from_loader(name, self) if name == self.NAME else None

    def create_module(self, module_spec):
        return None

    def exec_module(self, module):
        self.executed += 1
        self.entered.set()
        self.gate.wait(10)
        if self.error:
            raise self.error


@pytest.fixture
def fresh_auth(rg, monkeypatch):
    """serve(error) installs a GatedValidator for a not-yet-imported validator; `imports` lists
    the threads that asked the import system for it."""
    monkeypatch.setattr(rg, "_auth_ready", False)
    monkeypatch.delitem(sys.modules, GatedValidator.NAME)
    monkeypatch.delattr(orlune.auth, "validator")
    imports, real_import = [], builtins.__import__

    def counting_import(name, *args, **kwargs):
        if name == GatedValidator.NAME:
            imports.append(threading.current_thread().name)
        return real_import(name, *args, **kwargs)

    def serve(error=None):
        finder = GatedValidator(error)
        monkeypatch.setattr(sys, "meta_path", [finder] + sys.meta_path)
        return finder

    monkeypatch.setattr(builtins, "__import__", counting_import)
    return serve, imports


def test_auth_preload_two_threads_import_once(rg, monkeypatch, fresh_auth):
    serve, imports = fresh_auth
    finder = serve()
    second_waits = threading.Event()
    real_lock = threading.Lock()

    class WatchedLock:  # `with` only: the lock is taken through the context-manager protocol
        def __enter__(self):
            if threading.current_thread().name == "second":
                second_waits.set()
            return real_lock.__enter__()

        def __exit__(self, *exc):
            return real_lock.__exit__(*exc)

    monkeypatch.setattr(rg, "_auth_ready_lock", WatchedLock())
    threads = [threading.Thread(target=rg._ensure_auth_ready, name=n) for n in ("first", "second")]
    threads[0].start()
    assert finder.entered.wait(5)  # the first thread is importing, holding the lock
    threads[1].start()
    assert second_waits.wait(5)
    finder.gate.set()
    for t in threads:
        t.join(5)
        assert not t.is_alive()
    assert imports == ["first"] and finder.executed == 1 and rg._auth_ready is True
    monkeypatch.setattr(rg, "_auth_ready_lock", None)  # once loaded, no lock is taken
    rg._ensure_auth_ready()
    assert imports == ["first"] and not real_lock.locked()


def test_auth_preload_retries_after_failure(rg, rg_logs, fresh_auth):
    serve, imports = fresh_auth
    finder = serve(error=ImportError("partially initialized module"))
    finder.gate.set()
    rg._ensure_auth_ready()
    rg._ensure_auth_ready()
    assert finder.executed == 2 and rg._auth_ready is False and not rg._auth_ready_lock.locked()
    assert rg_messages(rg_logs, logging.DEBUG) == [PRELOAD_FAILED] * 2
    assert all(r.exc_info[0] is ImportError for r in module_records(rg_logs))
    finder.error = Abort()
    with pytest.raises(Abort):
        rg._ensure_auth_ready()
    assert rg._auth_ready is False and not rg._auth_ready_lock.locked()
    finder.error = None
    rg._ensure_auth_ready()
    assert rg._auth_ready is True and finder.executed == 4 and len(imports) == 4

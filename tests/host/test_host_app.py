import logging
import threading

import pytest

from orlune.app import ConfigManager, LoggingPanel, build_app_context
from orlune.core.base_component import ApplicationComponent, ComponentState


@pytest.fixture
def ini(tmp_path):
    path = tmp_path / "settings.ini"
    path.write_text(
        "[telemetry]\n"
        "on_a = true\non_b =  YES \non_c = On\non_d = 1\n"
        "off_a = false\noff_b = No\noff_c = OFF\noff_d = 0\n"
        "url = http://h/%(x)s\nempty =\n",
        encoding="utf-8")
    return path


def test_config_values_and_defaults(ini, tmp_path):
    cfg = ConfigManager(ini)
    for key in ("on_a", "on_b", "on_c", "on_d"):
        assert cfg.get_value("telemetry", key, None) is True, key
    for key in ("off_a", "off_b", "off_c", "off_d"):
        assert cfg.get_value("telemetry", key, None) is False, key
    assert cfg.get_value("telemetry", "url", None) == "http://h/%(x)s"
    assert cfg.get_value("telemetry", "empty", "d") == ""
    assert cfg.get_value("telemetry", "missing", "d") == cfg.get_value("none", "on_a", "d") == "d"
    assert ConfigManager(tmp_path / "absent.ini").get_value("telemetry", "on_a", "d") == "d"
    (tmp_path / "broken.ini").write_text("no section header\n")
    assert ConfigManager(tmp_path / "broken.ini").get_value("a", "b", "d") == "d"


def test_config_rereads_file_and_set_value_preserves_rest(ini):
    cfg = ConfigManager(ini)
    ini.write_text(ini.read_text() + "\n[ui]\ntheme = dark\n")
    assert cfg.get_value("ui", "theme", None) == "dark"
    cfg.set_value("telemetry", "on_a", False)
    cfg.set_value("new", "port", 8765)
    assert cfg.get_value("telemetry", "on_a", None) is False
    assert cfg.get_value("new", "port", None) == "8765"
    assert cfg.get_value("ui", "theme", None) == "dark"
    assert cfg.get_value("telemetry", "url", None) == "http://h/%(x)s"


@pytest.fixture
def log():
    logger = logging.getLogger("orlune.test.panel")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    yield logger
    logger.handlers.clear()


def test_panel_keeps_last_records_in_order(log):
    panel = LoggingPanel(capacity=3)
    panel.attach(log)
    for i in range(5):
        log.info("msg %d", i)
    # Formatting fails; the panel keeps the raw text. The record goes to the panel's handler
    # alone: other handlers on the logger (pytest's capture among them) may raise on it.
    bad = log.makeRecord(log.name, logging.WARNING, __file__, 0, "bad args %d", ("x",), None)
    panel.handler.handle(bad)
    recent = panel.get_recent_logs()
    assert [r["message"] for r in recent] == ["msg 3", "msg 4", "bad args %d"]
    assert [r["level"] for r in recent] == ["INFO", "INFO", "WARNING"]
    assert recent[0]["timestamp"] <= recent[-1]["timestamp"]
    assert [r["message"] for r in panel.get_recent_logs(1)] == ["bad args %d"]
    assert panel.get_recent_logs(0) == []
    recent.clear()
    assert len(panel.get_recent_logs()) == 3
    panel.detach()
    log.info("after detach")
    assert panel.get_recent_logs(1)[0]["message"] == "bad args %d"


def test_panel_under_concurrent_logging(log):
    panel = LoggingPanel(capacity=10_000)
    panel.attach(log)
    threads = [threading.Thread(target=lambda n=n: [log.info("t%d %d", n, i) for i in range(500)])
               for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    messages = [r["message"] for r in panel.get_recent_logs(10_000)]
    assert len(messages) == 4000
    t0 = [m for m in messages if m.startswith("t0 ")]
    assert t0 == [f"t0 {i}" for i in range(500)]


def test_app_context_lifecycle(tmp_path):
    ctx = build_app_context(tmp_path / "c.ini")
    panel = ctx.get_component("logger")
    try:
        assert isinstance(ctx.get_component("config_manager"), ConfigManager)
        assert ctx.get_component("nope") is None
        assert panel.state is ComponentState.INITIALIZED
        assert panel.handler in logging.getLogger().handlers

        class Plain(ApplicationComponent):  # no overrides needed to instantiate
            pass

        extra = ctx.register("extra", Plain("extra", None))
        assert extra.app_context is ctx and extra.dependencies == []
        with pytest.raises(ValueError):
            ctx.register("extra", Plain("extra", ctx))
        assert ctx.initialize_all() and extra.state is ComponentState.INITIALIZED
    finally:
        ctx.shutdown()
    assert panel.state is ComponentState.STOPPED
    assert panel.handler not in logging.getLogger().handlers

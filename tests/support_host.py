"""A stand-in host context for the component, and the collector it reports to."""

import pytest

from orlune.app import AppContext, ConfigManager
from support_upload import API_KEY, endpoint  # noqa: F401


@pytest.fixture
def collector(endpoint):  # noqa: F811
    return endpoint


class Panel:
    """A logging panel that serves fixed records, or raises when asked."""

    def __init__(self, records=(), error=None):
        self.records, self.error = list(records), error

    def get_recent_logs(self, count=1000):
        if self.error:
            raise self.error
        return self.records[-count:]


def make_context(tmp_path, *, enabled=None, panel=None):
    ctx = AppContext()
    config = ConfigManager(tmp_path / "settings.ini", ctx)
    if enabled is not None:
        config.set_value("Telemetry", "enabled", enabled)
    ctx.register("config_manager", config)
    if panel is not None:
        ctx.register("logger", panel)
    return ctx

"""Application context and its built-in components."""

import os

from orlune.app.config import ConfigManager
from orlune.app.context import AppContext
from orlune.app.logging_panel import LoggingPanel

__all__ = ["AppContext", "ConfigManager", "LoggingPanel", "build_app_context"]


def build_app_context(config_path: str | os.PathLike[str], *, attach_panel: bool = True) -> AppContext:
    """Context with ``config_manager`` and ``logger`` registered and initialised.

    With ``attach_panel`` the log panel listens on the root logger.
    """
    ctx = AppContext()
    ctx.register("config_manager", ConfigManager(config_path, ctx))
    panel = ctx.register("logger", LoggingPanel(app_context=ctx))
    if attach_panel:
        panel.attach()
    ctx.initialize_all()
    return ctx

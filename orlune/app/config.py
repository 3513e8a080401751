"""INI-file settings, re-read on every lookup so edits apply without a restart."""

import configparser
import logging
import os
import threading
from pathlib import Path
from typing import Any

from orlune.core.base_component import ApplicationComponent
from orlune.utils.files import atomic_write

logger = logging.getLogger("orlune.app.config")

_TRUE = {"true", "yes", "on", "1"}
_FALSE = {"false", "no", "off", "0"}


class ConfigManager(ApplicationComponent):
    """Component ``config_manager``. Keys are case-insensitive, sections are not."""

    def __init__(self, path: str | os.PathLike[str], app_context: Any = None) -> None:
        super().__init__("config_manager", app_context)
        self.path = Path(path)
        self._write_lock = threading.Lock()

    def _read(self) -> configparser.ConfigParser:
        parser = configparser.ConfigParser(interpolation=None)
        try:
            parser.read(self.path, encoding="utf-8")
        except (configparser.Error, UnicodeDecodeError) as exc:
            # A broken file must not take the application down; defaults apply.
            logger.warning("ignoring unreadable config %s: %s", self.path, exc)
            return configparser.ConfigParser(interpolation=None)
        return parser

    def get_value(self, section: str, key: str, default: Any = None) -> Any:
        """Value as bool for true/yes/on/1 and false/no/off/0, else the raw string."""
        parser = self._read()
        if not parser.has_option(section, key):
            return default
        raw = parser.get(section, key)
        word = raw.strip().lower()
        if word in _TRUE:
            return True
        if word in _FALSE:
            return False
        return raw

    def set_value(self, section: str, key: str, value: object) -> None:
        if isinstance(value, bool):
            value = "true" if value else "false"
        with self._write_lock:
            parser = self._read()
            if not parser.has_section(section):
                parser.add_section(section)
            parser.set(section, key, str(value))
            self.path.parent.mkdir(parents=True, exist_ok=True)
            atomic_write(self.path, parser.write, prefix=".config-")

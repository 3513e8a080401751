"""Base class and lifecycle states for application components."""

import abc
import enum
import logging
from typing import Any

logger = logging.getLogger("orlune.core.base_component")


class ComponentState(enum.Enum):
    CREATED = "created"
    INITIALIZED = "initialized"
    STOPPED = "stopped"


class ApplicationComponent(abc.ABC):
    """A named part of the application owned by an ``AppContext``.

    Subclasses override ``initialize`` and ``cleanup`` as needed; the base
    implementations are no-ops so that any subclass (including native ones)
    is instantiable without declaring anything further.
    """

    def __init__(self, name: str, app_context: Any) -> None:
        self.name = name
        self.app_context = app_context
        self.state = ComponentState.CREATED
        self.dependencies: list[str] = []

    def set_state(self, state: ComponentState) -> None:
        logger.debug("component %s: %s -> %s", self.name, self.state, state)
        self.state = state

    def initialize(self) -> bool:
        return True

    def cleanup(self) -> None:
        return None

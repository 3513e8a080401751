"""Registry of application components and their lifecycle."""

import logging
from typing import Any, TypeVar

from orlune.core.base_component import ApplicationComponent, ComponentState

_C = TypeVar("_C", bound=ApplicationComponent)

logger = logging.getLogger("orlune.app.context")


class AppContext:
    """Holds components by name; initialises them in order, cleans up in reverse."""

    def __init__(self) -> None:
        self._components: dict[str, Any] = {}

    def register(self, name: str, component: _C) -> _C:
        if name in self._components:
            raise ValueError(f"component {name!r} is already registered")
        if getattr(component, "app_context", None) is None:
            component.app_context = self
        self._components[name] = component
        return component

    def get_component(self, name: str) -> Any:
        return self._components.get(name)

    def names(self) -> list[str]:
        return list(self._components)

    def initialize_all(self) -> bool:
        """Initialise components still in CREATED; True if all succeeded."""
        ok = True
        for name, comp in list(self._components.items()):
            if comp.state is not ComponentState.CREATED:
                continue
            try:
                done = comp.initialize()
            except Exception:
                logger.exception("component %s failed to initialise", name)
                done = False
            if done:
                comp.set_state(ComponentState.INITIALIZED)
            else:
                logger.warning("component %s did not initialise", name)
                ok = False
        return ok

    def shutdown(self) -> None:
        """Clean up every component not yet stopped, newest first."""
        for name, comp in reversed(list(self._components.items())):
            if comp.state is ComponentState.STOPPED:
                continue
            try:
                comp.cleanup()
            except Exception:
                logger.exception("component %s failed to clean up", name)
            comp.set_state(ComponentState.STOPPED)

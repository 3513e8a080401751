"""Version of the running application."""

from importlib import metadata

__version__ = "0.1.0"


def get_version() -> str:
    """Installed distribution version, or ``__version__`` when run from source."""
    try:
        return metadata.version("orlune")
    except metadata.PackageNotFoundError:
        return __version__

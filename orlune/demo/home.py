"""The demo's home directory: a fresh temporary one, or the user's --home, checked up front."""

import shutil
import tempfile
from pathlib import Path


class HomeError(Exception):
    """The home directory cannot be used; the message names it and says why."""


def prepare(requested):
    """(home, temporary): a new temporary directory, or ``requested`` created if missing.

    A bad place fails here, in one sentence, rather than as a traceback from the first
    child process that tries to write there.
    """
    if requested is None:
        return Path(tempfile.mkdtemp(prefix="orlune-demo-")).resolve(), True
    home = Path(requested).expanduser().resolve()
    if home.exists() and not home.is_dir():
        raise HomeError(f"--home {home} is not a directory")
    try:
        home.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=home):  # permissions can say yes where writes fail
            pass
    except OSError as exc:
        raise HomeError(f"cannot use --home {home}: {exc.strerror or exc}") from None
    return home, False


def finish(home, temporary, keep):
    """Remove a temporary home unless asked to keep it; a line saying what happened, or None."""
    if not temporary:
        return None
    if keep:
        return f"kept {home} (--keep); remove it when done"
    shutil.rmtree(home, ignore_errors=True)
    return f"removed the temporary home {home} (--keep keeps it)"

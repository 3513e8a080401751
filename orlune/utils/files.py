"""Small file helpers shared by the host's settings and account storage."""

import os
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import TextIO


def atomic_write(path: Path, write: Callable[[TextIO], object], *, prefix: str = ".tmp-") -> None:
    """Write ``path`` through a temporary file (mode 0600) in its directory and an atomic rename.

    ``write`` receives the open text file. Readers see the old file or the new one, never a
    partial one; on any failure the temporary file is removed and the error re-raised.
    """
    fd, tmp = tempfile.mkstemp(dir=os.fspath(path.parent), prefix=prefix)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            write(f)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise

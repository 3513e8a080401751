"""PyInstaller hooks shipped with the package (found through the ``pyinstaller40`` entry point).

A frozen application finds ``orlune.core.runtime_guard`` as a binary of the package, but the
imports the extension makes from C++ are invisible to PyInstaller's analysis; the hook here
names them.
"""

import os


def get_hook_dirs():
    return [os.path.dirname(__file__)]

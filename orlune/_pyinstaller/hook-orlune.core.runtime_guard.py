# Every module the extension passes to __import__, at import and later at run time: the
# C++ code imports them by name, so PyInstaller's analysis cannot see them. Their own imports
# are Python code and are found as usual. tests/test_pyinstaller_hook.py keeps this list and
# the C++ sources in step.
import sys
from importlib.metadata import PackageNotFoundError

from PyInstaller.utils.hooks import copy_metadata

hiddenimports = [
    # the module body
    "atexit",
    "collections.abc",
    "datetime",
    "functools",
    "inspect",
    "json",
    "logging",
    "os",
    "pathlib",
    "platform",
    "re",
    "threading",
    "typing",
    "uuid",
    "orlune.core.base_component",
    # at run time: the fork hook, the upload, the resolvers
    "weakref",
    "requests",
    "orlune.core.payload_crypto",
    "orlune.auth.validator",
    "orlune.auth.plans",
    "orlune.auth.storage",
    "orlune.utils.package_info",
]
# Imported only on interpreters older than the version given: the decorator of a coroutine
# function marks it with asyncio's own marker there, with inspect's from 3.12.
imported_before = {"asyncio.coroutines": (3, 12)}
hiddenimports += [name for name, version in imported_before.items() if sys.version_info < version]

# get_version() reads the installed distribution's version; without its metadata a frozen
# app would report the source fallback instead. From a checkout the fallback is all there is.
try:
    datas = copy_metadata("orlune")
except PackageNotFoundError:
    datas = []

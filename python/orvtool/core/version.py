"""The version of the distribution, and the check that the `pyorv` module
imported beside orvtool is the one built with it.

The version is written once, in pyproject.toml; the installed metadata carries
it to orvtool, and the build passes it to both modules, pyorv and orvtool's
own `_native`. The metadata is read only when the version is asked for
(`orvtool --version`, `orvtool.__version__`): reading it takes longer than
a command's other imports together. A command checks pyorv against the
version built into orvtool's own module.
"""

from __future__ import annotations

import functools
from types import ModuleType

DISTRIBUTION = "pyorv"


@functools.lru_cache(maxsize=None)
def installed_version() -> str:
    """The distribution's version as its installed metadata gives it."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(DISTRIBUTION)
    except PackageNotFoundError:
        return "unknown"


def core_version() -> str:
    """The version of the core as the `pyorv` module found on the path
    reports it (the native module alone, without numpy or Pillow), and where
    that module lies when it is not orvtool's own."""
    try:
        import pyorv
    except ImportError as exc:
        return f"unavailable ({exc})"
    found = str(getattr(pyorv, "__version__", "unknown"))
    if found != installed_version():
        found += f" (pyorv from {getattr(pyorv, '__file__', None) or 'an unknown location'})"
    return found


def __getattr__(name: str) -> str:
    if name == "__version__":
        return installed_version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class PyorvMismatch(ImportError):
    """The `pyorv` found on the path is not the one installed with orvtool."""


def check_pyorv(module: ModuleType) -> None:
    """Refuses a `pyorv` module of another version than orvtool's: the records
    and diagnostics orvtool relies on are those of its own build."""
    from orvtool.core.native import BUILD_VERSION

    found = getattr(module, "__version__", None)
    if found != BUILD_VERSION:
        where = getattr(module, "__file__", None) or "an unknown location"
        raise PyorvMismatch(
            f"orvtool {BUILD_VERSION} needs pyorv {BUILD_VERSION}, but the pyorv imported from {where} "
            f"is version {found}; install orvtool and pyorv from the same distribution"
        )

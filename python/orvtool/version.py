"""The version of the distribution, and the check that the `pyorv` module
imported beside orvtool is the one built with it.

The version is written once, in pyproject.toml; the installed metadata carries
it to orvtool and the build passes it to the module.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version
from types import ModuleType

DISTRIBUTION = "pyorv"


def _installed_version() -> str:
    try:
        return version(DISTRIBUTION)
    except PackageNotFoundError:
        return "unknown"


__version__ = _installed_version()


class PyorvMismatch(ImportError):
    """The `pyorv` found on the path is not the one installed with orvtool."""


def check_pyorv(module: ModuleType) -> None:
    """Refuses a `pyorv` module of another version than orvtool's: the records
    and diagnostics orvtool relies on are those of its own build."""
    found = getattr(module, "__version__", None)
    if found != __version__:
        where = getattr(module, "__file__", None) or "an unknown location"
        raise PyorvMismatch(
            f"orvtool {__version__} needs pyorv {__version__}, but the pyorv imported from {where} "
            f"is version {found}; install orvtool and pyorv from the same distribution"
        )

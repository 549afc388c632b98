"""Tools for Quarro animation files, built on pyorv."""

__version__ = "0.8.0"

from .images import to_numpy, to_pil  # noqa: E402

__all__ = ["to_numpy", "to_pil", "__version__"]

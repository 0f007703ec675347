"""The installed package's version, as the maps files and the command line
record it.

Looked up only when asked for: finding it imports importlib.metadata, which
takes longer to import than the package itself.
"""

from __future__ import annotations

import functools

__all__ = ["package_version"]


@functools.cache
def package_version() -> str:
    """quillet's version as installed, or "0+unknown" in a source tree that
    was never installed."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quillet")
    except PackageNotFoundError:
        return "0+unknown"

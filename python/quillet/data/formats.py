"""The registry of maps formats and pictures: how maps reach the code that
writes, reads and draws them without importing it.

The maps classes (`quillet.data.maps.Maps` and its kinds) live in this
layer; the files and pictures they are written to live in the front ends,
above. A front-end module registers what it writes here, by format name
(``"fits"``, ``"zarr"``) and by kind of maps (``"line"``, ``"model"``,
``"moments"``), and `Maps.write`, `Maps.read` and `Maps.plot_maps` look them
up when called. `quillet.front.formats` registers every format and picture
of the package, and ``import quillet`` imports it first thing, so that every
user who imported the package finds them, as astropy's I/O registry is
filled by the modules its package imports.

This module imports nothing but the package's errors and the lightest of
the standard library (no dataclasses, no pathlib), so that ``import
quillet`` costs nothing for it.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, NamedTuple

from ..basics.errors import InputError

if TYPE_CHECKING:
    from collections.abc import Callable
    from pathlib import Path

__all__ = [
    "MapsFormat",
    "format_named",
    "format_names",
    "format_of_path",
    "plotter_of",
    "register_format",
    "register_plotter",
]


class MapsFormat(NamedTuple):
    """One format of maps on disk.

    ``write(maps, path, *, overwrite, progress)`` writes any maps (lazy maps
    block by block) and returns the path; ``read(path)`` returns the maps a
    file holds, of the kind it holds, or is None for a format written only.
    ``suffixes`` are the endings (lower case, with their dot) that name the
    format, and ``folder`` says whether its output is a folder."""

    name: str
    suffixes: tuple[str, ...]
    write: Callable[..., Path]
    read: Callable[[Path], Any] | None = None
    folder: bool = False


_FORMATS: dict[str, MapsFormat] = {}
_PLOTTERS: dict[str, Callable[..., Any]] = {}


def register_format(fmt: MapsFormat) -> None:
    """Adds a format (or replaces the one of its name)."""
    _FORMATS[fmt.name] = fmt


def register_plotter(kind: str, plot: Callable[..., Any]) -> None:
    """Sets how maps of ``kind`` are drawn: ``plot(maps, path, *,
    overwrite, **options)`` returns a matplotlib Figure, saved to ``path``
    when it is not None."""
    _PLOTTERS[kind] = plot


def format_names() -> tuple[str, ...]:
    """The names of the formats registered, in the order of registration."""
    return tuple(_FORMATS)


def format_named(name: str) -> MapsFormat:
    """The format of that name; an `InputError` naming the known ones for
    any other."""
    try:
        return _FORMATS[name]
    except KeyError:
        known = ", ".join(_FORMATS) or "none"
        raise InputError(f"no maps format is named {name!r}; the formats are {known}") from None


def format_of_path(path: str | os.PathLike[str]) -> MapsFormat:
    """The format that a path's ending names (``maps.fits``, ``maps.zarr``)."""
    name = os.path.basename(os.fspath(path)).lower()
    for fmt in _FORMATS.values():
        if any(name.endswith(suffix) for suffix in fmt.suffixes):
            return fmt
    endings = ", ".join(suffix for fmt in _FORMATS.values() for suffix in fmt.suffixes)
    raise InputError(
        f"{os.fspath(path)}: the ending names no maps format; end it with one of {endings}, "
        "or name the format (format=...)"
    )


def plotter_of(kind: str) -> Callable[..., Any]:
    """How maps of ``kind`` are drawn."""
    try:
        return _PLOTTERS[kind]
    except KeyError:
        raise InputError(f"no picture is registered for maps of kind {kind!r}") from None

"""Every format and picture of maps, registered with `quillet.data.formats`.

This is where `Maps.write`, `Maps.read` and `Maps.plot_maps` find the code
that writes, reads and draws maps, which lives in the front ends above the
maps classes: FITS files and Zarr stores (`quillet.front.maps_files`), the
pictures of a Gaussian fit's maps and of moments (`quillet.front.plots`) and
of a line model's (`quillet.front.model_plots`). ``import quillet`` imports
this module first thing, so that every user of the package finds them.

It stays light: each function here imports its module when first called,
so that importing the package loads neither astropy nor matplotlib. A new
format is a module of its own beside `maps_files`, with a writer
``write(maps, path, *, overwrite, progress)`` (and a reader, if it reads),
and one `register_format` below; a new kind of maps registers its picture
with one `register_plotter`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ..data.formats import MapsFormat, register_format, register_plotter

if TYPE_CHECKING:
    import os
    from pathlib import Path

__all__: list[str] = []


def _write_fits(maps: Any, path: str | os.PathLike[str], **options: Any) -> Path:
    from .maps_files import write_maps

    return write_maps(maps, path, **options)


def _read_fits(path: Path) -> Any:
    from .maps_files import read_maps

    return read_maps(path)


def _write_zarr(maps: Any, path: str | os.PathLike[str], **options: Any) -> Path:
    from .maps_files import write_zarr

    return write_zarr(maps, path, **options)


def _plot_line(maps: Any, path: Any, **options: Any) -> Any:
    from .plots import plot_maps

    return plot_maps(maps, path, **options)


def _plot_model(maps: Any, path: Any, **options: Any) -> Any:
    from .model_plots import plot_model_maps

    return plot_model_maps(maps, path, **options)


def _plot_moments(maps: Any, path: Any, **options: Any) -> Any:
    from .plots import plot_moments

    return plot_moments(maps, path, **options)


register_format(MapsFormat("fits", (".fits", ".fit", ".fts"), _write_fits, _read_fits))
register_format(MapsFormat("zarr", (".zarr",), _write_zarr, folder=True))
register_plotter("line", _plot_line)
register_plotter("model", _plot_model)
register_plotter("moments", _plot_moments)

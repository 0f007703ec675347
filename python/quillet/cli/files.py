"""The files a command names: the cube read as the options say, images
named FILE or FILE[HDU] (a noise or a mask), the files a run reads (which
no output may be), and the pictures' formats.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import re
from pathlib import Path
from typing import Any

from .options import hdu_value
from .usage import UsageError, one_line

FITS_SUFFIXES = (".fits", ".fit", ".fts")


def read_named_cube(args: argparse.Namespace, chunks: Any = None) -> Any:
    from ..front.cube_files import read_cube

    try:
        return read_cube(
            args.cube,
            hdu=hdu_value(args.hdu),
            error_hdu=hdu_value(args.error_hdu),
            error_kind=args.error_kind,
            rest_wavelength=args.rest_wavelength,
            redshift=args.redshift,
            convention=args.convention,
            chunks=chunks,
        )
    except OSError as error:  # astropy's own words do not name the file
        raise UsageError(f"cannot read {args.cube} as FITS: {one_line(error)}") from None


def check_some_finite(cube: Any, path: Path) -> None:
    """A cube of NaN only would end as a run with every flag 1, reported as
    done: say so before any work. Blocks are read until the first finite
    pixel, so a cube with data costs one block."""
    import numpy as np

    from ..basics.arrays import is_dask_array
    from ..basics.rows import default_chunk_rows, row_blocks, take_rows

    data = cube.data
    where = f"HDU {cube.provenance['hdu']} of {path}"
    if 0 in cube.spatial_shape:
        raise UsageError(
            f"{where} holds no spectra: its spatial shape {cube.spatial_shape} has an axis of "
            "length 0; check --hdu"
        )
    infinite = False
    with contextlib.ExitStack() as here:
        if is_dask_array(data):  # read here, where the header was: not a task on the cluster
            import dask

            here.enter_context(dask.config.set(scheduler="synchronous"))
        for block in row_blocks(cube.spatial_shape, default_chunk_rows(data.shape[-1])):
            values = take_rows(data, block, data.ndim - 1)
            if np.isfinite(values).any():
                return
            infinite = infinite or bool(np.isinf(values).any())
    what = "every pixel is NaN or infinite" if infinite else "every pixel is NaN"
    raise UsageError(f"{where} has no finite pixel ({what}): nothing to fit; check --hdu")


def given_noise(args: argparse.Namespace, cube: Any, chunks: Any) -> Any:
    """--noise: None (auto), one value, or an image read from a FITS file."""
    if args.noise == "auto":
        return None
    try:
        value = float(args.noise)
    except ValueError:
        return pixel_image(args.noise, "--noise", cube, chunks)
    if not (math.isfinite(value) and value > 0.0):
        raise UsageError(
            f"--noise takes auto, a positive number or a FITS file, not {args.noise!r}"
        )
    return value


_FILE_AND_HDU = re.compile(r"^(?P<path>.+?)(\[(?P<hdu>[^\[\]]+)\])?$")


def pixel_image(text: str, option: str, cube: Any, chunks: Any) -> Any:
    """A FITS image named as FILE or FILE[HDU] (its name or index): a map
    of one value per spectrum (read whole: it is small), or a cube of the
    data's shape on disk, read a block at a time as the data are (scaled
    as its header says; on Dask, by the workers)."""
    import numpy as np

    from ..data.fits_files import open_fits
    from ..data.fits_images import ImageSource, Scaling, image_as_dask, image_in_memory

    match = _FILE_AND_HDU.match(text)
    path = Path(match["path"] if match else text)
    hdu = hdu_value(match["hdu"]) if match else None
    if not path.is_file():
        raise UsageError(
            f"{option} {text!r}: no such file; give auto, a positive number or a FITS file "
            "(FILE or FILE[HDU])"
        )
    with open_fits(path, option, memmap=True, do_not_scale_image_data=True) as hdul:
        if hdu is None:
            item = next((h for h in hdul if h.is_image and h.header.get("NAXIS", 0) > 0), None)
        else:
            try:
                item = hdul[hdu]
            except (KeyError, IndexError):
                item = None
        if item is None or not item.is_image or not item.header.get("NAXIS", 0):
            which = "no image" if hdu is None else f"no image HDU {hdu!r}"
            raise UsageError(f"{option}: {path} holds {which}; name its HDU as FILE[HDU]")
        spatial = tuple(cube.spatial_shape)
        shape = tuple(int(n) for n in item.shape)
        # Axes of length one beyond the data's (a degenerate Stokes axis) are dropped.
        extra = len(shape) - len(spatial) - 1
        drop = tuple(0 if i < extra and n == 1 else slice(None) for i, n in enumerate(shape))
        kept = tuple(n for i, n in enumerate(shape) if not (i < extra and n == 1))
        scaling = Scaling.of(item.header, item.data.dtype)
        if kept == spatial:
            raw = np.asarray(item.data[drop])
            values = raw.astype(np.float64) if scaling is None else scaling(raw)
            return values if option == "--noise" else values[..., None]
        axis = _spectral_axis_like(kept, spatial, cube.velocity.size)
        if axis is None:
            raise UsageError(
                f"{option}: HDU {item.name or hdul.index(item)} of {path} is {shape} but the "
                f"data have {spatial} spectra of {cube.velocity.size} channels; give a map of "
                "one value per spectrum or a cube of the data's shape"
            )
        source = ImageSource(hdul.index(item), scaling)
        if chunks is None:
            return image_in_memory(path, hdul, source, drop, axis)
        return image_as_dask(path, hdul, source, drop, axis, cube.data.chunks)


def _spectral_axis_like(
    shape: tuple[int, ...], spatial: tuple[int, ...], channels: int
) -> int | None:
    """The axis of an image (NumPy order) that runs along the spectra, when
    moving it last gives the data's shape; as FITS cubes store it, the
    first such axis from the slowest."""
    for axis in range(len(shape)):
        rest = shape[:axis] + shape[axis + 1 :]
        if shape[axis] == channels and rest == spatial:
            return axis
    return None


# Options that name what a command writes; every other path it is given is
# a file it reads, which no output may be.
_OUTPUT_OPTIONS = ("out", "plot", "diagnostics")


def files_read(args: argparse.Namespace) -> list[Path]:
    return [
        value for name, value in vars(args).items()
        if isinstance(value, Path) and name not in _OUTPUT_OPTIONS
    ]  # fmt: skip


def check_picture_format(path: Path, option: str) -> None:
    from ..front.plots import picture_formats

    formats = picture_formats()
    if path.suffix.lstrip(".").lower() not in formats:
        raise UsageError(
            f"{option} {path}: pictures are written as {', '.join(sorted(formats))}; "
            "name the file with one of these endings"
        )

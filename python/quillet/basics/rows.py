"""Spectra of an N-d array taken a block of rows at a time.

A cube is read as rows: one spectrum per position, positions in C order of
the spatial axes (every axis but the spectral one). A block of consecutive
rows is always a box of the array, a run along one spatial axis with the
axes before it fixed and the axes after it whole, so it is taken by basic
indexing alone: a view of a NumPy array or memmap, one read of an array-like
(h5py, zarr, a lazily scaled FITS image). Only the block is ever converted
or copied, never the cube. How many rows a block holds (in process, and
in a Dask task) is decided here too.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np

from .errors import InputError

__all__ = [
    "DEFAULT_CHUNK_BYTES",
    "RowBlock",
    "as_rows",
    "dask_chunks",
    "default_chunk_rows",
    "row_blocks",
    "take_rows",
]

Index = tuple[int | slice, ...]

#: Data per block of rows, as float32: large enough that one kernel call
#: fits thousands of spectra (its own cost is then negligible), small enough
#: that a few blocks (data, noise, the noise estimate's sort) stay well inside
#: a laptop's cache-friendly tens of megabytes, and a block takes a few tens of
#: milliseconds, so Ctrl-C and the progress bar answer at once.
DEFAULT_CHUNK_BYTES = 16 * 2**20


def default_chunk_rows(channels: int) -> int:
    """Spectra per block for spectra of ``channels`` channels."""
    return max(256, DEFAULT_CHUNK_BYTES // (4 * max(channels, 1)))


@dataclass(frozen=True)
class RowBlock:
    """Rows ``start`` to ``start + count`` of the flattened spatial axes,
    which ``index`` (one entry per leading spatial axis) selects."""

    start: int
    count: int
    index: Index


def row_blocks(spatial_shape: tuple[int, ...], chunk_rows: int) -> Iterator[RowBlock]:
    """Blocks of at most ``chunk_rows`` consecutive rows that cover every
    row once, in order."""
    if chunk_rows < 1:
        raise InputError(f"chunk_rows must be a positive number of spectra, not {chunk_rows}")
    if math.prod(spatial_shape) == 0:
        return
    start = 0
    for index, count in _boxes(spatial_shape, chunk_rows):
        yield RowBlock(start, count, index)
        start += count


def _boxes(shape: tuple[int, ...], chunk_rows: int) -> Iterator[tuple[Index, int]]:
    if not shape:
        yield (), 1
        return
    inner = math.prod(shape[1:])
    if inner <= chunk_rows:
        step = chunk_rows // inner
        for first in range(0, shape[0], step):
            last = min(first + step, shape[0])
            yield (slice(first, last),), (last - first) * inner
        return
    for first in range(shape[0]):
        for index, count in _boxes(shape[1:], chunk_rows):
            yield (first, *index), count


def take_rows(
    array: Any,
    block: RowBlock,
    spectral_axis: int,
    *,
    writable: bool = False,
    dtype: type[np.generic] = np.float32,
) -> np.ndarray:
    """The block's spectra of ``array`` as a (count, channels) C-contiguous,
    aligned array of ``dtype`` (float32, as the kernel takes them): a view
    when the array already is one, a converted copy of the block otherwise
    (``writable`` forces a copy that the caller may change)."""
    ndim = len(array.shape)
    key: list[int | slice] = [slice(None)] * ndim
    spatial = [axis for axis in range(ndim) if axis != spectral_axis]
    for axis, entry in zip(spatial, block.index, strict=False):
        key[axis] = entry
    box = np.asarray(array[tuple(key)])
    # Axes indexed by an integer are gone from the box.
    dropped = sum(
        1
        for axis, entry in zip(spatial, block.index, strict=False)
        if isinstance(entry, int) and axis < spectral_axis
    )
    box = np.moveaxis(box, spectral_axis - dropped, -1)
    return as_rows(box, block.count, writable=writable, dtype=dtype)


def as_rows(
    box: Any, count: int, *, writable: bool = False, dtype: type[np.generic] = np.float32
) -> np.ndarray:
    """Spectra whose spectral axis is last as (count, channels) rows the
    kernel takes: C-contiguous, aligned, native ``dtype``. A view when they
    already are (``writable`` forces a copy the caller may change); arrays
    that arrive by pickle may be contiguous yet unaligned, and are copied."""
    box = np.asarray(box)
    channels = int(box.shape[-1])
    rows: np.ndarray
    if (
        not writable
        and box.dtype == dtype
        and box.dtype.isnative
        and box.flags.c_contiguous
        and box.flags.aligned
    ):
        rows = box
    else:
        rows = np.array(box, dtype=dtype, order="C")
    return rows.reshape(count, channels)


def dask_chunks(spatial: tuple[int, ...], chunks: Any, channels: int) -> tuple[Any, ...]:
    """Dask chunks for a cube of ``spatial`` shape with its spectral axis
    last and whole: from "auto" (about 16 MB of float32 per block), a number
    of spectra per block (whole trailing axes, as `quillet.basics.rows` takes its
    blocks), or one block length per spatial axis."""
    if isinstance(chunks, str):
        if chunks != "auto":
            raise InputError(f"chunks must be 'auto', a number or a tuple, not {chunks!r}")
        chunks = default_chunk_rows(channels)
    if isinstance(chunks, (int, np.integer)):
        if chunks < 1:
            raise InputError(f"chunks must be a positive number of spectra, not {chunks}")
        lengths = []
        inner = 1
        for size in reversed(spatial):
            take = max(1, min(size, int(chunks) // inner))
            lengths.append(take)
            inner *= take
        return (*reversed(lengths), -1)
    given = tuple(chunks)
    if len(given) != len(spatial):
        raise InputError(
            f"chunks {given} must give one block length per spatial axis, {len(spatial)} here"
        )
    return (*given, -1)

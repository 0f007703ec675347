"""Images of FITS files read a block at a time, converted as they are read.

`LazyImage` takes an image (a memory map, or a `FitsData` reading its file
in place) and turns each block asked for into the values wanted: scaled
integers (BSCALE, BZERO, BLANK) to floats, a variance or inverse variance
to a one-sigma noise. Nothing is converted until a block is read, so a cube
of any size costs no memory to open, and a Dask task reads only its block.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

from .errors import InputError

__all__ = [
    "ERROR_KINDS",
    "FitsData",
    "ImageSource",
    "LazyImage",
    "Scaling",
    "ToSigma",
    "image_as_dask",
    "image_in_memory",
]


class LazyImage:
    """An image read on demand from a memory map and converted block by block:
    a scaled integer image (BSCALE, BZERO, BLANK) or a variance turned into a
    sigma, without holding the converted cube in memory.

    It supports what the fit needs of an array: ``shape``, ``dtype``,
    ``ndim``, and indexing by integers, slices and Ellipsis. ``axes`` orders
    its axes: axis i is axis ``axes[i]`` of the raw image.
    """

    def __init__(
        self,
        raw: Any,
        convert: Callable[[np.ndarray], np.ndarray] | None,
        axes: tuple[int, ...] | None = None,
    ) -> None:
        self._raw = raw
        self._convert = convert
        ndim = len(raw.shape)
        self._axes = tuple(range(ndim)) if axes is None else tuple(axes)
        self.shape = tuple(int(raw.shape[a]) for a in self._axes)
        self.ndim = len(self.shape)
        self.dtype = np.dtype(np.float64) if convert is not None else np.dtype(raw.dtype)

    def __len__(self) -> int:
        return int(self.shape[0])

    def __getitem__(self, key: Any) -> np.ndarray:
        key = _full_key(key, self.ndim)
        raw_key: list[Any] = [slice(None)] * self.ndim
        for entry, raw_axis in zip(key, self._axes, strict=True):
            raw_key[raw_axis] = entry
        block = self._raw[tuple(raw_key)]
        kept_raw = [a for a in range(self.ndim) if not isinstance(raw_key[a], int)]
        kept_here = [
            a for entry, a in zip(key, self._axes, strict=True) if not isinstance(entry, int)
        ]
        block = np.transpose(np.asarray(block), [kept_raw.index(a) for a in kept_here])
        return block if self._convert is None else self._convert(block)

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        whole = self[...]
        return whole if dtype is None else whole.astype(dtype)

    def moved(self, source: int, destination: int) -> LazyImage:
        """The same image with one axis moved, as `numpy.moveaxis` does."""
        order = list(range(self.ndim))
        order.insert(destination % self.ndim, order.pop(source % self.ndim))
        return LazyImage(self._raw, self._convert, tuple(self._axes[i] for i in order))


class FitsData:
    """The stored values of one image HDU of a FITS file, read a block at a
    time by whichever process asks: what a Dask task reads its block from.

    It pickles as the file's path and the data's place in it, never as data,
    so a cluster's workers read their blocks from storage they share instead
    of receiving the cube from the client. Each read maps the file afresh
    and hands out a view of the block, so the map lives as long as the block
    (until the task has converted it), not as long as the reader: a worker
    that kept maps open would count the file's pages it touched as its own
    memory, once per map, and Dask pauses a worker whose memory looks that
    full.
    """

    def __init__(
        self, path: Path, hdu: Any, drop: tuple[int | slice, ...], raw: np.ndarray
    ) -> None:
        info = hdu.fileinfo()
        if (
            info is None
            or info["file"].compression is not None
            or not hdu.is_image
            or (type(hdu).__name__ == "CompImageHDU")
        ):
            raise InputError(
                f"{path} is compressed, so its blocks cannot be read in place; decompress "
                "it (funpack, gunzip) to read it in blocks"
            )
        self.path = Path(path).resolve()
        self.offset = int(info["datLoc"])
        self.stored_shape = tuple(int(n) for n in hdu.shape)
        self.drop = drop
        self.shape = tuple(int(n) for n in raw.shape)
        self.dtype = np.dtype(raw.dtype)

    def __getitem__(self, key: Any) -> np.ndarray:
        mapped = np.memmap(
            self.path, dtype=self.dtype, mode="r", offset=self.offset, shape=self.stored_shape
        )
        block: np.ndarray = mapped[self.drop][key]
        return block


@dataclasses.dataclass(frozen=True)
class Scaling:
    """Stored values to physical ones: BSCALE, BZERO, and BLANK integers as
    NaN (a picklable callable, for the workers that read blocks)."""

    bscale: float
    bzero: float
    blank: int | None

    @classmethod
    def of(cls, header: Mapping[str, Any], stored: np.dtype[Any]) -> Scaling | None:
        """The scaling a header gives stored values, or None for none."""
        bscale = float(header.get("BSCALE", 1.0))
        bzero = float(header.get("BZERO", 0.0))
        blank = header.get("BLANK") if stored.kind in "iu" else None
        if bscale == 1.0 and bzero == 0.0 and blank is None:
            return None
        return cls(bscale, bzero, None if blank is None else int(blank))

    def __call__(self, block: np.ndarray) -> np.ndarray:
        values = block.astype(np.float64) * self.bscale + self.bzero
        if self.blank is not None:
            values[block == self.blank] = np.nan
        return values


@dataclasses.dataclass(frozen=True)
class ToSigma:
    """An error image's stored values to one-sigma noise in the data's unit."""

    kind: str
    factor: float
    scaling: Scaling | None

    def __call__(self, block: np.ndarray) -> np.ndarray:
        values = block.astype(np.float64) if self.scaling is None else self.scaling(block)
        if self.factor != 1.0:
            values = values * self.factor
        return _TO_SIGMA[self.kind](values)


def _full_key(key: Any, ndim: int) -> tuple[int | slice, ...]:
    if not isinstance(key, tuple):
        key = (key,)
    if any(entry is Ellipsis for entry in key):
        at = next(i for i, entry in enumerate(key) if entry is Ellipsis)
        key = key[:at] + (slice(None),) * (ndim - len(key) + 1) + key[at + 1 :]
    key = key + (slice(None),) * (ndim - len(key))
    for entry in key:
        if isinstance(entry, (int, np.integer)) and not isinstance(entry, bool):
            continue
        if not isinstance(entry, slice):
            raise TypeError("a LazyImage takes integers, slices and Ellipsis as indices")
    if len(key) != ndim:
        raise IndexError(f"too many indices for an image of {ndim} axes")
    return tuple(int(e) if isinstance(e, np.integer) else e for e in key)


def _sqrt(values: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore"):  # a negative variance is a bad pixel: NaN
        sigma: np.ndarray = np.sqrt(values)
    return sigma


def _inverse_sqrt(values: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore", divide="ignore"):  # no weight: infinite noise
        sigma: np.ndarray = 1.0 / np.sqrt(values)
    return sigma


#: What an error image may hold, by name, and what turns it into sigmas.
_TO_SIGMA: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "sigma": lambda values: values,
    "variance": _sqrt,
    "inverse_variance": _inverse_sqrt,
}

#: What an error image may hold.
ERROR_KINDS = tuple(_TO_SIGMA)


class ImageSource(NamedTuple):
    """An image HDU by its index, and what turns its stored values into the
    values wanted (None: they are those already)."""

    hdu_index: int
    convert: Callable[[np.ndarray], np.ndarray] | None


def image_in_memory(
    hdul: Any, image: ImageSource, drop: tuple[int | slice, ...], spectral_axis: int
) -> Any:
    """The image with its spectral axis last: a view of the memory map, or a
    `LazyImage` that converts (scales, or turns a variance into a sigma)
    block by block."""
    raw = hdul[image.hdu_index].data[drop]
    if image.convert is None:
        return np.moveaxis(raw, spectral_axis, -1)
    return LazyImage(raw, image.convert).moved(spectral_axis, -1)


def image_as_dask(
    path: Path,
    hdul: Any,
    image: ImageSource,
    drop: tuple[int | slice, ...],
    spectral_axis: int,
    chunks: tuple[Any, ...],
) -> Any:
    """The image with its spectral axis last as a Dask array whose blocks
    are read (and converted) by whichever process computes them."""
    import dask.array as da
    from dask.base import tokenize

    hdu = hdul[image.hdu_index]
    source = LazyImage(FitsData(path, hdu, drop, hdu.data[drop]), image.convert)
    source = source.moved(spectral_axis, -1)
    stat = path.stat()
    name = "quillet-read-" + tokenize(
        str(path.resolve()), stat.st_mtime_ns, stat.st_size, image, drop, spectral_axis, chunks
    )
    # The source goes into every task (it pickles as a path): as a key of its
    # own, every block would depend on the one worker that holds it.
    return da.from_array(
        source,
        chunks=chunks,
        name=name,
        meta=np.empty((0,) * source.ndim, source.dtype),
        inline_array=True,
    )

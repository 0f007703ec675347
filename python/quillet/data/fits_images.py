"""Images of FITS files read a block at a time, converted as they are read.

`LazyImage` takes an image (a `FitsData` reading its file in place, or an
array) and turns each block asked for into the values wanted: scaled
integers (BSCALE, BZERO, BLANK) to floats, a variance or inverse variance
to a one-sigma noise. Nothing is converted until a block is read, so a cube
of any size costs no memory to open, and a Dask task reads only its block.
"""

from __future__ import annotations

import dataclasses
import math
import os
import threading
import weakref
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

from ..basics.errors import InputError
from .fits_files import BITPIX_DTYPES, hdu_name, truncation_message

__all__ = [
    "ERROR_KINDS",
    "FitsData",
    "ImageSource",
    "LazyImage",
    "Scaling",
    "ToSigma",
    "image_as_dask",
    "image_in_memory",
    "stored_data",
]


class LazyImage:
    """An image read on demand a block at a time, and converted block by block:
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
    time with ordinary reads, by this process or by whichever process asks.

    Nothing of the file is mapped: each block is read (``pread``) into a
    buffer of its own, in the file's byte order (the block's conversion to
    native floats, which every fit makes, swaps the bytes as it copies), and
    let go with the block. So the process holds a few blocks, never the file's
    pages (which a memory map counts as resident until it is closed, up to
    the whole cube: what a batch system's memory limit sees), and a file
    that shrinks while it is read (``cp`` onto it truncates it first) ends
    the read with an `InputError` instead of a SIGBUS. Before each block
    the file's size and time of change are compared with those it had when
    it was opened: a file changed during the run is refused, not read half
    old, half new.

    It pickles as the file's path and the data's place in it, never as data,
    so a cluster's workers read their blocks from storage they share.
    """

    def __init__(
        self,
        path: Path,
        offset: int,
        stored_shape: tuple[int, ...],
        stored_dtype: np.dtype[Any],
        drop: tuple[int | slice, ...],
        name: str,
    ) -> None:
        self.path = Path(path).resolve()
        self.offset = int(offset)
        self.stored_shape = tuple(int(n) for n in stored_shape)
        self.stored_dtype = np.dtype(stored_dtype)
        self.drop = drop
        self.name = name
        self.shape = tuple(
            n
            for n, entry in zip(self.stored_shape, drop, strict=True)
            if not isinstance(entry, int)
        )
        self.dtype = self.stored_dtype
        self.data_bytes = self.stored_dtype.itemsize * math.prod(self.stored_shape)
        status = os.stat(self.path)
        self._stamp = (status.st_size, status.st_mtime_ns)
        self._fd: int | None = None
        self._lock = threading.Lock()

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["_fd"] = None  # each process opens the file itself
        del state["_lock"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()

    def _descriptor(self) -> int:
        with self._lock:
            if self._fd is None:
                try:
                    fd = os.open(self.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
                except FileNotFoundError:
                    raise InputError(
                        f"{self.path} is gone: it was removed while it was read"
                    ) from None
                weakref.finalize(self, os.close, fd)
                self._fd = fd
            fd = self._fd
        status = os.fstat(fd)
        if status.st_size < self.offset + self.data_bytes:
            raise InputError(
                truncation_message(
                    self.path, self.name, self.data_bytes, status.st_size - self.offset
                )
                + " (it shrank while it was read)"
            )
        if (status.st_size, status.st_mtime_ns) != self._stamp:
            raise InputError(
                f"{self.path} changed while it was read (its size or time of change is not "
                "what it was when it was opened); read it again once it is complete"
            )
        return fd

    def __getitem__(self, key: Any) -> np.ndarray:
        key = iter(_full_key(key, len(self.shape)))
        ranges: list[range] = []
        shape: list[int] = []
        flips: list[int] = []
        for length, dropped in zip(self.stored_shape, self.drop, strict=True):
            entry = dropped if isinstance(dropped, int) else next(key)
            if isinstance(entry, int):
                index = entry + length if entry < 0 else entry
                if not 0 <= index < length:
                    raise IndexError(f"index {entry} is out of bounds for an axis of {length}")
                ranges.append(range(index, index + 1))
                continue
            taken = range(*entry.indices(length))
            if taken.step < 0:
                taken = taken[::-1]
                flips.append(len(shape))
            ranges.append(taken)
            shape.append(len(taken))
        out = np.empty([len(r) for r in ranges], self.stored_dtype)
        if out.size:
            fd = self._descriptor()
            itemsize = self.stored_dtype.itemsize
            strides = [itemsize * math.prod(self.stored_shape[a + 1 :]) for a in range(len(ranges))]
            _fill(self._reader(fd), self.offset, self.stored_shape, strides, ranges, out)
        block = out.reshape(shape)
        if flips:
            block = np.ascontiguousarray(np.flip(block, tuple(flips)))
        return block

    def _reader(self, fd: int) -> Callable[[int, np.ndarray], None]:
        def read(offset: int, out: np.ndarray) -> None:
            view = out.reshape(-1).view(np.uint8).data
            done = 0
            while done < len(view):
                count = os.preadv(fd, [view[done:]], offset + done)
                if count == 0:
                    size = os.fstat(fd).st_size
                    raise InputError(
                        truncation_message(
                            self.path, self.name, self.data_bytes, size - self.offset
                        )
                        + " (it shrank while it was read)"
                    )
                done += count

        return read


#: Reads of scattered values take the whole stretch of the file that holds
#: them, in one read, when it is at most this long or twice what they need.
_ONE_READ_BYTES = 1 << 20
#: and never more than this in one read.
_MAX_READ_BYTES = 64 << 20


def _fill(
    read: Callable[[int, np.ndarray], None],
    base: int,
    shape: tuple[int, ...],
    strides: list[int],
    ranges: list[range],
    out: np.ndarray,
) -> None:
    """Fills ``out`` (C-contiguous) with the values that ``ranges`` (one
    increasing range per axis) select from the C-ordered array of ``shape``
    stored at ``base``: one read when they are one run of the file (a block
    of rows, a plane of a cube), one read of the stretch that holds them
    when that is short, else one call per index of the first axis."""
    first = base + sum(r.start * s for r, s in zip(ranges, strides, strict=True))
    if _one_run(shape, ranges):
        read(first, out)
        return
    itemsize = out.dtype.itemsize
    last = base + sum(r[-1] * s for r, s in zip(ranges, strides, strict=True)) + itemsize
    span = last - first
    if span <= _MAX_READ_BYTES and (
        span <= max(_ONE_READ_BYTES, 2 * out.nbytes) or len(ranges) == 1
    ):
        stretch = np.empty(span, np.uint8)
        read(first, stretch)
        chosen = np.ndarray(
            out.shape,
            out.dtype,
            buffer=stretch,
            strides=[r.step * s for r, s in zip(ranges, strides, strict=True)],
        )
        np.copyto(out, chosen)
        return
    if len(ranges) == 1:
        for i, index in enumerate(ranges[0]):
            read(base + index * strides[0], out[i : i + 1])
        return
    for i, index in enumerate(ranges[0]):
        _fill(read, base + index * strides[0], shape[1:], strides[1:], ranges[1:], out[i])


def _one_run(shape: tuple[int, ...], ranges: list[range]) -> bool:
    """Whether the selection is one contiguous run of the stored array:
    single indices, then one step-1 range, then whole axes."""
    wide = next((i for i, r in enumerate(ranges) if len(r) > 1), len(ranges))
    if wide == len(ranges):
        return True
    if ranges[wide].step != 1:
        return False
    return all(r == range(n) for r, n in zip(ranges[wide + 1 :], shape[wide + 1 :], strict=True))


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


def stored_data(path: Path, hdul: Any, index: int, drop: tuple[int | slice, ...]) -> Any:
    """A `FitsData` reader of an image HDU's stored values, or None where
    they cannot be read in place (a compressed file or image)."""
    hdu = hdul[index]
    info = hdu.fileinfo()
    if info is None or info["file"].compression is not None or type(hdu).__name__ == "CompImageHDU":
        return None
    header = hdu.header
    naxis = int(header["NAXIS"])
    shape = tuple(int(header[f"NAXIS{axis}"]) for axis in range(naxis, 0, -1))
    dtype = np.dtype(BITPIX_DTYPES[int(header["BITPIX"])])
    return FitsData(path, int(info["datLoc"]), shape, dtype, drop, hdu_name(header, index))


def image_in_memory(
    path: Path, hdul: Any, image: ImageSource, drop: tuple[int | slice, ...], spectral_axis: int
) -> Any:
    """The image with its spectral axis last, read from the file a block at
    a time as it is asked for (and converted: scaled, or a variance turned
    into a sigma). A compressed file, which cannot be read in place, is
    decompressed into memory by astropy."""
    raw = stored_data(path, hdul, image.hdu_index, drop)
    if raw is None:
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

    raw = stored_data(path, hdul, image.hdu_index, drop)
    if raw is None:
        raise InputError(
            f"{path} is compressed, so its blocks cannot be read in place; decompress "
            "it (funpack, gunzip) to read it in blocks"
        )
    source = LazyImage(raw, image.convert).moved(spectral_axis, -1)
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

"""Maps on disk: any maps (`LineFit`, `ModelFit`, `Moments`) written as FITS
(one image per map, with its WCS and unit, every setting in the header) or
as Zarr, and read back as the kind of maps a file holds.

One writer and one reader serve every kind, from the description each kind
gives of itself (`quillet.data.maps.Maps`: its images, its header cards):
the primary header records the package version, the kind of maps, how many
spatial axes they have, the maps' own cards (settings, a model), the
provenance and the flag counts, each text escaped one way
(`quillet.data.maps.header_text`); then one image per map. Files of the
previous release read as they were written (a model's provenance under
``IN``, a moments file's text with its non-ASCII characters as ``?``).

Every output is written whole or not at all (`quillet.basics.outputs`), and
nothing that exists is replaced unless asked. Maps that are lazy Dask arrays
are written block by block as their blocks are computed: the maps of an
archive never have to fit in one machine's memory. astropy is imported when
a file is written or read, not with this module.
"""

from __future__ import annotations

import dataclasses
import datetime
import math
import os
import warnings
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from ..basics.errors import InputError
from ..basics.lazy import compute, computed_blocks, rows_in
from ..basics.outputs import atomic_output
from ..basics.progress import progress_bar
from ..basics.units import fits_unit, header_unit
from ..basics.version import package_version
from ..data.cube import add_observation, observation_cards
from ..data.maps import DATA_UNIT, INTENSITY_UNIT, MapImage, Maps, header_text, header_value
from ..data.model_results import ModelFit
from ..data.moment_results import Moments
from ..data.results import QUANTITIES, LineFit

if TYPE_CHECKING:
    from astropy.io import fits
    from astropy.wcs import WCS

__all__ = [
    "image_wcs",
    "maps_bytes",
    "maps_header",
    "read_maps",
    "write_dataset",
    "write_maps",
    "write_zarr",
]

_KEY_PREFIX = "QUILLET "  # written as HIERARCH QUILLET <NAME>
# How many spatial axes the maps have: a FITS image has at least one, so the
# maps of a single spectrum are stored as one pixel and this says they had none.
_MAP_AXES = "MAP AXES"
# The kind of maps a file holds (`Maps.KIND`).
_KIND = "MAPS KIND"
_COUNT = "COUNT "
# A model's provenance, as the previous release wrote it.
_OLD_PROVENANCE = "IN "

#: Every kind of maps a file may hold, by the kind its header records.
MAPS_KINDS: dict[str, type[Maps]] = {cls.KIND: cls for cls in (LineFit, ModelFit, Moments)}

# FITS has no signed bytes nor unsigned 16-bit integers: a signed byte map
# (small counts, flags) is stored unsigned, and unsigned 16-bit bits are
# stored signed, less BZERO, as FITS stores unsigned integers.
_UINT16_ZERO = 32768


def _stored(dtype: np.dtype[Any]) -> np.dtype[Any]:
    """The type a map of values of ``dtype`` is stored as."""
    if dtype == np.int8:
        return np.dtype(np.uint8)
    if dtype == np.uint16:
        return np.dtype(np.int16)
    return dtype


def _encoded(image: MapImage, values: Any) -> Any:
    """A map's values as they are stored (see `_stored`)."""
    if image.dtype == np.uint16:
        return (np.asarray(values, np.uint16) ^ np.uint16(_UINT16_ZERO)).view(np.int16)
    if image.dtype == np.int8:
        return np.asarray(values).astype(np.uint8)
    return values


def maps_header(maps: Maps, counts: dict[str, int] | None = None) -> fits.Header:
    """The primary header of a maps file: the package version, the kind of
    maps, every card of the maps' own (settings, model), the provenance and
    the flag counts (zero when not yet known: the cards keep their size when
    the counts are filled in), and the observation cards."""
    from astropy.io import fits

    header = fits.Header()
    header["ORIGIN"] = ("quillet", maps.ORIGIN)
    header["DATE"] = (
        datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S"),
        "UTC time the file was written",
    )
    cards: list[tuple[str, Any]] = [
        ("VERSION", package_version()),
        (_KIND, maps.KIND),
        (_MAP_AXES, len(maps.shape)),
        *maps.header_cards(),
        *((name.upper(), value) for name, value in maps.provenance.items()),
    ]
    meanings = maps.FLAG_MEANINGS or {}
    cards += [
        (f"{_COUNT}{m.upper()}", 0 if counts is None else counts[m]) for m in meanings.values()
    ]
    for key, value in cards:
        header[f"HIERARCH {_KEY_PREFIX}{key}"] = (
            header_text(value) if isinstance(value, str) else value
        )
    add_observation(header, maps.observation)
    comment = "Velocities in km/s."
    if meanings:
        comment += " FLAG: " + ", ".join(f"{value} {m}" for value, m in meanings.items())
    header["COMMENT"] = comment
    return header


def write_maps(
    maps: Maps,
    path: str | os.PathLike[str],
    *,
    overwrite: bool = False,
    progress: bool | None = False,
) -> Path:
    """Writes any maps to a FITS file.

    The primary HDU is `maps_header`'s; then one image extension per map of
    `Maps.images` (for a `LineFit`: AMPLITUDE, CENTRE, SIGMA, AMPLITUDE_ERR,
    CENTRE_ERR, SIGMA_ERR, REDUCED_CHI2, FLAG, WINDOW_LEFT, WINDOW_RIGHT,
    CONTINUUM when one was subtracted, QUALITY with its header naming every
    bit, GUIDE), each with the spatial WCS (a leading axis, a model's
    components, as a third axis after the sky's), its BUNIT and the
    observation cards; and for fits, VELOCITY, the shared velocity axis of
    the fits. The maps of a single spectrum have no axes, which a FITS image
    cannot, so they are stored as one pixel and the primary header's MAP
    AXES says 0.

    The file is laid out first (headers, and room for every image), then
    filled: lazy maps block by block as the blocks are computed (with a
    progress bar if asked), so that no more than a block of them is ever in
    memory here. It is written under a temporary name in the same folder and
    renamed into place, so it is never seen half-written.
    """
    images = maps.images()
    shape = maps.shape or (1,)
    headers = [_image_header(image, _wcs_header(maps.wcs, image.axis), shape) for image in images]
    for header in headers:
        add_observation(header, maps.observation)  # each map is an image of the observation
    velocity = maps.channel_velocity()
    last = None if velocity is None else _velocity_image(velocity)
    size = len(maps_header(maps).tostring()) + sum(len(h.tostring()) for h in headers)
    size += sum(_padded(math.prod(i.shape(shape)) * _stored(i.dtype).itemsize) for i in images)
    size += 0 if last is None else 2880 + _padded(8 * len(last.data))
    write_image_file(
        path,
        lambda counts: maps_header(maps, counts),
        maps.FLAG_MEANINGS,
        list(zip(images, headers, strict=True)),
        last,
        shape,
        _blocks_of(maps, progress),
        overwrite=overwrite,
        reads=[maps.provenance.get("input")],
        size=size,
    )
    return Path(path)


def _wcs_header(wcs: WCS | None, axis: str | None) -> fits.Header:
    """The spatial WCS of an image, with a third, plain axis for a leading
    axis (COMPONENT, or TERM for a baseline's)."""
    from astropy.io import fits

    if wcs is None:
        return fits.Header()
    if axis is None:
        return wcs.to_header()
    extended = wcs.sub([*range(1, wcs.naxis + 1), 0])
    extended.wcs.ctype[wcs.naxis] = "COMPONENT" if axis == "component" else "TERM"
    extended.wcs.crpix[wcs.naxis] = 1.0
    extended.wcs.crval[wcs.naxis] = 0.0
    return extended.to_header()


def _image_header(image: MapImage, wcs_header: fits.Header, shape: tuple[int, ...]) -> fits.Header:
    """An image extension's header: its WCS, name, size and unit, how its
    values are stored, and its own cards."""
    from astropy.io import fits

    placeholder = np.broadcast_to(np.zeros((), _stored(image.dtype)), image.shape(shape))
    item = fits.ImageHDU(data=placeholder, header=wcs_header.copy(), name=image.extname)
    header = item.header
    # A description too long for the unit card's comment goes on its own:
    # a card of 80 characters keeps 47 for a comment beside a quoted value
    # of up to 20.
    unit = fits_unit(image.unit) if image.unit else ""
    if unit and len(image.description) <= 47 - max(0, len(unit) + 2 - 20):
        header["BUNIT"] = (unit, image.description)
    else:
        if unit:
            header["BUNIT"] = unit
        header["COMMENT"] = image.description
    if image.dtype == np.uint16:
        header["BZERO"] = _UINT16_ZERO
        header["BSCALE"] = 1
    for key, value, comment in image.cards:
        if key == "COMMENT":
            header.add_comment(value)
        else:
            header[key] = (value, comment)
    return header


def _velocity_image(velocity: np.ndarray) -> fits.ImageHDU:
    from astropy.io import fits

    item = fits.ImageHDU(data=np.asarray(velocity, dtype=np.float64), name="VELOCITY")
    item.header["BUNIT"] = ("km s-1", "velocity of each channel of the fits")
    return item


def _padded(size: int) -> int:
    """A FITS header or data size rounded up to whole 2880-byte blocks."""
    return -(-size // 2880) * 2880


def write_image_file(
    path: str | os.PathLike[str],
    primary: Callable[[dict[str, int]], fits.Header],
    flags: Mapping[int, str] | None,
    images: list[tuple[MapImage, fits.Header]],
    last: fits.ImageHDU | None,
    shape: tuple[int, ...],
    blocks: Iterator[tuple[tuple[slice, ...], Any]],
    *,
    overwrite: bool,
    reads: list[str | None],
    size: int,
) -> None:
    """Writes a FITS file of one image per `MapImage` (with its header),
    filled from ``blocks`` of records as they come, then ``last`` whole.
    The primary header is made twice: first with every count of ``flags``
    at zero, then, once every block's "flag" field is counted, again with
    the counts, which must keep its size. Written under a temporary name and
    renamed into place (`quillet.basics.outputs.atomic_output`)."""
    from astropy.io import fits

    flags = flags or {}
    zeros = dict.fromkeys(flags.values(), 0)
    counts = dict(zeros)
    with atomic_output(path, overwrite=overwrite, reads=reads, size=size) as temp:
        handle = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            first = fits.PrimaryHDU(header=primary(zeros)).header
            offsets = _lay_out(handle, [first, *(h for _, h in images)],
                               [_stored(image.dtype) for image, _ in images], last)  # fmt: skip
            for where, block in blocks if math.prod(shape) else iter(()):
                for (image, _), offset in zip(images, offsets, strict=True):
                    leading = () if image.length is None else (slice(None),)
                    values = _encoded(image, image.values(block))
                    _write_block(handle, offset, _stored(image.dtype), image.shape(shape),
                                 (*leading, *where), values)  # fmt: skip
                if flags:
                    flag = np.asarray(block["flag"], np.intp).ravel()
                    tally = np.bincount(flag, minlength=max(flags) + 1)
                    for value, meaning in flags.items():
                        counts[meaning] += int(tally[value])
            # The counts are known only now; their cards keep the header's size.
            text = fits.PrimaryHDU(header=primary(counts)).header.tostring()
            if len(text) != len(first.tostring()):
                raise AssertionError("the primary header changed size")
            _write_all(handle, text.encode("ascii"), 0)
            os.fsync(handle)
        finally:
            os.close(handle)


def maps_bytes(shape: tuple[int, ...], channels: int, continuum: bool) -> int:
    """At least the size of a Gaussian fit's maps file of ``shape`` (and no
    more than a few header blocks beyond): what the command line checks its
    folder has room for before it fits."""
    count = math.prod(shape or (1,))
    # The seven maps, FLAG, the window's ends, QUALITY and GUIDE, CONTINUUM.
    itemsizes = [4] * len(QUANTITIES) + [1, 4, 4, 2, 4] + ([4] if continuum else [])
    headers = (len(itemsizes) + 2) * 2 * 2880  # two blocks each: WCS, unit, name
    return headers + sum(_padded(count * size) for size in itemsizes) + _padded(8 * channels)


def _write_all(handle: int, data: bytes | memoryview, offset: int) -> None:
    """Writes every byte at ``offset`` with ordinary writes: a full disk is
    an OSError (ENOSPC) here, where a memory map would die of SIGBUS."""
    view = memoryview(data).cast("B")
    while view:
        done = os.pwrite(handle, view, offset)
        view, offset = view[done:], offset + done


# Values converted and written at a time: the temporary big-endian copy of a
# map stays small whatever the map's size.
_PIECE = 1 << 22


def _write_block(
    handle: int,
    offset: int,
    dtype: np.dtype[Any],
    shape: tuple[int, ...],
    where: tuple[slice, ...],
    values: Any,
) -> None:
    """Writes one block of an image (C order, big-endian, as FITS stores
    it) whose data begin at ``offset``: one write per run of values that
    lie one after another in the file, the axes the block spans whole
    joined with the last one it cuts."""
    stored = dtype.newbyteorder(">")
    ranges = [s.indices(n)[:2] for s, n in zip(where, shape, strict=True)]
    block = np.reshape(np.asarray(values), [stop - start for start, stop in ranges])
    whole = len(shape)
    while whole > 0 and ranges[whole - 1] == (0, shape[whole - 1]):
        whole -= 1
    lead = max(whole - 1, 0)  # axes before the run: one write per index
    for index in np.ndindex(*block.shape[:lead]):
        first = [start + i for (start, _), i in zip(ranges, index, strict=False)]
        first += [ranges[lead][0]] if lead < len(shape) else []
        first += [0] * (len(shape) - len(first))
        flat = int(np.ravel_multi_index(first, shape)) if shape else 0
        run = np.ascontiguousarray(block[index]).reshape(-1)
        for start in range(0, run.size, _PIECE):
            piece = run[start : start + _PIECE].astype(stored)
            _write_all(handle, piece.data, offset + (flat + start) * stored.itemsize)


def _lay_out(
    handle: int,
    headers: list[fits.Header],
    dtypes: list[np.dtype[Any]],
    last: fits.ImageHDU | None,
) -> list[int]:
    """Writes the headers of a primary HDU and of one image per dtype, each
    image's data left as a hole that reads as zeros (as FITS pads, too),
    then a last, small image whole (if any); returns the offset of each
    image's data."""
    offsets = []
    at = 0
    for header in headers[:1]:
        text = header.tostring().encode("ascii")
        _write_all(handle, text, at)
        at += len(text)
    for header, dtype in zip(headers[1:], dtypes, strict=True):
        text = header.tostring().encode("ascii")
        _write_all(handle, text, at)
        at += len(text)
        offsets.append(at)
        axes = [header[f"NAXIS{i}"] for i in range(1, header["NAXIS"] + 1)]
        at += _padded(math.prod(axes) * dtype.itemsize)
    if last is not None:
        text = last.header.tostring().encode("ascii")
        data = np.asarray(last.data).astype(last.data.dtype.newbyteorder(">")).tobytes()
        _write_all(handle, text + data + bytes(_padded(len(data)) - len(data)), at)
    elif headers[1:]:
        # The last image's data are a hole: the file must still reach its end.
        os.ftruncate(handle, at)
    return offsets


def _blocks_of(maps: Maps, progress: bool | None) -> Iterator[tuple[tuple[slice, ...], Any]]:
    """The maps as (where, records) blocks: the whole of maps in memory at
    once (a single spectrum's as one pixel), lazy maps block by block as
    they are computed, with a progress bar."""
    if maps.lazy:
        records = maps.records
        with progress_bar(math.prod(records.shape), progress) as bar:
            for where, block in computed_blocks(records):
                yield where, block
                bar.update(rows_in(where))
        return
    spatial = maps.shape
    shape = spatial or (1,)
    fields = {
        name: np.reshape(values, (*shape, *np.shape(values)[len(spatial) :]))
        for name, values in maps.record_fields().items()
    }
    yield (slice(None),) * len(shape), fields


def write_zarr(
    maps: Maps,
    path: str | os.PathLike[str],
    *,
    overwrite: bool = False,
    progress: bool | None = False,
) -> Path:
    """Writes any maps as a Zarr store: their `to_xarray` dataset, with its
    CF attributes, chunked as the maps are; see `write_dataset` (which shows
    no progress: a store's blocks are written by whoever computes them)."""
    del progress
    return write_dataset(maps.to_xarray(), path, overwrite=overwrite,
                         reads=[maps.provenance.get("input")], lazy=maps.lazy)  # fmt: skip


def write_dataset(
    dataset: Any,
    path: str | os.PathLike[str],
    *,
    overwrite: bool,
    reads: list[str | None],
    lazy: bool,
) -> Path:
    """Writes maps as an xarray Dataset to a Zarr store. Lazy maps are
    written block by block by whoever computes them (on a distributed
    cluster, its workers: the folder must then be on storage they share).
    Like every output, the store is made under a temporary name and renamed
    into place; a store replaces another (``overwrite``) in one step, and
    one run at a time."""
    # Consolidated, so that xarray opens the store with one read of its
    # metadata and no warning. Zarr v3 keeps it in the root's zarr.json, an
    # extension other readers skip; zarr warns that the format does not
    # define it yet, which is not the user's to act on.
    with (
        atomic_output(path, overwrite=overwrite, reads=reads, folder=True) as temp,
        warnings.catch_warnings(),
    ):
        warnings.filterwarnings("ignore", "Consolidated metadata", UserWarning)
        if lazy:
            compute(dataset.to_zarr(temp, mode="w-", consolidated=True, compute=False))
        else:
            dataset.to_zarr(temp, mode="w-", consolidated=True)
    return Path(path)


def image_wcs(header: Any) -> WCS | None:
    """The spatial WCS a map image of quillet's carries, or None."""
    from astropy.wcs import WCS, FITSFixedWarning

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)
        # A WCS of plain pixel axes (a slit's) has no CTYPE, but WCSAXES.
        has_wcs = "WCSAXES" in header or "CTYPE1" in header
        return WCS(header) if has_wcs else None


def read_maps(path: str | os.PathLike[str]) -> LineFit | ModelFit | Moments:
    """Reads a maps file written by `write_maps` back as the maps it holds
    (a `LineFit`, a `ModelFit` or a `Moments`), as they were written: bit
    for bit, with their settings, provenance, unit and WCS. Raises
    ``ValueError`` (`InputError`) for a file that is not a maps file."""
    from astropy.io import fits

    path = Path(path)
    with fits.open(path) as hdul:
        names = {item.name for item in hdul}
        primary = hdul[0].header
        cls = _kind_of(primary, names)
        missing = [i.extname for i in cls.IMAGES if i.required and i.extname not in names]
        if missing:
            raise InputError(
                f"{path} is not a maps file written by quillet: it has no "
                f"{', '.join(missing)} extension{'s' if len(missing) > 1 else ''}"
            )
        cards = {
            key[len(_KEY_PREFIX) :]: header_value(value) if isinstance(value, str) else value
            for key, value in primary.items()
            if key.startswith(_KEY_PREFIX)
        }
        one_spectrum = cards.pop(_MAP_AXES, None) == 0
        for key in [k for k in cards if k in ("VERSION", _KIND) or k.startswith(_COUNT)]:
            del cards[key]
        described = cls.described_by(cards, str(path))
        # What no kind of maps claims is the provenance.
        described["provenance"] = {
            key.removeprefix(_OLD_PROVENANCE).lower(): str(value) for key, value in cards.items()
        }
        present = [image for image in cls.IMAGES if image.extname in names]
        fields = {
            image.field: _image(hdul[image.extname], image, one_spectrum) for image in present
        }
        plain = next(image for image in present if image.axis is None)
        described["wcs"] = image_wcs(hdul[plain.extname].header)
        described["unit"] = _data_unit(hdul, present)
        if "velocity" in {field.name for field in dataclasses.fields(cls)}:
            described["velocity"] = (
                np.array(hdul["VELOCITY"].data, dtype=np.float64)
                if "VELOCITY" in names
                else np.empty(0)
            )
        described["observation"] = observation_cards(primary)
        maps = cls.from_records(fields, **described)
    assert isinstance(maps, (LineFit, ModelFit, Moments))
    return maps


def _kind_of(primary: Any, names: set[str]) -> type[Maps]:
    """The kind of maps a file holds: the one its header records; in a file
    of the previous release, which recorded none, a model's by its MODEL
    cards, moments by their MOMENT0 image, else a Gaussian fit's."""
    kind = primary.get(f"{_KEY_PREFIX}{_KIND}")
    if kind in MAPS_KINDS:
        return MAPS_KINDS[kind]
    if kind is not None:
        raise InputError(
            f"the maps file holds maps of kind {kind!r}, which this quillet does not know; "
            f"it reads {', '.join(MAPS_KINDS)}"
        )
    if f"{_KEY_PREFIX}MODEL COMPONENTS" in primary:
        return ModelFit
    if "MOMENT0" in names:
        return Moments
    return LineFit


def _image(item: Any, image: MapImage, one_spectrum: bool) -> np.ndarray:
    """One map of a file, in the layout of its records (a leading axis
    last; a single spectrum's maps with no spatial axis)."""
    values = np.array(item.data, dtype=image.dtype)
    if one_spectrum:
        values = values[..., 0]
    return np.moveaxis(values, 0, -1) if image.axis is not None else values


def _data_unit(hdul: Any, present: list[MapImage]) -> Any:
    """The data's unit: the BUNIT of the first map in it (or in it times
    km/s, as moment 0 is); None where that has no unit astropy reads."""
    for image in present:
        if image.unit in (DATA_UNIT, INTENSITY_UNIT):
            unit = header_unit(hdul[image.extname].header, "BUNIT")
            if unit is None or image.unit == DATA_UNIT:
                return unit
            import astropy.units as u

            return unit / u.Unit("km/s")
    return None

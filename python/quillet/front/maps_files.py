"""Maps on disk: a `LineFit` written as FITS (one image per quantity, with
its WCS and unit, every setting in the header) or as Zarr, and read back.

Every output is written whole or not at all (`quillet.basics.outputs`), and
nothing that exists is replaced unless asked. Maps that are lazy Dask arrays are written block by
block as their blocks are computed: the maps of an archive never have to fit
in one machine's memory.
"""

from __future__ import annotations

import datetime
import math
import os
import urllib.parse
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np
from astropy.io import fits
from astropy.wcs import WCS, FITSFixedWarning

from ..basics.errors import InputError
from ..basics.lazy import compute, computed_blocks, rows_in
from ..basics.outputs import atomic_output
from ..basics.progress import progress_bar
from ..basics.settings import LineSettings
from ..basics.units import VELOCITY_UNIT, fits_unit, header_unit
from ..basics.version import package_version
from ..data.cube import add_observation, observation_cards
from ..data.model_results import MODEL_FLAG_MEANINGS, ModelFit
from ..data.quality import fits_cards
from ..data.results import FLAG_MEANINGS, QUANTITIES, LineFit

__all__ = [
    "image_wcs",
    "maps_bytes",
    "maps_header",
    "read_maps",
    "write_dataset",
    "write_maps",
    "write_model_maps",
    "write_zarr",
]

_KEY_PREFIX = "QUILLET "  # written as HIERARCH QUILLET <NAME>
# How many spatial axes the maps have: a FITS image has at least one, so the
# maps of a single spectrum are stored as one pixel and this says they had none.
_MAP_AXES = f"{_KEY_PREFIX}MAP AXES"
# FITS headers hold printable ASCII only: any other character of a recorded
# value (an input path in données/, say) is written %-escaped, as is % itself,
# and so is any byte of a file name that is no UTF-8.
_HEADER_SAFE = "".join(chr(c) for c in range(32, 127) if chr(c) != "%")


def maps_header(fit: LineFit, counts: dict[str, int] | None = None) -> fits.Header:
    """The primary header of a maps file: the package version, every
    setting, the provenance and the flag counts (zero when not yet known:
    the cards keep their size when the counts are filled in)."""
    header = fits.Header()
    header["ORIGIN"] = ("quillet", "maps of Gaussian line fits")
    header["DATE"] = (
        datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S"),
        "UTC time the file was written",
    )
    header[f"HIERARCH {_KEY_PREFIX}VERSION"] = package_version()
    header[f"HIERARCH {_MAP_AXES}"] = len(fit.shape)
    for name, value in fit.settings.as_kwargs().items():
        header[f"HIERARCH {_KEY_PREFIX}{name.upper()}"] = value
    for name, value in fit.provenance.items():
        # A file name's bytes that are no UTF-8 (kept by Python as
        # surrogates) are escaped as the bytes they are.
        header[f"HIERARCH {_KEY_PREFIX}{name.upper()}"] = urllib.parse.quote(
            str(value).encode("utf-8", "surrogateescape"), safe=_HEADER_SAFE
        )
    for meaning in FLAG_MEANINGS.values():
        count = 0 if counts is None else counts[meaning]
        header[f"HIERARCH {_KEY_PREFIX}COUNT {meaning.upper()}"] = count
    add_observation(header, fit.observation)
    header["COMMENT"] = "Velocities in km/s. FLAG: " + ", ".join(
        f"{value} {meaning}" for value, meaning in FLAG_MEANINGS.items()
    )
    return header


class _Image(NamedTuple):
    """One image extension of a maps file: its name, what fills it (a field
    of the records), its stored dtype, unit and description, and how a
    field's values are stored when not as they are."""

    name: str
    field: str
    dtype: np.dtype[Any]
    unit: str
    description: str
    encode: Any = None
    #: The length of a leading axis before the spatial ones (a model's
    #: components), which the records hold as their field's last axis.
    components: int | None = None

    def shape(self, spatial: tuple[int, ...]) -> tuple[int, ...]:
        return spatial if self.components is None else (self.components, *spatial)

    def values(self, block: Any) -> Any:
        """This image's values of a block of records."""
        values = block[self.field]
        if self.components is not None:
            values = np.moveaxis(np.asarray(values), -1, 0)
        return values if self.encode is None else self.encode(values)


def _images(fit: LineFit) -> list[_Image]:
    images = [
        _Image(q.extname, q.name, np.dtype(np.float32), fit.unit_of(q), q.description)
        for q in QUANTITIES
    ]
    images += [
        _Image("FLAG", "flag", np.dtype(np.uint8), "", "0 success, 1 no local maximum, "
               "2 no convergence"),
        _Image("WINDOW_LEFT", "window_left", np.dtype(np.int32), "", "first channel fitted"),
        _Image("WINDOW_RIGHT", "window_right", np.dtype(np.int32), "",
               "channel after the last fitted"),
    ]  # fmt: skip
    if fit.continuum is not None:
        images.append(
            _Image("CONTINUUM", "continuum", np.dtype(np.float32), fit.unit_of(QUANTITIES[0]),
                   "continuum subtracted")
        )  # fmt: skip
    return images + _trust_images(fit)


# FITS has no unsigned 16-bit images: they are stored signed, less BZERO.
_UINT16_ZERO = 32768


def _trust_images(fit: LineFit) -> list[_Image]:
    """The QUALITY image (uint16 bits, stored as FITS stores unsigned
    integers: signed, with BZERO 32768) and the GUIDE image, for maps that
    have them."""
    images = []
    if fit.quality is not None:
        images.append(
            _Image("QUALITY", "quality", np.dtype(np.int16), "", "quality bits of the fit",
                   lambda values: (np.asarray(values, np.uint16) ^ np.uint16(_UINT16_ZERO))
                   .view(np.int16))
        )  # fmt: skip
    if fit.guide is not None:
        images.append(
            _Image("GUIDE", "guide", np.dtype(np.float32), VELOCITY_UNIT,
                   "guide velocity the line was sought near")
        )  # fmt: skip
    return images


def _trust_header(image: _Image, header: fits.Header) -> None:
    """The QUALITY image's header names every bit, and says how its values
    are stored."""
    if image.name != "QUALITY":
        return
    header["BZERO"] = _UINT16_ZERO
    header["BSCALE"] = 1
    for key, value, comment in fits_cards():
        if key == "EXTNAME":
            continue
        if key == "COMMENT":
            header.add_comment(value)
        else:
            header[key] = (value, comment)


def _trust_fields(fit: LineFit) -> dict[str, Any]:
    """The quality and guide maps of maps in memory, by field."""
    return {"quality": fit.quality, "guide": fit.guide}


def _trust_maps(hdul: Any, names: set[str], image: Any) -> dict[str, Any]:
    """The quality and guide maps of a maps file (None in files written
    before they existed)."""
    return {
        "quality": image("QUALITY", np.uint16) if "QUALITY" in names else None,
        "guide": image("GUIDE", np.float32) if "GUIDE" in names else None,
    }


def _padded(size: int) -> int:
    """A FITS header or data size rounded up to whole 2880-byte blocks."""
    return -(-size // 2880) * 2880


def write_maps(
    fit: LineFit,
    path: str | os.PathLike[str],
    *,
    overwrite: bool = False,
    progress: bool | None = False,
) -> Path:
    """Writes the maps of a `LineFit` to a FITS file.

    The primary HDU records the package version, every setting, the inputs'
    provenance (any character FITS cannot hold %-escaped, as in a URL) and
    the flag counts; then one image extension per quantity:
    AMPLITUDE, CENTRE, SIGMA, AMPLITUDE_ERR, CENTRE_ERR, SIGMA_ERR,
    REDUCED_CHI2, FLAG, WINDOW_LEFT, WINDOW_RIGHT (and CONTINUUM when one
    was subtracted), QUALITY (uint16 bits, its header naming every bit) and
    GUIDE, each with the spatial WCS and its BUNIT, and VELOCITY,
    the shared velocity axis of the fits. The maps of a single spectrum have
    no axes, which a FITS image cannot, so they are stored as one pixel and
    the primary header's MAP AXES says 0.

    The file is laid out first (headers, and room for every image), then
    filled: lazy maps block by block as the blocks are computed (with a
    progress bar if asked), so that no more than a block of them is ever in
    memory here. It is written under a temporary name in the same folder and
    renamed into place, so it is never seen half-written.
    """
    images = _images(fit)
    shape = fit.shape or (1,)
    wcs_header = fit.wcs.to_header() if fit.wcs is not None else fits.Header()
    add_observation(wcs_header, fit.observation)  # each map is an image of the observation
    headers = []
    for image in images:
        header = _image_header(image, wcs_header, shape)
        _trust_header(image, header)
        headers.append(header)
    size = maps_bytes(fit.shape, len(fit.velocity), fit.continuum is not None)
    write_image_file(
        path,
        lambda counts: maps_header(fit, counts),
        FLAG_MEANINGS,
        list(zip(images, headers, strict=True)),
        _velocity_image(fit.velocity),
        shape,
        _blocks_of_maps(fit, progress),
        overwrite=overwrite,
        reads=_inputs_of(fit),
        size=size,
    )
    return Path(path)


def _image_header(image: _Image, wcs_header: fits.Header, shape: tuple[int, ...]) -> fits.Header:
    """An image extension's header: its WCS, name, size and unit."""
    placeholder = np.broadcast_to(np.zeros((), image.dtype), image.shape(shape))
    item = fits.ImageHDU(data=placeholder, header=wcs_header.copy(), name=image.name)
    # A description too long for the unit card's comment goes on its own:
    # a card of 80 characters keeps 47 for a comment beside a quoted value
    # of up to 20.
    unit = fits_unit(image.unit) if image.unit else ""
    if unit and len(image.description) <= 47 - max(0, len(unit) + 2 - 20):
        item.header["BUNIT"] = (unit, image.description)
    else:
        if unit:
            item.header["BUNIT"] = unit
        item.header["COMMENT"] = image.description
    return item.header


def _velocity_image(velocity: np.ndarray) -> fits.ImageHDU:
    item = fits.ImageHDU(data=np.asarray(velocity, dtype=np.float64), name="VELOCITY")
    item.header["BUNIT"] = ("km s-1", "velocity of each channel of the fits")
    return item


def write_image_file(
    path: str | os.PathLike[str],
    primary: Callable[[dict[str, int]], fits.Header],
    flags: dict[int, str],
    images: list[tuple[_Image, fits.Header]],
    last: fits.ImageHDU,
    shape: tuple[int, ...],
    blocks: Iterator[tuple[tuple[slice, ...], Any]],
    *,
    overwrite: bool,
    reads: list[str | None],
    size: int,
) -> None:
    """Writes a FITS file of one image per `_Image` (with its header),
    filled from ``blocks`` of records as they come, then ``last`` whole.
    The primary header is made twice: first with every count of ``flags``
    at zero, then, once every block's "flag" field is counted, again with
    the counts, which must keep its size. Written under a temporary name and
    renamed into place (`quillet.basics.outputs.atomic_output`)."""
    zeros = dict.fromkeys(flags.values(), 0)
    counts = dict(zeros)
    with atomic_output(path, overwrite=overwrite, reads=reads, size=size) as temp:
        handle = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            first = fits.PrimaryHDU(header=primary(zeros)).header
            offsets = _lay_out(handle, [first, *(h for _, h in images)],
                               [image.dtype for image, _ in images], last)  # fmt: skip
            for where, block in blocks if math.prod(shape) else iter(()):
                for (image, _), offset in zip(images, offsets, strict=True):
                    leading = () if image.components is None else (slice(None),)
                    _write_block(handle, offset, image.dtype, image.shape(shape),
                                 (*leading, *where), image.values(block))  # fmt: skip
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


def _inputs_of(fit: LineFit) -> list[str | None]:
    """The files a fit was read from, which its maps may never replace."""
    return [fit.provenance.get("input")]


def maps_bytes(shape: tuple[int, ...], channels: int, continuum: bool) -> int:
    """At least the size of a maps file of ``shape`` (and no more than a few
    header blocks beyond): what `write_maps` checks its folder has room for
    before it writes, and the command line before it fits."""
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
    last: fits.ImageHDU,
) -> list[int]:
    """Writes the headers of a primary HDU and of one image per dtype, each
    image's data left as a hole that reads as zeros (as FITS pads, too),
    then a last, small image whole; returns the offset of each image's
    data."""
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
    text = last.header.tostring().encode("ascii")
    data = np.asarray(last.data).astype(last.data.dtype.newbyteorder(">")).tobytes()
    _write_all(handle, text + data + bytes(_padded(len(data)) - len(data)), at)
    return offsets


def _blocks_of_maps(fit: LineFit, progress: bool | None) -> Iterator[tuple[tuple[slice, ...], Any]]:
    """The maps as (where, records) blocks: the whole of maps in memory at
    once, lazy maps block by block as they are computed."""
    if fit.lazy:
        yield from _computed_blocks(fit.records, progress)
        return
    whole = {q.name: getattr(fit, q.name) for q in QUANTITIES}
    whole.update(
        flag=np.asarray(fit.flag),
        window_left=np.asarray(fit.window)[..., 0],
        window_right=np.asarray(fit.window)[..., 1],
        continuum=fit.continuum,
        **_trust_fields(fit),
    )
    everything = (slice(None),) * max(len(fit.shape), 1)
    yield everything, {k: np.reshape(v, fit.shape or (1,)) for k, v in whole.items()
                       if v is not None}  # fmt: skip


def _computed_blocks(
    records: Any, progress: bool | None
) -> Iterator[tuple[tuple[slice, ...], Any]]:
    """The blocks of lazy records as they are computed, with a progress bar."""
    with progress_bar(math.prod(records.shape), progress) as bar:
        for where, block in computed_blocks(records):
            yield where, block
            bar.update(rows_in(where))


def write_zarr(fit: LineFit, path: str | os.PathLike[str], *, overwrite: bool = False) -> Path:
    """Writes the maps as a Zarr store: `LineFit.to_xarray`, with its CF
    attributes, chunked as the maps are; see `write_dataset`."""
    return write_dataset(fit.to_xarray(), path, overwrite=overwrite, reads=_inputs_of(fit),
                         lazy=fit.lazy)  # fmt: skip


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


# A model's maps stored in FITS types: counts and flags as unsigned bytes,
# FITS having no signed ones.
_MODEL_STORED = {"ncomponents": np.uint8, "free_parameters": np.uint8, "flag": np.uint8}


def write_model_maps(
    fit: ModelFit,
    path: str | os.PathLike[str],
    *,
    overwrite: bool = False,
    progress: bool | None = False,
) -> Path:
    """Writes the maps of a `ModelFit` to a FITS file: one image extension
    per quantity (component and baseline maps with their component as a
    third axis after the sky's), WINDOW_LEFT, WINDOW_RIGHT, CONTINUUM when
    one was subtracted, and VELOCITY; every setting, the model and the
    provenance in the primary header (`ModelFit.primary_header`). Laid out
    first, then filled block by block as lazy maps are computed, under a
    temporary name renamed into place (as `write_maps`)."""
    shape = fit.shape or (1,)
    images: list[tuple[_Image, fits.Header]] = []
    described = [
        *fit._quantities(),
        ("window_left", "WINDOW_LEFT", "", "first channel fitted", False),
        ("window_right", "WINDOW_RIGHT", "", "channel after the last fitted", False),
    ]
    if fit.continuum is not None:
        described.append(("continuum", "CONTINUUM", fit.unit_of("data"), "continuum subtracted",
                          False))  # fmt: skip
    for name, extname, unit, description, per_component in described:
        leading = None
        if per_component:
            terms = fit.model.baseline_terms if name.startswith("baseline") else None
            leading = terms or fit.model.components
        dtype = np.dtype(_MODEL_STORED.get(name, np.int32 if "window" in name or
                                           name == "samples" else np.float32))  # fmt: skip
        image = _Image(extname, name, dtype, unit, description, components=leading)
        wcs_header = fits.Header(fit.image_header(per_component))
        add_observation(wcs_header, fit.observation)
        images.append((image, _image_header(image, wcs_header, shape)))
    last = _velocity_image(fit.velocity)
    size = (
        6 * 2880 * (len(images) + 2)
        + _padded(8 * len(fit.velocity))
        + sum(_padded(math.prod(image.shape(shape)) * image.dtype.itemsize) for image, _ in images)
    )
    write_image_file(path, fit.primary_header, MODEL_FLAG_MEANINGS, images, last, shape,
                     _blocks_of_model(fit, progress), overwrite=overwrite,
                     reads=[fit.provenance.get("input")], size=size)  # fmt: skip
    return Path(path)


def _blocks_of_model(
    fit: ModelFit, progress: bool | None
) -> Iterator[tuple[tuple[slice, ...], Any]]:
    """A model's maps as (where, records) blocks, as `_blocks_of_maps`."""
    if fit.lazy:
        yield from _computed_blocks(fit.records, progress)
        return
    # Records hold a component axis last; a single spectrum's maps are one pixel.
    shape = fit.shape or (1,)
    whole: dict[str, Any] = {}
    for name, _, _, _, per_component in fit._quantities():
        values = np.asarray(getattr(fit, name))
        if per_component:
            whole[name] = np.moveaxis(values.reshape(len(values), *shape), 0, -1)
        else:
            whole[name] = values.reshape(shape)
    window = np.asarray(fit.window).reshape(*shape, 2)
    whole["window_left"], whole["window_right"] = window[..., 0], window[..., 1]
    if fit.continuum is not None:
        whole["continuum"] = np.asarray(fit.continuum).reshape(shape)
    yield (slice(None),) * len(shape), whole


def image_wcs(header: fits.Header) -> WCS | None:
    """The spatial WCS a map image of quillet's carries, or None."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)
        # A WCS of plain pixel axes (a slit's) has no CTYPE, but WCSAXES.
        has_wcs = "WCSAXES" in header or "CTYPE1" in header
        return WCS(header) if has_wcs else None


def read_maps(path: str | os.PathLike[str]) -> LineFit:
    """Reads a maps file written by `write_maps` back into a `LineFit`, as
    it was written: bit for bit, with its settings, provenance, unit and WCS.
    Raises ``ValueError`` for a file that is not a maps file."""
    path = Path(path)
    with fits.open(path) as hdul:
        names = {item.name for item in hdul}
        missing = [q.extname for q in QUANTITIES if q.extname not in names] + [
            name for name in ("FLAG", "WINDOW_LEFT", "WINDOW_RIGHT") if name not in names
        ]
        if missing:
            raise InputError(
                f"{path} is not a maps file written by quillet: it has no "
                f"{', '.join(missing)} extension{'s' if len(missing) > 1 else ''}"
            )
        primary = hdul[0].header
        keys = {name: f"{_KEY_PREFIX}{name.upper()}" for name in LineSettings.names()}
        absent = [name for name, key in keys.items() if key not in primary]
        if absent:
            raise InputError(
                f"{path} is not a maps file written by quillet: its primary header records "
                f"no setting {', '.join(absent)}"
            )
        settings = LineSettings.from_mapping({name: primary[key] for name, key in keys.items()})
        skip = {*keys.values(), f"{_KEY_PREFIX}VERSION", _MAP_AXES}
        provenance = {
            key[len(_KEY_PREFIX) :].lower(): urllib.parse.unquote(
                str(primary[key]), errors="surrogateescape"
            )
            for key in primary
            if key.startswith(_KEY_PREFIX)
            and key not in skip
            and not key.startswith(f"{_KEY_PREFIX}COUNT ")
        }
        one_spectrum = primary.get(_MAP_AXES) == 0

        def image(name: str, dtype: Any) -> np.ndarray:
            values = np.array(hdul[name].data, dtype=dtype)
            return values.reshape(()) if one_spectrum else values

        amplitude = hdul["AMPLITUDE"]
        wcs = image_wcs(amplitude.header)
        maps = {q.name: image(q.extname, np.float32) for q in QUANTITIES}
        window = np.stack([image("WINDOW_LEFT", np.int32), image("WINDOW_RIGHT", np.int32)], -1)
        continuum = image("CONTINUUM", np.float32) if "CONTINUUM" in names else None
        velocity = (
            np.array(hdul["VELOCITY"].data, dtype=np.float64)
            if "VELOCITY" in names
            else np.empty(0)
        )
        return LineFit(
            **maps,
            flag=image("FLAG", np.int8),
            window=window,
            settings=settings,
            velocity=velocity,
            continuum=continuum,
            **_trust_maps(hdul, names, image),
            unit=header_unit(amplitude.header, "BUNIT"),
            wcs=wcs,
            provenance=provenance,
            observation=observation_cards(primary),
        )

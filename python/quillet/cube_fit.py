"""`fit_cube`: one call from an N-d array of spectra to maps of line parameters.

The cube is fitted a block of rows at a time (see `quillet.rows`): each block
is turned into the float32 rows the kernel takes, with its noise and guides,
handed to one `_quillet.fit_spectra_batch_guided` call, and its results are
copied into the maps. Extra memory is a few blocks, whatever the cube's size;
a float32 cube whose spectra are contiguous is not copied at all.
"""

from __future__ import annotations

import math
import operator
import sys
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

import _quillet

from .dask import RECORD_DTYPE, is_dask_array
from .noise import der_snr_rows, row_nanmedian
from .results import QUANTITIES, LineFit
from .rows import RowBlock, row_blocks, take_rows
from .settings import LineSettings, velocity_axis

if TYPE_CHECKING:
    import astropy.units as u
    from tqdm import tqdm

__all__ = ["DEFAULT_CHUNK_BYTES", "default_chunk_rows", "fit_cube"]

#: Data per block of rows, as float32: large enough that one kernel call
#: fits thousands of spectra (its own cost is then negligible), small enough
#: that a few blocks (data, noise, the noise estimate's sort) stay well inside
#: a laptop's cache-friendly tens of megabytes, and a block takes a few tens of
#: milliseconds, so Ctrl-C and the progress bar answer at once.
DEFAULT_CHUNK_BYTES = 16 * 2**20

_KM_S = "km/s"


def default_chunk_rows(channels: int) -> int:
    """Spectra per block for spectra of ``channels`` channels."""
    return max(256, DEFAULT_CHUNK_BYTES // (4 * max(channels, 1)))


def fit_cube(
    data: Any,
    velocity: Any = None,
    *,
    noise: Any = None,
    guide: Any = 0.0,
    velocity_offset: Any = None,
    continuum: Any = None,
    mask: Any = None,
    spectral_axis: int = -1,
    settings: LineSettings | None = None,
    chunk_rows: int | None = None,
    progress: bool | None = None,
    **overrides: Any,
) -> LineFit:
    """Fit a Gaussian line to every spectrum of an array; return its maps.

    Parameters
    ----------
    data
        Spectra: an array of any number of dimensions (1 for one spectrum, 2
        for a slit, 3 for a raster or cube...), any float or integer dtype,
        any memory order; a NumPy memmap, an astropy Quantity, a masked
        array, or any array-like with ``shape``, ``dtype`` and basic slicing
        (h5py, zarr). A `quillet.Cube` brings its own velocity axis, noise,
        unit and WCS. NaN marks a missing pixel.
    velocity
        Velocity of each channel of the spectral axis, in km/s (or an astropy
        Quantity in any velocity unit): 1-D, finite, strictly monotonic.
    noise
        One-sigma noise: an array broadcastable to the data's shape, one
        value for every pixel, or None to estimate each spectrum's noise from
        the spectrum itself (`quillet.estimate_noise`, constant along the
        spectrum).
    guide
        Velocity (km/s) near which each line is sought: one value, or an
        array of the spatial shape.
    velocity_offset
        Correction (km/s) of the shared axis for each spectrum (orbital drift,
        slit tilt): the true axis of spectrum i is ``velocity + offset[i]``.
        The fit runs on the shared axis with the guide ``guide[i] - offset[i]``
        and ``offset[i]`` is added to its centre. This is the fit of the
        spectrum on its true axis in every respect but one: the window and the
        centre bounds are set in channels round the brightest pixel, which is
        the same pixel on either axis, so nothing but the reported centre
        moves; refitting on a shifted axis would give the same window too,
        but would round every channel velocity again.
    continuum
        What to subtract from each spectrum before its fit (the model has no
        continuum term): None, one value, an array of the spatial shape, or
        ``"edges"``: the median of each spectrum's channels farther from its
        guide than the search radius (``velocity_range + npix_slack * dv``).
        A spectrum with no such channel gets a NaN continuum and the flag 1.
    mask
        True where a pixel is bad; broadcastable to the data's shape. Masked
        pixels are treated as missing (NaN), as are the masked pixels of a
        masked array.
    spectral_axis
        The axis of ``data`` that runs along each spectrum.
    settings
        The fit's settings; by default `LineSettings.for_axis` derives them
        from the velocity axis (pass ``line_sigma=`` among the overrides to
        set the expected line width).
    chunk_rows
        Spectra per block; by default about 16 MB of float32 data.
    progress
        Show a progress bar on standard error; by default when standard error
        is a terminal.
    overrides
        Settings to change, by name (``npix=5``), and ``line_sigma``.

    Returns
    -------
    LineFit
        Maps of the spatial shape. With no continuum and no offset, every
        value is bit for bit what one `_quillet.fit_spectra_batch_guided`
        call returns for the float32 rows of the data, whatever the dtype,
        memory order, spectral axis and block size.

    Ctrl-C stops the fit within one block with KeyboardInterrupt; nothing is
    returned and nothing is left half-done.

    When ``data`` (or ``noise``, ``guide``, ``velocity_offset``,
    ``continuum`` or ``mask``) is a Dask array, nothing is fitted yet: the
    maps come back lazy, one task per block of the cube, with the same bits
    once computed (`LineFit.compute`, `LineFit.persist`, which take the
    progress bar); every check of the input is made here, before any graph
    is run.
    """
    from .files import Cube  # files needs astropy; importing it here keeps the fit path light

    unit = None
    wcs = None
    provenance: dict[str, str] = {}
    noise_note = None
    if isinstance(data, Cube):
        cube = data
        if operator.index(spectral_axis) != -1:
            raise ValueError("a Cube has its spectral axis last; leave spectral_axis unset")
        velocity = cube.velocity if velocity is None else velocity
        if noise is None and cube.noise is not None:
            noise = cube.noise
            noise_note = cube.provenance.get("noise")
        unit, wcs, data = cube.unit, cube.wcs, cube.data
        provenance.update(cube.provenance)
    if velocity is None:
        raise TypeError("fit_cube needs the velocity axis (km/s) of the data's spectral axis")

    data, unit, data_mask = _unwrap_data(data, unit)
    shape = tuple(int(n) for n in data.shape)
    ndim = len(shape)
    if ndim == 0:
        raise ValueError("data must have at least one axis, the spectral axis")
    kind = np.dtype(data.dtype).kind
    if kind not in "fiu":
        raise ValueError(
            f"data must hold real numbers (floating point or integers), not {data.dtype}"
        )
    axis = _spectral_axis(spectral_axis, ndim)
    axis_values = velocity_axis(velocity)
    channels = shape[axis]
    if axis_values.size != channels:
        raise ValueError(
            f"the velocity axis has {axis_values.size} values but the spectral axis "
            f"(axis {axis}) of the data has {channels} channels"
        )
    spatial = shape[:axis] + shape[axis + 1 :]
    rows = math.prod(spatial)

    line_sigma = overrides.pop("line_sigma", None)
    if settings is None:
        settings = LineSettings.for_axis(axis_values, line_sigma=line_sigma, **overrides)
    else:
        if line_sigma is not None:
            raise TypeError("line_sigma only shapes derived settings; give it without settings")
        settings = settings.replace(**overrides) if overrides else settings
    if settings.sg_xpixels > channels:
        raise ValueError(
            f"sg_xpixels ({settings.sg_xpixels}) exceeds the {channels} channels of the "
            "spectral axis; use at most every channel"
        )

    noise_source = _noise_source(noise, shape, unit)
    mask = _broadcast_mask(mask, data_mask, shape)
    guides = _per_spectrum(guide, "guide", spatial, _KM_S)
    offsets = _per_spectrum(velocity_offset, "velocity_offset", spatial, _KM_S)
    continuum_mode, continuum_values = _continuum_source(continuum, spatial, unit)
    if continuum_mode == "edges":
        _check_edges_exist(axis_values, settings, guides, offsets)
    if chunk_rows is None:
        chunk_rows = default_chunk_rows(channels)
    velocity32 = axis_values.astype(np.float32)
    provenance.update(
        noise=noise_note or noise_source.description,
        guide=_describe(guide, _KM_S),
        velocity_offset="none" if velocity_offset is None else _describe(velocity_offset, _KM_S),
        continuum=continuum_mode
        if continuum_mode in ("none", "edges")
        else _describe(continuum, "", "constant "),
        mask="none" if mask is None else "given",
    )
    described: dict[str, Any] = dict(
        settings=settings, velocity=axis_values, unit=unit, wcs=wcs, provenance=provenance
    )
    inputs = CubeInputs(
        data, axis, velocity32, settings, noise_source, mask, guides, offsets, continuum_mode,
        continuum_values,
    )  # fmt: skip
    arrays = (data, noise_source.value, mask, guides, offsets, continuum_values)
    if any(is_dask_array(value) for value in arrays):
        from .dask import line_fit_of_records

        records = _fit_lazily(inputs)
        return line_fit_of_records(records, continuum_mode != "none", **described)

    maps: dict[str, Any] = {q.name: np.empty(rows, dtype=np.float32) for q in QUANTITIES}
    flags = np.empty(rows, dtype=np.int8)
    windows = np.empty((rows, 2), dtype=np.int32)
    subtracted = None if continuum_mode == "none" else np.empty(rows, dtype=np.float32)

    def keep(here: slice, result: BlockResult) -> None:
        for column, quantity in enumerate(QUANTITIES):
            maps[quantity.name][here] = result.fits[:, column]
        flags[here] = result.fits[:, 7]
        windows[here] = result.windows
        if subtracted is not None:
            subtracted[here] = result.continuum

    _fit_in_blocks(inputs, chunk_rows, keep, progress)
    return LineFit(
        **{name: values.reshape(spatial) for name, values in maps.items()},
        flag=flags.reshape(spatial),
        window=windows.reshape(*spatial, 2),
        continuum=None if subtracted is None else subtracted.reshape(spatial),
        **described,
    )


class BlockResult(NamedTuple):
    """The fits of a block of spectra: the kernel's (n, 8) float32 rows (the
    centre moved by each spectrum's offset), its (n, 2) windows, and the
    continuum subtracted from each spectrum (None when none was)."""

    fits: np.ndarray
    windows: np.ndarray
    continuum: np.ndarray | None


class PreparedBlock(NamedTuple):
    """A block of spectra ready for the kernel: its float32 rows, noise and
    guides on the shared axis, the offsets to add to its centres and the
    continuum taken off it (None for none)."""

    spectra: np.ndarray
    noise: np.ndarray
    guides: np.ndarray
    offsets: Any
    continuum: np.ndarray | None


def prepare_block(
    spectra: np.ndarray,
    velocity32: np.ndarray,
    settings: LineSettings,
    *,
    noise: np.ndarray | None = None,
    mask: np.ndarray | None = None,
    guides: Any = 0.0,
    offsets: Any = None,
    continuum: Any = "none",
) -> PreparedBlock:
    """Everything a block needs before its kernel call; what every path of
    `fit_cube` (in process, or one Dask task per block) runs.

    ``spectra`` is (n, channels) float32, C-contiguous and aligned; it is
    changed in place when ``mask`` (bool, True = bad) or a continuum is
    given, so it must then be the caller's own copy. ``noise`` is the
    spectra's float32 noise, or None to estimate it (DER_SNR). ``guides``
    and ``offsets`` are per spectrum (km/s, on the spectra's true axes);
    ``continuum`` is "none", "edges" or the levels to subtract.
    """
    count = spectra.shape[0]
    if mask is not None:
        spectra[mask] = np.nan
    if noise is None:
        sigma = der_snr_rows(spectra).astype(np.float32)
        noise = np.repeat(sigma[:, None], spectra.shape[1], axis=1)
    shared_axis_guides = np.broadcast_to(np.asarray(guides, dtype=np.float64), (count,))
    if offsets is not None:
        shared_axis_guides = shared_axis_guides - offsets
    fit_guides = np.asarray(shared_axis_guides, dtype=np.float32)
    level = None
    if isinstance(continuum, str) and continuum == "edges":
        level = _edges_continuum(spectra, velocity32, fit_guides, settings)
    elif not isinstance(continuum, str):
        level = np.array(np.broadcast_to(np.asarray(continuum, dtype=np.float32), (count,)))
    if level is not None:
        spectra -= level[:, None]
    return PreparedBlock(spectra, noise, fit_guides, offsets, level)


def fit_prepared(
    block: PreparedBlock, velocity32: np.ndarray, settings: LineSettings
) -> BlockResult:
    """The kernel call of a prepared block, with its offsets added."""
    # An axis that reached a worker by pickle may be contiguous yet
    # unaligned, which the kernel refuses.
    velocity32 = np.require(velocity32, dtype=np.float32, requirements=["C", "A"])
    fits, windows = _quillet.fit_spectra_batch_guided(
        block.spectra, velocity32, block.noise, block.guides, **settings.as_kwargs()
    )
    if block.offsets is not None:
        fits[:, 1] = (fits[:, 1].astype(np.float64) + block.offsets).astype(np.float32)
    return BlockResult(fits, windows, block.continuum)


class CubeInputs(NamedTuple):
    """What a fit of a cube reads, checked: the data and its spectral axis,
    the shared axis as the kernel takes it, the settings, and the noise, mask,
    guides, offsets and continuum (each None, one value, or one per pixel or
    spectrum, as NumPy, array-like or Dask arrays)."""

    data: Any
    axis: int
    velocity32: np.ndarray
    settings: LineSettings
    noise: NoiseSource
    mask: Any
    guides: Any
    offsets: Any
    continuum_mode: str
    continuum_values: Any


def _fit_in_blocks(
    inputs: CubeInputs,
    chunk_rows: int,
    keep: Callable[[slice, BlockResult], None],
    progress: bool | None = False,
    *,
    ahead: bool = True,
) -> None:
    """Fits every spectrum of ``data`` a block of rows at a time, each block
    prepared while the one before is fitted, and hands each block's result
    (with the flat range of its rows) to ``keep``; what `fit_cube` runs in
    this process, and what each Dask task runs on its block (``ahead``
    False: each block prepared just before its fit, on the same thread)."""
    data, axis, velocity32, settings, noise, mask = inputs[:6]
    guides, offsets, continuum_mode, continuum_values = inputs[6:]
    shape = tuple(int(n) for n in data.shape)
    spatial = shape[:axis] + shape[axis + 1 :]
    channels = shape[axis]
    guides, offsets, continuum_values = (
        v.reshape(-1) if isinstance(v, np.ndarray) else v
        for v in (guides, offsets, continuum_values)
    )
    changes = mask is not None or continuum_mode != "none"

    def noise_rows(block: RowBlock) -> np.ndarray | None:
        if noise.kind == "estimate":
            return None
        if noise.kind == "constant":
            return np.full((block.count, channels), np.float32(noise.value))
        return take_rows(noise.value, block, axis)

    def prepare(block: RowBlock) -> PreparedBlock:
        here = slice(block.start, block.start + block.count)
        return prepare_block(
            take_rows(data, block, axis, writable=changes),
            velocity32,
            settings,
            noise=noise_rows(block),
            mask=None if mask is None else take_rows(mask, block, axis, dtype=np.bool_),
            guides=_slice_of(guides, here),
            offsets=None if offsets is None else _slice_of(offsets, here),
            continuum=continuum_mode if continuum_mode in ("none", "edges")
            else _slice_of(continuum_values, here),
        )  # fmt: skip

    with progress_bar(math.prod(spatial), progress) as bar:
        blocks = row_blocks(spatial, chunk_rows)
        prepared_blocks = (
            _ahead(prepare, blocks) if ahead else ((block, prepare(block)) for block in blocks)
        )
        for block, prepared in prepared_blocks:
            keep(slice(block.start, block.start + block.count), fit_prepared(
                prepared, velocity32, settings
            ))  # fmt: skip
            bar.update(block.count)


def _ahead(
    prepare: Callable[[RowBlock], PreparedBlock], blocks: Iterator[RowBlock]
) -> Iterator[tuple[RowBlock, PreparedBlock]]:
    """The blocks with their preparation, each prepared on a thread of its
    own while the kernel fits the one before: converting a block (a float64
    cube with its spectral axis first, say, is cast and transposed) then
    costs no time of its own, since both the kernel and NumPy's copies run
    without the GIL. One block is prepared ahead, so memory stays at two."""
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="quillet-prepare") as pool:
        pending = None
        for block in blocks:
            upcoming = (block, pool.submit(prepare, block))
            if pending is not None:
                yield pending[0], pending[1].result()
            pending = upcoming
        if pending is not None:
            yield pending[0], pending[1].result()


def _fit_lazily(inputs: CubeInputs) -> Any:
    """A lazy Dask array of `RECORD_DTYPE`, one record per spectrum: one
    task per block of the cube, each running `_fit_records`."""
    import dask.array as da

    from .dask import like_cube, like_spatial, spectral_last

    data, axis, velocity32, settings, noise, mask = inputs[:6]
    guides, offsets, continuum_mode, continuum_values = inputs[6:]

    if not is_dask_array(data):
        data = da.from_array(data, chunks={axis: -1})
    cube = spectral_last(data, axis)
    spatial_index = "".join(chr(ord("a") + i) for i in range(cube.ndim - 1))
    pixel_index = spatial_index + "z"
    arguments: list[Any] = [cube, pixel_index]
    present: list[str] = []
    constants: dict[str, float] = {}
    if noise.kind == "array":
        arguments += [like_cube(noise.value, cube.chunks, axis), pixel_index]
        present.append("noise")
    elif noise.kind == "constant":
        constants["noise"] = noise.value
    if mask is not None:
        arguments += [like_cube(mask, cube.chunks, axis), pixel_index]
        present.append("mask")
    for name, value in (("guides", guides), ("offsets", offsets), ("continuum", continuum_values)):
        if isinstance(value, float):
            constants[name] = value
        elif value is not None:
            arguments += [like_spatial(value, cube.chunks[:-1]), spatial_index]
            present.append(name)
    return da.blockwise(
        _fit_records,
        spatial_index,
        *arguments,
        dtype=RECORD_DTYPE,
        # The spectral axis is one chunk: each task gets its block as a list
        # of one, which it unwraps, where concatenating would copy it whole.
        concatenate=False,
        meta=np.empty((0,) * (cube.ndim - 1), RECORD_DTYPE),
        present=tuple(present),
        constants=constants,
        continuum_mode=continuum_mode,
        velocity32=velocity32,
        settings=settings,
    )


def _fit_records(
    data: np.ndarray,
    *blocks: np.ndarray,
    present: tuple[str, ...],
    constants: dict[str, float],
    continuum_mode: str,
    velocity32: np.ndarray,
    settings: LineSettings,
) -> np.ndarray:
    """One Dask task: the records of one block of the cube (spectral axis
    last), prepared exactly as the in-process fit prepares its blocks."""
    data = _one_block(data)
    named = {name: _one_block(block) for name, block in zip(present, blocks, strict=True)}
    spatial = data.shape[:-1]
    count = math.prod(spatial)
    if "noise" in named:
        noise = NoiseSource("array", named["noise"], "")
    elif "noise" in constants:
        noise = NoiseSource("constant", constants["noise"], "")
    else:
        noise = NoiseSource("estimate", None, "")

    def per_spectrum(name: str, default: Any) -> Any:
        return named[name] if name in named else constants.get(name, default)

    records = np.empty(count, RECORD_DTYPE)

    def keep(here: slice, result: BlockResult) -> None:
        for column, quantity in enumerate(QUANTITIES):
            records[quantity.name][here] = result.fits[:, column]
        records["flag"][here] = result.fits[:, 7]
        records["window_left"][here] = result.windows[:, 0]
        records["window_right"][here] = result.windows[:, 1]
        records["continuum"][here] = np.nan if result.continuum is None else result.continuum

    # The block in one piece, prepared on the task's own thread: a worker
    # runs as many tasks as it has threads, which keep its cores busy, and a
    # thread of preparation beside each would only contend with them.
    block = CubeInputs(
        data, data.ndim - 1, velocity32, settings, noise, named.get("mask"),
        per_spectrum("guides", 0.0), per_spectrum("offsets", None), continuum_mode,
        per_spectrum("continuum", None),
    )  # fmt: skip
    _fit_in_blocks(block, max(count, 1), keep, ahead=False)
    return records.reshape(spatial)


def _one_block(blocks: Any) -> Any:
    """The block of an argument whose spectral axis is one chunk: Dask hands
    a task the blocks along an axis its result drops as a list."""
    while isinstance(blocks, list):
        (blocks,) = blocks
    return blocks


# --- inputs -----------------------------------------------------------------


def _unwrap_data(data: Any, unit: u.UnitBase | None) -> tuple[Any, Any, Any]:
    """The data as an array-like, its unit, and the mask of a masked array."""
    data_mask = None
    if isinstance(data, np.ma.MaskedArray):
        data_mask = np.ma.getmask(data)
        data = np.ma.getdata(data)
        if data_mask is np.ma.nomask:
            data_mask = None
    if hasattr(data, "unit") and hasattr(data, "value"):
        unit = data.unit
        data = data.value
    if not (hasattr(data, "shape") and hasattr(data, "dtype") and hasattr(data, "__getitem__")):
        data = np.asarray(data)
    return data, unit, data_mask


def _spectral_axis(spectral_axis: int, ndim: int) -> int:
    axis = operator.index(spectral_axis)
    if not -ndim <= axis < ndim:
        raise ValueError(
            f"spectral_axis {axis} is out of range for data of {ndim} dimension"
            f"{'s' if ndim > 1 else ''}"
        )
    return axis % ndim


def _as_number_or_array(value: Any, name: str, unit: Any) -> Any:
    """A Quantity converted to ``unit`` ("km/s", an astropy unit, or None
    for the value as it stands); anything else as it stands."""
    if hasattr(value, "unit") and hasattr(value, "to_value"):
        if unit is None:
            return value.value
        import astropy.units as u

        try:
            return value.to_value(u.Unit(unit))
        except u.UnitConversionError:
            raise ValueError(
                f"{name} is in {value.unit}, which does not convert to {unit}"
            ) from None
    return value


def _per_spectrum(value: Any, name: str, spatial: tuple[int, ...], unit: Any) -> Any:
    """None, a float, or an array of the spatial shape (a broadcast view, or
    a lazy Dask array) with one float value per spectrum."""
    if value is None:
        return None
    value = _as_number_or_array(value, name, unit)
    if is_dask_array(value):
        _check_shape(value.shape, spatial, name, "the spatial shape", _PER_SPECTRUM_HINT)
        return value.astype(np.float64)
    array = np.asarray(value, dtype=np.float64)
    if array.ndim == 0:
        return float(array)
    _check_shape(array.shape, spatial, name, "the spatial shape", _PER_SPECTRUM_HINT)
    return np.broadcast_to(array, spatial)


_PER_SPECTRUM_HINT = (
    " of the data (the data's shape without its spectral axis); give one value or one per spectrum"
)


def _check_shape(
    shape: tuple[int, ...], target: tuple[int, ...], name: str, what: str, hint: str
) -> None:
    try:
        fits = np.broadcast_shapes(tuple(shape), target) == target
    except ValueError:
        fits = False
    if not fits:
        raise ValueError(f"{name} of shape {tuple(shape)} does not match {what} {target}{hint}")


def _slice_of(values: Any, here: slice) -> Any:
    """A block's values of a per-spectrum setting: a float as it stands, an
    array flattened in C order (a flattened copy is made once, by the caller)."""
    if isinstance(values, float):
        return values
    return values[here]


class NoiseSource(NamedTuple):
    """How the noise of each pixel is had: "estimate"d from each spectrum, a
    "constant", or an "array" of the data's shape (NumPy, array-like or
    Dask), with a few words for the provenance."""

    kind: str
    value: Any
    description: str


def _noise_source(noise: Any, shape: tuple[int, ...], unit: Any) -> NoiseSource:
    if noise is None:
        return NoiseSource("estimate", None, "estimated from each spectrum (DER_SNR)")
    noise = _as_number_or_array(noise, "noise", unit)
    if np.ndim(noise) == 0 and not is_dask_array(noise):
        level = float(noise)
        if not (math.isfinite(level) and level > 0.0):
            raise ValueError(f"noise must be positive and finite, not {level!r}")
        return NoiseSource("constant", level, f"constant {level:g}")
    hint = "; give one noise value per pixel, one value for all, or None to estimate it"
    if not hasattr(noise, "shape"):
        noise = np.asarray(noise)
    _check_shape(noise.shape, shape, "noise", "the data's shape", hint)
    if np.dtype(noise.dtype).kind not in "fiu":
        raise ValueError(f"noise must hold real numbers, not {noise.dtype}")
    if tuple(noise.shape) != shape:
        noise = np.broadcast_to(noise, shape)  # works on Dask arrays too
    return NoiseSource("array", noise, "given per pixel")


def _broadcast_mask(mask: Any, data_mask: Any, shape: tuple[int, ...]) -> Any:
    """The union of the masks given, broadcast to the data's shape (lazily
    when one is a Dask array), or None."""
    combined = None
    for m in (mask, data_mask):
        if m is None:
            continue
        if not is_dask_array(m):
            m = np.asarray(m, dtype=bool)
        _check_shape(m.shape, shape, "mask", "the data's shape", "")
        m = np.broadcast_to(m.astype(bool), shape)
        combined = m if combined is None else combined | m
    return combined


def _continuum_source(continuum: Any, spatial: tuple[int, ...], unit: Any) -> tuple[str, Any]:
    if continuum is None:
        return "none", None
    if isinstance(continuum, str):
        if continuum != "edges":
            raise ValueError(
                f"continuum must be None, a number, an array or 'edges', not {continuum!r}"
            )
        return "edges", None
    values = _per_spectrum(continuum, "continuum", spatial, unit)
    return ("constant" if isinstance(values, float) else "map"), values


def _check_edges_exist(axis: np.ndarray, settings: LineSettings, guides: Any, offsets: Any) -> None:
    """With one guide for all, a search radius that covers the whole axis
    leaves no channel to measure the continuum on: say so before any work."""
    if not isinstance(guides, float) or not (offsets is None or isinstance(offsets, float)):
        return
    centre = guides - (offsets or 0.0)
    if not np.any(np.abs(axis - centre) > settings.search_radius):
        raise ValueError(
            "continuum='edges' (--continuum edges) needs channels farther from the guide "
            f"than the search radius ({settings.search_radius:g} km/s = velocity_range + "
            f"npix_slack * dv), but the axis runs from {axis.min():g} to {axis.max():g} km/s; "
            "give a smaller velocity_range (--velocity-range), or the continuum itself"
        )


def _edges_continuum(
    spectra: np.ndarray, velocity: np.ndarray, guides: np.ndarray, settings: LineSettings
) -> np.ndarray:
    """The median of each spectrum's channels farther from its guide (on the
    shared axis) than the search radius, as float32; NaN where there is none."""
    distance = np.abs(velocity[None, :].astype(np.float64) - guides[:, None])
    outside = np.where(distance > settings.search_radius, spectra, np.float32(np.nan))
    return row_nanmedian(outside).astype(np.float32)


def _describe(value: Any, unit: str, prefix: str = "") -> str:
    """A setting given as one value or one per spectrum, in a few words."""
    if np.ndim(value) != 0:
        return f"per spectrum, shape {np.shape(value)}"
    if hasattr(value, "unit"):
        return f"{prefix}{value}"
    return f"{prefix}{float(value):g} {unit}".strip()


@contextmanager
def progress_bar(total: int, progress: bool | None) -> Iterator[tqdm[Any]]:
    from tqdm import tqdm

    if progress is None:
        progress = sys.stderr.isatty()
    with tqdm(
        total=total,
        disable=not progress,
        unit=" spectra",
        unit_scale=True,
        desc="fitting",
        file=sys.stderr,
        dynamic_ncols=True,
        delay=0.5,  # a fit over in a moment shows no bar
    ) as bar:
        yield bar

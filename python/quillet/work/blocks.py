"""The block driver: a cube fitted a block of rows at a time by a block
fitter, in this process or as one Dask task per block.

A fit of a cube is the same loop whatever is fitted: take a block of rows
(see `quillet.basics.rows`) from the data, with its pixels that are masked
or out of the valid range made NaN and its given noise, guides, offsets and
continuum (`block_reader`: only the block is read, and only what will be
changed is copied); hand it to a `BlockFitter`, which prepares it and fits
it into records (one per spectrum, of the fitter's own layout); keep the
records, and follow the work with a progress bar. In this process the next
block is prepared on a thread of its own while the fitter fits the one
before (`fit_in_blocks`, `fit_records`); on Dask each task runs the loop on
its block (`fit_block_records`, from `quillet.work.dask`). After the first
pass, a fitter that refits from neighbours (`BlockFitter.neighbour_refits`)
has the driver read the rows it asks for again (`refitter`) and refit them
through its `refit`, over whole maps here (`refit_in_process`) or block by
block on Dask.

The fitters are the Gaussian's (`quillet.work.gaussian_fit`) and a line
model's (`quillet.work.model_fit`); a new one (a fused kernel that does a
row's noise, guide, fit and quality in one call, say) needs only the four
members of `BlockFitter`. Most fitters prepare a block as `prepare_rows`
does (the noise estimated where none is given, the guides found where they
are "auto", the continuum subtracted); a fitter that does that itself takes
the rows as they come.

A spectrum's records depend on that spectrum alone (and its refit on its
own and its neighbours' previous fits), never on the blocks, the threads or
the scheduler.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, NamedTuple, Protocol

import numpy as np

from ..basics.progress import progress_bar
from ..basics.rows import RowBlock, row_blocks, take_rows
from ..basics.settings import LineSettings
from ..data.fit_inputs import CubeInputs
from ..data.guides import find_guides
from ..data.noise import der_snr_rows, row_nanmedian
from ..data.results import QUANTITIES
from .neighbours import Refit, RefitCallback, refit_from_neighbours

__all__ = [
    "BlockFitter",
    "BlockReader",
    "BlockRows",
    "PreparedBlock",
    "empty_fields",
    "fit_block_records",
    "fit_in_blocks",
    "fit_records",
    "prepare_rows",
    "records_as_fits",
    "refit_in_process",
    "refitter",
    "store_records",
]


class BlockRows(NamedTuple):
    """A block of spectra as the driver reads it: ``spectra`` (n, channels)
    float32, C-contiguous and aligned, with masked pixels and pixels out of
    the valid range NaN (the fitter's own copy, to change, when the
    continuum is to be subtracted); ``noise`` the given noise (n, channels)
    float32, or None for none given; ``guides`` (km/s, on each spectrum's
    own axis) per spectrum, one float for all, or "auto"; ``offsets`` per
    spectrum or None; ``continuum`` "none", "edges" or the levels (n,) to
    subtract."""

    spectra: np.ndarray
    noise: np.ndarray | None
    guides: Any
    offsets: Any
    continuum: Any


class PreparedBlock(NamedTuple):
    """A block of spectra ready for the kernel: its float32 rows, noise and
    guides on the shared axis, the offsets to add to its centres and the
    continuum taken off it (None for none)."""

    spectra: np.ndarray
    noise: np.ndarray
    guides: np.ndarray
    offsets: Any
    continuum: np.ndarray | None


class BlockFitter(Protocol):
    """What the driver asks of a fit of blocks.

    ``dtype`` is the layout of the records, one per spectrum. ``prepare``
    turns a block of rows into what ``fit`` takes; the driver may run it on
    a thread of its own, ahead of the fit of the block before, so it must
    not share state with ``fit`` (a fitter whose kernel does everything in
    one call returns the rows as they are). ``fit`` gives the records (n,)
    of a prepared block. A fitter whose records are `RECORD_DTYPE`'s may
    ask for the neighbour refits (``neighbour_refits``): the driver then
    gives ``refit`` rows read again, each with the guide of its good
    neighbours, and the width guess ``widths`` of each, for their records.
    A fitter is pickled to every Dask task: it holds the fit's settings,
    never a block.
    """

    @property
    def dtype(self) -> np.dtype[Any]: ...

    @property
    def neighbour_refits(self) -> bool: ...

    def prepare(self, rows: BlockRows) -> Any: ...

    def fit(self, prepared: Any) -> np.ndarray: ...

    def refit(self, rows: BlockRows, widths: np.ndarray) -> np.ndarray: ...


#: Reads a block of rows: ``reader(block)``, or some of its rows
#: ``reader(block, subset, guides)`` (flat indices within the block, sorted)
#: with guides of their own.
BlockReader = Callable[..., BlockRows]


def prepare_rows(
    rows: BlockRows,
    velocity32: np.ndarray,
    settings: LineSettings,
    velocity_window: tuple[float, float] | None = None,
) -> PreparedBlock:
    """What a block needs before a kernel fits it: the noise, estimated
    (DER_SNR) where none is given; the guides on the shared axis, found from
    each spectrum (`quillet.data.guides.find_guides`, over ``line_sigma`` =
    ``width_guess``, within ``velocity_window``) where they are "auto"; the
    continuum subtracted ("edges": the median of each spectrum's channels
    farther from its guide than the search radius). Changes ``rows.spectra``
    in place when a continuum is subtracted."""
    spectra, noise, guides, offsets, continuum = rows
    count = spectra.shape[0]
    if noise is None:
        # The guide search reads one sigma per row; the kernel's batch, one
        # per pixel.
        guide_noise = der_snr_rows(spectra).astype(np.float32)
        noise = np.empty(spectra.shape, np.float32)
        noise[...] = guide_noise[:, None]
    else:
        guide_noise = noise
    if isinstance(guides, str):
        # Found on the shared axis, where the fit runs.
        fit_guides = find_guides(
            spectra, velocity32, guide_noise, line_sigma=settings.width_guess,
            velocity_window=velocity_window, snap_radius=settings.search_radius,
        )  # fmt: skip
    else:
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


def _edges_continuum(
    spectra: np.ndarray, velocity: np.ndarray, guides: np.ndarray, settings: LineSettings
) -> np.ndarray:
    """The median of each spectrum's channels farther from its guide (on the
    shared axis) than the search radius, as float32; NaN where there is none."""
    distance = np.abs(velocity[None, :].astype(np.float64) - guides[:, None])
    outside = np.where(distance > settings.search_radius, spectra, np.float32(np.nan))
    return row_nanmedian(outside).astype(np.float32)


def block_reader(inputs: CubeInputs) -> BlockReader:
    """The function that takes a block of rows from the inputs (or some of
    its rows, ``subset``, with guides of their own) as `BlockRows`: only the
    block is read, and only what is changed is converted or copied."""
    data, axis, channels = inputs.data, inputs.axis, inputs.channels
    flat = [
        v.reshape(-1) if isinstance(v, np.ndarray) else v
        for v in (inputs.guides, inputs.offsets, inputs.continuum_values)
    ]
    guides, offsets, continuum_values = flat
    noise = inputs.noise
    noise_map = np.reshape(noise.value, -1) if noise.kind == "map" else None
    low, high = inputs.trust.valid_min, inputs.trust.valid_max
    changes = (
        inputs.mask is not None or inputs.continuum_mode != "none" or (low, high) != (None,) * 2
    )

    def noise_rows(block: RowBlock, here: Any, count: int) -> np.ndarray | None:
        if noise.kind == "constant":
            return np.full((count, channels), np.float32(noise.value))
        if noise_map is not None:
            levels = np.asarray(noise_map[here], dtype=np.float32)
            return np.repeat(levels[:, None], channels, axis=1)
        if noise.kind == "array":
            return take_rows(noise.value, block, axis)
        return None

    def read(
        block: RowBlock, subset: np.ndarray | None = None, given_guides: Any = None
    ) -> BlockRows:
        here: Any = slice(block.start, block.start + block.count)
        rows = take_rows(data, block, axis, writable=changes and subset is None)
        count = block.count
        if subset is not None:
            here = block.start + subset
            rows = np.ascontiguousarray(rows[subset])  # a copy of its own
            count = subset.size
        block_noise = noise_rows(block, here, count)
        if subset is not None and noise.kind == "array" and block_noise is not None:
            block_noise = np.ascontiguousarray(block_noise[subset])
        if inputs.mask is not None:
            bad = take_rows(inputs.mask, block, axis, dtype=np.bool_)
            rows[bad if subset is None else bad[subset]] = np.nan
        if low is not None or high is not None:
            with np.errstate(invalid="ignore"):
                outside = np.zeros(rows.shape, dtype=bool)
                if low is not None:
                    outside |= rows < np.float32(low)
                if high is not None:
                    outside |= rows > np.float32(high)
            rows[outside] = np.nan
        continuum = inputs.continuum_mode
        if continuum not in ("none", "edges"):
            continuum = _slice_of(continuum_values, here)
        return BlockRows(
            rows,
            block_noise,
            given_guides if given_guides is not None else _slice_of(guides, here),
            None if offsets is None else _slice_of(offsets, here),
            continuum,
        )

    return read


def _slice_of(values: Any, here: Any) -> Any:
    """A block's values of a per-spectrum setting: a float (or "auto") as it
    stands, an array flattened in C order (a flattened copy is made once, by
    the caller)."""
    if isinstance(values, (float, str)):
        return values
    return values[here]


def empty_fields(dtype: np.dtype[Any], rows: int) -> dict[str, np.ndarray]:
    """One flat array per field of records of ``dtype``, for ``rows`` spectra."""
    return {
        name: np.empty((rows, *dtype[name].shape), dtype[name].base) for name in dtype.names or ()
    }


def store_records(target: Any, here: Any, records: np.ndarray) -> None:
    """Writes a block's records at the flat rows ``here`` (a slice or
    indices) of ``target``: an array of records, or a mapping of one flat
    array per field."""
    for name in records.dtype.names or ():
        target[name][here] = records[name]


def fit_in_blocks(
    inputs: CubeInputs,
    fitter: BlockFitter,
    chunk_rows: int,
    keep: Callable[[slice, np.ndarray], None],
    progress: bool | None = False,
    *,
    ahead: bool = True,
) -> None:
    """Fits every spectrum of the inputs a block of rows at a time, each
    block prepared while the one before is fitted, and hands each block's
    records (with the flat range of its rows) to ``keep``; what `fit_records`
    runs in this process, and what each Dask task runs on its block
    (``ahead`` False: each block prepared just before its fit, on the same
    thread)."""
    spatial = inputs.spatial
    read = block_reader(inputs)

    def prepare(block: RowBlock) -> Any:
        return fitter.prepare(read(block))

    with progress_bar(math.prod(spatial), progress) as bar:
        blocks = row_blocks(spatial, chunk_rows)
        prepared_blocks = (
            _ahead(prepare, blocks) if ahead else ((block, prepare(block)) for block in blocks)
        )
        for block, prepared in prepared_blocks:
            keep(slice(block.start, block.start + block.count), fitter.fit(prepared))
            bar.update(block.count)


def fit_records(
    inputs: CubeInputs, fitter: BlockFitter, chunk_rows: int, progress: bool | None = False
) -> dict[str, np.ndarray]:
    """The fields of every spectrum's record, as maps of the spatial shape:
    the first pass a block at a time, then the neighbour refits of a fitter
    that asks for them."""
    spatial = inputs.spatial
    fields = empty_fields(fitter.dtype, math.prod(spatial))
    fit_in_blocks(
        inputs, fitter, chunk_rows, lambda here, records: store_records(fields, here, records),
        progress,
    )  # fmt: skip
    if fitter.neighbour_refits and inputs.trust.refit_neighbours:
        refit_in_process(fields, inputs, fitter, chunk_rows)
    return {name: values.reshape(spatial + values.shape[1:]) for name, values in fields.items()}


def fit_block_records(inputs: CubeInputs, fitter: BlockFitter) -> np.ndarray:
    """The records (of the spatial shape) of a whole block of a cube, in one
    piece, prepared on the calling thread: what one Dask task runs. A worker
    runs as many tasks as it has threads, which keep its cores busy, and a
    thread of preparation beside each would only contend with them."""
    spatial = inputs.spatial
    count = math.prod(spatial)
    records = np.empty(count, fitter.dtype)
    fit_in_blocks(
        inputs, fitter, max(count, 1), lambda here, block: store_records(records, here, block),
        ahead=False,
    )  # fmt: skip
    return records.reshape(spatial)


def _ahead(
    prepare: Callable[[RowBlock], Any], blocks: Iterator[RowBlock]
) -> Iterator[tuple[RowBlock, Any]]:
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


# --- the neighbour-refit hook ------------------------------------------------------


def refitter(inputs: CubeInputs, fitter: BlockFitter, chunk_rows: int) -> RefitCallback:
    """The refit that `quillet.work.neighbours` calls: the given rows (flat
    indices, sorted) read from the data a block of `quillet.basics.rows` at a
    time, exactly as the first pass read them, and refitted by the fitter
    from the given guides (km/s, on each spectrum's own axis) and width
    guesses, ``chunk_rows`` rows gathered at a time."""
    spatial = inputs.spatial
    read = block_reader(inputs)

    def refit(rows: np.ndarray, guides: np.ndarray, widths: np.ndarray) -> Refit:
        fields = empty_fields(fitter.dtype, rows.size)
        gathered: list[tuple[np.ndarray, BlockRows]] = []
        size = 0

        def fit_gathered() -> None:
            where = np.concatenate([places for places, _ in gathered])
            records = fitter.refit(_joined([part for _, part in gathered]), widths[where])
            store_records(fields, where, records)
            gathered.clear()

        for block in row_blocks(spatial, chunk_rows):
            first, last = np.searchsorted(rows, [block.start, block.start + block.count])
            if first == last:
                continue
            places = np.arange(first, last)
            gathered.append((places, read(block, rows[first:last] - block.start,
                                          guides[first:last])))  # fmt: skip
            size += last - first
            if size >= chunk_rows:
                fit_gathered()
                size = 0
        if gathered:
            fit_gathered()
        fits, windows = records_as_fits(fields)
        extras = {"guide": fields["guide"], "continuum": fields["continuum"]}
        return fits, windows, fields["quality"], extras

    return refit


def _joined(parts: list[BlockRows]) -> BlockRows:
    """Blocks of rows as one."""

    def joined(values: list[Any]) -> Any:
        if values[0] is None or isinstance(values[0], (str, float)):
            return values[0]
        return np.concatenate(values)

    return BlockRows(*(joined([part[k] for part in parts]) for k in range(len(BlockRows._fields))))


def refit_in_process(
    fields: dict[str, np.ndarray], inputs: CubeInputs, fitter: BlockFitter, chunk_rows: int
) -> None:
    """The neighbour refits of a whole fit's records (flat fields of
    `RECORD_DTYPE`), in place: passes over the whole maps, each refit read
    from the data again."""
    if not inputs.spatial:
        return  # one spectrum has no neighbours
    fits, windows = records_as_fits(fields)
    done = refit_from_neighbours(
        fits, windows, fields["quality"], inputs.spatial, refitter(inputs, fitter, chunk_rows),
        min_offset=inputs.settings.dv,
        extras={"guide": fields["guide"], "continuum": fields["continuum"]},
    )  # fmt: skip
    store_fits(fields, slice(None), done.fits, done.windows, done.quality, done.extras)


def records_as_fits(records: Any) -> tuple[np.ndarray, np.ndarray]:
    """The kernel's (N, 8) rows and (N, 2) windows of flat records (an array
    of `RECORD_DTYPE`, or a mapping of its fields)."""
    fits = np.stack(
        [np.asarray(records[q.name], np.float32) for q in QUANTITIES]
        + [np.asarray(records["flag"], np.float32)],
        axis=1,
    )
    windows = np.stack([records["window_left"], records["window_right"]], axis=1)
    return fits, np.asarray(windows, np.int32)


def store_fits(
    target: Any,
    here: Any,
    fits: np.ndarray,
    windows: np.ndarray,
    quality: np.ndarray,
    extras: Any,
) -> None:
    """Writes the kernel's rows and windows, the quality bits and the guide
    and continuum of some spectra into the fields of `RECORD_DTYPE` at the
    flat rows ``here``, as `records_as_fits` reads them."""
    for column, quantity in enumerate(QUANTITIES):
        target[quantity.name][here] = fits[:, column]
    target["flag"][here] = fits[:, 7]
    target["window_left"][here] = windows[:, 0]
    target["window_right"][here] = windows[:, 1]
    continuum = extras["continuum"]
    target["continuum"][here] = np.nan if continuum is None else continuum
    target["quality"][here] = quality
    target["guide"][here] = extras["guide"]

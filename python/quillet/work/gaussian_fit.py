"""The fit of a cube, a block of spectra at a time, in this process.

Each block of rows (see `quillet.basics.rows`) is taken from the data, made into
the float32 rows the kernel takes with their noise, mask, valid range,
guides (given, or found from each spectrum) and continuum
(`prepare_block`), fitted with windows that follow the line and judged
with quality bits (`fit_and_judge`, `fit_prepared`: the kernel's batch
call, and its refits on wider windows), and its results are stored in the
one record layout of `quillet.data.results` (`store_block`). `fit_in_blocks`
runs that loop for `fit_cube` in process, preparing each block on a
thread of its own while the kernel fits the one before;
`fit_block_records` runs it for one Dask task. `refitter` reads and
prepares the rows the neighbour refits ask for, the same way, and
`refit_in_process` runs those refits over a whole fit's maps. A
spectrum's first fit depends on that spectrum alone, and its refit on its
own and its neighbours' previous fits, never on the blocks.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, NamedTuple

import numpy as np

from ..basics.progress import progress_bar
from ..basics.rows import RowBlock, row_blocks, take_rows
from ..basics.settings import LineSettings
from ..data.fit_inputs import CubeInputs
from ..data.guides import find_guides
from ..data.noise import der_snr_rows, row_nanmedian
from ..data.quality import DEFAULT_SNR_MIN, DEFAULT_WINDOW_SIGMAS, Quality, quality_bits
from ..data.results import QUANTITIES, RECORD_DTYPE
from .neighbours import Refit, RefitCallback, refit_from_neighbours
from .windows import DEFAULT_MAX_ROUNDS, fit_rows_adaptive

__all__ = [
    "BlockResult",
    "Judging",
    "PreparedBlock",
    "block_preparer",
    "fit_and_judge",
    "fit_block_records",
    "fit_in_blocks",
    "fit_prepared",
    "prepare_block",
    "records_as_fits",
    "refit_in_process",
    "refitter",
    "store_block",
]


class BlockResult(NamedTuple):
    """The fits of a block of spectra: the kernel's (n, 8) float32 rows (the
    centre moved by each spectrum's offset), its (n, 2) windows, the
    continuum subtracted from each spectrum (None when none was), the
    quality bits (n,) uint16 and the guide each fit used (n,) float32, on
    the spectrum's own axis (NaN for a blank spectrum)."""

    fits: np.ndarray
    windows: np.ndarray
    continuum: np.ndarray | None
    quality: np.ndarray
    guides: np.ndarray


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
    valid_range: tuple[float | None, float | None] = (None, None),
    velocity_window: tuple[float, float] | None = None,
) -> PreparedBlock:
    """Everything a block needs before its kernel call; what every path of
    `fit_cube` (in process, one Dask task per block, and the refits from
    neighbours) runs.

    ``spectra`` is (n, channels) float32, C-contiguous and aligned; it is
    changed in place when ``mask`` (bool, True = bad), a ``valid_range``
    (pixels outside (min, max) are missing; None for no bound) or a
    continuum is given, so it must then be the caller's own copy.
    ``noise`` is the spectra's float32 noise, or None to estimate it
    (DER_SNR). ``guides`` and ``offsets`` are per spectrum (km/s, on the
    spectra's true axes), or ``guides`` is "auto": each found from its
    spectrum (`quillet.data.guides.find_guides`, over ``line_sigma`` =
    ``width_guess``, within ``velocity_window``) on the shared axis.
    ``continuum`` is "none", "edges" or the levels to subtract.
    """
    count = spectra.shape[0]
    if mask is not None:
        spectra[mask] = np.nan
    low, high = valid_range
    if low is not None or high is not None:
        with np.errstate(invalid="ignore"):
            outside = np.zeros(spectra.shape, dtype=bool)
            if low is not None:
                outside |= spectra < np.float32(low)
            if high is not None:
                outside |= spectra > np.float32(high)
        spectra[outside] = np.nan
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


class Judging(NamedTuple):
    """How each block's fits are made and judged: windows that follow the
    line (``adapt_window``, to ``window_sigmas`` sigmas) and the S/N below
    which a fit is doubted."""

    adapt_window: bool = True
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS
    snr_min: float = DEFAULT_SNR_MIN

    @classmethod
    def of(cls, inputs: CubeInputs) -> Judging:
        trust = inputs.trust
        return cls(trust.adapt_window, trust.window_sigmas, trust.snr_min)


def fit_and_judge(
    rows: np.ndarray,
    velocity: np.ndarray,
    noise: np.ndarray,
    guides: np.ndarray,
    settings: LineSettings,
    *,
    snr_min: float = DEFAULT_SNR_MIN,
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS,
    max_rounds: int = DEFAULT_MAX_ROUNDS,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The fits, windows and quality bits of a block of rows: the kernel's
    batch with windows that follow the line (``max_rounds=0`` for the
    batch's windows alone: then the fits and windows are the batch's
    bits), judged. The arguments are the batch's."""
    fit = fit_rows_adaptive(
        rows, velocity, noise, guides, settings, window_sigmas=window_sigmas,
        max_rounds=max_rounds,
    )  # fmt: skip
    bits = quality_bits(
        fit.fits, fit.windows, fit.finite, settings, snr_min, limits=fit.limits, wider=fit.wider
    )
    return fit.fits, fit.windows, bits


def fit_prepared(
    block: PreparedBlock,
    velocity32: np.ndarray,
    settings: LineSettings,
    judging: Judging | None = None,
) -> BlockResult:
    """The fit of a prepared block, judged (by default as `Judging`'s
    defaults say), with its offsets added."""
    judging = Judging() if judging is None else judging
    # An axis that reached a worker by pickle may be contiguous yet
    # unaligned, which the kernel refuses.
    velocity32 = np.require(velocity32, dtype=np.float32, requirements=["C", "A"])
    fits, windows, quality = fit_and_judge(
        block.spectra, velocity32, block.noise, block.guides, settings,
        snr_min=judging.snr_min, window_sigmas=judging.window_sigmas,
        max_rounds=DEFAULT_MAX_ROUNDS if judging.adapt_window else 0,
    )  # fmt: skip
    guides = block.guides
    if block.offsets is not None:
        fits[:, 1] = (fits[:, 1].astype(np.float64) + block.offsets).astype(np.float32)
        guides = (guides.astype(np.float64) + block.offsets).astype(np.float32)
    blank = (quality & np.uint16(Quality.NO_DATA)) != 0
    guides = np.where(blank, np.float32(np.nan), guides).astype(np.float32)
    return BlockResult(fits, windows, block.continuum, quality, guides)


def store_block(target: Any, here: Any, result: BlockResult) -> None:
    """Writes a block's results into the fields of `RECORD_DTYPE`, at the
    flat rows ``here`` (a slice or indices): ``target`` is an array of
    records, or a mapping of one flat array per field."""
    for column, quantity in enumerate(QUANTITIES):
        target[quantity.name][here] = result.fits[:, column]
    target["flag"][here] = result.fits[:, 7]
    target["window_left"][here] = result.windows[:, 0]
    target["window_right"][here] = result.windows[:, 1]
    target["continuum"][here] = np.nan if result.continuum is None else result.continuum
    target["quality"][here] = result.quality
    target["guide"][here] = result.guides


def empty_fields(rows: int) -> dict[str, np.ndarray]:
    """One flat array per field of `RECORD_DTYPE`, for ``rows`` spectra."""
    return {name: np.empty(rows, RECORD_DTYPE[name]) for name in RECORD_DTYPE.names or ()}


def fit_in_blocks(
    inputs: CubeInputs,
    chunk_rows: int,
    keep: Callable[[slice, BlockResult], None],
    progress: bool | None = False,
    *,
    ahead: bool = True,
) -> None:
    """Fits every spectrum of the inputs a block of rows at a time, each
    block prepared while the one before is fitted, and hands each block's
    result (with the flat range of its rows) to ``keep``; what `fit_cube`
    runs in this process, and what each Dask task runs on its block
    (``ahead`` False: each block prepared just before its fit, on the same
    thread)."""
    spatial = inputs.spatial
    prepare = block_preparer(inputs)
    judging = Judging.of(inputs)
    with progress_bar(math.prod(spatial), progress) as bar:
        blocks = row_blocks(spatial, chunk_rows)
        prepared_blocks = (
            _ahead(prepare, blocks) if ahead else ((block, prepare(block)) for block in blocks)
        )
        for block, prepared in prepared_blocks:
            result = fit_prepared(prepared, inputs.velocity32, inputs.settings, judging)
            keep(slice(block.start, block.start + block.count), result)
            bar.update(block.count)


def block_preparer(
    inputs: CubeInputs,
) -> Callable[..., PreparedBlock]:
    """The function that takes a block of rows from the inputs (or some of
    its rows, ``subset``, with guides of their own) and prepares it: only
    the block is read, and only what is fitted is converted or copied."""
    data, axis, channels = inputs.data, inputs.axis, inputs.channels
    flat = [
        v.reshape(-1) if isinstance(v, np.ndarray) else v
        for v in (inputs.guides, inputs.offsets, inputs.continuum_values)
    ]
    guides, offsets, continuum_values = flat
    noise = inputs.noise
    noise_map = np.reshape(noise.value, -1) if noise.kind == "map" else None
    valid_range = (inputs.trust.valid_min, inputs.trust.valid_max)
    changes = (
        inputs.mask is not None or inputs.continuum_mode != "none" or valid_range != (None, None)
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

    def prepare(
        block: RowBlock, subset: np.ndarray | None = None, given_guides: Any = None
    ) -> PreparedBlock:
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
        mask = inputs.mask
        block_mask = None if mask is None else take_rows(mask, block, axis, dtype=np.bool_)
        if subset is not None and block_mask is not None:
            block_mask = block_mask[subset]
        return prepare_block(
            rows,
            inputs.velocity32,
            inputs.settings,
            noise=block_noise,
            mask=block_mask,
            guides=given_guides if given_guides is not None else _slice_of(guides, here),
            offsets=None if offsets is None else _slice_of(offsets, here),
            continuum=inputs.continuum_mode
            if inputs.continuum_mode in ("none", "edges")
            else _slice_of(continuum_values, here),
            valid_range=valid_range,
            velocity_window=inputs.trust.velocity_window,
        )

    return prepare


def refitter(inputs: CubeInputs, chunk_rows: int) -> RefitCallback:
    """The refit that `quillet.work.neighbours` calls: the given rows (flat
    indices, sorted) read from the data a block of `quillet.basics.rows` at a
    time, prepared exactly as the first pass prepared them (mask, valid
    range, noise, continuum round the new guide) and fitted from the given
    guides (km/s, on each spectrum's own axis) and width guesses, in one
    kernel call per width for every ``chunk_rows`` rows gathered."""
    spatial = inputs.spatial
    prepare = block_preparer(inputs)
    judging = Judging.of(inputs)
    settings = inputs.settings

    def refit(rows: np.ndarray, guides: np.ndarray, widths: np.ndarray) -> Refit:
        count = rows.size
        fields = empty_fields(count)
        gathered: list[tuple[np.ndarray, PreparedBlock]] = []
        size = 0

        def fit_gathered() -> None:
            where = np.concatenate([places for places, _ in gathered])
            parts = [part for _, part in gathered]
            block = PreparedBlock(
                np.concatenate([p.spectra for p in parts]),
                np.concatenate([p.noise for p in parts]),
                np.concatenate([p.guides for p in parts]),
                None if parts[0].offsets is None else np.concatenate([p.offsets for p in parts]),
                None if parts[0].continuum is None
                else np.concatenate([p.continuum for p in parts]),
            )  # fmt: skip
            for width in np.unique(widths[where]):
                chosen = np.flatnonzero(widths[where] == width)
                result = fit_prepared(
                    _rows_of(block, chosen), inputs.velocity32,
                    settings.replace(width_guess=float(width)), judging,
                )  # fmt: skip
                store_block(fields, where[chosen], result)
            gathered.clear()

        for block in row_blocks(spatial, chunk_rows):
            first, last = np.searchsorted(rows, [block.start, block.start + block.count])
            if first == last:
                continue
            places = np.arange(first, last)
            gathered.append((places, prepare(block, rows[first:last] - block.start,
                                             guides[first:last])))  # fmt: skip
            size += last - first
            if size >= chunk_rows:
                fit_gathered()
                size = 0
        if gathered:
            fit_gathered()
        fits = np.stack([fields[q.name] for q in QUANTITIES] + [fields["flag"]], axis=1)
        windows = np.stack([fields["window_left"], fields["window_right"]], axis=1)
        extras = {"guide": fields["guide"], "continuum": fields["continuum"]}
        return fits.astype(np.float32), windows, fields["quality"], extras

    return refit


def _rows_of(block: PreparedBlock, chosen: np.ndarray) -> PreparedBlock:
    """Some rows of a prepared block, as a prepared block of their own."""

    def take(values: Any) -> Any:
        return None if values is None else np.ascontiguousarray(values[chosen])

    return PreparedBlock(*(take(values) for values in block))


def refit_in_process(fields: dict[str, np.ndarray], inputs: CubeInputs, chunk_rows: int) -> None:
    """The neighbour refits of a whole fit's records (flat fields of
    `RECORD_DTYPE`), in place: passes over the whole maps, each refit read
    from the data again."""
    if not inputs.spatial:
        return  # one spectrum has no neighbours
    fits, windows = records_as_fits(fields)
    done = refit_from_neighbours(
        fits, windows, fields["quality"], inputs.spatial, refitter(inputs, chunk_rows),
        min_offset=inputs.settings.dv,
        extras={"guide": fields["guide"], "continuum": fields["continuum"]},
    )  # fmt: skip
    _store_fits(fields, slice(None), done.fits, done.windows, done.quality, done.extras)


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


def _store_fits(
    target: Any,
    here: Any,
    fits: np.ndarray,
    windows: np.ndarray,
    quality: np.ndarray,
    extras: Any,
) -> None:
    continuum = extras["continuum"]
    store_block(target, here, BlockResult(fits, windows, continuum, quality, extras["guide"]))


def fit_block_records(inputs: CubeInputs) -> np.ndarray:
    """The records (`RECORD_DTYPE`, of the spatial shape) of a whole block
    of a cube, in one piece, prepared on the calling thread: what one Dask
    task runs. A worker runs as many tasks as it has threads, which keep
    its cores busy, and a thread of preparation beside each would only
    contend with them."""
    spatial = inputs.spatial
    count = math.prod(spatial)
    records = np.empty(count, RECORD_DTYPE)
    fit_in_blocks(
        inputs, max(count, 1), lambda here, result: store_block(records, here, result), ahead=False
    )
    return records.reshape(spatial)


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


def _slice_of(values: Any, here: slice) -> Any:
    """A block's values of a per-spectrum setting: a float as it stands, an
    array flattened in C order (a flattened copy is made once, by the caller)."""
    if isinstance(values, float):
        return values
    return values[here]


def _edges_continuum(
    spectra: np.ndarray, velocity: np.ndarray, guides: np.ndarray, settings: LineSettings
) -> np.ndarray:
    """The median of each spectrum's channels farther from its guide (on the
    shared axis) than the search radius, as float32; NaN where there is none."""
    distance = np.abs(velocity[None, :].astype(np.float64) - guides[:, None])
    outside = np.where(distance > settings.search_radius, spectra, np.float32(np.nan))
    return row_nanmedian(outside).astype(np.float32)

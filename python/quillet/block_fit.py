"""The fit of a cube, a block of spectra at a time, in this process.

Each block of rows (see `quillet.rows`) is taken from the data, made into
the float32 rows the kernel takes with their noise, mask, guides and
continuum (`prepare_block`), handed to one `_quillet.fit_spectra_batch_guided`
call (`fit_prepared`), and its results are stored in the one record layout
of `quillet.results` (`store_block`). `fit_in_blocks` runs that loop for
`fit_cube` in process, preparing each block on a thread of its own while the
kernel fits the one before; `fit_block_records` runs it for one Dask task.
A spectrum's result depends on that spectrum alone, never on the blocks.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, NamedTuple

import numpy as np

import _quillet

from .fit_inputs import CubeInputs
from .noise import der_snr_rows, row_nanmedian
from .progress import progress_bar
from .results import QUANTITIES, RECORD_DTYPE
from .rows import RowBlock, row_blocks, take_rows
from .settings import LineSettings

__all__ = [
    "BlockResult",
    "PreparedBlock",
    "fit_block_records",
    "fit_in_blocks",
    "fit_prepared",
    "prepare_block",
    "store_block",
]


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


def store_block(target: Any, here: slice, result: BlockResult) -> None:
    """Writes a block's results into the fields of `RECORD_DTYPE`, at the
    flat rows ``here``: ``target`` is an array of records, or a mapping of
    one flat array per field."""
    for column, quantity in enumerate(QUANTITIES):
        target[quantity.name][here] = result.fits[:, column]
    target["flag"][here] = result.fits[:, 7]
    target["window_left"][here] = result.windows[:, 0]
    target["window_right"][here] = result.windows[:, 1]
    target["continuum"][here] = np.nan if result.continuum is None else result.continuum


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
    prepare = _block_preparer(inputs)
    with progress_bar(math.prod(spatial), progress) as bar:
        blocks = row_blocks(spatial, chunk_rows)
        prepared_blocks = (
            _ahead(prepare, blocks) if ahead else ((block, prepare(block)) for block in blocks)
        )
        for block, prepared in prepared_blocks:
            result = fit_prepared(prepared, inputs.velocity32, inputs.settings)
            keep(slice(block.start, block.start + block.count), result)
            bar.update(block.count)


def _block_preparer(inputs: CubeInputs) -> Callable[[RowBlock], PreparedBlock]:
    """The function that takes a block of rows from the inputs and prepares
    it: only the block is read, converted or copied."""
    data, axis, channels = inputs.data, inputs.axis, inputs.channels
    flat = [
        v.reshape(-1) if isinstance(v, np.ndarray) else v
        for v in (inputs.guides, inputs.offsets, inputs.continuum_values)
    ]
    guides, offsets, continuum_values = flat
    noise = inputs.noise
    noise_map = np.reshape(noise.value, -1) if noise.kind == "map" else None
    changes = inputs.mask is not None or inputs.continuum_mode != "none"

    def noise_rows(block: RowBlock, here: slice) -> np.ndarray | None:
        if noise.kind == "constant":
            return np.full((block.count, channels), np.float32(noise.value))
        if noise_map is not None:
            levels = np.asarray(noise_map[here], dtype=np.float32)
            return np.repeat(levels[:, None], channels, axis=1)
        if noise.kind == "array":
            return take_rows(noise.value, block, axis)
        return None

    def prepare(block: RowBlock) -> PreparedBlock:
        here = slice(block.start, block.start + block.count)
        mask = inputs.mask
        return prepare_block(
            take_rows(data, block, axis, writable=changes),
            inputs.velocity32,
            inputs.settings,
            noise=noise_rows(block, here),
            mask=None if mask is None else take_rows(mask, block, axis, dtype=np.bool_),
            guides=_slice_of(guides, here),
            offsets=None if offsets is None else _slice_of(offsets, here),
            continuum=inputs.continuum_mode
            if inputs.continuum_mode in ("none", "edges")
            else _slice_of(continuum_values, here),
        )

    return prepare


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

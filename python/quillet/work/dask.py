"""quillet on Dask: one task per block of spectra, the same bits as in process.

All of quillet's Dask graph and cluster code is here (the computing of lazy
results block by block is `quillet.basics.lazy`'s). `fit_cube` hands its inputs
here when any is a Dask array (`fit_lazily`), with its block fitter
(`quillet.work.blocks.BlockFitter`). Each block of the cube (spatial chunks
of any shape, the spectral axis whole) becomes one task that runs the block
driver on its spectra exactly as the in-process fit does, so a
spectrum's result depends on that spectrum alone: not on the chunking, the
scheduler (threads, processes, a distributed cluster), nor on which worker
ran it or how often (a task run again after a worker died gives the same
bits).

Threads. A task's kernel call runs on the extension's worker pool, which is
made once per process, sized by RAYON_NUM_THREADS when the process makes its
first batch. Dask already runs one task per worker thread, so the pool of a
worker process should add only what the worker's threads leave of its
cores: ``cores - nthreads + 1`` (the calling thread is one of the pool's).
A worker with as many threads as cores, the usual set-up, then fits each
block on its task's own thread, and neither oversubscribes its cores nor
leaves one idle while there are tasks. `QuilletWorkerPlugin` sets that size
in every worker before its first task; `worker_options` gives the same to a
`LocalCluster` that quillet starts.
"""

from __future__ import annotations

import contextlib
import warnings
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from ..basics.arrays import is_dask_array
from ..basics.errors import InputError, QuilletError
from ..basics.pool import pool_size
from ..basics.settings import LineSettings
from ..data.fit_inputs import CubeInputs, NoiseSource, TrustOptions
from ..data.quality import is_good
from ..data.results import RECORD_DTYPE
from .blocks import BlockFitter, fit_block_records, records_as_fits, refitter, store_fits
from .neighbours import DEFAULT_MAX_PASSES, PassState, neighbour_pass, planes

if TYPE_CHECKING:
    import dask.array as da

__all__ = [
    "SchedulerError",
    "blockwise_cube",
    "connect",
    "fit_lazily",
    "one_block",
    "worker_options",
]


def worker_options(
    cores_per_worker: int | None = None, threads_per_worker: int = 1
) -> dict[str, Any]:
    """Keywords for `distributed.LocalCluster` (or `Nanny`) whose worker
    processes start with the kernel's pool sized for their threads."""
    size = pool_size(threads_per_worker, cores_per_worker)
    return {"threads_per_worker": threads_per_worker, "env": {"RAYON_NUM_THREADS": str(size)}}


def __getattr__(name: str) -> Any:
    # The worker plugin derives from distributed's WorkerPlugin; it is
    # imported only when asked for, so this module needs no distributed.
    if name == "QuilletWorkerPlugin":
        from .worker_plugin import QuilletWorkerPlugin

        return QuilletWorkerPlugin
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def spectral_last(data: da.Array, axis: int) -> da.Array:
    """The cube with its spectral axis last and in one chunk, rechunked with
    a warning when it was split: a spectrum is fitted whole, by one task."""
    import dask.array as da

    data = da.moveaxis(data, axis, -1)
    if len(data.chunks[-1]) > 1:
        warnings.warn(
            f"the spectral axis is split into {len(data.chunks[-1])} chunks; quillet rechunks "
            "it into one, so that each task holds whole spectra (chunk the cube along its "
            "spatial axes only to avoid the extra work)",
            stacklevel=3,
        )
        data = data.rechunk({data.ndim - 1: -1})
    return data


def like_spatial(value: Any, spatial_chunks: tuple[tuple[int, ...], ...]) -> da.Array:
    """A per-spectrum array (NumPy or Dask) as a Dask array chunked like the
    cube's spatial axes."""
    import dask.array as da

    shape = tuple(sum(c) for c in spatial_chunks)
    if is_dask_array(value):
        return da.broadcast_to(value, shape).rechunk(spatial_chunks)
    return da.from_array(np.broadcast_to(np.asarray(value), shape), chunks=spatial_chunks)


def like_cube(value: Any, chunks: tuple[tuple[int, ...], ...], axis: int) -> da.Array:
    """A per-pixel array (NumPy or Dask, with its spectral axis at ``axis``
    like the cube's) chunked like the cube with its spectral axis last."""
    import dask.array as da

    moved = da.moveaxis(da.asarray(value) if is_dask_array(value) else value, axis, -1)
    shape = tuple(sum(c) for c in chunks)
    if is_dask_array(moved):
        return da.broadcast_to(moved, shape).rechunk(chunks)
    return da.from_array(np.broadcast_to(np.asarray(moved), shape), chunks=chunks)


def blockwise_cube(data: Any, axis: int) -> tuple[da.Array, str, str]:
    """A cube (NumPy, array-like or Dask) as a Dask array with its spectral
    axis last and whole, and the `dask.array.blockwise` indices of its
    spatial axes and of all its axes."""
    import dask.array as da

    if not is_dask_array(data):
        data = da.from_array(data, chunks={axis: -1})
    cube = spectral_last(data, axis)
    spatial_index = "".join(chr(ord("a") + i) for i in range(cube.ndim - 1))
    return cube, spatial_index, spatial_index + "z"


def fit_lazily(inputs: CubeInputs, fitter: BlockFitter) -> da.Array:
    """A lazy Dask array of the fitter's records, one per spectrum: one task
    per block of the cube, each running the block driver
    (`quillet.work.blocks.fit_block_records`) on its block, read exactly as
    the in-process fit reads its blocks; then, for a fitter that asks for
    them unless ``refit_neighbours`` is off, the neighbour refits' passes,
    each a task per block that reads the block's records and a halo of one
    pixel round them from the pass before (`_refit_passes`)."""
    import dask.array as da

    axis = inputs.axis
    cube, spatial_index, pixel_index = blockwise_cube(inputs.data, axis)
    arguments: list[Any] = [cube, pixel_index]
    present: list[str] = []
    constants: dict[str, Any] = {}
    noise = inputs.noise
    if noise.kind == "array":
        arguments += [like_cube(noise.value, cube.chunks, axis), pixel_index]
        present.append("noise")
    elif noise.kind == "map":
        arguments += [like_spatial(noise.value, cube.chunks[:-1]), spatial_index]
        present.append("noise_map")
    elif noise.kind == "constant":
        constants["noise"] = noise.value
    if inputs.mask is not None:
        arguments += [like_cube(inputs.mask, cube.chunks, axis), pixel_index]
        present.append("mask")
    per_spectrum = (
        ("guides", inputs.guides),
        ("offsets", inputs.offsets),
        ("continuum", inputs.continuum_values),
    )
    for name, value in per_spectrum:
        if isinstance(value, (float, str)):
            constants[name] = value
        elif value is not None:
            arguments += [like_spatial(value, cube.chunks[:-1]), spatial_index]
            present.append(name)
    described = {
        "present": tuple(present),
        "constants": constants,
        "continuum_mode": inputs.continuum_mode,
        "velocity32": inputs.velocity32,
        "settings": inputs.settings,
        "trust": inputs.trust,
    }
    records = da.blockwise(
        _fit_task,
        spatial_index,
        *arguments,
        dtype=fitter.dtype,
        # The spectral axis is one chunk: each task gets its block as a list
        # of one, which it unwraps, where concatenating would copy it whole.
        concatenate=False,
        meta=np.empty((0,) * (cube.ndim - 1), fitter.dtype),
        fitter=fitter,
        **described,
    )
    if not fitter.neighbour_refits or not inputs.trust.refit_neighbours or records.ndim == 0:
        return records
    return _refit_passes(records, arguments, spatial_index, described, fitter)


#: The records of a refit pass: a fit's record and the start it was last
#: refitted from (`quillet.work.neighbours.PassState.tried`).
PASS_DTYPE = np.dtype(
    [*((name, RECORD_DTYPE[name]) for name in RECORD_DTYPE.names or ()),
     ("tried_guide", np.float32), ("tried_width", np.float32)]
)  # fmt: skip


def _refit_passes(
    records: da.Array,
    arguments: list[Any],
    spatial_index: str,
    described: dict[str, Any],
    fitter: BlockFitter,
) -> da.Array:
    """The neighbour refits as a graph: each pass one task per block, which
    reads its block of the previous pass's records, the centre, sigma and
    goodness of a halo of one pixel round it (in the plane of the last two
    spatial axes; NaN beyond the maps' edges), and its block of the data
    (read again: `_read_again`), and writes its block of new records
    (Jacobi: no pass reads its own output). The maps are then those of the
    passes in process, whatever the chunking or the scheduler."""
    import dask.array as da

    ndim = records.ndim
    plane = (0,) if ndim == 1 else (ndim - 2, ndim - 1)
    depth = {ax: (1 if ax in plane else 0) for ax in range(ndim)}
    boundary = {ax: np.nan for ax in range(ndim)}
    state = records.map_blocks(_as_state, dtype=PASS_DTYPE, meta=np.empty((0,) * ndim, PASS_DTYPE))
    for round_ in range(DEFAULT_MAX_PASSES):
        around = [
            da.overlap.overlap(
                state.map_blocks(_start_field, name, dtype=np.float64,
                                 meta=np.empty((0,) * ndim, np.float64)),
                depth=depth, boundary=boundary,
            )
            for name in ("centre", "sigma", "good")
        ]  # fmt: skip
        halo_arguments: list[Any] = [state, spatial_index]
        for values in around:
            halo_arguments += [values, spatial_index]
        state = da.blockwise(
            _refit_task,
            spatial_index,
            *halo_arguments,
            *_read_again(arguments, spatial_index, seed=round_),
            dtype=PASS_DTYPE,
            concatenate=False,
            # The halo arrays have larger blocks than the records; the
            # blocks pair up one to one, as they are.
            align_arrays=False,
            meta=np.empty((0,) * ndim, PASS_DTYPE),
            fitter=fitter,
            **described,
        )
    return state.map_blocks(_as_records, dtype=RECORD_DTYPE,
                            meta=np.empty((0,) * ndim, RECORD_DTYPE))  # fmt: skip


def _read_again(arguments: list[Any], spatial_index: str, *, seed: int) -> list[Any]:
    """The blockwise arguments with the cube and every array of its shape
    (noise, mask) as copies of their graphs under keys of their own: each
    pass reads its blocks again, as the in-process refits do, so that no
    block of the cube is held from the first pass to the last (which would
    hold the whole cube in the cluster's memory)."""
    from dask.graph_manipulation import clone

    again = list(arguments)
    for k in range(0, len(again), 2):
        if again[k + 1] != spatial_index and is_dask_array(again[k]):
            again[k] = clone(again[k], seed=(seed, k))
    return again


def _as_state(records: np.ndarray) -> np.ndarray:
    """Records of a first pass as the state of the refit passes: nothing tried."""
    state = np.empty(records.shape, PASS_DTYPE)
    for name in RECORD_DTYPE.names or ():
        state[name] = records[name]
    state["tried_guide"] = np.nan
    state["tried_width"] = np.nan
    return state


def _as_records(state: np.ndarray) -> np.ndarray:
    records = np.empty(state.shape, RECORD_DTYPE)
    for name in RECORD_DTYPE.names or ():
        records[name] = state[name]
    return records


def _start_field(state: np.ndarray, name: str) -> np.ndarray:
    """What a neighbour reads of a record: its centre, sigma, or whether it
    is good (1.0 or 0.0)."""
    if name == "good":
        return is_good(state["flag"], state["quality"]).astype(np.float64)
    return np.asarray(state[name], dtype=np.float64)


def _block_inputs(
    data: Any,
    blocks: tuple[Any, ...],
    *,
    present: tuple[str, ...],
    constants: dict[str, Any],
    continuum_mode: str,
    velocity32: np.ndarray,
    settings: LineSettings,
    trust: TrustOptions,
) -> CubeInputs:
    """The inputs of one block of the cube (spectral axis last), as the
    in-process fit reads them."""
    data = one_block(data)
    named = {name: one_block(block) for name, block in zip(present, blocks, strict=True)}
    if "noise" in named:
        noise = NoiseSource("array", named["noise"])
    elif "noise_map" in named:
        noise = NoiseSource("map", named["noise_map"])
    elif "noise" in constants:
        noise = NoiseSource("constant", constants["noise"])
    else:
        noise = NoiseSource("estimate")

    def per_spectrum(name: str, default: Any) -> Any:
        return named[name] if name in named else constants.get(name, default)

    return CubeInputs(
        data=data,
        axis=data.ndim - 1,
        velocity32=velocity32,
        settings=settings,
        noise=noise,
        mask=named.get("mask"),
        guides=per_spectrum("guides", 0.0),
        offsets=per_spectrum("offsets", None),
        continuum_mode=continuum_mode,
        continuum_values=per_spectrum("continuum", None),
        trust=trust,
    )


def _fit_task(
    data: np.ndarray, *blocks: np.ndarray, fitter: BlockFitter, **described: Any
) -> np.ndarray:
    """One Dask task: the records of one block of the cube (spectral axis
    last)."""
    return fit_block_records(_block_inputs(data, blocks, **described), fitter)


def _refit_task(
    state: np.ndarray,
    centre: np.ndarray,
    sigma: np.ndarray,
    good: np.ndarray,
    data: np.ndarray,
    *blocks: np.ndarray,
    fitter: BlockFitter,
    **described: Any,
) -> np.ndarray:
    """One Dask task of a refit pass: the new records of one block, from its
    records, the halo round them and its block of the cube."""
    inputs = _block_inputs(data, blocks, **described)
    shape = state.shape
    flat = state.reshape(-1)
    fits, windows = records_as_fits(flat)
    tried = np.stack([flat["tried_guide"], flat["tried_width"]], axis=1)
    current = PassState(
        fits, windows, flat["quality"].copy(), tried,
        {"guide": flat["guide"].copy(), "continuum": flat["continuum"].copy()},
    )  # fmt: skip
    around = tuple(_as_planes(values) for values in (centre, sigma, good))
    count = max(flat.size, 1)
    new, _ = neighbour_pass(
        current, planes(shape), refitter(inputs, fitter, count),
        min_offset=described["settings"].dv,
        around=around,  # type: ignore[arg-type]
    )  # fmt: skip
    out = np.empty(flat.size, PASS_DTYPE)
    store_fits(out, slice(None), new.fits, new.windows, new.quality, new.extras)
    out["tried_guide"] = new.tried[:, 0]
    out["tried_width"] = new.tried[:, 1]
    return out.reshape(shape)


def _as_planes(values: np.ndarray) -> np.ndarray:
    """A block with its halo as planes (planes, height + 2, width + 2): a
    slit's one row gets NaN rows above and below, as a map's edge has."""
    if values.ndim == 1:
        padded = np.full((1, 3, values.shape[0]), np.nan)
        padded[0, 1] = values
        return padded
    return values.reshape(-1, *values.shape[-2:])


def one_block(blocks: Any) -> Any:
    """The block of an argument whose spectral axis is one chunk: Dask hands
    a task the blocks along an axis its result drops as a list."""
    while isinstance(blocks, list):
        (blocks,) = blocks
    return blocks


class SchedulerError(QuilletError, ConnectionError):
    """A Dask scheduler that cannot be reached, or was lost during a run."""


#: What a lost scheduler or worker connection raises in a client.
def scheduler_failures() -> tuple[type[BaseException], ...]:
    from concurrent.futures import CancelledError

    return (OSError, TimeoutError, CancelledError)


@contextlib.contextmanager
def connect(scheduler: str, *, timeout: float = 10.0, quiet: bool = False) -> Iterator[Any]:
    """A distributed Client for ``scheduler``: "tcp://HOST:PORT" (or any
    address distributed takes) of a running scheduler, or "local:N" for a
    LocalCluster of N worker processes on this machine, started here and
    stopped at the end. Registers `QuilletWorkerPlugin` on the cluster.
    Raises `SchedulerError` when the scheduler cannot be reached. With
    ``quiet``, distributed's own log (a worker lost and replaced, retried
    connections, with their tracebacks) is not shown, and the workers of a
    local cluster ignore Ctrl-C: a command line reports what matters in its
    own words, and stops them itself."""
    import logging

    from distributed import Client, LocalCluster

    from .worker_plugin import QuilletWorkerPlugin

    if quiet:
        # distributed sets levels on some of its loggers of its own.
        for name in [n for n in logging.root.manager.loggerDict if n.startswith("distributed")]:
            logging.getLogger(name).setLevel(logging.CRITICAL)
        logging.getLogger("distributed").setLevel(logging.CRITICAL)
    cluster = None
    if scheduler.startswith("local:"):
        count = scheduler.removeprefix("local:")
        if not count.isdigit() or int(count) < 1:
            raise InputError(
                f"scheduler={scheduler!r}: write local:N with N the number of worker "
                "processes, such as local:4"
            )
        # With quiet, the workers ignore Ctrl-C: the client tells of it and
        # stops them.
        cluster = LocalCluster(
            n_workers=int(count), processes=True, host="127.0.0.1", dashboard_address=None,
            silence_logs=logging.CRITICAL if quiet else logging.WARNING,
            preload=["quillet.work.worker_plugin"] if quiet else [], **worker_options(),
            # Its scheduler's HTTP server (health, metrics) on a free port: the
            # usual 8787 may be taken, which distributed warns of.
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        )  # fmt: skip
        client = Client(cluster)
    else:
        try:
            client = Client(scheduler, timeout=f"{timeout}s")
        except scheduler_failures() as error:
            raise SchedulerError(
                f"cannot reach the Dask scheduler at {scheduler} ({error}); check the "
                "address and that a scheduler runs there (dask scheduler), or start one "
                "here with scheduler='local:N'"
            ) from None
    try:
        client.register_plugin(QuilletWorkerPlugin())
        yield client
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a lost scheduler complains on close too
            client.close()
            if cluster is not None:
                cluster.close()

"""quillet on Dask: one task per block of spectra, the same bits as in process.

`fit_cube` hands a Dask array here. Each block of the cube (spatial chunks
of any shape, the spectral axis whole) becomes one task that prepares its
spectra exactly as the in-process fit does and makes one kernel call, so a
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
import math
import os
import warnings
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from .results import QUANTITIES, LineFit

if TYPE_CHECKING:
    import dask.array as da

__all__ = [
    "RECORD_DTYPE",
    "blocks_of",
    "is_dask_array",
    "line_fit_of_records",
    "pool_size",
    "worker_options",
]

#: One fit per record: the seven float maps, the flag, the window's two
#: ends and the continuum subtracted (NaN when none was).
RECORD_DTYPE = np.dtype(
    [(q.name, np.float32) for q in QUANTITIES]
    + [
        ("flag", np.int8),
        ("window_left", np.int32),
        ("window_right", np.int32),
        ("continuum", np.float32),
    ]
)


def is_dask_array(value: Any) -> bool:
    """True for a Dask array, without importing Dask when it is not one."""
    module = type(value).__module__
    return module.startswith("dask.") and hasattr(value, "chunks") and hasattr(value, "dask")


def pool_size(nthreads: int, cores: int | None = None) -> int:
    """The kernel's pool size for a worker process running ``nthreads``
    tasks at once on ``cores`` cores (by default as many as its threads)."""
    cores = nthreads if cores is None else cores
    return max(1, cores - nthreads + 1)


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


def blocks_of(records: da.Array) -> Iterator[tuple[tuple[slice, ...], Any]]:
    """The blocks of a lazy array as (where, delayed block) pairs."""
    from itertools import product

    starts = [np.cumsum((0, *c)) for c in records.chunks]
    delayed = records.to_delayed()
    for index in product(*(range(len(c)) for c in records.chunks)):
        where = tuple(slice(int(s[i]), int(s[i + 1])) for s, i in zip(starts, index, strict=True))
        yield where, delayed[index]


def distributed_client() -> Any:
    """The distributed Client that Dask would compute with: the default one,
    unless Dask is told to use a local scheduler; None when Dask runs
    locally."""
    import dask

    if dask.config.get("scheduler", None) not in (None, "dask.distributed", "distributed"):
        return None
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:
        return None


def computed_blocks(records: da.Array) -> Iterator[tuple[tuple[slice, ...], np.ndarray]]:
    """Computes the blocks of a lazy array and yields each as it is done:
    on a distributed cluster in the order they finish (a block is fetched
    and let go, so the client holds one at a time), on a local scheduler a
    few blocks at a time."""
    import dask

    pairs = list(blocks_of(records))
    client = distributed_client()
    if client is not None:
        from distributed import as_completed

        futures = client.compute([block for _, block in pairs])
        where_of = {future.key: where for future, (where, _) in zip(futures, pairs, strict=True)}
        try:
            # Fetched in batches of what has finished: a round trip per batch,
            # not per block.
            for batch in as_completed(futures, with_results=True).batches():
                for future, block in batch:
                    yield where_of[future.key], block
        except BaseException:
            # Stop the work nobody will read (Ctrl-C, a failed block). On
            # success the futures are just let go: their keys may be shared
            # with a persisted copy, which cancelling would cancel too.
            client.cancel(futures)
            raise
        return
    group = max(1, 2 * (os.cpu_count() or 1))
    for first in range(0, len(pairs), group):
        chosen = pairs[first : first + group]
        for (where, _), block in zip(chosen, dask.compute(*[b for _, b in chosen]), strict=True):
            yield where, block


def rows_in(where: tuple[slice, ...]) -> int:
    return math.prod(s.stop - s.start for s in where)


def line_fit_of_records(records: Any, with_continuum: bool, **described: Any) -> LineFit:
    """A `LineFit` of records (`RECORD_DTYPE`, one per spectrum): lazy
    fields of lazy records, so that computing them fits each block once, or
    contiguous maps of records in memory."""
    if is_dask_array(records):
        import dask.array as da

        window = da.stack([records["window_left"], records["window_right"]], axis=-1)
        window = window.rechunk({window.ndim - 1: 2})
        fields = {name: records[name] for name in RECORD_DTYPE.names or ()}
        kept = records
    else:
        window = np.stack([records["window_left"], records["window_right"]], axis=-1)
        fields = {name: np.ascontiguousarray(records[name]) for name in RECORD_DTYPE.names or ()}
        kept = None
    return LineFit(
        **{q.name: fields[q.name] for q in QUANTITIES},
        flag=fields["flag"],
        window=window,
        continuum=fields["continuum"] if with_continuum else None,
        records=kept,
        **described,
    )


def compute_records(records: da.Array, *, progress: bool | None = False) -> np.ndarray:
    """Lazy records computed into memory block by block, as blocks finish."""
    from .cube_fit import progress_bar

    out = np.empty(records.shape, RECORD_DTYPE)
    with progress_bar(math.prod(records.shape), progress) as bar:
        for where, block in computed_blocks(records):
            out[where] = block
            bar.update(rows_in(where))
    return out


def persist_records(records: da.Array, *, progress: bool | None = False) -> da.Array:
    """Lazy records computed and kept: on a distributed cluster's workers
    (the client receives nothing but news of each block), or in memory."""
    import dask.array as da

    client = distributed_client()
    if client is None:
        return da.from_array(compute_records(records, progress=progress), chunks=records.chunks)
    from distributed import as_completed, futures_of

    from .cube_fit import progress_bar

    persisted = client.persist(records)
    with progress_bar(math.prod(records.shape), progress) as bar:
        for future in as_completed(futures_of(persisted)):
            future.result()  # raises what the task raised
            # A block's key is (name, i, j, ...): its index in the chunks.
            index = future.key[1:]
            bar.update(math.prod(c[i] for c, i in zip(records.chunks, index, strict=True)))
    return persisted


class SchedulerError(ConnectionError):
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
    connections, with their tracebacks) is not shown: a command line reports
    what matters in its own words."""
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
            raise ValueError(
                f"--scheduler {scheduler}: write local:N with N the number of worker "
                "processes, such as local:4"
            )
        cluster = LocalCluster(
            n_workers=int(count), processes=True, host="127.0.0.1", dashboard_address=None,
            silence_logs=logging.CRITICAL if quiet else logging.WARNING, **worker_options(),
        )  # fmt: skip
        client = Client(cluster)
    else:
        try:
            client = Client(scheduler, timeout=f"{timeout}s")
        except scheduler_failures() as error:
            raise SchedulerError(
                f"cannot reach the Dask scheduler at {scheduler} ({error}); check the "
                "address and that a scheduler runs there (dask scheduler), or start one "
                "here with --scheduler local:N"
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

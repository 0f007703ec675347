"""Lazy results computed block by block: from Dask arrays to maps in memory,
to a cluster's memory, or to a file, a block at a time.

On a distributed cluster the client follows the work itself, so that a
cluster that cannot finish it says so rather than leaving the client
waiting: a block whose workers kept dying (Dask's KilledWorker), or a
cluster left with no workers for longer than Dask's configuration value
``quillet.worker-timeout`` (seconds, 300 by default; the command line's
``--worker-timeout``), ends the wait with a `ClusterError`.

A Dask fit's results are records (one per spectrum) in blocks. These
functions compute them in the order the blocks finish, so that the client
holds one block at a time and a progress bar follows the tasks. Dask is
imported only when a lazy array is met.
"""

from __future__ import annotations

import contextlib
import math
import os
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import ClusterError
from .progress import progress_bar

if TYPE_CHECKING:
    import dask.array as da

__all__ = [
    "WORKER_TIMEOUT",
    "blocks_of",
    "cluster_failures",
    "compute",
    "compute_records",
    "computed_blocks",
    "distributed_client",
    "persist_records",
    "rows_in",
]


#: Seconds a distributed cluster may have no worker before the client stops
#: waiting for it, unless Dask's configuration sets quillet.worker-timeout.
WORKER_TIMEOUT = 300.0

# How often the client looks for finished work, and for workers when none is.
_POLL_SECONDS = 0.05
_WORKERS_EVERY = 1.0


def worker_timeout() -> float:
    import dask

    return float(dask.config.get("quillet.worker-timeout", WORKER_TIMEOUT))


def finished(client: Any, futures: list[Any]) -> Iterator[list[Any]]:
    """The futures in batches, as they finish; raises `ClusterError` when
    the workers that ran a block kept dying, or when the cluster has had no
    worker for longer than `worker_timeout`."""
    from distributed import as_completed

    timeout = worker_timeout()
    pending = as_completed(futures)
    looked = 0.0
    alone_since: float | None = None
    while not pending.is_empty():
        batch = pending.next_batch(block=False)
        if batch:
            with cluster_failures():
                for future in batch:
                    if future.status != "finished":
                        future.result()  # raises what the task raised, or its cancelling
            alone_since = None
            yield batch
            continue
        now = time.monotonic()
        if now - looked >= _WORKERS_EVERY:
            looked = now
            # A client whose scheduler is out of reach knows of no workers
            # at all (no "workers" entry): whether it comes back is for the
            # client's own reconnection to decide, not this count.
            workers = client.scheduler_info(n_workers=1).get("workers")
            if workers is None or workers:
                alone_since = None
            elif alone_since is None:
                alone_since = now
            elif now - alone_since > timeout:
                raise ClusterError(
                    f"the Dask cluster has had no workers for {timeout:g} s, with work "
                    "left to do; start workers (dask worker ADDRESS) or wait longer "
                    "(quillet.worker-timeout)"
                )
        time.sleep(_POLL_SECONDS)


@contextlib.contextmanager
def cluster_failures() -> Iterator[None]:
    """Dask's KilledWorker as a `ClusterError` that says what it means."""
    try:
        yield
    except Exception as error:
        if type(error).__name__ != "KilledWorker":
            raise
        raise ClusterError(
            "the Dask workers running one block died every time it was tried (KilledWorker: "
            f"{' '.join(str(error).split())[:200]}); see the workers' logs, and their memory "
            "limit"
        ) from None


def compute(value: Any) -> Any:
    """Computes a Dask collection (a store's writes, say): on a distributed
    cluster followed as `finished` follows the blocks."""
    client = distributed_client()
    if client is None:
        return value.compute()
    future = client.compute(value)
    try:
        for _ in finished(client, [future]):
            pass
    except BaseException:
        client.cancel([future])
        raise
    return future.result()


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
        futures = client.compute([block for _, block in pairs])
        where_of = {future.key: where for future, (where, _) in zip(futures, pairs, strict=True)}
        try:
            # Fetched in batches of what has finished: a round trip per batch,
            # not per block.
            for batch in finished(client, futures):
                for future, block in zip(batch, client.gather(batch), strict=True):
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


def compute_records(records: da.Array, *, progress: bool | None = False) -> np.ndarray:
    """Lazy records computed into memory block by block, as blocks finish."""
    out = np.empty(records.shape, records.dtype)
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
    from distributed import futures_of

    persisted = client.persist(records)
    with progress_bar(math.prod(records.shape), progress) as bar:
        for batch in finished(client, futures_of(persisted)):
            for future in batch:
                # A block's key is (name, i, j, ...): its index in the chunks.
                index = future.key[1:]
                bar.update(math.prod(c[i] for c, i in zip(records.chunks, index, strict=True)))
    return persisted

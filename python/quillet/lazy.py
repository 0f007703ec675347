"""Lazy results computed block by block: from Dask arrays to maps in memory,
to a cluster's memory, or to a file, a block at a time.

A Dask fit's results are records (one per spectrum) in blocks. These
functions compute them in the order the blocks finish, so that the client
holds one block at a time and a progress bar follows the tasks. Dask is
imported only when a lazy array is met.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from .progress import progress_bar

if TYPE_CHECKING:
    import dask.array as da

__all__ = [
    "blocks_of",
    "compute_records",
    "computed_blocks",
    "distributed_client",
    "persist_records",
    "rows_in",
]


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
    from distributed import as_completed, futures_of

    persisted = client.persist(records)
    with progress_bar(math.prod(records.shape), progress) as bar:
        for future in as_completed(futures_of(persisted)):
            future.result()  # raises what the task raised
            # A block's key is (name, i, j, ...): its index in the chunks.
            index = future.key[1:]
            bar.update(math.prod(c[i] for c, i in zip(records.chunks, index, strict=True)))
    return persisted

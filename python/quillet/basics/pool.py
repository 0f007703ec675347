"""The size of the kernel's worker pool in a process that already runs
tasks on threads of its own (a Dask worker).

Here, at the ground floor, so that the Dask graph code and the worker plugin
each take it from below rather than one from the other.
"""

from __future__ import annotations

__all__ = ["pool_size"]


def pool_size(nthreads: int, cores: int | None = None) -> int:
    """The kernel's pool size for a worker process running ``nthreads``
    tasks at once on ``cores`` cores (by default as many as its threads)."""
    cores = nthreads if cores is None else cores
    return max(1, cores - nthreads + 1)

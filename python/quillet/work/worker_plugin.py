"""The Dask worker plugin that sizes the kernel's pool for a worker's threads.

Kept apart from `quillet.work.dask` because it derives from distributed's
`WorkerPlugin` and so imports distributed, which a local Dask does not need.
"""

from __future__ import annotations

import os
from typing import Any

from distributed import WorkerPlugin

from ..basics.pool import pool_size

__all__ = ["QuilletWorkerPlugin"]


class QuilletWorkerPlugin(WorkerPlugin):  # type: ignore[misc]
    """Sizes the kernel's pool of each worker process from the worker's
    thread count, before its first task (see `quillet.basics.pool.pool_size`).

    ``cores`` is the number of cores each worker may use; by default its
    number of threads, so that the worker's own threads are the parallelism.
    Register it once per cluster, before the first fit::

        client.register_plugin(quillet.work.dask.QuilletWorkerPlugin())

    The pool is made by a process's first batch and keeps its size: a worker
    that has already fitted keeps the pool it had.
    """

    name = "quillet-pool"
    idempotent = True

    def __init__(self, cores: int | None = None) -> None:
        self.cores = cores

    def setup(self, worker: Any) -> None:
        os.environ["RAYON_NUM_THREADS"] = str(pool_size(worker.state.nthreads, self.cores))


def dask_setup(worker: Any) -> None:
    """Run in each worker process of a LocalCluster that the command line
    starts (as its ``preload``): Ctrl-C at a terminal reaches every process
    of the foreground group, and the client alone answers it, in one line,
    and stops the cluster; a worker would only print its own traceback."""
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)

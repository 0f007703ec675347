"""A real two-process Dask cluster on loopback, for the tests that need one."""

from __future__ import annotations

import contextlib
import logging
import warnings
from collections.abc import Iterator
from typing import Any

import quillet.work.dask


@contextlib.contextmanager
def two_process_client() -> Iterator[Any]:
    """A Client of a LocalCluster of two worker processes, each with the
    kernel's pool sized for its thread; closed at the end. The cluster's
    own chatter (a worker lost, a task resubmitted) is not a failure."""
    from distributed import Client, LocalCluster

    logging.getLogger("distributed").setLevel(logging.ERROR)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(
            n_workers=2, processes=True, host="127.0.0.1", dashboard_address=None,
            **quillet.work.dask.worker_options(),
        )  # fmt: skip
        client = Client(cluster)
    try:
        yield client
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            client.close()
            cluster.close()

"""A command's work run in this process, or on the Dask cluster that
--scheduler names (an address, or local:N worker processes started here),
with a cluster that fails or a scheduler lost told in one line.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from ..basics.errors import ClusterError, QuilletError


def here_or_on_dask(
    args: argparse.Namespace,
    work: Callable[[argparse.Namespace, Any], int],
    what: str,
    lost: Callable[[], str],
) -> int:
    """Runs ``work(args, chunks)`` in this process (chunks None), or with
    --scheduler on the Dask cluster it names, with the blocks of --chunks; a
    cluster that fails or a scheduler lost during ``what`` is one line that
    ends with ``lost()`` (what was not written)."""
    if args.scheduler is None:
        return work(args, None)
    import dask

    from ..basics.lazy import cluster_failures
    from ..work.dask import SchedulerError, connect, scheduler_failures

    timeout = {"quillet.worker-timeout": args.worker_timeout}
    with (
        dask.config.set(timeout),
        connect(args.scheduler, timeout=args.connect_timeout, quiet=True) as client,
    ):
        try:
            with cluster_failures():
                return work(args, args.chunks or "auto")
        except ClusterError as error:
            raise ClusterError(f"{error}; {lost()}") from None
        except (KeyboardInterrupt, QuilletError):
            raise
        except scheduler_failures() as error:
            if not _scheduler_lost(client, error):
                raise
            reason = str(error) or type(error).__name__
            raise SchedulerError(
                f"lost the Dask scheduler at {args.scheduler} during {what} ({reason}); {lost()}"
            ) from None


def _scheduler_lost(client: Any, error: BaseException) -> bool:
    """Whether an error in a Dask run is the cluster's (a connection lost, a
    task cancelled with it) rather than, say, a file the user named."""
    from concurrent.futures import CancelledError

    return (
        client.status != "running"
        or isinstance(error, (CancelledError, TimeoutError))
        or type(error).__module__.startswith("distributed")
    )

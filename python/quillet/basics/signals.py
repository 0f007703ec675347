"""SIGTERM handled as Ctrl-C is: the work stops where it is, every output
under way is removed, and the command line ends with its own status.

Batch systems send SIGTERM at a wall-time limit, and ``kill`` sends it by
default. Python's default for SIGTERM ends the process on the spot, leaving
temporary files behind; `catch_termination` makes it raise `Terminated` in
the main thread instead, a KeyboardInterrupt, so that everything that
cleans up after Ctrl-C cleans up after SIGTERM too. Only the command line
installs it: a library must not take signals from its host.
"""

from __future__ import annotations

import contextlib
import signal
import sys
from types import FrameType

__all__ = ["EXIT_INTERRUPTED", "EXIT_TERMINATED", "Terminated", "catch_termination", "stopped"]

EXIT_INTERRUPTED = 128 + signal.SIGINT  # 130, as a shell reports Ctrl-C
EXIT_TERMINATED = 128 + signal.SIGTERM  # 143


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised where the main thread was."""


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    raise Terminated()


def catch_termination() -> None:
    """SIGTERM raises `Terminated` in the main thread from now on, unless
    it was ignored when the process started (``nohup``-like launchers mean
    that)."""
    if signal.getsignal(signal.SIGTERM) is not signal.SIG_IGN:
        signal.signal(signal.SIGTERM, _raise_terminated)


def stopped(stop: KeyboardInterrupt, *, line_open: bool = False) -> int:
    """Tells, in one line on standard error, that the run was stopped, and
    returns the exit status for it: 143 for SIGTERM, 130 for Ctrl-C."""
    terminated = isinstance(stop, Terminated)
    what = "terminated (SIGTERM)" if terminated else "interrupted"
    message = f"quillet: {what}; no output was written for the unfinished step"
    with contextlib.suppress(OSError):  # standard error closed: the status says it all
        print(("\n" if line_open else "") + message, file=sys.stderr, flush=True)
    return EXIT_TERMINATED if terminated else EXIT_INTERRUPTED

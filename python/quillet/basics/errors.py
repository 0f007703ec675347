"""The package's own errors: what a user did wrong, told in one line.

Every mistake the package can see in what it is given (an array of the wrong
shape, a setting out of range, a file that is not a cube, an output that
exists) raises a `QuilletError`, whose message says what is wrong and how to
mend it. The command line shows these as one line and exit status 2; any
other exception is a fault of the package and keeps its traceback. Each
error also derives from the built-in exception a Python caller would expect
(ValueError, TypeError, OverflowError, ImportError, OSError,
RuntimeError), so ``except ValueError`` still works.

Messages name Python keywords (``velocity_range=``); the command line
speaks of its options instead.
"""

from __future__ import annotations

import contextlib
import sys
import warnings
from collections.abc import Iterator
from typing import TextIO

__all__ = [
    "ClusterError",
    "InputError",
    "InputOverflowError",
    "InputTypeError",
    "MissingDependency",
    "OutputError",
    "QuilletError",
    "QuilletWarning",
    "warnings_in_one_line",
]


class QuilletError(Exception):
    """A mistake in what the package was given: its message says what is
    wrong and how to mend it."""


class InputError(QuilletError, ValueError):
    """A value the package cannot use: a shape, a setting, a file's content."""


class InputTypeError(QuilletError, TypeError):
    """A value of a kind the package does not take, or an unknown keyword."""


class InputOverflowError(QuilletError, OverflowError):
    """A whole number too large for the kernel's integers."""


class MissingDependency(QuilletError, ImportError):
    """An optional dependency that a call needs is not installed."""


class QuilletWarning(UserWarning):
    """Something the package met and worked round, which the user should
    know of: a noise HDU of another shape not used, a spatial WCS that
    cannot be used while the spectral axis can."""


@contextlib.contextmanager
def warnings_in_one_line(prefix: str = "quillet: warning: ") -> Iterator[None]:
    """Every warning shown as one line on standard error, its text alone:
    what a command line shows, with no source line of the package's."""

    def show(
        message: Warning | str,
        category: type[Warning],
        filename: str,
        lineno: int,
        file: TextIO | None = None,
        line: str | None = None,
    ) -> None:
        print(prefix + " ".join(str(message).split()), file=sys.stderr)

    with warnings.catch_warnings():
        warnings.showwarning = show
        yield


class OutputError(QuilletError, OSError):
    """An output that cannot be written where it was asked for: its folder,
    the room on its device, or a file the run reads."""


class ClusterError(QuilletError, RuntimeError):
    """A Dask cluster that could not finish the work: workers that kept
    dying, or none at all for too long."""

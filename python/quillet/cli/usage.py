"""A mistake on the command line: its exception, its exit status, and any
error's text in one line.

Every room of the command line raises `UsageError` for a mistake argparse
cannot see; `quillet.cli.entry.main` prints it as one line and ends with
`EXIT_USAGE`.
"""

from __future__ import annotations

from ..basics.errors import QuilletError

__all__ = ["EXIT_USAGE", "UsageError", "one_line"]


EXIT_USAGE = 2


class UsageError(QuilletError):
    """A mistake in the command line that argparse cannot see."""


def one_line(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    if isinstance(error, FileNotFoundError) and error.filename:
        text = f"{error.filename}: no such file or folder"
    return " ".join(text.split())

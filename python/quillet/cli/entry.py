"""The entry point, `main`: the parser of every command, and how a run
ends: its exit status, and any error as one line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import sys
from collections.abc import Sequence
from typing import Any

from ..basics.errors import QuilletError, warnings_in_one_line
from ..basics.signals import EXIT_INTERRUPTED, catch_termination, stopped
from .fit import add_fit
from .info import add_info
from .moments import add_moments
from .options import Parser, Version
from .plot import add_plot
from .usage import EXIT_USAGE, one_line

EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as a shell reports a Unix tool so ended
__all__ = ["EXIT_BROKEN_PIPE", "EXIT_INTERRUPTED", "EXIT_USAGE", "build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="quillet",
        description="Fit a Gaussian line to every spectrum of a FITS cube: maps of amplitude, "
        "velocity and width, exact to the bit.",
    )
    parser.add_argument("--version", action=Version, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add_info(commands)
    add_fit(commands)
    add_moments(commands)
    add_plot(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    catch_termination()
    stderr = _LineEnds(sys.stderr)
    try:
        with contextlib.redirect_stderr(stderr), warnings_in_one_line():
            parser = build_parser()
            try:
                args = parser.parse_args(
                    _ranges_joined(sys.argv[1:] if argv is None else list(argv))
                )
            except SystemExit as stop:  # --help, --version, or a usage error already told
                status = stop.code if isinstance(stop.code, int) else EXIT_USAGE
            else:
                status = args.run(args)
            sys.stdout.flush()  # a reader gone is told here, not at exit
        return status
    except KeyboardInterrupt as stop:  # Ctrl-C, or SIGTERM (`quillet.basics.signals`)
        return stopped(stop, line_open=stderr.in_line)
    except BrokenPipeError:
        return _reader_gone()
    except (QuilletError, OSError) as error:
        with contextlib.suppress(OSError):
            print(f"quillet: error: {_as_options(one_line(error))}", file=sys.stderr)
        return EXIT_USAGE


def _reader_gone() -> int:
    """Standard output's reader went away (``quillet info ... | head``):
    the run ends quietly, as SIGPIPE ends a Unix tool, and what Python still
    holds for standard output goes nowhere rather than to a message at exit."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    return EXIT_BROKEN_PIPE


def _ranges_joined(argv: list[str]) -> list[str]:
    """The arguments with each value of --velocity-range joined to its
    option: argparse takes a value such as -200,250, which starts with a
    dash but is no plain negative number, for an option of its own."""
    joined: list[str] = []
    waiting = False
    for word in argv:
        if waiting and word.startswith("-") and "," in word:
            joined[-1] = f"{joined[-1]}={word}"
        else:
            joined.append(word)
        waiting = word == "--velocity-range"
    return joined


# A keyword named in a message of the package, as `name=`, `name=True` or
# `name='value'`: the command line speaks of its option instead.
_KEYWORD = re.compile(r"\b([a-z][a-z0-9_]*)=(True\b|'[^']*'|(?=[\s,;:)]|$))")


def _as_options(text: str) -> str:
    """A library message with the keywords it names as the options of the
    command line (``velocity_range=`` as ``--velocity-range``); keywords
    with no option are left as they are."""
    options = _option_names()

    def option(match: re.Match[str]) -> str:
        name, value = match.group(1), match.group(2)
        if name not in options:
            return match.group(0)
        flag = f"--{name.replace('_', '-')}"
        return flag if value in ("", "True") else f"{flag} {value.strip(chr(39))}"

    return _KEYWORD.sub(option, text)


def _option_names() -> set[str]:
    names: set[str] = set()
    parser = build_parser()
    for action in parser._subparsers._group_actions if parser._subparsers else ():
        for sub in getattr(action, "choices", {}).values():
            names.update(a.dest for a in sub._actions)
    return names


class _LineEnds:
    """Standard error, noting whether what was written last ends its line: a
    progress bar that Ctrl-C cuts off before it ends its line (while it is
    being set up, say) must not swallow the message that follows."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.in_line = False

    def write(self, text: str) -> int:
        if text:
            self.in_line = not text.endswith("\n")
        return int(self._stream.write(text))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)

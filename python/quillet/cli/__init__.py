"""The ``quillet`` command (the top floor): look at a cube, fit it, draw the
maps.

Every mistake of the user's (a missing file, an HDU that is not there, an
axis that is not spectral, a setting out of range, an output that exists)
ends with one line on standard error that says what is wrong and how to mend
it, and exit status 2: the package raises a `QuilletError` for each, or an
OSError for a file it cannot read or write. Anything else is a fault of
quillet's and keeps its traceback (exit status 1). Ctrl-C ends with status
130 and SIGTERM with 143, each with one line; a reader of standard output
that goes away (``quillet info ... | head``) ends the run quietly with 141,
as SIGPIPE ends Unix tools. No output file is ever left half-written, none
is replaced without ``--overwrite``, and none may be a file the run reads;
every output is resolved and checked before any work
(`quillet.basics.outputs`).

The rooms, each importing only those listed before it and the layers below:
`usage` (`UsageError`, the usage status, an error's text in one line),
`options` (the parser, the parsers of values, the option groups),
`model_options` (the line-model options and the `LineModel` they make),
`files` (the cube and images a command names), `cluster` (work run here or
on Dask), one room per command (`info`, `fit`, `moments`, `plot`), and
`entry` (`main`: the parser of every command, exit statuses, error lines).

Nothing here imports anything heavy at its top, so that the console entry
point, which imports this package before calling `main`, is quick to reach
`main`, which catches SIGTERM and Ctrl-C first thing; each command imports
what it needs when it runs.
"""

from .entry import EXIT_BROKEN_PIPE, EXIT_INTERRUPTED, EXIT_USAGE, build_parser, main

__all__ = ["EXIT_BROKEN_PIPE", "EXIT_INTERRUPTED", "EXIT_USAGE", "build_parser", "main"]

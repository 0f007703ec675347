"""The progress bar of long work: spectra fitted, blocks written.

One bar for every long step (the fit in process, a Dask run followed from
the client, maps written block by block), on standard error, shown only
when that is a terminal (or when asked), and only once a step has lasted
half a second, so quick work prints nothing.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tqdm import tqdm

__all__ = ["progress_bar"]


@contextmanager
def progress_bar(
    total: int, progress: bool | None, *, desc: str = "fitting"
) -> Iterator[tqdm[Any]]:
    """A tqdm bar counting ``total`` spectra; shown when ``progress`` is
    True, or when it is None and standard error is a terminal."""
    from tqdm import tqdm

    if progress is None:
        progress = sys.stderr.isatty()
    with tqdm(
        total=total,
        disable=not progress,
        unit=" spectra",
        unit_scale=True,
        desc=desc,
        file=sys.stderr,
        dynamic_ncols=True,
        delay=0.5,  # a fit over in a moment shows no bar
    ) as bar:
        yield bar

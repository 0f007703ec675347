"""Neighbour refits: a second chance for a fit from the fits around it.

A spectrum whose fit is not good, or whose centre strays from those of its
good neighbours, is often a line the first pass missed: a spike took the
window, the line was fainter than the brightest pixel near the guide, or
the start was far off. This module owns the refits that start such a
spectrum from its good neighbours (8-neighbourhood in the spatial plane):
the guide is their median centre and the width guess their median sigma.
A refit is kept when it is good and, if the first fit was good, its
reduced chi-square is lower. A first fit that is not good is replaced by
any good refit, whatever its chi-square: a fit of noise in a window of
noise has a reduced chi-square near 1, as a line's fit has, so the
comparison would be a coin toss (in a synthetic disc with 90 bad starts,
asking a lower chi-square left 31 of them unmended; on the three real
sets it changed nothing).

The passes are Jacobi-style: each pass chooses its spectra and their
starts from the previous pass's maps alone and writes a new set of maps,
so the result depends on neither the order of the rows nor how they are
split into blocks. The fitting itself is a callback, so that the same
passes can later run on blocks with a halo of one pixel.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from .quality import Quality, is_good

__all__ = [
    "DEFAULT_MAX_PASSES",
    "DEFAULT_OUTLIER_SIGMAS",
    "NeighbourRefit",
    "Refit",
    "neighbour_starts",
    "refit_from_neighbours",
]

#: A centre is an outlier when it departs from its good neighbours' median
#: by more than this many robust sigmas (1.4826 MAD) of their centres: at 5
#: a Gaussian spread of neighbours flags one good fit in about 1.7 million.
DEFAULT_OUTLIER_SIGMAS = 5.0

#: Passes at most: the first mends what good neighbours surround; the next
#: reach spectra whose neighbours were mended by the one before. After
#: three, what is left has too few good neighbours to be helped.
DEFAULT_MAX_PASSES = 3

#: Good neighbours needed before their median is trusted as a start.
MIN_GOOD_NEIGHBOURS = 3

#: Width guesses are rounded to a geometric grid of this many steps per
#: factor of two (19 % apart), so that a pass makes a few kernel calls, one
#: per width, and each row's start is fixed by its neighbours alone.
WIDTH_STEPS_PER_OCTAVE = 4

#: What the refit callback returns for the rows it was given: the kernel's
#: (n, 8) fits and (n, 2) windows, and their quality bits (uint16).
Refit = tuple[np.ndarray, np.ndarray, np.ndarray]

RefitCallback = Callable[[np.ndarray, np.ndarray, float], Refit]


@dataclass(frozen=True)
class NeighbourRefit:
    """The fits after the neighbour passes, one per row (flattened spatial
    order): ``fits`` (N, 8), ``windows`` (N, 2), ``quality`` (N,) with
    REFITTED set where a refit was kept, and ``good`` (N,); ``passes`` is
    how many passes ran."""

    fits: np.ndarray
    windows: np.ndarray
    quality: np.ndarray
    good: np.ndarray
    passes: int


def _neighbour_stack(values: np.ndarray) -> np.ndarray:
    """The 8 neighbours of every pixel of a 2-D map, as (8, H, W), NaN
    beyond the edges."""
    height, width = values.shape
    padded = np.full((height + 2, width + 2), np.nan)
    padded[1:-1, 1:-1] = values
    shifts = [(dy, dx) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if (dy, dx) != (0, 0)]
    return np.stack(
        [padded[1 + dy : 1 + dy + height, 1 + dx : 1 + dx + width] for dy, dx in shifts]
    )


def _nanmedian(values: np.ndarray) -> np.ndarray:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN stacks give NaN
        return np.asarray(np.nanmedian(values, axis=0))


def neighbour_starts(
    centre: np.ndarray, sigma: np.ndarray, good: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """For each pixel of 2-D maps: the median centre and sigma of its good
    neighbours, the robust spread of their centres (1.4826 MAD), and how
    many good neighbours it has."""
    usable = good & np.isfinite(centre) & np.isfinite(sigma)
    centres = _neighbour_stack(np.where(usable, centre, np.nan))
    sigmas = _neighbour_stack(np.where(usable, sigma, np.nan))
    count = np.count_nonzero(np.isfinite(centres), axis=0)
    median_centre = _nanmedian(centres)
    spread = 1.4826 * _nanmedian(np.abs(centres - median_centre[None]))
    return median_centre, _nanmedian(sigmas), spread, count


def _quantised(width: np.ndarray) -> np.ndarray:
    steps = np.round(WIDTH_STEPS_PER_OCTAVE * np.log2(width)) / WIDTH_STEPS_PER_OCTAVE
    return np.asarray(np.exp2(steps))


def refit_from_neighbours(
    fits: np.ndarray,
    windows: np.ndarray,
    quality: np.ndarray,
    shape: tuple[int, ...],
    refit: RefitCallback,
    *,
    min_offset: float,
    outlier_sigmas: float = DEFAULT_OUTLIER_SIGMAS,
    max_passes: int = DEFAULT_MAX_PASSES,
) -> NeighbourRefit:
    """Refit, from their good neighbours, the spectra that are not good or
    whose centre is an outlier among them.

    ``fits`` (N, 8), ``windows`` (N, 2) and ``quality`` (N,) are the first
    pass's results, in the C order of the spatial
    ``shape`` (2-D; a 1-D slit counts as one row of pixels). A spectrum is
    a candidate when it has at least three good neighbours and is not good,
    or its centre departs from their median by more than ``outlier_sigmas``
    robust sigmas of their centres, and at least ``min_offset`` km/s (the
    floor: one channel, so that a field of neighbours that agree to the
    bit does not make every rounding an outlier).

    ``refit(rows, guides, width_guess)`` fits the given rows (sorted flat
    indices) with those guides (float32, km/s) and one width guess, and
    returns their fits, windows and quality bits. Width guesses
    are the neighbours' median sigma rounded to a grid of 2^(1/4) (the
    kernel takes one per call; a start 10 % off changes where the solver
    begins, not where a clear line ends), one call per width. A row is not
    refitted twice from the same start.
    """
    if len(shape) == 1:
        shape = (1, shape[0])
    if len(shape) != 2 or math.prod(shape) != fits.shape[0]:
        raise ValueError(f"neighbour refits need a 2-D spatial shape of {fits.shape[0]} spectra")
    if max_passes < 0:
        raise ValueError(f"max_passes must be 0 or more, not {max_passes}")
    fits = fits.copy()
    windows = windows.copy()
    quality = np.asarray(quality, dtype=np.uint16).copy()
    good = is_good(fits[:, 7], quality)
    tried = np.full((fits.shape[0], 2), np.nan, dtype=np.float32)
    passes = 0
    for _ in range(max_passes):
        centre = fits[:, 1].astype(np.float64).reshape(shape)
        sigma = fits[:, 2].astype(np.float64).reshape(shape)
        median_centre, median_sigma, spread, count = (
            values.reshape(-1) for values in neighbour_starts(centre, sigma, good.reshape(shape))
        )
        limit = np.maximum(outlier_sigmas * spread, min_offset)
        with np.errstate(invalid="ignore"):
            stray = np.abs(fits[:, 1] - median_centre) > limit
        candidate = (count >= MIN_GOOD_NEIGHBOURS) & (~good | stray)
        guides = median_centre.astype(np.float32)
        widths = _quantised(median_sigma).astype(np.float32)
        fresh = ~((tried[:, 0] == guides) & (tried[:, 1] == widths))
        rows = np.flatnonzero(candidate & fresh)
        if rows.size == 0:
            break
        passes += 1
        tried[rows, 0] = guides[rows]
        tried[rows, 1] = widths[rows]
        new_fits, new_windows = fits.copy(), windows.copy()
        new_quality, new_good = quality.copy(), good.copy()
        for width in np.unique(widths[rows]):
            group = rows[widths[rows] == width]
            got, got_windows, got_quality = refit(group, guides[group], float(width))
            got_good = is_good(got[:, 7], got_quality)
            with np.errstate(invalid="ignore"):
                better = got[:, 6] < fits[group, 6]
            keep = got_good & (~good[group] | better)
            chosen = group[keep]
            new_fits[chosen] = got[keep]
            new_windows[chosen] = got_windows[keep]
            new_quality[chosen] = np.asarray(got_quality, np.uint16)[keep] | np.uint16(
                Quality.REFITTED
            )
            new_good[chosen] = True
        fits, windows, quality, good = new_fits, new_windows, new_quality, new_good
    return NeighbourRefit(fits, windows, quality, good, passes)

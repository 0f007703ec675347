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
pass (`neighbour_pass`) runs over whole maps in this process and on
blocks with a halo of one pixel on Dask. Maps of more than two spatial
axes are a stack of planes of their last two axes; a spectrum's
neighbours are those of its plane.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..data.noise import row_nanmedian
from ..data.quality import Quality, is_good

__all__ = [
    "DEFAULT_MAX_PASSES",
    "DEFAULT_OUTLIER_SIGMAS",
    "NeighbourRefit",
    "PassState",
    "Refit",
    "neighbour_pass",
    "neighbour_starts",
    "per_width",
    "planes",
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


def _neighbour_stack(values: np.ndarray) -> np.ndarray:
    """The 8 neighbours of every pixel of 2-D maps (..., H, W) in the plane
    of their last two axes, as (8, ..., H, W), NaN beyond the edges."""
    height, width = values.shape[-2:]
    padded = np.full((*values.shape[:-2], height + 2, width + 2), np.nan)
    padded[..., 1:-1, 1:-1] = values
    shifts = [(dy, dx) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if (dy, dx) != (0, 0)]
    return np.stack(
        [padded[..., 1 + dy : 1 + dy + height, 1 + dx : 1 + dx + width] for dy, dx in shifts]
    )


def _nanmedian(values: np.ndarray) -> np.ndarray:
    """Median over the first axis (NaN where every value is NaN), as the
    noise estimate takes its medians: a sort of each short stack, several
    times faster than NumPy's nanmedian, and it warns of nothing (a
    warnings filter would be no shield: it is process-wide, and Dask runs
    passes on several threads at once)."""
    stacks = np.moveaxis(values, 0, -1).reshape(-1, values.shape[0]).copy()
    return row_nanmedian(stacks).reshape(values.shape[1:])


def neighbour_starts(
    centre: np.ndarray, sigma: np.ndarray, good: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """For each pixel of 2-D maps (or a stack of them, (..., H, W)): the
    median centre and sigma of its good
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


#: What the refit callback returns for the rows it was given: the kernel's
#: (n, 8) fits and (n, 2) windows, their quality bits (uint16), and
#: optionally a mapping of further per-row values that go with each fit
#: (the guide it used, say), replaced wherever the refit is kept.
Refit = tuple[Any, ...]

#: ``refit(rows, guides, widths)``: fit the rows (sorted flat indices) from
#: those guides (float32, km/s) and width guesses (float32, one per row).
RefitCallback = Callable[[np.ndarray, np.ndarray, np.ndarray], Refit]


def per_width(refit: Callable[[np.ndarray, np.ndarray, float], Refit]) -> RefitCallback:
    """A refit callback made of one that takes a single width guess (as the
    kernel does): called once per width, in the order of the widths."""

    def by_width(rows: np.ndarray, guides: np.ndarray, widths: np.ndarray) -> Refit:
        parts: list[tuple[np.ndarray, Refit]] = []
        for width in np.unique(widths):
            chosen = np.flatnonzero(widths == width)
            parts.append((chosen, tuple(refit(rows[chosen], guides[chosen], float(width)))))
        order = np.argsort(np.concatenate([chosen for chosen, _ in parts]), kind="stable")
        joined = [np.concatenate([got[k] for _, got in parts])[order] for k in range(3)]
        return tuple(joined)

    return by_width


@dataclass(frozen=True)
class NeighbourRefit:
    """The fits after the neighbour passes, one per row (flattened spatial
    order): ``fits`` (N, 8), ``windows`` (N, 2), ``quality`` (N,) with
    REFITTED set where a refit was kept, ``good`` (N,), the ``extras``
    that went with each kept fit; ``passes`` is how many passes ran."""

    fits: np.ndarray
    windows: np.ndarray
    quality: np.ndarray
    good: np.ndarray
    passes: int
    extras: Mapping[str, np.ndarray] = dataclasses.field(default_factory=dict)


@dataclass(frozen=True)
class PassState:
    """What one pass reads and writes, one entry per row: the fits, windows
    and quality bits, the ``extras`` kept with them, and the start each row
    was last refitted from (``tried``, (N, 2) guide and width; NaN for
    none): a row is not refitted twice from the same start, which would
    give the same fit again."""

    fits: np.ndarray
    windows: np.ndarray
    quality: np.ndarray
    tried: np.ndarray
    extras: Mapping[str, np.ndarray] = dataclasses.field(default_factory=dict)

    @classmethod
    def first(
        cls,
        fits: np.ndarray,
        windows: np.ndarray,
        quality: np.ndarray,
        extras: Mapping[str, np.ndarray] | None = None,
    ) -> PassState:
        """The state after the first pass: copies, so that passes never
        write their inputs; nothing tried yet."""
        return cls(
            fits.copy(),
            windows.copy(),
            np.asarray(quality, dtype=np.uint16).copy(),
            np.full((fits.shape[0], 2), np.nan, dtype=np.float32),
            {name: np.array(values) for name, values in (extras or {}).items()},
        )


def planes(shape: tuple[int, ...]) -> tuple[int, int, int]:
    """A spatial shape as a stack of planes of its last two axes: one
    spectrum is a plane of one pixel, a slit a plane of one row."""
    if len(shape) == 0:
        return (1, 1, 1)
    if len(shape) == 1:
        return (1, 1, shape[0])
    return (math.prod(shape[:-2]), shape[-2], shape[-1])


def neighbour_pass(
    state: PassState,
    shape: tuple[int, int, int],
    refit: RefitCallback,
    *,
    min_offset: float,
    outlier_sigmas: float = DEFAULT_OUTLIER_SIGMAS,
    around: tuple[np.ndarray, np.ndarray, np.ndarray] | None = None,
) -> tuple[PassState, int]:
    """One pass over rows in the C order of ``shape`` (planes, height,
    width): the candidates (see `refit_from_neighbours`), chosen and
    started from the previous pass alone, refitted, and the refits kept
    where they are good and (for a first fit that was good) of lower
    reduced chi-square. Returns the new state and how many rows were
    refitted.

    ``around`` is for a block of larger maps: the centre, sigma and
    goodness (True/False as 1/0, NaN for none) of the block with a halo of
    one pixel on each side of its planes, (planes, height + 2, width + 2),
    from which the block's neighbours are read; by default the maps are
    whole and have no neighbour beyond their edges."""
    fits, quality = state.fits, state.quality
    good = is_good(fits[:, 7], quality)
    starts: tuple[np.ndarray, ...]
    if around is None:
        centre = fits[:, 1].astype(np.float64).reshape(shape)
        sigma = fits[:, 2].astype(np.float64).reshape(shape)
        starts = neighbour_starts(centre, sigma, good.reshape(shape))
    else:
        centre, sigma, goodness = around
        starts = tuple(
            values[..., 1:-1, 1:-1] for values in neighbour_starts(centre, sigma, goodness == 1.0)
        )
    median_centre, median_sigma, spread, count = (values.reshape(-1) for values in starts)
    limit = np.maximum(outlier_sigmas * spread, min_offset)
    with np.errstate(invalid="ignore"):
        stray = np.abs(fits[:, 1] - median_centre) > limit
    # A blank spectrum has nothing to refit.
    blank = (quality & np.uint16(Quality.NO_DATA)) != 0
    candidate = (count >= MIN_GOOD_NEIGHBOURS) & (~good | stray) & ~blank
    guides = median_centre.astype(np.float32)
    widths = _quantised(median_sigma).astype(np.float32)
    tried = state.tried
    fresh = ~((tried[:, 0] == guides) & (tried[:, 1] == widths))
    rows = np.flatnonzero(candidate & fresh)
    if rows.size == 0:
        return state, 0
    new = PassState(
        fits.copy(),
        state.windows.copy(),
        quality.copy(),
        tried.copy(),
        {name: values.copy() for name, values in state.extras.items()},
    )
    new.tried[rows, 0] = guides[rows]
    new.tried[rows, 1] = widths[rows]
    got = tuple(refit(rows, guides[rows], widths[rows]))
    got_fits, got_windows = got[0], got[1]
    got_quality = np.asarray(got[2], np.uint16)
    got_extras: Mapping[str, np.ndarray] = got[3] if len(got) > 3 else {}
    got_good = is_good(got_fits[:, 7], got_quality)
    with np.errstate(invalid="ignore"):
        better = got_fits[:, 6] < fits[rows, 6]
    keep = got_good & (~good[rows] | better)
    chosen = rows[keep]
    new.fits[chosen] = got_fits[keep]
    new.windows[chosen] = got_windows[keep]
    new.quality[chosen] = got_quality[keep] | np.uint16(Quality.REFITTED)
    for name, values in new.extras.items():
        values[chosen] = np.asarray(got_extras[name])[keep]
    return new, int(rows.size)


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
    extras: Mapping[str, np.ndarray] | None = None,
) -> NeighbourRefit:
    """Refit, from their good neighbours, the spectra that are not good or
    whose centre is an outlier among them.

    ``fits`` (N, 8), ``windows`` (N, 2) and ``quality`` (N,) are the first
    pass's results, in the C order of the spatial ``shape`` (a 1-D slit
    counts as one row of pixels; more axes, as planes of the last two). A
    spectrum is a candidate when it has data, at least three good
    neighbours, and is not good or its centre departs from their median by
    more than ``outlier_sigmas`` robust sigmas of their centres, and at
    least ``min_offset`` km/s (the floor: one channel, so that a field of
    neighbours that agree to the bit does not make every rounding an
    outlier).

    ``refit(rows, guides, widths)`` fits the given rows (sorted flat
    indices) from those guides (float32, km/s) and width guesses (float32,
    one per row) and returns their fits, windows and quality bits, and the
    ``extras`` (per-row values kept with each fit) of each refit when
    ``extras`` are given. Width guesses are the neighbours' median sigma
    rounded to a grid of 2^(1/4) (the kernel takes one per call; a start
    10 % off changes where the solver begins, not where a clear line ends),
    so a pass makes one kernel call per width. A row is not refitted twice
    from the same start.
    """
    if math.prod(shape) != fits.shape[0]:
        raise ValueError(f"the spatial shape {shape} does not hold {fits.shape[0]} spectra")
    if max_passes < 0:
        raise ValueError(f"max_passes must be 0 or more, not {max_passes}")
    state = PassState.first(fits, windows, quality, extras)
    passes = 0
    for _ in range(max_passes):
        state, refitted = neighbour_pass(
            state, planes(shape), refit, min_offset=min_offset, outlier_sigmas=outlier_sigmas
        )
        if refitted == 0:
            break
        passes += 1
    good = is_good(state.fits[:, 7], state.quality)
    return NeighbourRefit(
        state.fits, state.windows, state.quality, good, passes, dict(state.extras)
    )

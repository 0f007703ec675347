"""Windows that follow the line, and the limits each fit was held to.

The kernel fits each spectrum on a window of ``npix`` channels either side
of its brightest pixel, with the sigma bounded by ``width_max``. A line
broader than the window is fitted on its core alone and its wings are
extrapolated. This module owns the refits that widen a fit's window to
``±window_sigmas·sigma`` (`fit_rows_adaptive`), and the limits (the peak
value, the centre bounds, the width bound) that each fit was held to
(`RowLimits`, `peak_search`), which the quality bits read.

A row's refits depend only on that row's own data, guide and first fit:
rows are grouped by their new window only to make one kernel call per
group, and the kernel's result for a row does not depend on the rows
beside it. So the results never depend on block size, threads or
scheduler; rows that need no refit keep the batch's bits.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import _quillet
import _quillet_kernels

from ..basics.errors import InputError
from ..basics.settings import LineSettings
from ..data.quality import DEFAULT_WINDOW_SIGMAS, RowLimits

__all__ = [
    "DEFAULT_MAX_ROUNDS",
    "DEFAULT_WINDOW_SIGMAS",
    "AdaptiveFit",
    "fit_rows_adaptive",
    "peak_search",
    "row_limits",
]


#: Default number of refit rounds: each round widens the window to the
#: line's latest sigma, which a fit of the core alone underestimates, so a
#: round or two usually settles it; on the real and synthetic sets measured
#: (docs/trust_figures.md) at most 0.5 % of the spectra used all three.
DEFAULT_MAX_ROUNDS = 3


@dataclass(frozen=True)
class AdaptiveFit:
    """The final fit of each row: the kernel's (N, 8) float32 rows and
    (N, 2) int32 windows; ``npix`` (N,) the half-window each was fitted
    with; ``rounds`` (N,) how many refits it took (0: the batch's own);
    ``wider`` (N,) True where the fitted line still reaches beyond its
    window after the refits; the ``limits`` it was held to; and ``finite``
    (N,) each row's count of finite pixels among those fitted."""

    fits: np.ndarray
    windows: np.ndarray
    npix: np.ndarray
    rounds: np.ndarray
    wider: np.ndarray
    limits: RowLimits
    finite: np.ndarray


def peak_search(
    rows: np.ndarray, velocity32: np.ndarray, guides: np.ndarray, settings: LineSettings
) -> tuple[np.ndarray, np.ndarray]:
    """The brightest pixel the kernel takes for each row: its channel (-1
    where no peak is accepted) and its value (NaN there).

    The same search as the kernel's, in its single precision: the pixels
    within ``npix_slack * dv + velocity_range`` of the guide, the first of
    equal maxima, accepted when positive and within ``velocity_range`` of
    the guide."""
    channel, value, _ = _peaks_and_finite(rows, velocity32, guides, settings)
    return channel, value


def _peaks_and_finite(
    rows: np.ndarray, velocity32: np.ndarray, guides: np.ndarray, settings: LineSettings
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """`peak_search`'s channel and value, and each row's count of finite
    pixels among the ``sg_xpixels`` searched, in one pass of the kernel."""
    n = settings.sg_xpixels
    radius = np.float32(np.float32(settings.npix_slack) * np.float32(settings.dv)) + np.float32(
        settings.velocity_range
    )
    channel, value, finite = _quillet_kernels.find_peaks(
        np.ascontiguousarray(rows, dtype=np.float32),
        np.ascontiguousarray(velocity32[:n], dtype=np.float32),
        np.ascontiguousarray(guides, dtype=np.float32).reshape(-1),
        float(radius),
        float(np.float32(settings.velocity_range)),
    )
    return channel.astype(np.intp), value, finite


def row_limits(
    rows: np.ndarray,
    velocity32: np.ndarray,
    guides: np.ndarray,
    settings: LineSettings,
    npix: np.ndarray | int | None = None,
    width_max: np.ndarray | float | None = None,
    *,
    peaks: tuple[np.ndarray, np.ndarray] | None = None,
) -> RowLimits:
    """The limits of each row's fit for the given (per-row) ``npix`` and
    ``width_max`` (by default the settings'), computed as the kernel
    computes them in single precision; ``peaks`` is what `peak_search`
    gives for these rows, if it is already known."""
    count = rows.shape[0]
    channel, value = peak_search(rows, velocity32, guides, settings) if peaks is None else peaks
    half = np.broadcast_to(np.asarray(settings.npix if npix is None else npix), (count,))
    hw = np.float32(settings.dv) * half.astype(np.float32)
    w = np.where(channel >= 0, velocity32[np.maximum(channel, 0)], np.float32(np.nan))
    upper = np.broadcast_to(
        np.asarray(settings.width_max if width_max is None else width_max, np.float32), (count,)
    )
    return RowLimits(
        peak_value=value.astype(np.float32),
        centre_low=(w - hw).astype(np.float32),
        centre_high=(w + hw).astype(np.float32),
        width_min=np.full(count, settings.width_min, np.float32),
        width_max=np.array(upper, np.float32),
    )


def fit_rows_adaptive(
    rows: np.ndarray,
    velocity: np.ndarray,
    noise: np.ndarray,
    guides: np.ndarray,
    settings: LineSettings,
    *,
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS,
    max_rounds: int = DEFAULT_MAX_ROUNDS,
) -> AdaptiveFit:
    """Fit every row, then fit again on a wider window every line that
    reaches beyond its own.

    First the kernel's batch on all rows. Then, for up to ``max_rounds``
    rounds, each successful fit whose centre ± ``window_sigmas`` · sigma
    reaches beyond its window (the stretch its first and last channels
    sample, half a channel beyond their velocities), on a side where the
    window does not yet reach the end of the axis, is fitted again with
    ``npix = ceil((|centre - peak| + window_sigmas · sigma) / dv)``, the
    window being centred on the brightest pixel (at least one more than
    before, so every round widens) and ``width_max`` at least the new
    half-window ``npix · dv``: the sigma may then grow up to
    ``window_sigmas`` times what the window was set for, and a line broader
    still reaches beyond the new window and is refitted on the next round.
    A tighter bound (the half-window / 2, say) would pin a broad line on
    its bound and so take more rounds to reach it.

    A refit that fails (no peak, no convergence) leaves the row's earlier
    fit in place and ends its rounds: a wider window that holds a second
    line or a spike says nothing better about this line. ``wider`` marks
    the rows whose final line still reaches beyond its window.

    The arguments are those of `_quillet.fit_spectra_batch_guided`: rows
    and noise (N, M) float32 C-contiguous, the axis (M,) float32, guides
    (N,) float32. With ``max_rounds=0``, or rows needing no refit, the
    results are the batch's bits.
    """
    if not (math.isfinite(window_sigmas) and window_sigmas > 0.0):
        raise InputError(f"window_sigmas= must be a positive number, not {window_sigmas!r}")
    if max_rounds < 0:
        raise InputError(f"max_rounds= must be 0 or more, not {max_rounds}")
    kwargs = settings.as_kwargs()
    fits, windows = _quillet.fit_spectra_batch_guided(rows, velocity, noise, guides, **kwargs)
    count = rows.shape[0]
    channels = settings.sg_xpixels
    npix = np.full(count, settings.npix, dtype=np.int64)
    width_max = np.full(count, settings.width_max, dtype=np.float64)
    rounds = np.zeros(count, dtype=np.uint8)
    active = np.ones(count, dtype=bool)
    axis = np.asarray(velocity[:channels], dtype=np.float64)
    channel, value, finite = _peaks_and_finite(rows, velocity, guides, settings)
    peaks = (channel, value)
    peak_velocity = axis[np.maximum(peaks[0], 0)]
    for _ in range(max_rounds):
        # Only a side where the window may still grow asks for a refit: a
        # line that runs off an end of the axis stays wider than its window.
        before, after = _reaches_beyond(fits, windows, axis, window_sigmas)
        grows = (before & (windows[:, 0] > 0)) | (after & (windows[:, 1] < channels))
        todo = np.flatnonzero(active & grows)
        if todo.size == 0:
            break
        # The window is centred on the brightest pixel, not on the fitted
        # centre: it must reach k sigma beyond the centre on its far side.
        offset = np.abs(fits[todo, 1].astype(np.float64) - peak_velocity[todo])
        wanted = np.ceil((offset + window_sigmas * fits[todo, 2].astype(np.float64)) / settings.dv)
        new_npix = np.minimum(np.maximum(wanted.astype(np.int64), npix[todo] + 1), channels)
        # One kernel call per new half-window, its rows in ascending order.
        order = np.argsort(new_npix, kind="stable")
        halves, starts = np.unique(new_npix[order], return_index=True)
        for half, group in zip(halves, np.split(todo[order], starts[1:]), strict=True):
            wider_max = max(settings.width_max, float(half) * settings.dv)
            refits, rewindows = _quillet.fit_spectra_batch_guided(
                np.ascontiguousarray(rows[group]),
                velocity,
                np.ascontiguousarray(noise[group]),
                np.ascontiguousarray(guides[group]),
                **{**kwargs, "npix": int(half), "width_max": wider_max},
            )
            took = refits[:, 7] == 0.0
            kept = group[took]
            fits[kept] = refits[took]
            windows[kept] = rewindows[took]
            npix[kept] = half
            width_max[kept] = wider_max
            rounds[kept] += 1
            active[group[~took]] = False
    before, after = _reaches_beyond(fits, windows, axis, window_sigmas)
    wider = before | after
    limits = row_limits(rows, velocity, guides, settings, npix, width_max, peaks=peaks)
    return AdaptiveFit(fits, windows, npix.astype(np.int32), rounds, wider, limits, finite)


def _reaches_beyond(
    fits: np.ndarray, windows: np.ndarray, axis: np.ndarray, window_sigmas: float
) -> tuple[np.ndarray, np.ndarray]:
    """Successful fits whose centre ± k sigma leaves their window (the
    stretch its first and last channels sample: their velocities widened by
    half a channel), on the side of its first channel and of its last."""
    success = fits[:, 7] == 0.0
    first = axis[np.where(success, windows[:, 0], 0)]
    last = axis[np.maximum(np.where(success, windows[:, 1] - 1, 0), 0)]
    half = 0.5 * float(np.median(np.abs(np.diff(axis))))
    rising = axis[-1] > axis[0]
    centre = fits[:, 1].astype(np.float64)
    reach = window_sigmas * fits[:, 2].astype(np.float64)
    with np.errstate(invalid="ignore"):
        below = centre - reach < np.minimum(first, last) - half
        above = centre + reach > np.maximum(first, last) + half
    before, after = (below, above) if rising else (above, below)
    return np.asarray(success & before), np.asarray(success & after)

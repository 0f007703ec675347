"""Guides from the data: where in each spectrum its line is sought.

The kernel looks for a line only within its search radius of a guide
velocity. This module owns the guide a spectrum gives itself
(`find_guides`) and the check that a guide a user gave can reach the axis
at all (`check_guide_on_axis`), so that a guide off the axis is an error
before any work rather than a map of "no local maximum".

Every guide depends on its own spectrum alone, so guides, and the fits
that follow them, never depend on block size, threads or scheduler.
"""

from __future__ import annotations

import math
from typing import Literal

import numpy as np
from numpy.typing import ArrayLike

import _quillet_kernels

from ..basics.errors import InputError

__all__ = ["GUIDE_METHODS", "check_guide_on_axis", "find_guides"]

GuideMethod = Literal["peak", "moment"]

#: The two ways a guide is found: the peak of the spectrum smoothed over
#: one line width (the default), or its intensity-weighted velocity.
GUIDE_METHODS: tuple[GuideMethod, ...] = ("peak", "moment")

# Values of the moment's float64 work arrays per piece of rows (8 MB each).
_PIECE_VALUES = 2**20


def find_guides(
    rows: np.ndarray,
    velocity: ArrayLike,
    noise: ArrayLike,
    *,
    line_sigma: float,
    velocity_window: tuple[float, float] | None = None,
    method: GuideMethod = "peak",
    snap_radius: float | None = None,
) -> np.ndarray:
    """Each spectrum's guide velocity (km/s, float32, one per row), from the
    spectrum itself; NaN for a spectrum with no finite pixel (or none within
    ``velocity_window``).

    ``rows`` is (N, M) float32 (any other type is taken as float32), one
    spectrum per row, on the shared
    ``velocity`` axis (M channels, km/s); ``noise`` is its one-sigma noise,
    one value, one per row (N,), or one per pixel (N, M); NaN or
    non-positive noise marks a pixel as missing. ``line_sigma`` is the
    expected line sigma in km/s; ``velocity_window=(lo, hi)`` restricts the
    search to channels within it.

    ``snap_radius`` (km/s; the fit's search radius): each guide is then
    moved to its spectrum's brightest pixel within that distance of it. The
    fit takes the brightest pixel within ``velocity_range`` of its guide and
    rejects it (no local maximum) when a brighter one lies in the margin
    beyond; a guide on the smoothed peak of one of two close lines (a
    double-peaked profile, a hyperfine group) would so lose the spectrum
    whenever noise made the other line's peak pixel the brighter, where a
    guide on the brightest pixel of the neighbourhood keeps it.

    ``method="peak"`` (the default): the channel where the spectrum,
    smoothed over ``line_sigma`` (a boxcar of that standard deviation) with
    inverse-variance weights (missing pixels take no part), is brightest
    (`_quillet_kernels.find_guides`, the rows in parallel). ``method="moment"``:
    the intensity-weighted mean velocity of the positive pixels.

    Why the peak: followed by the fit with windows that follow the line, it
    gave more good fits than the moment on MUSE (1,255 against 835 of
    1,600), SPICE (599 against 597 of 600), synthetic lines anywhere on the
    axis (1,507 against 1,080 of 1,600) and a synthetic disc on an axis of
    326 to 789 km/s (1,510 against 814); on EIS the moment gave 0.5 % more
    (2,958 against 2,942 of 3,000), which the neighbour refits make up
    (2,957; docs/trust_figures.md). The moment is pulled towards the middle
    of the axis by the noise of every channel and by any second line left
    in the spectrum ([N II] beside H-alpha), while the smoothed peak sits on
    the line as soon as the line beats the noise smoothed over one line
    width, which is what the kernel's fit needs anyway.
    """
    data = np.asarray(rows)
    if data.ndim != 2:
        raise InputError(f"rows must be 2-D (spectra x channels), not of shape {data.shape}")
    axis = np.ascontiguousarray(velocity, dtype=np.float64)
    count, channels = data.shape
    if axis.shape != (channels,):
        raise InputError(
            f"the velocity axis has {axis.size} values but the rows have {channels} channels"
        )
    if not (math.isfinite(line_sigma) and line_sigma > 0.0):
        raise InputError(f"line_sigma= must be a positive number of km/s, not {line_sigma!r}")
    if method not in GUIDE_METHODS:
        raise InputError(f"method must be one of {', '.join(GUIDE_METHODS)}, not {method!r}")
    inside = np.ones(channels, dtype=bool)
    if velocity_window is not None:
        lo, hi = sorted(float(v) for v in velocity_window)
        inside = (axis >= lo) & (axis <= hi)
        if not inside.any():
            raise InputError(
                f"velocity_window= {lo:g} to {hi:g} km/s holds no channel of the axis "
                f"({axis.min():g} to {axis.max():g} km/s); give a window on the axis"
            )
    if method == "peak":
        # The kernel runs the search row by row in double precision, with the
        # same steps in the same order as the array code it replaced.
        return _quillet_kernels.find_guides(
            np.ascontiguousarray(data, dtype=np.float32), axis, _kernel_noise(noise, data),
            inside, _boxcar_half(axis, line_sigma), snap_radius if count else None,
        )  # fmt: skip
    if data.shape[0] * data.shape[1] > _PIECE_VALUES and data.shape[0] > 1:
        # In pieces of rows, to bound the float64 work arrays: each row's
        # guide is its own, so the pieces give the same guides.
        step = max(1, _PIECE_VALUES // max(data.shape[1], 1))
        pieces = [
            find_guides(data[start : start + step], velocity,
                        _rows_of(noise, data, start, step), line_sigma=line_sigma,
                        velocity_window=velocity_window, method=method,
                        snap_radius=snap_radius)
            for start in range(0, data.shape[0], step)
        ]  # fmt: skip
        return np.concatenate(pieces)
    weight = _inverse_variance(noise, data)
    values = np.where(weight > 0.0, data.astype(np.float64), 0.0)
    weight = weight * inside
    has_data = (weight > 0.0).any(axis=1)
    positive = np.clip(values, 0.0, None) * (weight > 0.0)
    total = positive.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        guides = (positive * axis).sum(axis=1) / total
    # A spectrum with no positive pixel has no weighted velocity; its
    # brightest pixel is as good a guide as any.
    flat = ~(total > 0.0)
    if flat.any():
        guides[flat] = axis[_masked_argmax(values[flat], weight[flat] > 0.0)]
    if snap_radius is not None and count:
        near = np.abs(axis[None, :] - guides[:, None]) <= snap_radius
        usable = near & (weight > 0.0)
        snapped = axis[_masked_argmax(values, usable)]
        guides = np.where(usable.any(axis=1), snapped, guides)
    guides = np.where(has_data, guides, np.nan)
    return np.asarray(guides, dtype=np.float32).reshape(count)


def _boxcar_half(axis: np.ndarray, line_sigma: float) -> int:
    """Half the width, in channels, of the boxcar whose standard deviation
    is ``line_sigma``: a boxcar of 2h + 1 channels has a standard deviation
    of about (2h + 1) / sqrt(12) channels."""
    channels = axis.size
    if channels < 2:
        return 0
    dv = float(np.median(np.abs(np.diff(axis))))
    return int(min(max(0, round((math.sqrt(12.0) * line_sigma / dv - 1.0) / 2.0)), channels))


def _kernel_noise(noise: ArrayLike, data: np.ndarray) -> np.ndarray:
    """The noise as the guide kernel takes it: one float64 sigma per row when
    it is one value or one per row, else one per pixel (float32 as given,
    any other type as float64), C-contiguous."""
    sigma = np.asarray(noise)
    if sigma.dtype != np.float32:
        sigma = sigma.astype(np.float64, copy=False)
    count = data.shape[0]
    if sigma.ndim == 0 or (sigma.ndim == 1 and sigma.shape[0] == count):
        return np.ascontiguousarray(np.broadcast_to(sigma, (count,)), dtype=np.float64)
    return np.ascontiguousarray(_per_pixel(sigma, data))


def _per_pixel(sigma: np.ndarray, data: np.ndarray) -> np.ndarray:
    """The noise broadcast to one value per pixel of the rows, or the error
    that says which layouts it may take."""
    try:
        return np.broadcast_to(sigma, data.shape)
    except ValueError:
        raise InputError(
            f"noise of shape {sigma.shape} does not match rows of shape {data.shape}; "
            "give one value, one per row, or one per pixel"
        ) from None


def _rows_of(noise: ArrayLike, data: np.ndarray, start: int, step: int) -> ArrayLike:
    """The noise of rows ``start`` to ``start + step``: one value stands for
    all rows, one per row or per pixel is sliced."""
    sigma = np.asarray(noise)
    if sigma.ndim in (1, 2) and sigma.shape[0] == data.shape[0]:
        return sigma[start : start + step]
    return sigma


def _inverse_variance(noise: ArrayLike, data: np.ndarray) -> np.ndarray:
    """1/noise² for every pixel, 0 where the pixel or its noise is missing."""
    sigma = np.asarray(noise, dtype=np.float64)
    if sigma.ndim == 1 and sigma.shape[0] == data.shape[0]:
        sigma = sigma[:, None]
    sigma = _per_pixel(sigma, data)
    usable = np.isfinite(sigma) & (sigma > 0.0) & np.isfinite(data)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(usable, 1.0 / np.where(usable, sigma, 1.0) ** 2, 0.0)


def _masked_argmax(values: np.ndarray, usable: np.ndarray) -> np.ndarray:
    """Index of the largest usable value of each row (the first on a tie); 0
    for a row with none."""
    return np.asarray(np.argmax(np.where(usable, values, -np.inf), axis=1))


def check_guide_on_axis(guide: ArrayLike, velocity: ArrayLike, search_radius: float) -> None:
    """Raise InputError (a ValueError) when a guide (one value or a map, km/s) lies farther
    than ``search_radius`` (``LineSettings.search_radius``: velocity_range +
    npix_slack * dv) from every channel of the axis: the kernel would find no
    line near it. NaN guides (spectra left out) are not checked."""
    axis = np.asarray(velocity, dtype=np.float64)
    lo, hi = float(axis.min()), float(axis.max())
    guides = np.asarray(guide, dtype=np.float64).reshape(-1)
    distance = np.maximum(np.maximum(lo - guides, guides - hi), 0.0)
    off = np.flatnonzero(distance > search_radius)
    if off.size == 0:
        return
    first = int(off[0])
    which = "guide" if guides.size == 1 else f"{off.size} of {guides.size} guides; the first,"
    raise InputError(
        f"{which} {guides[first]:g} km/s lies {distance[first]:g} km/s from the axis "
        f"({lo:.1f} to {hi:.1f} km/s), beyond the search radius of {search_radius:g} km/s; "
        "give a guide on the axis, or guide='auto' to find each from its spectrum"
    )

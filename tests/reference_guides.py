"""The NumPy guide search and peak search that `_quillet_kernels.find_guides`
and `_quillet_kernels.find_peaks` replaced, kept as they were to compare the
kernels with, bit for bit (tests/package/test_guide_kernels.py)."""

import math

import numpy as np


def numpy_peak_guides(rows, velocity, noise, *, line_sigma, inside=None, snap_radius=None):
    """The smoothed-peak guide of each float32 row, snapped to the brightest
    usable pixel within ``snap_radius``; NaN for a row with no usable pixel."""
    data = np.asarray(rows)
    axis = np.asarray(velocity, dtype=np.float64)
    count, channels = data.shape
    sigma = np.asarray(noise, dtype=np.float64)
    if sigma.ndim == 1 and sigma.shape[0] == count:
        sigma = sigma[:, None]
    sigma = np.broadcast_to(sigma, data.shape)
    usable = np.isfinite(sigma) & (sigma > 0.0) & np.isfinite(data)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        weight = np.where(usable, 1.0 / np.where(usable, sigma, 1.0) ** 2, 0.0)
    values = np.where(weight > 0.0, data.astype(np.float64), 0.0)
    if inside is not None:
        with np.errstate(invalid="ignore"):
            weight = weight * inside
    has_data = (weight > 0.0).any(axis=1)
    dv = float(np.median(np.abs(np.diff(axis))))
    half = min(max(0, round((math.sqrt(12.0) * line_sigma / dv - 1.0) / 2.0)), channels)
    sums = []
    with np.errstate(invalid="ignore", over="ignore"):
        for series in (values * weight, weight):
            running = np.empty((count, channels + 2 * half + 1))
            running[:, : half + 1] = 0.0
            np.cumsum(series, axis=1, out=running[:, half + 1 : half + 1 + channels])
            running[:, half + 1 + channels :] = running[:, half + channels : half + channels + 1]
            sums.append(running[:, 2 * half + 1 :] - running[:, :channels])
    with np.errstate(invalid="ignore", divide="ignore"):
        smoothed = sums[0] / sums[1]
    guides = axis[np.argmax(np.where(weight > 0.0, smoothed, -np.inf), axis=1)]
    if snap_radius is not None and count:
        with np.errstate(invalid="ignore"):
            near = np.abs(axis[None, :] - guides[:, None]) <= snap_radius
        usable = near & (weight > 0.0)
        snapped = axis[np.argmax(np.where(usable, values, -np.inf), axis=1)]
        guides = np.where(usable.any(axis=1), snapped, guides)
    guides = np.where(has_data, guides, np.nan)
    return np.asarray(guides, dtype=np.float32).reshape(count)


def numpy_peak_search(rows, velocity32, guides, settings):
    """The brightest pixel near each guide, in single precision: its channel
    (-1 where none is accepted), its value (NaN there) and the row's count
    of finite pixels among the first ``sg_xpixels``."""
    n = settings.sg_xpixels
    axis = np.asarray(velocity32[:n], dtype=np.float32)
    data = rows[:, :n]
    g = np.asarray(guides, dtype=np.float32)[:, None]
    radius = np.float32(np.float32(settings.npix_slack) * np.float32(settings.dv)) + np.float32(
        settings.velocity_range
    )
    with np.errstate(invalid="ignore"):
        near = np.abs(axis[None, :] - g) <= radius
        candidates = np.where(near & ~np.isnan(data), data, np.float32(-np.inf))
    channel = np.argmax(candidates, axis=1)
    best = candidates[np.arange(rows.shape[0]), channel]
    with np.errstate(invalid="ignore"):
        accepted = (best > 0) & (
            np.abs(axis[channel] - g[:, 0]) <= np.float32(settings.velocity_range)
        )
    finite = np.count_nonzero(np.isfinite(data), axis=1)
    return np.where(accepted, channel, -1), np.where(accepted, best, np.float32(np.nan)), finite

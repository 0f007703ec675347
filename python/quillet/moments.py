"""Moments of the spectra: what a cube says without any model.

This module owns `moments`: the integrated intensity (moment 0), the
intensity-weighted velocity (moment 1) and the dispersion (moment 2) of
every spectrum of an array, each with its one-sigma error propagated from
the noise. It works a block of spectra at a time, so a memory-mapped cube
is never converted whole, and each spectrum's moments depend on it alone.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from .rows import row_blocks, take_rows
from .settings import velocity_axis

__all__ = ["Moments", "moments"]

# About 16 MB of float64 work per block.
_BLOCK_VALUES = 2 * 2**20


@dataclass(frozen=True)
class Moments:
    """Moment maps of the data's spatial shape (float64): ``m0`` integrated
    intensity (data unit times km/s), ``m1`` intensity-weighted velocity (km/s),
    ``m2`` dispersion, the square root of the second central moment (km/s),
    and their one-sigma errors (NaN without noise). ``count`` is the number
    of channels that entered each spectrum's sums."""

    m0: np.ndarray
    m1: np.ndarray
    m2: np.ndarray
    m0_error: np.ndarray
    m1_error: np.ndarray
    m2_error: np.ndarray
    count: np.ndarray


def moments(
    data: Any,
    velocity: ArrayLike,
    *,
    velocity_range: tuple[float, float] | None = None,
    mask: Any = None,
    noise: Any = None,
    snr_min: float | None = None,
    spectral_axis: int = -1,
) -> Moments:
    """Moments 0, 1 and 2 of every spectrum of ``data``, with errors.

    ``velocity`` is the axis of the spectral axis (km/s); each channel's
    width is taken from it (half the distance between its neighbours, one
    step at the ends), so an irregular axis is integrated as sampled.
    ``velocity_range=(lo, hi)`` keeps the channels within it; ``mask`` (True
    = bad, broadcastable to the data) and NaN pixels take no part;
    ``noise`` is one value, a map of the spatial shape, or a cube of the
    data's shape; ``snr_min`` (with ``noise``) keeps only pixels at or above
    ``snr_min`` · noise, the usual signal mask.

    Errors are the first-order propagation of independent pixel noise:
    var(m0) = sum (noise dv)², var(m1) = sum ((v - m1) dv noise / m0)², and
    var(m2) = sum (((v - m1)² - m2²) dv noise / (2 m2 m0))².
    """
    array = data if hasattr(data, "shape") else np.asarray(data)
    ndim = len(array.shape)
    if ndim == 0:
        raise ValueError("data must have at least one axis, the spectral axis")
    axis = spectral_axis % ndim
    v = velocity_axis(velocity)
    channels = int(array.shape[axis])
    if v.size != channels:
        raise ValueError(
            f"the velocity axis has {v.size} values but the spectral axis (axis {axis}) "
            f"has {channels} channels"
        )
    if snr_min is not None and noise is None:
        raise ValueError("snr_min masks pixels below snr_min * noise; give the noise too")
    spatial = tuple(int(n) for i, n in enumerate(array.shape) if i != axis)
    widths = np.abs(np.gradient(v))
    keep = np.ones(channels, dtype=bool)
    if velocity_range is not None:
        lo, hi = sorted(float(x) for x in velocity_range)
        keep = (v >= lo) & (v <= hi)
    noise_kind, noise_value = _noise_form(noise, tuple(array.shape), spatial)
    mask_array = None
    if mask is not None:
        mask_array = np.broadcast_to(np.asarray(mask, dtype=bool), tuple(array.shape))
    count = math.prod(spatial)
    out = {name: np.full(count, np.nan) for name in ("m0", "m1", "m2", "e0", "e1", "e2")}
    used = np.zeros(count, dtype=np.int64)
    chunk = max(1, _BLOCK_VALUES // max(channels, 1))
    for block in row_blocks(spatial, chunk):
        here = slice(block.start, block.start + block.count)
        values = take_rows(array, block, axis, dtype=np.float64)
        sigma = None
        if noise_kind == "scalar":
            sigma = np.full(values.shape, float(noise_value))
        elif noise_kind == "map":
            sigma = np.repeat(noise_value[here, None], channels, axis=1)
        elif noise_kind == "cube":
            sigma = take_rows(noise_value, block, axis, dtype=np.float64)
        bad = ~np.isfinite(values) | ~keep[None, :]
        if mask_array is not None:
            bad |= take_rows(mask_array, block, axis, dtype=np.bool_)
        if sigma is not None:
            bad |= ~(np.isfinite(sigma) & (sigma > 0.0))
            if snr_min is not None:
                with np.errstate(invalid="ignore"):
                    bad |= ~(values >= snr_min * sigma)
        results = _block_moments(values, v, widths, ~bad, sigma)
        for name, result in zip(("m0", "m1", "m2", "e0", "e1", "e2"), results, strict=True):
            out[name][here] = result
        used[here] = np.count_nonzero(~bad, axis=1)
    shaped = {name: value.reshape(spatial) for name, value in out.items()}
    return Moments(
        m0=shaped["m0"], m1=shaped["m1"], m2=shaped["m2"], m0_error=shaped["e0"],
        m1_error=shaped["e1"], m2_error=shaped["e2"], count=used.reshape(spatial),
    )  # fmt: skip


def _noise_form(noise: Any, shape: tuple[int, ...], spatial: tuple[int, ...]) -> tuple[str, Any]:
    """The noise as "none", a "scalar", a flattened spatial "map" or a "cube"
    of the data's shape (read a block at a time)."""
    if noise is None:
        return "none", None
    if hasattr(noise, "shape") and tuple(noise.shape) == shape and shape != spatial:
        return "cube", noise
    values = np.asarray(noise, dtype=np.float64)
    if values.ndim == 0:
        level = float(values)
        if not (math.isfinite(level) and level > 0.0):
            raise ValueError(f"noise must be positive and finite, not {level!r}")
        return "scalar", level
    if values.shape == spatial:
        return "map", values.reshape(-1)
    raise ValueError(
        f"noise of shape {values.shape} matches neither the data {shape} nor its spatial "
        f"shape {spatial}; give one value, a map of the spatial shape, or a cube"
    )


def _block_moments(
    values: np.ndarray,
    v: np.ndarray,
    widths: np.ndarray,
    good: np.ndarray,
    sigma: np.ndarray | None,
) -> tuple[np.ndarray, ...]:
    """The moments and their errors of each row, over its ``good`` pixels."""
    weight = np.where(good, values, 0.0) * widths
    with np.errstate(invalid="ignore", divide="ignore"):
        m0 = weight.sum(axis=1)
        m1 = (weight * v).sum(axis=1) / m0
        offset = v[None, :] - m1[:, None]
        second = (weight * offset**2).sum(axis=1) / m0
        m2 = np.sqrt(second)
        if sigma is None:
            nan = np.full(values.shape[0], np.nan)
            none = ~good.any(axis=1)
            m0[none] = np.nan
            return m0, m1, m2, nan, nan.copy(), nan.copy()
        pixel = np.where(good, sigma, 0.0) * widths
        e0 = np.sqrt((pixel**2).sum(axis=1))
        e1 = np.sqrt(((offset * pixel) ** 2).sum(axis=1)) / np.abs(m0)
        e2 = np.sqrt((((offset**2 - second[:, None]) * pixel) ** 2).sum(axis=1)) / np.abs(
            2.0 * m2 * m0
        )
    none = ~good.any(axis=1)
    m0[none] = np.nan
    e0[none] = np.nan
    return m0, m1, m2, e0, e1, e2

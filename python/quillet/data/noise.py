"""The noise of a spectrum estimated from the spectrum itself (DER_SNR).

Stoehr et al. (2008, ASP Conf. Ser. 394, 505) estimate the noise of a
spectrum from the median of |2 f_i - f_(i-2) - f_(i+2)| over its pixels: a
smooth signal cancels in that second difference of pixels two apart, while
independent Gaussian noise of sigma gives it a spread of sqrt(6) sigma, whose
median absolute value is sqrt(6) sigma / 1.482602. The estimate is one value
per spectrum, as good as the signal is smooth on the scale of four pixels.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import ArrayLike

import _quillet_kernels

from ..basics.rows import default_chunk_rows, row_blocks, take_rows

__all__ = ["DER_SNR_FACTOR", "estimate_noise"]

#: 1.482602 / sqrt(6): turns the median second difference into a sigma.
DER_SNR_FACTOR = 1.482602 / math.sqrt(6.0)


def estimate_noise(spectra: ArrayLike, axis: int = -1) -> np.ndarray:
    """Noise (one sigma) of each spectrum, estimated with DER_SNR.

    ``spectra`` is any array whose ``axis`` is the spectral axis; the result
    has the other axes, as float64. Pixels that are NaN (missing) take no
    part: a second difference is used only where its three pixels are all
    finite. A spectrum with no such difference (fewer than five channels, or
    too many missing) gets NaN. The differences are taken in single
    precision, as the fit sees the spectrum, a block of spectra at a time,
    so a memory-mapped cube is never converted whole.
    """
    array = spectra if hasattr(spectra, "shape") else np.asarray(spectra)
    ndim = len(array.shape)
    axis = axis % ndim
    spatial = tuple(int(n) for i, n in enumerate(array.shape) if i != axis)
    noise = np.empty(math.prod(spatial))
    for block in row_blocks(spatial, default_chunk_rows(int(array.shape[axis]))):
        rows = take_rows(array, block, axis)
        noise[block.start : block.start + block.count] = der_snr_rows(rows)
    return noise.reshape(spatial)


def der_snr_rows(rows: np.ndarray) -> np.ndarray:
    """DER_SNR of each row of a 2-D float32 array, as float64.

    The rows must be C-contiguous and aligned, as blocks of spectra are.
    The differences are formed in float32 as ``2 f_i - f_(i-2) - f_(i+2)``;
    inf - inf is NaN and so drops out with the missing pixels, while a lone
    infinite pixel stays infinite, which the median shrugs off."""
    return _quillet_kernels.estimate_noise(rows)


def row_nanmedian(values: np.ndarray) -> np.ndarray:
    """Median of the non-NaN values of each row, as float64; NaN for a row
    with none. Sorts ``values`` in place (NaN sorts last)."""
    values.sort(axis=1)
    count = values.shape[1] - np.count_nonzero(np.isnan(values), axis=1)
    rows = np.arange(values.shape[0])
    lower = values[rows, np.maximum((count - 1) // 2, 0)].astype(np.float64)
    upper = values[rows, np.minimum(count // 2, values.shape[1] - 1)].astype(np.float64)
    median = 0.5 * (lower + upper)
    median[count == 0] = np.nan
    return np.asarray(median)

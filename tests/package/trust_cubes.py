"""Synthetic spectra with known lines, for the tests of guides, windows,
quality bits and neighbour refits."""

from __future__ import annotations

import numpy as np


def gaussian_rows(velocity, amplitude, centre, sigma, noise=1.0, seed=0):
    """(N, M) float32 rows of one Gaussian line each plus Gaussian noise of
    ``noise`` (0 for none), and their (N, M) float32 noise."""
    v = np.asarray(velocity, dtype=np.float64)
    amplitude, centre, sigma = np.broadcast_arrays(
        *(np.atleast_1d(np.asarray(a, dtype=np.float64)) for a in (amplitude, centre, sigma))
    )
    rows = amplitude[:, None] * np.exp(-0.5 * ((v - centre[:, None]) / sigma[:, None]) ** 2)
    if noise:
        rows = rows + np.random.default_rng(seed).normal(0.0, noise, rows.shape)
    level = np.full(rows.shape, max(noise, 1e-3), np.float32)
    return np.ascontiguousarray(rows, dtype=np.float32), level

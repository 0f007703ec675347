"""The bundled synthetic survey: seeded, generated on demand, with known truths.

Each row is a background-subtracted spectrum on a shared Doppler-velocity
axis holding at most one Gaussian emission line, with Gaussian noise of a
per-row level. The survey mixes what real reductions meet: bright and faint
lines, rows with no line at all, NaN pixels from bad columns and cosmic-ray
masks, and lines close to either end of the axis. Guide velocities are the
true centres blurred by a catalogue error.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

#: Settings of the spectrum fit used for the survey (velocities in km/s).
FIT_SETTINGS = dict(
    velocity_range=25.0,
    npix=10,
    npix_slack=4,
    dv=2.0,
    width_min=0.5,
    sg_xpixels=512,
    amplitude_rel_min=0.2,
    amplitude_rel_max=3.0,
    width_max=40.0,
    width_guess=6.0,
)


@dataclass(frozen=True)
class Survey:
    spectra: np.ndarray  # (N, C) float32
    dopp_slit: np.ndarray  # (C,) float32
    spec_noise: np.ndarray  # (N, C) float32
    guide_velocities: np.ndarray  # (N,) float32
    amplitude: np.ndarray  # (N,) true amplitude, 0 where the row has no line
    centre: np.ndarray  # (N,) true centre velocity
    sigma: np.ndarray  # (N,) true width
    has_line: np.ndarray  # (N,) bool

    @property
    def rows(self) -> int:
        return self.spectra.shape[0]


def make_survey(rows: int = 100_000, pixels: int = 512, seed: int = 20261207) -> Survey:
    """Generate the survey; the same arguments always give the same arrays."""
    rng = np.random.default_rng(seed)
    dv = FIT_SETTINGS["dv"]
    axis = ((np.arange(pixels) - (pixels - 1) / 2.0) * dv).astype(np.float32)
    lo, hi = float(axis[0]), float(axis[-1])

    has_line = rng.random(rows) >= 0.05
    centre = rng.uniform(lo + 0.15 * (hi - lo), hi - 0.15 * (hi - lo), rows)
    near_edge = rng.random(rows) < 0.03
    centre[near_edge] = np.where(
        rng.random(near_edge.sum()) < 0.5,
        lo + rng.uniform(0.0, 8.0 * dv, near_edge.sum()),
        hi - rng.uniform(0.0, 8.0 * dv, near_edge.sum()),
    )
    sigma = rng.uniform(2.5, 9.0, rows)
    noise_level = rng.uniform(0.5, 2.0, rows)
    snr = rng.lognormal(mean=np.log(20.0), sigma=0.6, size=rows)
    amplitude = np.where(has_line, snr * noise_level, 0.0)

    spectra = np.empty((rows, pixels), dtype=np.float32)
    noise = np.empty((rows, pixels), dtype=np.float32)
    chunk = 8192
    for start in range(0, rows, chunk):
        stop = min(start + chunk, rows)
        z = (axis[None, :] - centre[start:stop, None]) / sigma[start:stop, None]
        profile = amplitude[start:stop, None] * np.exp(-0.5 * z * z)
        level = noise_level[start:stop, None]
        spectra[start:stop] = profile + level * rng.standard_normal((stop - start, pixels))
        noise[start:stop] = np.broadcast_to(level, (stop - start, pixels))

    # Masked pixels: a few rows carry scattered NaNs in flux and noise alike.
    masked_rows = np.flatnonzero(rng.random(rows) < 0.05)
    for row in masked_rows:
        cols = rng.choice(pixels, size=rng.integers(1, 12), replace=False)
        spectra[row, cols] = np.nan
        noise[row, cols] = np.nan

    guides = (centre + rng.normal(0.0, 4.0, rows)).astype(np.float32)
    return Survey(
        spectra=spectra,
        dopp_slit=axis,
        spec_noise=noise,
        guide_velocities=guides,
        amplitude=amplitude,
        centre=centre,
        sigma=sigma,
        has_line=has_line,
    )

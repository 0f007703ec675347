"""The spectrum fit written the way a scipy user writes it, as the speed peer.

Same steps as fit_single_spectrum: the brightest pixel near the guide, the
window round it, normalisation by the peak, starting values and bounds, then
scipy.optimize.curve_fit with sigma=noise and absolute_sigma=True (which,
with bounds, runs its trust-region reflective solver).
"""

from __future__ import annotations

import numpy as np
from scipy.optimize import curve_fit


def gaussian(x, amplitude, centre, sigma):
    return amplitude * np.exp(-0.5 * ((x - centre) / sigma) ** 2)


def curve_fit_spectrum(spectrum, axis, noise, guide, settings):
    """(amplitude, centre, sigma, their errors), or None when no line is
    accepted or the fit fails."""
    n = settings["sg_xpixels"]
    spectrum, axis, noise = spectrum[:n], axis[:n], noise[:n]
    npix, dv = settings["npix"], settings["dv"]
    radius = settings["npix_slack"] * dv + settings["velocity_range"]

    near = np.abs(axis - guide) <= radius
    candidates = np.where(near & ~np.isnan(spectrum), spectrum, -np.inf)
    peak = int(np.argmax(candidates))
    best = float(candidates[peak])
    if not best > 0 or not abs(axis[peak] - guide) <= settings["velocity_range"]:
        return None

    left, right = max(peak - npix, 0), min(peak + npix + 1, n)
    if right - left <= 2 * npix:
        left, right = max(peak - npix - 1, 0), min(peak + npix + 2, n)
    x = axis[left:right].astype(np.float64)
    y = spectrum[left:right] / best
    e = noise[left:right] / best
    ok = np.isfinite(x) & np.isfinite(y) & np.isfinite(e) & (e > 0)
    if ok.sum() < 3:
        return None

    centre, half_range = float(axis[peak]), dv * npix
    lower = [settings["amplitude_rel_min"], centre - half_range, settings["width_min"]]
    upper = [settings["amplitude_rel_max"], centre + half_range, settings["width_max"]]
    start = np.clip([1.0, centre, settings["width_guess"]], lower, upper)
    try:
        popt, pcov = curve_fit(
            gaussian,
            x[ok],
            y[ok],
            p0=start,
            sigma=e[ok],
            absolute_sigma=True,
            bounds=(lower, upper),
        )
    except (RuntimeError, ValueError):
        return None
    errors = np.sqrt(np.diag(pcov))
    return (popt[0] * best, popt[1], popt[2], errors[0] * best, errors[1], errors[2])

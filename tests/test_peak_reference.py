"""Peak search and window rules against a plain reading of them.

The reference below scans pixel by pixel in single precision, exactly as the
rules are stated; the module may search smarter (ordered axes, several pixels
at a time) but must pick the same pixel and window in every case: ties, NaN
and infinite values, signed zeros, unsorted and repeating axes, and distances
landing exactly on the search radius. Noise is zero so that no fit runs and
the outcome is decided by the peak search and window alone."""

import numpy as np
import pytest

import _quillet

f32 = np.float32
PIXELS = 40


def reference(spectrum, axis, guide, settings):
    """(flag, window) as the rules give them, for zero noise."""
    with np.errstate(invalid="ignore", over="ignore"):
        radius = f32(f32(settings["npix_slack"]) * f32(settings["dv"])) + f32(
            settings["velocity_range"]
        )
        best, peak = f32(-np.inf), 0
        for i in range(PIXELS):
            if abs(axis[i] - guide) <= radius and spectrum[i] > best:
                best, peak = spectrum[i], i
        if not best > 0 or not abs(axis[peak] - guide) <= f32(settings["velocity_range"]):
            return 1.0, (0, 0)
    h = settings["npix"]
    left, right = max(peak - h, 0), min(peak + h + 1, PIXELS)
    if right - left <= 2 * h:
        left, right = max(peak - h - 1, 0), min(peak + h + 2, PIXELS)
    return 1.0, (left, right)


def axes(rng):
    grid = np.arange(PIXELS, dtype=f32) - 20
    yield "ascending", grid
    yield "descending", grid[::-1].copy()
    yield "repeating", np.sort(rng.integers(-15, 15, PIXELS)).astype(f32)
    yield "unsorted", rng.permutation(grid)
    with_nan = grid.copy()
    with_nan[rng.integers(PIXELS)] = np.nan
    yield "nan", with_nan
    infinite = grid.copy()
    infinite[0], infinite[-1] = -np.inf, np.inf
    yield "infinite ends", infinite
    yield "uneven", np.cumsum(rng.uniform(0.1, 3.0, PIXELS)).astype(f32) - 30


def spectra(rng):
    yield rng.normal(0, 1, PIXELS).astype(f32)
    yield rng.integers(-2, 4, PIXELS).astype(f32)  # many equal maxima
    s = rng.normal(0, 1, PIXELS).astype(f32)
    s[rng.integers(0, PIXELS, 5)] = np.nan
    yield s
    s = rng.integers(-1, 2, PIXELS).astype(f32)
    s[s == 0] = np.where(rng.random(int((s == 0).sum())) < 0.5, f32(0.0), f32(-0.0))
    yield s  # signed zeros and ones
    s = rng.normal(0, 1, PIXELS).astype(f32)
    s[rng.integers(PIXELS)] = np.inf
    yield s
    yield -np.abs(rng.normal(0, 1, PIXELS)).astype(f32)  # nothing positive


def cases():
    rng = np.random.default_rng(7)
    for axis_name, axis in axes(rng):
        for spectrum in spectra(rng):
            for _ in range(4):
                settings = dict(
                    velocity_range=float(rng.integers(0, 6)),
                    npix=int(rng.integers(1, 6)),
                    npix_slack=int(rng.integers(0, 3)),
                    dv=float(rng.choice([0.5, 1.0, 2.0])),
                    width_min=0.1,
                    sg_xpixels=PIXELS,
                    amplitude_rel_min=0.1,
                    amplitude_rel_max=3.0,
                    width_max=10.0,
                    width_guess=1.0,
                )
                finite = axis[np.isfinite(axis)]
                guides = [f32(rng.choice(finite)) + f32(rng.integers(-4, 5)) for _ in range(6)] + [
                    f32(rng.uniform(-25, 25))
                ]
                guides += [f32(np.nan), f32(np.inf), f32(-np.inf)] if rng.random() < 0.2 else []
                yield axis_name, axis, spectrum, np.array(guides, f32), settings


CASES = list(cases())


@pytest.mark.parametrize(
    "axis_name, axis, spectrum, guides, settings",
    CASES,
    ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)],
)
def test_batch_and_single_pick_the_reference_window(axis_name, axis, spectrum, guides, settings):
    rows = np.repeat(spectrum[None, :], len(guides), axis=0)
    noise = np.zeros_like(rows)
    fits, windows = _quillet.fit_spectra_batch_guided(rows, axis, noise, guides, **settings)
    for g, guide in enumerate(guides):
        flag, window = reference(spectrum, axis, guide, settings)
        assert fits[g, 7] == flag
        assert tuple(windows[g]) == window, (g, guide)
        single, single_window = _quillet.fit_single_spectrum(
            spectrum, axis, noise[0], float(guide), **settings
        )
        assert single_window == window
        assert single.tobytes() == fits[g].tobytes()

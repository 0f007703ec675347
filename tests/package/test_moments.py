"""Moments 0, 1 and 2 with their errors, against NumPy, analytic Gaussians
and a Monte-Carlo over noise realisations."""

from __future__ import annotations

import numpy as np
import pytest

from quillet import moments

VELOCITY = np.linspace(-300.0, 300.0, 121)


def direct(data, velocity, good):
    """Moments of (N, M) rows over their good pixels, the plain way."""
    widths = np.abs(np.gradient(velocity))
    out = []
    for row, keep in zip(data, good):
        i, v, dv = row[keep], velocity[keep], widths[keep]
        m0 = np.sum(i * dv)
        m1 = np.sum(i * v * dv) / m0
        out.append((m0, m1, np.sqrt(np.sum(i * (v - m1) ** 2 * dv) / m0)))
    return np.array(out)


@pytest.mark.parametrize("spectral_axis", [0, -1])
def test_moments_match_a_direct_computation(spectral_axis):
    rng = np.random.default_rng(1)
    velocity = np.sort(rng.uniform(-300.0, 300.0, 80))  # irregular channels
    cube = rng.uniform(0.1, 5.0, (6, 7, 80)).astype(np.float32)
    cube[0, 0, :10] = np.nan
    cube[1, 1] = np.nan  # blank
    mask = rng.random(cube.shape) < 0.1
    good = np.isfinite(cube) & ~mask & (velocity >= -200.0) & (velocity <= 250.0)
    data = cube if spectral_axis == -1 else np.moveaxis(cube, -1, 0)
    mask_in = mask if spectral_axis == -1 else np.moveaxis(mask, -1, 0)
    got = moments(data, velocity, velocity_range=(250.0, -200.0), mask=mask_in,
                  spectral_axis=spectral_axis)  # fmt: skip
    rows, keep = cube.reshape(-1, 80).astype(np.float64), good.reshape(-1, 80)
    blank = ~keep.any(axis=1)
    with np.errstate(all="ignore"):
        expected = direct(rows, velocity, keep)
    for k, name in enumerate(("m0", "m1", "m2")):
        values = getattr(got, name).reshape(-1)
        assert np.isnan(values[blank]).all()
        np.testing.assert_allclose(values[~blank], expected[~blank, k], rtol=1e-12)
    assert got.count.reshape(-1).tolist() == keep.sum(axis=1).tolist()
    assert np.isnan(got.m0_error).all()  # no noise, no errors


def test_moments_of_a_gaussian_are_its_parameters():
    amplitude, centre, sigma = 3.0, 42.0, 25.0
    line = amplitude * np.exp(-0.5 * ((VELOCITY - centre) / sigma) ** 2)
    got = moments(line, VELOCITY)
    assert got.m0 == pytest.approx(np.sqrt(2 * np.pi) * amplitude * sigma, rel=1e-6)
    assert got.m1 == pytest.approx(centre, abs=1e-6)
    assert got.m2 == pytest.approx(sigma, rel=1e-6)


def test_errors_match_a_monte_carlo_and_every_noise_form():
    rng = np.random.default_rng(7)
    line = 8.0 * np.exp(-0.5 * ((VELOCITY - 20.0) / 30.0) ** 2)
    realisations = 4000
    noise = 0.5
    data = line + rng.normal(0.0, noise, (realisations, VELOCITY.size))
    window = (-100.0, 140.0)
    got = moments(data, VELOCITY, velocity_range=window, noise=noise)
    for name in ("m0", "m1", "m2"):
        spread = np.std(getattr(got, name))
        predicted = np.median(getattr(got, f"{name}_error"))
        assert predicted == pytest.approx(spread, rel=0.08), name
    as_map = moments(data, VELOCITY, velocity_range=window, noise=np.full(realisations, noise))
    as_cube = moments(data, VELOCITY, velocity_range=window, noise=np.full(data.shape, noise))
    for other in (as_map, as_cube):
        np.testing.assert_allclose(other.m2_error, got.m2_error, rtol=1e-12)


def test_snr_min_keeps_the_pixels_above_it():
    data = np.array([[0.5, 2.0, 6.0, 3.0, -4.0, 1.0]])
    velocity = np.arange(6.0)
    got = moments(data, velocity, noise=1.0, snr_min=2.0)
    assert got.count[0] == 3
    assert got.m0[0] == pytest.approx(11.0)
    with pytest.raises(ValueError, match="give the noise too"):
        moments(data, velocity, snr_min=2.0)
    with pytest.raises(ValueError, match=r"does not match the data's shape"):
        moments(data, velocity, noise=np.ones(3))

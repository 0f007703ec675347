"""Windows that follow the line: refits of broad lines, bits kept elsewhere."""

from __future__ import annotations

import numpy as np
import pytest
from trust_cubes import gaussian_rows

import _quillet
from quillet.basics.settings import LineSettings
from quillet.work.windows import fit_rows_adaptive, peak_search

VELOCITY = np.arange(-400.0, 400.01, 4.0)
V32 = VELOCITY.astype(np.float32)


def batch(rows, noise, guides, settings):
    return _quillet.fit_spectra_batch_guided(rows, V32, noise, guides, **settings.as_kwargs())


def mixed_rows(count=60, seed=5):
    rng = np.random.default_rng(seed)
    sigma = np.where(np.arange(count) % 3 == 0, 40.0, rng.uniform(4.5, 9.0, count))
    centre = rng.uniform(-200.0, 200.0, count)
    rows, noise = gaussian_rows(VELOCITY, 20.0, centre, sigma, noise=1.0, seed=seed)
    return rows, noise, centre.astype(np.float32), sigma


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_a_line_four_times_wider_than_expected_comes_back_within_2_percent(seed):
    settings = LineSettings.for_axis(VELOCITY, line_sigma=10.0)
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-150.0, 150.0, 20)
    rows, noise = gaussian_rows(VELOCITY, 50.0, centre, 40.0, noise=1.0, seed=seed)
    guides = (centre + rng.normal(0.0, 5.0, 20)).astype(np.float32)
    fixed = batch(rows, noise, guides, settings)[0]
    adapted = fit_rows_adaptive(rows, V32, noise, guides, settings)
    assert np.all(adapted.fits[:, 7] == 0)
    np.testing.assert_allclose(adapted.fits[:, 2], 40.0, rtol=0.02)
    assert not adapted.wider.any() and np.all(adapted.rounds >= 1)
    # On the window of ±3 expected sigmas alone some miss by more.
    assert np.max(np.abs(fixed[:, 2] / 40.0 - 1.0)) > 0.02


def test_lines_that_fit_their_window_keep_the_batch_bits():
    settings = LineSettings.for_axis(VELOCITY, line_sigma=10.0)
    rows, noise, guides, sigma = mixed_rows()
    fits, windows = batch(rows, noise, guides, settings)
    adapted = fit_rows_adaptive(rows, V32, noise, guides, settings)
    narrow = sigma < 10.0
    assert np.all(adapted.rounds[narrow] == 0) and np.all(adapted.rounds[~narrow] > 0)
    same = adapted.fits[narrow].view(np.uint32), fits[narrow].view(np.uint32)
    np.testing.assert_array_equal(*same)
    np.testing.assert_array_equal(adapted.windows[narrow], windows[narrow])
    off = fit_rows_adaptive(rows, V32, noise, guides, settings, max_rounds=0)
    np.testing.assert_array_equal(off.fits.view(np.uint32), fits.view(np.uint32))
    np.testing.assert_array_equal(off.windows, windows)


def test_block_splits_do_not_change_a_bit():
    settings = LineSettings.for_axis(VELOCITY, line_sigma=10.0)
    rows, noise, guides, _ = mixed_rows(seed=9)
    whole = fit_rows_adaptive(rows, V32, noise, guides, settings)
    parts = [fit_rows_adaptive(rows[a:b], V32, noise[a:b], guides[a:b], settings)
             for a, b in ((0, 1), (1, 31), (31, 60))]  # fmt: skip
    for name in ("fits", "windows", "npix", "rounds", "wider"):
        joined = np.concatenate([getattr(p, name) for p in parts])
        np.testing.assert_array_equal(np.asarray(getattr(whole, name)).view(np.uint8),
                                      joined.view(np.uint8))  # fmt: skip


def test_the_peak_search_is_the_kernels():
    # A peak is accepted exactly where the kernel gives a window, and each
    # fitted centre lies within the bounds the limits report.
    settings = LineSettings.for_axis(VELOCITY, line_sigma=10.0)
    rows, noise, guides, _ = mixed_rows(count=200, seed=11)
    rng = np.random.default_rng(4)
    guides = (guides + rng.normal(0, 60.0, guides.size)).astype(np.float32)
    rows[5] = -1.0
    rows[6, ::2] = np.nan
    fits, windows = batch(rows, noise, guides, settings)
    channel, _ = peak_search(rows, V32, guides, settings)
    np.testing.assert_array_equal(channel >= 0, windows[:, 1] > 0)
    assert np.all((channel >= windows[:, 0]) | (channel < 0))
    limits = fit_rows_adaptive(rows, V32, noise, guides, settings, max_rounds=0).limits
    ok = fits[:, 7] == 0
    assert np.all(fits[ok, 1] >= limits.centre_low[ok])
    assert np.all(fits[ok, 1] <= limits.centre_high[ok])


def test_a_line_running_off_the_axis_stays_wider_than_its_window():
    settings = LineSettings.for_axis(VELOCITY, line_sigma=10.0)
    rows, noise = gaussian_rows(VELOCITY, 30.0, [380.0, 0.0], 30.0, noise=0.5, seed=3)
    guides = np.array([380.0, 0.0], np.float32)
    adapted = fit_rows_adaptive(rows, V32, noise, guides, settings)
    assert adapted.wider.tolist() == [True, False]
    assert adapted.windows[0, 1] == VELOCITY.size

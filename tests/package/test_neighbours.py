"""Neighbour refits: bad starts mended from good neighbours, the same bits
for any split of the rows."""

from __future__ import annotations

import numpy as np
import pytest
from trust_cubes import gaussian_rows

from quillet.basics.settings import LineSettings
from quillet.data.quality import Quality, is_good
from quillet.work.gaussian_fit import fit_and_judge
from quillet.work.neighbours import per_width, refit_from_neighbours

VELOCITY = np.arange(-300.0, 300.01, 5.0)
V32 = VELOCITY.astype(np.float32)
SETTINGS = LineSettings.for_axis(VELOCITY, line_sigma=10.0)
SHAPE = (30, 30)


def make_disc():
    y, x = np.mgrid[0 : SHAPE[0], 0 : SHAPE[1]]
    centre = (100.0 * np.tanh((x - 15.0) / 6.0) + 2.0 * y).reshape(-1)
    rows, noise = gaussian_rows(VELOCITY, 10.0, centre, 10.0, noise=0.5, seed=3)
    rng = np.random.default_rng(4)
    bad = rng.permutation(centre.size)[: centre.size // 10]
    guides = centre.astype(np.float32)
    guides[bad] += np.float32(150.0)  # where there is only noise
    return rows, noise, guides, centre, bad


@pytest.fixture(scope="module")
def disc():
    return make_disc()


def refitter(rows, noise, split):
    def refit(indices, guides, width):
        settings = SETTINGS.replace(width_guess=width)
        starts = range(0, indices.size, split)
        parts = [
            fit_and_judge(np.ascontiguousarray(rows[indices[a : a + split]]), V32,
                          np.ascontiguousarray(noise[indices[a : a + split]]),
                          guides[a : a + split], settings)
            for a in starts
        ]  # fmt: skip
        return tuple(np.concatenate(arrays) for arrays in zip(*parts))

    return per_width(refit)


def test_bad_starts_are_mended(disc):
    rows, noise, guides, centre, bad = disc
    fits, windows, quality = fit_and_judge(rows, V32, noise, guides, SETTINGS)
    first_good = is_good(fits[:, 7], quality)
    assert not first_good[bad].any() and first_good.sum() == centre.size - bad.size
    done = refit_from_neighbours(fits, windows, quality, SHAPE, refitter(rows, noise, 10**6),
                                 min_offset=SETTINGS.dv)  # fmt: skip
    assert done.good.all()
    assert np.all(done.quality[bad] == Quality.REFITTED)
    assert not (done.quality[np.setdiff1d(np.arange(centre.size), bad)] & Quality.REFITTED).any()
    assert np.all(np.abs(done.fits[bad, 1] - centre[bad]) <= 5.0 * done.fits[bad, 4])
    # Rows left alone keep their first fit to the bit.
    kept = ~np.isin(np.arange(centre.size), bad)
    np.testing.assert_array_equal(done.fits[kept].view(np.uint32), fits[kept].view(np.uint32))


def test_a_stray_good_centre_is_refitted_only_when_chi2_improves(disc):
    rows, noise, _, centre, _ = disc
    rows = rows.copy()
    # A second, brighter line far from the field in one spectrum: the first
    # pass fits it well (good) but its centre strays from its neighbours'.
    stray = 15 * SHAPE[1] + 15
    rows[stray] += (30.0 * np.exp(-0.5 * ((VELOCITY - 250.0) / 10.0) ** 2)).astype(np.float32)
    first = centre.astype(np.float32)
    first[stray] = 250.0
    fits, windows, quality = fit_and_judge(rows, V32, noise, first, SETTINGS)
    assert is_good(fits[:, 7], quality).all()
    done = refit_from_neighbours(fits, windows, quality, SHAPE, refitter(rows, noise, 10**6),
                                 min_offset=SETTINGS.dv)  # fmt: skip
    if done.quality[stray] & Quality.REFITTED:
        assert done.fits[stray, 6] < fits[stray, 6]
        assert abs(done.fits[stray, 1] - centre[stray]) < 5.0 * done.fits[stray, 4]
    else:
        np.testing.assert_array_equal(done.fits[stray], fits[stray])
    assert done.passes >= 1


@pytest.mark.parametrize("split", [1, 7])
def test_the_result_does_not_depend_on_how_the_rows_are_split(disc, split):
    rows, noise, guides, _, _ = disc
    fits, windows, quality = fit_and_judge(rows, V32, noise, guides, SETTINGS)
    whole = refit_from_neighbours(fits, windows, quality, SHAPE, refitter(rows, noise, 10**6),
                                  min_offset=SETTINGS.dv)  # fmt: skip
    pieces = refit_from_neighbours(fits, windows, quality, SHAPE, refitter(rows, noise, split),
                                   min_offset=SETTINGS.dv)  # fmt: skip
    for name in ("fits", "windows", "quality", "good"):
        np.testing.assert_array_equal(np.asarray(getattr(whole, name)).view(np.uint8),
                                      np.asarray(getattr(pieces, name)).view(np.uint8))  # fmt: skip

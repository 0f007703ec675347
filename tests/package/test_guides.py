"""Guides from the data, and the check that a user's guide reaches the axis."""

from __future__ import annotations

import numpy as np
import pytest
from trust_cubes import gaussian_rows

from quillet.basics.settings import LineSettings
from quillet.data.guides import check_guide_on_axis, find_guides

AXES = {
    "round zero": np.arange(-300.0, 300.01, 5.0),
    "326 to 789 km/s": np.linspace(326.1, 789.4, 94),
    "decreasing": np.arange(300.0, -300.01, -5.0),
}


# The peak is a channel's velocity (within half a channel of the line, noise
# aside); the moment is exact without noise, but every channel's noise pulls
# it towards the middle of the axis, which is why it is not the default.
@pytest.mark.parametrize(
    ("method", "noise", "tolerance"), [("peak", 0.3, 5.0), ("moment", 0.0, 0.5)]
)
@pytest.mark.parametrize("axis_name", list(AXES))
def test_a_line_anywhere_on_the_axis_is_found(axis_name, method, noise, tolerance):
    velocity = AXES[axis_name]
    lo, hi = sorted(velocity[[0, -1]])
    centres = np.linspace(lo + 60.0, hi - 60.0, 40)
    rows, level = gaussian_rows(velocity, 10.0, centres, 12.0, noise=noise, seed=1)
    guides = find_guides(rows, velocity, level, line_sigma=12.0, method=method)
    assert guides.dtype == np.float32
    assert np.max(np.abs(guides - centres)) <= tolerance


def test_blank_spectra_get_nan_and_noise_stays_on_the_axis():
    velocity = AXES["326 to 789 km/s"]
    rows, noise = gaussian_rows(velocity, np.zeros(30), 500.0, 10.0, noise=1.0, seed=2)
    rows[::3] = np.nan
    rows[1, ::2] = np.nan  # half missing: still a guide
    guides = find_guides(rows, velocity, noise, line_sigma=10.0)
    assert np.isnan(guides[::3]).all()
    rest = np.delete(guides, np.s_[::3])
    assert np.isfinite(rest).all() and (rest >= 326.0).all() and (rest <= 790.0).all()


def test_velocity_window_picks_the_line_within_it():
    velocity = AXES["round zero"]
    v = velocity[None, :]
    rows = 10.0 * np.exp(-0.5 * ((v + 150) / 10) ** 2) + 3.0 * np.exp(-0.5 * ((v - 100) / 10) ** 2)
    rows = np.ascontiguousarray(np.repeat(rows, 4, axis=0), dtype=np.float32)
    noise = np.ones_like(rows)
    assert np.all(find_guides(rows, velocity, noise, line_sigma=10.0) == -150.0)
    windowed = find_guides(rows, velocity, noise, line_sigma=10.0, velocity_window=(0, 300))
    assert np.all(windowed == 100.0)
    with pytest.raises(ValueError, match="holds no channel of the axis"):
        find_guides(rows, velocity, noise, line_sigma=10.0, velocity_window=(400, 500))


@pytest.mark.parametrize("piece", [None, 500])
def test_guides_do_not_depend_on_the_rows_beside_them(piece, monkeypatch):
    if piece is not None:  # a block larger than one piece is found piece by piece
        monkeypatch.setattr("quillet.data.guides._PIECE_VALUES", piece)
    velocity = AXES["round zero"]
    rows, noise = gaussian_rows(velocity, np.linspace(0, 8, 50), np.linspace(-200, 200, 50), 15.0,
                                noise=1.0, seed=3)  # fmt: skip
    whole = find_guides(rows, velocity, noise, line_sigma=15.0)
    pieces = np.concatenate(
        [find_guides(rows[a:b], velocity, noise[a:b], line_sigma=15.0) for a, b in
         ((0, 7), (7, 8), (8, 50))]
    )  # fmt: skip
    np.testing.assert_array_equal(whole.view(np.uint32), pieces.view(np.uint32))


@pytest.mark.parametrize(
    ("guide", "message"),
    [
        (0.0, r"guide 0 km/s lies 326.1 km/s from the axis \(326.1 to 789.4 km/s\)"),
        (np.array([[500.0, 2000.0], [np.nan, 0.0]]), r"2 of 4 guides; the first, 2000 km/s"),
    ],
)
def test_a_guide_off_the_axis_is_an_error(guide, message):
    velocity = AXES["326 to 789 km/s"]
    radius = LineSettings.for_axis(velocity, line_sigma=12.0).search_radius
    with pytest.raises(ValueError, match=message):
        check_guide_on_axis(guide, velocity, radius)


def test_a_guide_within_the_search_radius_of_the_axis_passes():
    velocity = AXES["326 to 789 km/s"]
    radius = LineSettings.for_axis(velocity, line_sigma=12.0).search_radius
    check_guide_on_axis(np.array([326.1 - radius + 0.5, 600.0, np.nan]), velocity, radius)

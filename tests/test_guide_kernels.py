"""_quillet_kernels.find_guides (through quillet.data.guides.find_guides) and
_quillet_kernels.find_peaks (through quillet.work.windows) against the NumPy
searches they replaced (reference_guides.py): the same bits for every row,
whatever the NaN, infinities, ties, flat rows and noise layouts."""

import numpy as np
import pytest
from reference_guides import numpy_peak_guides, numpy_peak_search

from quillet.basics.settings import LineSettings
from quillet.data.guides import find_guides
from quillet.work.windows import _peaks_and_finite

AXES = {
    "ascending": np.arange(-300.0, 300.01, 5.0),
    "descending": np.arange(300.0, -300.01, -5.0),
    "float32 off round": np.linspace(326.1, 789.4, 94).astype(np.float32),
}


def hostile_rows(rng, count, channels):
    """Lines in noise, with NaN, +-inf, flat rows, rows of equal maxima,
    all-NaN rows and huge values."""
    x = np.arange(channels)
    centres = rng.uniform(0, channels, count)[:, None]
    rows = 8.0 * np.exp(-0.5 * ((x - centres) / 3.0) ** 2) + rng.normal(size=(count, channels))
    rows = rows.astype(np.float32)
    pick = rng.random(size=rows.shape)
    rows[pick < 0.04] = np.nan
    rows[(pick >= 0.04) & (pick < 0.05)] = np.inf
    rows[(pick >= 0.05) & (pick < 0.06)] = -np.inf
    rows[(pick >= 0.06) & (pick < 0.07)] = np.float32(3e38)
    rows[::9] = np.float32(2.0)  # flat: every smoothed value ties
    rows[4::9] = np.nan  # no data
    rows[7::9] = 0.0
    rows[7::9, 10::20] = 5.0  # equal maxima, far apart
    return rows


def noise_layouts(rng, rows):
    count, channels = rows.shape
    per_row = rng.uniform(0.5, 2.0, count).astype(np.float32)
    per_row[2::11] = np.nan
    per_row[3::11] = 0.0
    per_row[5::11] = np.float32(1e-30)  # an infinite weight: NaN sums, as before
    per_pixel = np.repeat(per_row[:, None], channels, axis=1)
    per_pixel[rng.random(size=rows.shape) < 0.03] = -1.0
    return {
        "one value": 0.7,
        "per row float32": per_row,
        "per row float64": per_row.astype(np.float64) * 1.1,
        "per pixel float32": per_pixel,
        "per pixel float64": per_pixel.astype(np.float64) / 3.0,
        "per channel": np.linspace(0.5, 2.0, channels),
    }


@pytest.mark.parametrize(
    "noise_name", list(noise_layouts(np.random.default_rng(0), np.ones((1, 4))))
)
@pytest.mark.parametrize("axis_name", list(AXES))
@pytest.mark.parametrize(
    ("line_sigma", "window", "snap"),
    [
        (12.0, None, None),
        (12.0, None, 33.0),
        (3.0, (-100.0, 600.0), 20.0),
        (400.0, None, 0.0),
        (12.0, None, -1.0),
    ],
)
def test_the_kernel_guides_are_the_numpy_guides(noise_name, axis_name, line_sigma, window, snap):
    velocity = AXES[axis_name]
    rng = np.random.default_rng(len(noise_name) + velocity.size)
    rows = hostile_rows(rng, 99, velocity.size)
    noise = noise_layouts(rng, rows)[noise_name]
    axis = np.asarray(velocity, np.float64)
    inside = None
    if window is not None:
        inside = (axis >= window[0]) & (axis <= window[1])
    got = find_guides(rows, velocity, noise, line_sigma=line_sigma, velocity_window=window,
                      snap_radius=snap)  # fmt: skip
    want = numpy_peak_guides(rows, velocity, noise, line_sigma=line_sigma, inside=inside,
                             snap_radius=snap)  # fmt: skip
    assert got.dtype == np.float32 and got.shape == (rows.shape[0],)
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))


@pytest.mark.parametrize("shape", [(0, 50), (1, 1), (3, 2), (5, 600)])
def test_guides_of_any_size_are_the_numpy_guides(shape):
    rng = np.random.default_rng(shape[1])
    rows = rng.normal(size=shape).astype(np.float32)
    velocity = np.arange(shape[1]) * 3.0
    noise = np.ones(shape[0], np.float32)
    got = find_guides(rows, velocity, noise, line_sigma=5.0, snap_radius=10.0)
    if shape[1] < 2:  # one channel has no spacing: the boxcar is that channel
        assert np.array_equal(got, np.zeros(shape[0], np.float32))
        return
    want = numpy_peak_guides(rows, velocity, noise, line_sigma=5.0, snap_radius=10.0)
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))


@pytest.mark.parametrize("axis_name", list(AXES))
@pytest.mark.parametrize("sg_xpixels", [None, 40])
def test_the_kernel_peaks_are_the_numpy_peaks(axis_name, sg_xpixels):
    velocity = np.asarray(AXES[axis_name], np.float32)
    settings = LineSettings.for_axis(velocity, line_sigma=10.0)
    if sg_xpixels is not None:
        settings = settings.replace(sg_xpixels=sg_xpixels)
    rng = np.random.default_rng(velocity.size)
    rows = hostile_rows(rng, 120, velocity.size)
    guides = rng.uniform(float(velocity.min()) - 50, float(velocity.max()) + 50, 120)
    guides = guides.astype(np.float32)
    guides[::13] = np.nan
    guides[1::13] = velocity[20]  # a guide on a channel
    got = _peaks_and_finite(rows, velocity, guides, settings)
    want = numpy_peak_search(rows, velocity, guides, settings)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1].view(np.uint32), want[1].view(np.uint32))
    np.testing.assert_array_equal(got[2], want[2])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda k, r: k.find_guides(r, np.zeros(3), np.ones(4), np.ones(3, bool), 1),
         "velocity and inside need one value per channel"),
        (lambda k, r: k.find_guides(r, np.zeros(4), np.ones(5), np.ones(4, bool), 1),
         "noise must hold one value per row or one per pixel"),
        (lambda k, r: k.find_guides(r, np.zeros(4), np.ones(2), np.ones(4, bool), -1),
         "half must be 0 or more"),
        (lambda k, r: k.find_peaks(r, np.zeros(5, np.float32), np.zeros(2, np.float32), 1.0, 1.0),
         "velocity has more values than the rows have channels"),
        (lambda k, r: k.find_peaks(r, np.zeros(4, np.float32), np.zeros(3, np.float32), 1.0, 1.0),
         "guides must hold one value per row"),
    ],
)  # fmt: skip
def test_the_kernels_refuse_mismatched_inputs(call, message):
    import _quillet_kernels

    rows = np.zeros((2, 4), np.float32)
    with pytest.raises(ValueError, match=message):
        call(_quillet_kernels, rows)

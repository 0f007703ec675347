"""Quality bits: each bit set by the case it names, and described to other tools."""

from __future__ import annotations

import numpy as np
import pytest
from astropy.io import fits as pyfits
from trust_cubes import gaussian_rows

from quillet.basics.settings import LineSettings
from quillet.data.quality import (
    DEFAULT_SNR_MIN,
    Quality,
    RowLimits,
    cf_attributes,
    fits_cards,
    is_good,
    quality_bits,
)
from quillet.work.gaussian_fit import fit_and_judge
from quillet.work.windows import fit_rows_adaptive

VELOCITY = np.arange(-200.0, 200.01, 4.0)
V32 = VELOCITY.astype(np.float32)
SETTINGS = LineSettings.for_axis(VELOCITY, line_sigma=10.0)


def judged(rows, noise, guides, settings=SETTINGS, **options):
    return fit_and_judge(rows, V32, noise, np.asarray(guides, np.float32), settings, **options)


# Each case: rows, noise, guide, settings, max_rounds and the bit it must set.
def cases():
    narrow = gaussian_rows(VELOCITY, 10.0, 1.0, 1.0, noise=0.0)
    broad = gaussian_rows(VELOCITY, 10.0, 0.0, 60.0, noise=0.0)
    off_axis = gaussian_rows(VELOCITY, 10.0, 195.0, 30.0, noise=0.0)
    clean = gaussian_rows(VELOCITY, 10.0, 0.0, 10.0, noise=0.0)
    on_the_guide = SETTINGS.replace(
        npix=3, velocity_range=0.0, npix_slack=0, amplitude_rel_max=100.0
    )
    return {
        "no data": (np.full((1, VELOCITY.size), np.nan, np.float32), None, 0.0, SETTINGS, 3,
                    Quality.NO_DATA),
        "width at min": (*narrow, 1.0, SETTINGS, 3, Quality.WIDTH_AT_MIN),
        "width at max": (*broad, 0.0, SETTINGS.replace(width_max=20.0), 0, Quality.WIDTH_AT_MAX),
        # The line's apex is its brightest pixel; a lower bound above it
        # holds the amplitude.
        "amplitude at bound": (*clean, 0.0, SETTINGS.replace(amplitude_rel_min=1.05), 0,
                               Quality.AMPLITUDE_AT_BOUND),
        # A search radius of 0 takes the pixel at the guide, on the line's
        # wing: the window round it holds the wing alone, and the centre is
        # drawn towards the apex beyond the window's reach.
        "centre at edge": (*clean, 24.0, on_the_guide, 0, Quality.CENTRE_AT_EDGE),
        "low S/N": (*gaussian_rows(VELOCITY, 1.0, 0.0, 10.0, noise=1.0, seed=8), 0.0, SETTINGS, 3,
                    Quality.LOW_SNR),
        "wider than window": (*off_axis, 190.0, SETTINGS, 3, Quality.WIDER_THAN_WINDOW),
    }  # fmt: skip


@pytest.mark.parametrize("name", list(cases()))
def test_each_bit_is_set_by_its_case(name):
    rows, noise, guide, settings, rounds, bit = cases()[name]
    noise = np.ones_like(rows) if noise is None else noise
    fits, _, quality = judged(rows, noise, [guide], settings, max_rounds=rounds)
    assert quality[0] & bit, f"{name}: got {Quality(int(quality[0]))!r}"
    assert not is_good(fits[:, 7], quality)[0]
    if bit != Quality.NO_DATA:
        assert fits[0, 7] == 0


def test_a_clean_line_has_no_bit_and_is_good():
    rows, noise = gaussian_rows(VELOCITY, 10.0, [-50.0, 3.0, 70.0], 9.0, noise=0.5, seed=4)
    fits, _, quality = judged(rows, noise, [-50.0, 3.0, 70.0])
    assert quality.dtype == np.uint16 and quality.tolist() == [0, 0, 0]
    assert is_good(fits[:, 7], quality).all()


def test_the_solver_pins_a_bound_exactly():
    # The tolerance of "at a bound" rests on this: a parameter held by its
    # bound comes back as the bound to the bit.
    rows, noise = gaussian_rows(VELOCITY, 10.0, [1.0, -20.0], [1.0, 2.0], noise=0.0)
    fit = fit_rows_adaptive(rows, V32, noise, np.array([1.0, -20.0], np.float32), SETTINGS)
    assert np.all(fit.fits[:, 2] == np.float32(SETTINGS.width_min))


# Each bound: its bit, the fitted value it holds (0 amplitude, 1 centre,
# 2 sigma), the bound, its scale, and the side the free values lie on.
PEAK = 5.0
CENTRE_LOW, CENTRE_HIGH = -8.0, 8.0
REL_LO = float(np.float32(SETTINGS.amplitude_rel_min))
REL_HI = float(np.float32(SETTINGS.amplitude_rel_max))
AMP_SCALE = max(abs(REL_LO), abs(REL_HI))
BOUNDS = {
    "width min": (Quality.WIDTH_AT_MIN, 2, SETTINGS.width_min, SETTINGS.width_min, 1.0),
    "width max": (Quality.WIDTH_AT_MAX, 2, SETTINGS.width_max, SETTINGS.width_max, -1.0),
    "amplitude min": (Quality.AMPLITUDE_AT_BOUND, 0, REL_LO * PEAK, AMP_SCALE * PEAK, 1.0),
    "amplitude max": (Quality.AMPLITUDE_AT_BOUND, 0, REL_HI * PEAK, AMP_SCALE * PEAK, -1.0),
    "centre low": (Quality.CENTRE_AT_EDGE, 1, CENTRE_LOW, SETTINGS.dv, 1.0),
    "centre high": (Quality.CENTRE_AT_EDGE, 1, CENTRE_HIGH, SETTINGS.dv, -1.0),
}


# A parameter the solver holds comes back within float32 rounding of its
# bound, and a free one stops within about xtol (1e-6) relative of where its
# data put it: one a few parts in 1e5 of the bound's scale away rests on
# it, one two parts in 1e4 away (a fit the data put there) does not.
@pytest.mark.parametrize("offset, at_bound", [(3e-5, True), (2e-4, False)])
@pytest.mark.parametrize("bound", list(BOUNDS))
def test_at_a_bound_means_within_a_ten_thousandth_of_its_scale(bound, offset, at_bound):
    bit, column, value, scale, inward = BOUNDS[bound]
    fits = np.array([[0.6 * PEAK, 0.0, 10.0, 0.01, 0.1, 0.1, 1.0, 0.0]], np.float32)
    fits[0, column] = value + inward * offset * scale
    limits = RowLimits(
        peak_value=np.array([PEAK]),
        centre_low=np.array([CENTRE_LOW]),
        centre_high=np.array([CENTRE_HIGH]),
        width_min=np.array([SETTINGS.width_min]),
        width_max=np.array([SETTINGS.width_max]),
    )
    quality = quality_bits(fits, np.array([[40, 60]]), np.array([101]), SETTINGS, limits=limits)
    assert bool(quality[0] & bit) == at_bound, Quality(int(quality[0]))
    assert quality[0] & ~bit == 0  # no other bound, and S/N well above its floor


def test_refitted_alone_leaves_a_fit_good_and_failures_get_no_bits():
    rows, noise = gaussian_rows(VELOCITY, 10.0, [0.0, 0.0], 9.0, noise=0.5, seed=5)
    rows[1] = -1.0  # no positive peak: flag 1, not a quality bit
    fit = fit_rows_adaptive(rows, V32, noise, np.zeros(2, np.float32), SETTINGS)
    quality = quality_bits(fit.fits, fit.windows, np.array([101, 101]), SETTINGS,
                           limits=fit.limits, refitted=np.array([True, False]))  # fmt: skip
    assert quality.tolist() == [int(Quality.REFITTED), 0]
    assert is_good(fit.fits[:, 7], quality).tolist() == [True, False]


def test_snr_min_is_a_threshold_on_amplitude_over_its_error():
    rows, noise = gaussian_rows(VELOCITY, np.linspace(0.5, 6.0, 40), 0.0, 10.0, noise=1.0, seed=6)
    fits, _, quality = judged(rows, noise, np.zeros(40), snr_min=DEFAULT_SNR_MIN)
    ok = fits[:, 7] == 0
    low = (quality & Quality.LOW_SNR) != 0
    np.testing.assert_array_equal(low[ok], (fits[ok, 0] / fits[ok, 3]) < DEFAULT_SNR_MIN)
    assert low[ok].any() and not low[ok].all()


def test_the_bits_are_described_for_xarray_and_fits():
    attributes = cf_attributes()
    assert attributes["flag_masks"].tolist() == [int(b) for b in Quality]
    assert all(int(b) == 1 << (int(b).bit_length() - 1) for b in Quality)
    assert attributes["flag_meanings"].split() == [str(b.name).lower() for b in Quality]
    header = pyfits.Header(fits_cards())
    assert header["EXTNAME"] == "QUALITY"
    assert [header[f"QBIT{int(b).bit_length() - 1}"] for b in Quality] == [b.name for b in Quality]
    header.tostring()  # every card is a valid FITS card
    # One COMMENT card per bit, none wrapped onto a second.
    comments = [str(text) for text in header["COMMENT"]]
    assert [c.split()[1].rstrip(":") for c in comments] == [b.name for b in Quality]

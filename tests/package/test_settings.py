"""LineSettings: checked by the kernel's own checks, derived from an axis."""

from __future__ import annotations

import math

import astropy.units as u
import numpy as np
import pytest

import _quillet
import quillet

AXIS = np.arange(-500.0, 501.0, 10.0)  # 101 channels of 10 km/s

VALID = dict(
    velocity_range=40.0,
    npix=5,
    npix_slack=2,
    dv=10.0,
    width_min=10.0,
    sg_xpixels=101,
    amplitude_rel_min=0.2,
    amplitude_rel_max=3.0,
    width_max=250.0,
    width_guess=20.0,
)


def kernel_message(**settings):
    """The message of the kernel's own check of these settings, from a
    one-spectrum call."""
    values = np.ones(101, np.float32)
    try:
        _quillet.fit_single_spectrum(values, values, values, 0.0, **settings)
    except (ValueError, TypeError, OverflowError) as error:
        return type(error), str(error)
    return None


@pytest.mark.parametrize(
    "changes",
    [
        {"sg_xpixels": 0, "dv": math.nan},
        {"dv": math.inf},
        {"velocity_range": -1.0},
        {"npix": 0, "npix_slack": -1},
        {"npix_slack": -1},
        {"dv": 0.0},
        {"width_min": 250.0},
        {"width_guess": 0.0},
        {"amplitude_rel_min": 3.0},
        {"xtol": math.nan},
        {"max_iter": 0},
        {"ftol": -1e-6, "npix": 0},
        {"npix": 2**31},
    ],
)
def test_bad_settings_get_the_kernels_message(changes):
    want = kernel_message(**{**VALID, **changes})
    assert want is not None
    with pytest.raises(want[0]) as raised:
        quillet.LineSettings(**{**VALID, **changes})
    assert str(raised.value) == want[1]


def test_valid_settings_pass_and_keep_plain_numbers():
    settings = quillet.LineSettings(**{**VALID, "npix": np.int64(5), "dv": np.float32(10.0)})
    assert type(settings.npix) is int and type(settings.dv) is float
    assert settings.as_kwargs() == {
        **VALID,
        "xtol": 1e-6,
        "ftol": 1e-6,
        "gtol": 1e-6,
        "max_iter": 2000,
    }
    assert settings.search_radius == 2 * 10.0 + 40.0
    assert settings.replace(npix=7).npix == 7
    with pytest.raises(ValueError, match="npix must be positive"):
        settings.replace(npix=0)


@pytest.mark.parametrize(
    ("value", "error"),
    [(True, "must be a number"), ("5", "must be a number"), (5.5, "whole number")],
)
def test_settings_of_the_wrong_kind(value, error):
    with pytest.raises(TypeError, match=error):
        quillet.LineSettings(**{**VALID, "npix": value})


@pytest.mark.parametrize(
    ("line_sigma", "npix", "velocity_range"), [(None, 6, 80.0), (25.0, 8, 100.0), (4.0, 2, 16.0)]
)
def test_for_axis_derives_from_the_axis_and_the_line_width(line_sigma, npix, velocity_range):
    settings = quillet.LineSettings.for_axis(AXIS, line_sigma=line_sigma)
    sigma = 20.0 if line_sigma is None else line_sigma  # two channels by default
    assert settings.dv == 10.0
    assert settings.sg_xpixels == 101
    assert settings.npix == npix  # ceil(3 sigma / dv), at least 2
    assert settings.velocity_range == velocity_range
    assert settings.width_guess == sigma
    assert settings.width_min == 10.0
    assert settings.width_max == 250.0  # a quarter of the 1000 km/s span


def test_for_axis_on_irregular_and_decreasing_axes():
    # A radio axis decreases; a few wider channels do not move the median.
    axis = np.concatenate([np.arange(100.0, 0.0, -2.0), np.array([-5.0, -20.0])])
    settings = quillet.LineSettings.for_axis(axis * u.km / u.s, npix=3)
    assert settings.dv == 2.0
    assert settings.npix == 3
    assert settings.sg_xpixels == axis.size


@pytest.mark.parametrize(
    ("axis", "message"),
    [
        (np.array([1.0, 2.0]), "has 2 channels; a line fit needs at least 3"),
        (np.array([1.0, np.nan, 3.0, 4.0]), "non-finite value at channel 1"),
        (np.array([1.0, 3.0, 2.0, 4.0]), "not strictly monotonic"),
        (np.array([1.0, 2.0, 2.0, 4.0]), "not strictly monotonic"),
        (np.zeros((3, 3)), "must be 1-D"),
        (np.arange(5.0) * u.AA, "not a velocity"),
    ],
)
def test_unusable_axes(axis, message):
    with pytest.raises(ValueError, match=message):
        quillet.LineSettings.for_axis(axis)


def test_for_axis_refuses_unknown_settings_and_bad_widths():
    with pytest.raises(TypeError, match="unknown setting 'width'"):
        quillet.LineSettings.for_axis(AXIS, width=3.0)
    with pytest.raises(ValueError, match="line_sigma must be a positive"):
        quillet.LineSettings.for_axis(AXIS, line_sigma=-2.0)

"""_quillet_kernels.check_spectrum_settings: the spectrum functions'
conversions and settings checks without a fit, so every error is exactly the
batch's own, type and message, with the first failed check winning."""

import math

import numpy as np
import pytest

import _quillet_kernels


@pytest.fixture
def batch(make_call):
    """A valid batch call; its parameters after the four arrays are the settings."""
    return make_call("fit_spectra_batch_guided")


def error_of(function, *args, **kwargs):
    """The type and message of what the call raises, or None."""
    try:
        result = function(*args, **kwargs)
    except (TypeError, ValueError, OverflowError) as error:
        return type(error), str(error)
    assert function is not _quillet_kernels.check_spectrum_settings or result is None
    return None


def settings_of(batch, **changes):
    return {name: batch.arguments[name] for name in batch.names[4:]} | changes


# One row per check, in the order they run; rows with two faults show that
# the earlier check is the one reported.
BAD = [
    {"sg_xpixels": 0},
    {"sg_xpixels": 0, "dv": math.nan},
    {"dv": math.inf},
    {"width_max": -math.inf, "velocity_range": -1.0},
    {"velocity_range": -1.0, "npix": 0},
    {"npix": 0, "npix_slack": -1},
    {"npix_slack": -1, "dv": 0.0},
    {"dv": -0.0, "width_min": 0.0},
    {"width_min": 5.0},
    {"width_guess": 0.0, "amplitude_rel_min": 9.0},
    {"amplitude_rel_min": 5.0, "xtol": math.nan},
    {"xtol": math.nan, "max_iter": 0},
    {"gtol": 1e300},  # infinite once narrowed to float32
    {"ftol": 1e-50},  # zero once narrowed
    {"max_iter": -1},
    # Conversions: the argument's name in a TypeError, overflow unprefixed,
    # and the first argument that fails to convert wins over later checks.
    {"dv": "0.25"},
    {"npix": 5.0, "sg_xpixels": 0},
    {"xtol": None},
    {"npix": 2**31},
    {"max_iter": 2**63},
    {"sg_xpixels": 1.5, "npix": "5"},
]


@pytest.mark.parametrize("changes", BAD, ids=lambda c: "-".join(c))
def test_bad_settings_raise_what_the_batch_raises(batch, changes):
    want = error_of(batch, **changes)
    assert want is not None
    assert (
        error_of(_quillet_kernels.check_spectrum_settings, **settings_of(batch, **changes)) == want
    )


@pytest.mark.parametrize(
    "changes",
    [
        {},
        {"velocity_range": 0.0, "npix_slack": 0},
        {"velocity_range": -0.0},
        {"width_guess": 50.0},
        {"amplitude_rel_min": -1.0, "amplitude_rel_max": 2.0},
        {"xtol": 1, "ftol": 1e-3, "gtol": 0.5, "max_iter": 1},
        {"npix": True, "dv": np.float64(0.25)},
    ],
)
def test_good_settings_return_none(batch, changes):
    assert error_of(batch, **changes) is None
    assert (
        error_of(_quillet_kernels.check_spectrum_settings, **settings_of(batch, **changes)) is None
    )


def test_settings_bind_by_position_with_the_batchs_defaults(batch):
    check = _quillet_kernels.check_spectrum_settings
    values = list(settings_of(batch).values())[:10]
    assert error_of(check, *values) is None
    assert error_of(check, *values, 1e-6, 1e-6, 0.0) == (
        ValueError,
        "xtol, ftol, gtol, and max_iter must be positive",
    )
    kind, message = error_of(check, *values[:9])
    assert kind is TypeError
    assert message.startswith("check_spectrum_settings() missing 1 required positional argument")

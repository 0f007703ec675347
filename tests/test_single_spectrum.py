"""fit_single_spectrum as Python sees it: the order of its input checks, its
defaults, and the slicing of its arrays to sg_xpixels. The peak, window and
fit rules themselves are proved by the C++ tests of fit_spectrum_window;
binding, conversion and result arrays by the tests of the module surface."""

import numpy as np
import pytest

import _quillet

N = 100
SETTINGS = dict(
    velocity_range=15.0,
    npix=8,
    npix_slack=2,
    dv=10.0,
    width_min=1.0,
    sg_xpixels=N,
    amplitude_rel_min=0.1,
    amplitude_rel_max=2.0,
    width_max=200.0,
    width_guess=20.0,
)


def line_spectrum(n=N):
    """A line of amplitude 3 at 4 km/s, sigma 25 km/s, on 10 km/s pixels with
    pixel 50 at 0 km/s, plus a ripple of the noise level's size."""
    i = np.arange(n)
    velocity = (10.0 * i - 500.0).astype(np.float32)
    flux = 3.0 * np.exp(-0.5 * ((velocity - 4.0) / 25.0) ** 2) + 0.01 * np.sin(1.3 * i)
    noise = np.full(n, 0.01, dtype=np.float32)
    return flux.astype(np.float32), velocity, noise


def call(spectrum, dopp_slit, spec_noise, guide=0.0, **overrides):
    kwargs = dict(SETTINGS, **overrides)
    return _quillet.fit_single_spectrum(spectrum, dopp_slit, spec_noise, guide, **kwargs)


def strided(a):
    """The same values as `a`, every second element of a buffer twice as long."""
    wide = np.zeros(2 * len(a), dtype=np.float32)
    wide[::2] = a
    return wide[::2]


def misaligned(a):
    """The same values as `a`, starting one byte into its buffer."""
    raw = bytearray(a.nbytes + 1)
    view = np.frombuffer(raw, dtype=np.float32, count=len(a), offset=1)
    view[:] = a
    return view


def assert_same_bits(got, want):
    fit_got, window_got = got
    fit_want, window_want = want
    np.testing.assert_array_equal(fit_got.view(np.uint32), fit_want.view(np.uint32))
    assert window_got == window_want


def test_fits_the_line_of_the_spectrum_given():
    fit, window = call(*line_spectrum())
    assert fit[7] == _quillet.FLAG_SUCCESS
    assert window == (42, 59)
    np.testing.assert_allclose(fit[:3], [3.0, 4.0, 25.0], rtol=0, atol=0.2)


SHORT = np.zeros(N - 1, dtype=np.float32)
EMPTY = np.empty(0, dtype=np.float32)

# (what to change, expected message). The settings are checked first, then
# the layout of spectrum, dopp_slit and spec_noise, then their lengths.
ORDER_CASES = [
    pytest.param(
        {"sg_xpixels": 0, "spectrum": "strided"},
        "n_pixels must be positive",
        id="settings-before-layout",
    ),
    pytest.param(
        {"max_iter": 0, "dopp_slit": "strided"},
        "xtol, ftol, gtol, and max_iter must be positive",
        id="tolerances-before-layout",
    ),
    pytest.param(
        {"width_min": 0.0, "spec_noise": SHORT},
        "width_min, width_max, and width_guess must define positive increasing widths",
        id="settings-before-length",
    ),
    pytest.param({"spectrum": "strided"}, "spectrum must be contiguous float32", id="spectrum"),
    pytest.param(
        {"spectrum": "misaligned"}, "spectrum must be contiguous float32", id="spectrum-misaligned"
    ),
    pytest.param({"dopp_slit": "strided"}, "dopp_slit must be contiguous float32", id="dopp_slit"),
    pytest.param(
        {"spec_noise": "strided"}, "spec_noise must be contiguous float32", id="spec_noise"
    ),
    pytest.param(
        {"dopp_slit": "strided", "spectrum": "strided"},
        "spectrum must be contiguous float32",
        id="spectrum-before-dopp_slit",
    ),
    pytest.param(
        {"spec_noise": "strided", "dopp_slit": "strided"},
        "dopp_slit must be contiguous float32",
        id="dopp_slit-before-spec_noise",
    ),
    pytest.param(
        {"spec_noise": "strided", "spectrum": SHORT},
        "spec_noise must be contiguous float32",
        id="layout-before-length",
    ),
    pytest.param(
        {"spectrum": SHORT}, "input arrays must be at least n_pixels long", id="short-spectrum"
    ),
    pytest.param(
        {"dopp_slit": SHORT}, "input arrays must be at least n_pixels long", id="short-dopp_slit"
    ),
    pytest.param(
        {"spec_noise": SHORT}, "input arrays must be at least n_pixels long", id="short-spec_noise"
    ),
    pytest.param(
        {"spec_noise": EMPTY},
        "input arrays must be at least n_pixels long",
        id="empty-passes-layout",
    ),
]


@pytest.mark.parametrize("change, message", ORDER_CASES)
def test_first_failed_check_is_reported(change, message):
    arrays = dict(zip(("spectrum", "dopp_slit", "spec_noise"), line_spectrum()))
    settings = {}
    for name, value in change.items():
        if name in arrays:
            if isinstance(value, str):
                value = {"strided": strided, "misaligned": misaligned}[value](arrays[name])
            arrays[name] = value
        else:
            settings[name] = value
    with pytest.raises(ValueError) as excinfo:
        call(arrays["spectrum"], arrays["dopp_slit"], arrays["spec_noise"], **settings)
    assert str(excinfo.value) == message


def test_fourteen_arguments_use_the_default_tolerances():
    args = (*line_spectrum(), np.float32(0.0), *SETTINGS.values())
    assert len(args) == 14
    defaults = _quillet.fit_single_spectrum(*args)
    eps = np.float32(1e-6)
    explicit = _quillet.fit_single_spectrum(*args, eps, eps, eps, 2000)
    assert_same_bits(defaults, explicit)
    # The tolerances given do reach the fit: one iteration cannot converge.
    limited = _quillet.fit_single_spectrum(*args, eps, eps, eps, 1)
    assert limited[0][7] == _quillet.FLAG_NO_CONVERGENCE
    assert limited[1] == (42, 59)


def test_only_the_first_sg_xpixels_values_are_read():
    spectrum, dopp_slit, spec_noise = line_spectrum()
    cut = call(spectrum, dopp_slit, spec_noise)
    # Lengths differ from each other, and what lies beyond sg_xpixels would,
    # if read, be a far brighter line right at the guide velocity.
    longer_spectrum = np.concatenate([spectrum, np.full(20, 100.0, np.float32)])
    longer_dopp = np.concatenate([dopp_slit, np.zeros(1, np.float32)])
    longer_noise = np.concatenate([spec_noise, np.full(50, 0.01, np.float32)])
    assert_same_bits(call(longer_spectrum, longer_dopp, longer_noise), cut)

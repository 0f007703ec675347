"""fit_cube against the batch call it is built on: the same bits for every
layout, dtype, spectral axis and block size; offsets, continuum and noise
against known truths; inputs it must refuse; Ctrl-C within one block."""

from __future__ import annotations

import os
import pathlib
import signal

import astropy.units as u
import numpy as np
import pytest
import zarr

import _quillet
import quillet
from quillet.data.results import QUANTITIES

VELOCITY = np.linspace(-400.0, 380.0, 40)  # 20 km/s channels
SPATIAL = (3, 5, 7)
SETTINGS = quillet.LineSettings.for_axis(VELOCITY, line_sigma=40.0)
# What makes fit_cube's maps the batch call's bits: a guide given, the
# windows of npix channels, and no refits from neighbours.
AS_BATCH = {"adapt_window": False, "refit_neighbours": False}


def line_spectra(spatial=SPATIAL, seed=7):
    """Float64 spectra, spectral axis last: lines of varied centre, width and
    brightness (some too faint to find, some at the axis ends) over noise."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-390.0, 370.0, spatial)[..., None]
    sigma = rng.uniform(15.0, 80.0, spatial)[..., None]
    amplitude = rng.uniform(0.0, 20.0, spatial)[..., None]
    spectra = amplitude * np.exp(-0.5 * ((VELOCITY - centre) / sigma) ** 2)
    spectra += rng.normal(0.0, 1.0, spectra.shape)
    spectra.reshape(-1, VELOCITY.size)[-1, 5] = np.nan  # a missing pixel
    return spectra


SPECTRA = line_spectra()
NOISE = np.random.default_rng(3).uniform(0.5, 1.5, SPECTRA.shape)
GUIDES = np.random.default_rng(4).uniform(-100.0, 100.0, SPATIAL)


def batch_reference(spectra, noise, guides, settings=SETTINGS):
    """What one batch call returns for the float32 rows of the spectra."""
    rows = np.ascontiguousarray(spectra.reshape(-1, VELOCITY.size), dtype=np.float32)
    sigma = np.ascontiguousarray(noise.reshape(-1, VELOCITY.size), dtype=np.float32)
    return _quillet.fit_spectra_batch_guided(
        rows,
        VELOCITY.astype(np.float32),
        sigma,
        np.asarray(guides, np.float32).reshape(-1),
        **settings.as_kwargs(),
    )


def assert_same_bits(fit, reference):
    fits, windows = reference
    for column, quantity in enumerate(QUANTITIES):
        got = np.asarray(getattr(fit, quantity.name)).reshape(-1)
        np.testing.assert_array_equal(got.view(np.uint32), fits[:, column].view(np.uint32))
    np.testing.assert_array_equal(np.asarray(fit.flag).reshape(-1), fits[:, 7].astype(np.int8))
    np.testing.assert_array_equal(np.asarray(fit.window).reshape(-1, 2), windows)


def moved(array, axis):
    """The array with its last (spectral) axis moved to ``axis``, as a
    C-contiguous copy: a cube stored with its spectral axis there."""
    return np.ascontiguousarray(np.moveaxis(array, -1, axis))


REFERENCE = batch_reference(SPECTRA, NOISE, GUIDES)


def test_the_reference_holds_every_flag():
    flags = set(REFERENCE[0][:, 7].tolist())
    assert {_quillet.FLAG_SUCCESS, _quillet.FLAG_NO_LOCAL_MAX} <= flags


@pytest.mark.parametrize("axis", [0, 1, 2, 3, -1])
@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("chunk_rows", [1, 7, 32, None])
def test_same_bits_as_the_batch_for_every_layout(axis, order, chunk_rows):
    data = np.asarray(moved(SPECTRA, axis), order=order)
    noise = np.asarray(moved(NOISE, axis), order=order)
    fit = quillet.fit_cube(
        data,
        VELOCITY,
        noise=noise,
        guide=GUIDES,
        spectral_axis=axis,
        settings=SETTINGS,
        chunk_rows=chunk_rows,
        progress=False,
        **AS_BATCH,
    )
    assert fit.shape == SPATIAL
    assert fit.window.shape == (*SPATIAL, 2)
    assert_same_bits(fit, REFERENCE)


@pytest.mark.parametrize("dtype", [np.float32, np.float64, ">f4", ">f8", np.float16])
def test_same_bits_for_every_float_dtype(dtype):
    data = SPECTRA.astype(dtype)
    fit = quillet.fit_cube(
        data,
        VELOCITY,
        noise=NOISE,
        guide=GUIDES,
        settings=SETTINGS,
        chunk_rows=11,
        progress=False,
        **AS_BATCH,
    )
    assert_same_bits(fit, batch_reference(data, NOISE, GUIDES))


@pytest.mark.parametrize("dtype", [np.int16, np.int32, np.uint16, np.int64])
def test_same_bits_for_integer_counts(dtype):
    counts = np.clip(np.round(SPECTRA * 50.0 + 100.0), 0, None)
    counts = np.nan_to_num(counts).astype(dtype)
    noise = np.sqrt(np.maximum(counts, 1.0))
    fit = quillet.fit_cube(
        moved(counts, 0), VELOCITY, noise=moved(noise, 0), spectral_axis=0, guide=GUIDES,
        settings=SETTINGS, progress=False, **AS_BATCH,
    )  # fmt: skip
    assert_same_bits(fit, batch_reference(counts, noise, GUIDES))


def test_same_bits_for_views_memmaps_and_array_likes(tmp_path):
    # A strided view (every other spectrum of a bigger cube), a memmap of an
    # .npy file with the spectral axis first, and a zarr array, which only
    # supports basic slicing.
    big = np.repeat(SPECTRA, 2, axis=1)
    view = big[:, ::2]
    np.save(tmp_path / "cube.npy", moved(SPECTRA, 0).astype(np.float32))
    mapped = np.load(tmp_path / "cube.npy", mmap_mode="r")
    stored = zarr.array(moved(SPECTRA, 1), chunks=(2, 40, 3, 3))
    for data, axis in ((view, -1), (mapped, 0), (stored, 1)):
        fit = quillet.fit_cube(
            data, VELOCITY, noise=moved(NOISE, axis % 4), spectral_axis=axis, guide=GUIDES,
            settings=SETTINGS, chunk_rows=9, progress=False, **AS_BATCH,
        )  # fmt: skip
        assert_same_bits(fit, REFERENCE)


def test_inputs_are_not_written():
    data = moved(SPECTRA, 1).astype(np.float32)
    before = data.copy()
    data.flags.writeable = False  # a write would raise
    noise = NOISE.copy()
    quillet.fit_cube(
        data, VELOCITY, noise=moved(noise, 1), spectral_axis=1, mask=np.isnan(data),
        continuum="edges", settings=SETTINGS, progress=False,
    )  # fmt: skip
    np.testing.assert_array_equal(data, before)


@pytest.mark.parametrize(
    ("spatial", "shape"),
    [((), ()), ((6,), (6,)), ((2, 3), (2, 3)), ((2, 1, 3, 2), (2, 1, 3, 2))],
)
def test_any_number_of_spatial_axes(spatial, shape):
    spectra = line_spectra(spatial, seed=11)
    noise = np.ones_like(spectra)
    fit = quillet.fit_cube(
        spectra, VELOCITY, noise=noise, guide=0.0, settings=SETTINGS, progress=False, **AS_BATCH
    )
    assert fit.shape == shape
    assert_same_bits(fit, batch_reference(spectra, noise, np.zeros(shape)))


def test_estimated_noise_does_not_depend_on_blocks():
    one = quillet.fit_cube(
        SPECTRA, VELOCITY, guide=0.0, settings=SETTINGS, chunk_rows=1, progress=False, **AS_BATCH
    )
    many = quillet.fit_cube(
        moved(SPECTRA, 0), VELOCITY, spectral_axis=0, guide=0.0, settings=SETTINGS,
        progress=False, **AS_BATCH,
    )  # fmt: skip
    noise = np.broadcast_to(quillet.estimate_noise(SPECTRA)[..., None], SPECTRA.shape)
    for fit in (one, many):
        assert_same_bits(fit, batch_reference(SPECTRA, noise, np.zeros(SPATIAL)))


@pytest.mark.parametrize("level", [0.3, 2.0])
def test_estimate_noise_finds_the_noise_of_a_smooth_spectrum(level):
    rng = np.random.default_rng(5)
    x = np.linspace(0.0, 6.0, 2000)
    spectra = 50.0 * np.sin(x) + rng.normal(0.0, level, (64, x.size))
    spectra[:, ::7] = np.nan  # missing pixels take no part
    estimate = quillet.estimate_noise(spectra)
    assert estimate.shape == (64,)
    np.testing.assert_allclose(np.median(estimate), level, rtol=0.02)


def test_estimate_noise_is_the_same_for_every_layout(tmp_path):
    want = quillet.estimate_noise(SPECTRA)
    np.save(tmp_path / "first.npy", moved(SPECTRA, 0))
    for data, axis in ((moved(SPECTRA, 2), 2), (np.load(tmp_path / "first.npy", mmap_mode="r"), 0)):
        np.testing.assert_array_equal(quillet.estimate_noise(data, axis=axis), want)


def test_estimate_noise_of_spectra_it_cannot_measure():
    estimate = quillet.estimate_noise(np.array([[1.0, 2.0, 3.0, 4.0], [np.nan] * 4]))
    assert np.isnan(estimate).all()
    assert np.isnan(quillet.estimate_noise(np.full((2, 30), np.nan))).all()


def test_velocity_offset_moves_the_centre_and_nothing_else():
    rng = np.random.default_rng(9)
    offset = rng.uniform(-30.0, 30.0, SPATIAL)
    fit = quillet.fit_cube(
        SPECTRA, VELOCITY, noise=NOISE, guide=GUIDES, velocity_offset=offset,
        settings=SETTINGS, progress=False, **AS_BATCH,
    )  # fmt: skip
    fits, windows = batch_reference(SPECTRA, NOISE, GUIDES - offset)
    want = (fits[:, 1].astype(np.float64) + offset.reshape(-1)).astype(np.float32)
    np.testing.assert_array_equal(fit.centre.reshape(-1).view(np.uint32), want.view(np.uint32))
    np.testing.assert_array_equal(fit.window.reshape(-1, 2), windows)
    for column in (0, 2, 3, 4, 5, 6):
        got = getattr(fit, QUANTITIES[column].name).reshape(-1)
        np.testing.assert_array_equal(got.view(np.uint32), fits[:, column].view(np.uint32))


def test_velocity_offset_recovers_the_true_centre():
    # Each spectrum's true axis is the shared one shifted by its offset: a
    # line at 25 km/s on the true axis sits at 25 - offset on the shared one.
    rng = np.random.default_rng(12)
    offset = rng.uniform(-60.0, 60.0, (40,))
    spectra = 30.0 * np.exp(-0.5 * ((VELOCITY + offset[:, None] - 25.0) / 40.0) ** 2)
    spectra += rng.normal(0.0, 0.3, spectra.shape)
    fit = quillet.fit_cube(
        spectra, VELOCITY, noise=0.3, guide=25.0, velocity_offset=offset, progress=False,
        line_sigma=40.0,
    )  # fmt: skip
    assert fit.success.all()
    np.testing.assert_allclose(fit.centre, 25.0, atol=3.0)
    assert abs(float(np.mean(fit.centre)) - 25.0) < 0.5


def test_continuum_given_is_subtracted_before_the_fit():
    level = np.random.default_rng(13).uniform(5.0, 50.0, SPATIAL)
    fit = quillet.fit_cube(
        SPECTRA + level[..., None], VELOCITY, noise=NOISE, guide=GUIDES, continuum=level,
        settings=SETTINGS, progress=False, **AS_BATCH,
    )  # fmt: skip
    lifted = (SPECTRA + level[..., None]).astype(np.float32)
    shown = lifted - level.astype(np.float32)[..., None]  # the same float32 subtraction
    assert_same_bits(fit, batch_reference(shown, NOISE, GUIDES))
    np.testing.assert_array_equal(fit.continuum, level.astype(np.float32))


def test_edges_continuum_measures_the_channels_beyond_the_search_radius():
    rng = np.random.default_rng(14)
    level = rng.uniform(10.0, 100.0, (50,))
    spectra = level[:, None] + 20.0 * np.exp(-0.5 * ((VELOCITY - 10.0) / 30.0) ** 2)
    spectra = spectra + rng.normal(0.0, 0.5, spectra.shape)
    fit = quillet.fit_cube(
        spectra, VELOCITY, noise=0.5, guide=0.0, continuum="edges", line_sigma=30.0,
        progress=False,
    )  # fmt: skip
    radius = fit.settings.search_radius
    outside = np.abs(VELOCITY) > radius
    assert outside.sum() >= 5
    np.testing.assert_allclose(
        fit.continuum, np.median(spectra[:, outside], axis=1).astype(np.float32), rtol=1e-6
    )
    np.testing.assert_allclose(fit.amplitude, 20.0, rtol=0.1)
    np.testing.assert_allclose(fit.centre, 10.0, atol=3.0)


def test_mask_and_masked_arrays_mark_missing_pixels():
    mask = np.zeros(SPECTRA.shape, bool)
    mask[0, 1, 3:9] = True
    mask[2, 4, :] = True
    with_nan = np.where(mask, np.nan, SPECTRA)
    want = batch_reference(with_nan, NOISE, GUIDES)
    for data, given in ((SPECTRA, mask), (np.ma.MaskedArray(SPECTRA, mask), None)):
        fit = quillet.fit_cube(
            data, VELOCITY, noise=NOISE, guide=GUIDES, mask=given, settings=SETTINGS,
            progress=False, **AS_BATCH,
        )  # fmt: skip
        assert_same_bits(fit, want)
    assert (fit.flag[2, 4] == quillet.FLAG_NO_LOCAL_MAX).all()


def test_quantities_are_converted():
    fit = quillet.fit_cube(
        SPECTRA * u.Jy, VELOCITY * 1000.0 * u.m / u.s, noise=NOISE * 1000.0 * u.mJy,
        guide=GUIDES * u.km / u.s, settings=SETTINGS, progress=False, **AS_BATCH,
    )  # fmt: skip
    assert fit.unit == u.Jy
    assert_same_bits(fit, REFERENCE)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"velocity": VELOCITY[:-1]}, ValueError, "velocity axis has 39 values but the spectral"),
        ({"velocity": VELOCITY[::-1].copy() * 0}, ValueError, "not strictly monotonic"),
        ({"spectral_axis": 4}, ValueError, "spectral_axis 4 is out of range"),
        ({"noise": -1.0}, ValueError, "noise must be positive and finite"),
        ({"noise": np.ones((3, 40))}, ValueError, "noise of shape (3, 40) does not match"),
        ({"guide": np.zeros((5, 3))}, ValueError, "guide of shape (5, 3) does not match"),
        ({"continuum": "median"}, ValueError, "continuum must be None, a number"),
        ({"npix": 0}, ValueError, "npix must be positive"),
        ({"width_min": 50.0, "width_max": 10.0}, ValueError, "define positive increasing widths"),
        ({"sg_xpixels": 41}, ValueError, "sg_xpixels (41) exceeds the 40 channels"),
        ({"npixx": 3}, TypeError, "unknown setting 'npixx'"),
        ({"velocity_range": 2000.0, "continuum": "edges"}, ValueError, "needs channels farther"),
        ({"chunk_rows": 0}, ValueError, "chunk_rows must be a positive"),
    ],
)
def test_bad_input_is_refused_before_any_work(kwargs, error, message):
    args = {"velocity": VELOCITY, "noise": NOISE, "progress": False, **kwargs}
    with pytest.raises(error) as raised:
        quillet.fit_cube(SPECTRA, **args)
    assert message in str(raised.value)


@pytest.mark.parametrize("dtype", [np.complex64, np.bool_, "U3"])
def test_data_must_be_real_numbers(dtype):
    with pytest.raises(ValueError, match="must hold real numbers"):
        quillet.fit_cube(np.zeros((2, 40), dtype), VELOCITY, noise=1.0, progress=False)


@pytest.mark.parametrize("name", ["cube.fits", pathlib.Path("cube.fits")])
@pytest.mark.parametrize("call", [quillet.fit_cube, quillet.moments])
def test_a_file_name_is_sent_to_read_cube(call, name):
    # Before, a file name met "needs the velocity axis", which sent a new user
    # looking for an axis rather than for read_cube.
    message = "not the file name 'cube.fits': read the file with quillet.read_cube"
    for velocity in (None, VELOCITY):
        with pytest.raises(TypeError, match=message):
            call(name, velocity)


class InterruptedArray:
    """An array-like that sends this process a real SIGINT while the fit
    reads its third block, and counts the blocks read."""

    def __init__(self, array):
        self.array, self.shape, self.dtype = array, array.shape, array.dtype
        self.reads = 0

    def __getitem__(self, key):
        self.reads += 1
        if self.reads == 3:
            os.kill(os.getpid(), signal.SIGINT)
        return self.array[key]


def test_ctrl_c_stops_within_one_block():
    spectra = np.broadcast_to(SPECTRA.reshape(-1, 40)[:1], (200_000, 40))
    data = InterruptedArray(spectra)
    with pytest.raises(KeyboardInterrupt):
        quillet.fit_cube(data, VELOCITY, noise=1.0, settings=SETTINGS, chunk_rows=500)
    assert 3 <= data.reads <= 4  # the block being read when the signal came, at most one more


def test_line_fit_summaries():
    fit = quillet.fit_cube(
        SPECTRA, VELOCITY, noise=NOISE, guide=GUIDES, settings=SETTINGS, progress=False,
        **AS_BATCH,
    )  # fmt: skip
    flags = REFERENCE[0][:, 7]
    assert fit.flag_counts() == {
        "success": int(np.sum(flags == 0)),
        "no_local_maximum": int(np.sum(flags == 1)),
        "no_convergence": int(np.sum(flags == 2)),
    }
    np.testing.assert_array_equal(fit.success.reshape(-1), flags == 0)
    row = fit.at((1, 2, 3))
    flat = np.ravel_multi_index((1, 2, 3), SPATIAL)
    assert row.centre == float(REFERENCE[0][flat, 1])
    assert row.window == tuple(REFERENCE[1][flat])
    ok = fit.success
    np.testing.assert_allclose(fit.snr[ok], (fit.amplitude / fit.amplitude_error)[ok])


def test_to_xarray_carries_cf_attributes():
    fit = quillet.fit_cube(
        SPECTRA[0] * u.Jy, VELOCITY, noise=NOISE[0], continuum=0.5, settings=SETTINGS,
        progress=False,
    )  # fmt: skip
    dataset = fit.to_xarray()
    assert dataset["centre"].dims == ("y", "x")
    assert dataset["centre"].attrs["units"] == "km s-1"
    assert dataset["amplitude"].attrs["units"] == "Jy"
    assert dataset["reduced_chi2"].attrs["units"] == "1"
    assert dataset["flag"].dtype == np.int8
    np.testing.assert_array_equal(dataset["flag"].attrs["flag_values"], [0, 1, 2])
    assert dataset["flag"].attrs["flag_meanings"] == "success no_local_maximum no_convergence"
    assert dataset["window"].dims == ("y", "x", "edge")
    assert dataset.attrs["quillet_npix"] == SETTINGS.npix
    assert dataset.attrs["quillet_continuum"] == "constant 0.5"
    np.testing.assert_array_equal(dataset["sigma"].values, fit.sigma)

"""fit_cube's default run: guides from the data, windows that follow the
line, quality bits and neighbour refits, the same bits for every block size
and scheduler; a valid range; guides off the axis refused; quality and
guide maps in files and xarray."""

from __future__ import annotations

import dask
import dask.array as da
import numpy as np
import pytest
from astropy.io import fits
from clusters import two_process_client

import quillet
from quillet.data.quality import Quality, cf_attributes

VELOCITY = np.arange(-300.0, 300.01, 5.0)
SHAPE = (24, 20)
SIGMA = 10.0
FIELDS = ["amplitude", "centre", "sigma", "reduced_chi2", "flag", "window", "quality", "guide"]


def disc(seed=3):
    """A rotating disc of lines over noise, one blank spectrum, and guides
    of which 10 % start where there is only noise."""
    y, x = np.mgrid[0 : SHAPE[0], 0 : SHAPE[1]]
    centre = 100.0 * np.tanh((x - 10.0) / 4.0) + 2.0 * y
    rng = np.random.default_rng(seed)
    data = 10.0 * np.exp(-0.5 * ((VELOCITY - centre[..., None]) / SIGMA) ** 2)
    data = (data + rng.normal(0.0, 0.5, data.shape)).astype(np.float32)
    data[0, 0] = np.nan
    guides = centre.copy()
    bad = rng.permutation(centre.size)[: centre.size // 10]
    bad = bad[bad != 0]
    guides.reshape(-1)[bad] += 150.0
    return data, centre, guides, bad


DATA, CENTRE, GUIDES, BAD = disc()


def assert_same(got, want):
    for name in FIELDS:
        a, b = np.asarray(getattr(got, name)), np.asarray(getattr(want, name))
        np.testing.assert_array_equal(a.view(np.uint8), b.view(np.uint8), err_msg=name)


@pytest.fixture(scope="module")
def reference():
    return quillet.fit_cube(DATA, VELOCITY, noise=0.5, guide=GUIDES, progress=False)


def test_bad_starts_are_mended_by_default(reference):
    first = quillet.fit_cube(
        DATA, VELOCITY, noise=0.5, guide=GUIDES, refit_neighbours=False, progress=False
    )
    # A start in noise seldom gives a good fit (the best bump of the noise
    # may pass snr_min); those that are not good are what the refits mend.
    missed = np.sort(BAD[~first.good.reshape(-1)[BAD]])
    assert missed.size >= 0.95 * BAD.size
    fit = reference
    assert fit.good.reshape(-1)[missed].all()
    refitted = (fit.quality.reshape(-1) & Quality.REFITTED) != 0
    np.testing.assert_array_equal(np.flatnonzero(refitted), missed)
    np.testing.assert_allclose(fit.centre.reshape(-1)[missed], CENTRE.reshape(-1)[missed], atol=3.0)
    # The guide map records the start each kept fit used: the neighbours'.
    assert np.all(np.abs(fit.guide.reshape(-1)[missed] - CENTRE.reshape(-1)[missed]) < 20.0)
    assert fit.blank_count == 1 and np.isnan(fit.guide[0, 0])
    assert fit.quality_counts()["NO_DATA"] == 1 and fit.flag[0, 0] == 1
    assert fit.good.sum() == DATA.shape[0] * DATA.shape[1] - 1


@pytest.mark.parametrize("chunk_rows", [1, 7, None])
def test_the_same_bits_for_every_block_size(reference, chunk_rows):
    fit = quillet.fit_cube(
        DATA, VELOCITY, noise=0.5, guide=GUIDES, chunk_rows=chunk_rows, progress=False
    )
    assert_same(fit, reference)


@pytest.mark.parametrize("chunks", [(5, 7, -1), (1, 20, -1), (24, 20, -1), (24, 1, -1)])
def test_the_same_bits_on_dask(reference, chunks):
    lazy = quillet.fit_cube(
        da.from_array(DATA, chunks=chunks), VELOCITY, noise=0.5,
        guide=da.from_array(GUIDES, chunks=chunks[:2]),
    )  # fmt: skip
    assert lazy.lazy
    with dask.config.set(scheduler="threads"):
        assert_same(lazy.compute(), reference)


def test_the_same_bits_on_a_two_process_cluster(reference):
    with two_process_client():
        lazy = quillet.fit_cube(
            da.from_array(DATA, chunks=(7, 6, -1)), VELOCITY, noise=0.5, guide=GUIDES
        )
        assert_same(lazy.compute(), reference)


def test_auto_guides_find_lines_off_zero_and_slits_and_stacks_of_planes():
    # An axis of 326 to 789 km/s, which a guide of 0 would never reach.
    velocity = np.linspace(326.1, 789.4, 94)
    rng = np.random.default_rng(7)
    centre = rng.uniform(400.0, 700.0, (3, 4, 5))
    data = 8.0 * np.exp(-0.5 * ((velocity - centre[..., None]) / 12.0) ** 2)
    data += rng.normal(0.0, 0.4, data.shape)
    fit = quillet.fit_cube(data, velocity, line_sigma=12.0, progress=False)
    assert fit.good.all()
    np.testing.assert_allclose(fit.centre, centre, atol=3.0)
    assert "auto" in fit.provenance["guide"]
    # The same spectra as a slit (one spatial axis) and as one spectrum.
    slit = quillet.fit_cube(data.reshape(-1, 94), velocity, line_sigma=12.0, progress=False)
    np.testing.assert_array_equal(slit.centre, fit.centre.reshape(-1))
    one = quillet.fit_cube(data[1, 2, 3], velocity, line_sigma=12.0, progress=False)
    assert one.centre == fit.centre[1, 2, 3]


def test_a_broad_line_is_fitted_on_a_window_that_follows_it():
    # A line four times wider than line_sigma: the fixed window sees its core.
    rng = np.random.default_rng(8)
    data = 10.0 * np.exp(-0.5 * ((VELOCITY - 20.0) / 40.0) ** 2) + rng.normal(0, 0.2, (50, 121))
    wide = quillet.fit_cube(data, VELOCITY, noise=0.2, line_sigma=10.0, progress=False)
    np.testing.assert_allclose(np.median(wide.sigma), 40.0, rtol=0.02)
    width = np.diff(wide.window, axis=-1)[..., 0]
    assert (width >= 2 * 3 * 40.0 / 5.0).all()


def test_valid_range_makes_pixels_missing_like_a_mask():
    data = DATA.copy()
    marker = np.zeros(data.shape, bool)
    marker[3, 4, :] = True  # a missing spectrum, marked by -200 as some rasters do
    marker[5, 6, 50:70] = True  # a stretch of it
    data[marker] = -200.0
    data[7, 8, 10] = 1e6  # a saturated pixel
    marker[7, 8, 10] = True
    ranged = quillet.fit_cube(
        data, VELOCITY, noise=0.5, guide=GUIDES, valid_min=-100.0, valid_max=1e5, progress=False
    )
    masked = quillet.fit_cube(data, VELOCITY, noise=0.5, guide=GUIDES, mask=marker, progress=False)
    assert_same(ranged, masked)
    assert ranged.quality[3, 4] == Quality.NO_DATA and ranged.blank_count == 2
    assert ranged.provenance["valid_range"] == "from -100 to 100000"


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"guide": 900.0}, "guide 900 km/s lies 600 km/s from the axis"),
        ({"guide": np.full(SHAPE, -1000.0)}, "480 of 480 guides; the first, -1000 km/s"),
        ({"guide": "peak"}, "guide must be 'auto', a velocity"),
        ({"velocity_window": (400.0, 500.0)}, "velocity_window= 400 to 500 km/s holds no"),
        ({"velocity_window": (0.0, 50.0), "guide": 0.0}, "give it with guide='auto'"),
        ({"window_sigmas": 0.0}, "window_sigmas= must be a positive number"),
        ({"snr_min": np.nan}, "snr_min= must be a finite number"),
        ({"valid_min": 5.0, "valid_max": 1.0}, "valid_min= (5) must be below valid_max= (1)"),
    ],
)
def test_mistakes_are_refused_before_any_work(kwargs, message):
    with pytest.raises(quillet.basics.errors.InputError) as raised:
        quillet.fit_cube(DATA, VELOCITY, noise=0.5, progress=False, **kwargs)
    assert message in str(raised.value)


def test_quality_and_guide_maps_in_files_and_xarray(reference, tmp_path):
    path = reference.write_fits(tmp_path / "maps.fits")
    back = quillet.read_maps(path)
    assert_same(back, reference)
    header = fits.getheader(path, "QUALITY")
    assert header["QBIT7"] == "REFITTED" and header["BZERO"] == 32768
    assert fits.getheader(path, "GUIDE")["BUNIT"].strip() == "km s-1"
    # A file from before the quality bits: no QUALITY, no GUIDE.
    with fits.open(path) as hdul:
        fits.HDUList([h for h in hdul if h.name not in ("QUALITY", "GUIDE")]).writeto(
            tmp_path / "old.fits"
        )
    old = quillet.read_maps(tmp_path / "old.fits")
    assert old.quality is None and old.guide is None
    np.testing.assert_array_equal(old.good, old.success)
    dataset = reference.to_xarray()
    assert dataset["quality"].dtype == np.uint16
    np.testing.assert_array_equal(
        dataset["quality"].attrs["flag_masks"], cf_attributes()["flag_masks"]
    )
    assert "refitted" in dataset["quality"].attrs["flag_meanings"].split()
    assert dataset["guide"].attrs["units"] == "km s-1"

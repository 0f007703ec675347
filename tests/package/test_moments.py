"""Moments 0, 1 and 2 with their errors, against NumPy, analytic Gaussians
and a Monte-Carlo over noise realisations."""

from __future__ import annotations

import subprocess
import sys
from contextlib import nullcontext

import astropy.units as u
import dask
import dask.array as da
import numpy as np
import pytest
from astropy.io import fits
from astropy.wcs import WCS
from fits_cubes import spectral_cards, write_cube

import quillet
from quillet import moments
from quillet.front.cube_moments import MOMENT_IMAGES

VELOCITY = np.linspace(-300.0, 300.0, 121)


def direct(data, velocity, good):
    """Moments of (N, M) rows over their good pixels, the plain way."""
    widths = np.abs(np.gradient(velocity))
    out = []
    for row, keep in zip(data, good):
        i, v, dv = row[keep], velocity[keep], widths[keep]
        m0 = np.sum(i * dv)
        m1 = np.sum(i * v * dv) / m0
        out.append((m0, m1, np.sqrt(np.sum(i * (v - m1) ** 2 * dv) / m0)))
    return np.array(out)


@pytest.mark.parametrize("spectral_axis", [0, -1])
def test_moments_match_a_direct_computation(spectral_axis):
    rng = np.random.default_rng(1)
    velocity = np.sort(rng.uniform(-300.0, 300.0, 80))  # irregular channels
    cube = rng.uniform(0.1, 5.0, (6, 7, 80)).astype(np.float32)
    cube[0, 0, :10] = np.nan
    cube[1, 1] = np.nan  # blank
    mask = rng.random(cube.shape) < 0.1
    good = np.isfinite(cube) & ~mask & (velocity >= -200.0) & (velocity <= 250.0)
    data = cube if spectral_axis == -1 else np.moveaxis(cube, -1, 0)
    mask_in = mask if spectral_axis == -1 else np.moveaxis(mask, -1, 0)
    got = moments(data, velocity, velocity_range=(250.0, -200.0), mask=mask_in,
                  spectral_axis=spectral_axis)  # fmt: skip
    rows, keep = cube.reshape(-1, 80).astype(np.float64), good.reshape(-1, 80)
    blank = ~keep.any(axis=1)
    with np.errstate(all="ignore"):
        expected = direct(rows, velocity, keep)
    for k, name in enumerate(("m0", "m1", "m2")):
        values = getattr(got, name).reshape(-1)
        assert np.isnan(values[blank]).all()
        np.testing.assert_allclose(values[~blank], expected[~blank, k], rtol=1e-12)
    assert got.count.reshape(-1).tolist() == keep.sum(axis=1).tolist()
    assert np.isnan(got.m0_error).all()  # no noise, no errors


def test_moments_of_a_gaussian_are_its_parameters():
    amplitude, centre, sigma = 3.0, 42.0, 25.0
    line = amplitude * np.exp(-0.5 * ((VELOCITY - centre) / sigma) ** 2)
    got = moments(line, VELOCITY)
    assert got.m0 == pytest.approx(np.sqrt(2 * np.pi) * amplitude * sigma, rel=1e-6)
    assert got.m1 == pytest.approx(centre, abs=1e-6)
    assert got.m2 == pytest.approx(sigma, rel=1e-6)


def test_errors_match_a_monte_carlo_and_every_noise_form():
    rng = np.random.default_rng(7)
    line = 8.0 * np.exp(-0.5 * ((VELOCITY - 20.0) / 30.0) ** 2)
    realisations = 4000
    noise = 0.5
    data = line + rng.normal(0.0, noise, (realisations, VELOCITY.size))
    window = (-100.0, 140.0)
    got = moments(data, VELOCITY, velocity_range=window, noise=noise)
    for name in ("m0", "m1", "m2"):
        spread = np.std(getattr(got, name))
        predicted = np.median(getattr(got, f"{name}_error"))
        assert predicted == pytest.approx(spread, rel=0.08), name
    as_map = moments(data, VELOCITY, velocity_range=window, noise=np.full(realisations, noise))
    as_cube = moments(data, VELOCITY, velocity_range=window, noise=np.full(data.shape, noise))
    for other in (as_map, as_cube):
        np.testing.assert_allclose(other.m2_error, got.m2_error, rtol=1e-12)


def test_snr_min_keeps_the_pixels_above_it():
    data = np.array([[0.5, 2.0, 6.0, 3.0, -4.0, 1.0]])
    velocity = np.arange(6.0)
    got = moments(data, velocity, noise=1.0, snr_min=2.0)
    assert got.count[0] == 3
    assert got.m0[0] == pytest.approx(11.0)
    with pytest.raises(ValueError, match="give the noise too"):
        moments(data, velocity, snr_min=2.0)
    with pytest.raises(ValueError, match=r"does not match the data's shape"):
        moments(data, velocity, noise=np.ones(3))


# --- what fit_cube takes, with units; on Dask; from the command line ---------------

CHANNELS = np.arange(-200.0, 200.5, 10.0)  # 41 channels of 10 km/s
SPATIAL = (6, 7)
OBSERVATION = {"BMAJ": 0.002, "BMIN": 0.001, "BPA": 30.0, "OBJECT": "NGC 1", "TELESCOP": "VLA"}


def cube_data(seed=3):
    """Lines over noise of 0.3 (float32, spectral axis last), one blank spectrum."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-50.0, 50.0, (*SPATIAL, 1))
    data = 6.0 * np.exp(-0.5 * ((CHANNELS - centre) / 25.0) ** 2)
    data = (data + rng.normal(0.0, 0.3, data.shape)).astype(np.float32)
    data[2, 3] = np.nan
    return data


@pytest.fixture(scope="module")
def cube_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("moments") / "cube.fits"
    data = cube_data()
    return write_cube(
        path, data, spectral_cards("VOPT", -200.0, 10.0, cunit="km/s"),
        header={"BUNIT": "Jy", **OBSERVATION}, error=np.full_like(data, 0.3),
        error_header={"BUNIT": "Jy"},
    )  # fmt: skip


def test_a_cube_brings_its_axis_noise_unit_wcs_and_observation(cube_file):
    cube = quillet.read_cube(cube_file)
    got = quillet.moments(cube, velocity_range=(-150.0, 150.0))
    file_noise = float(np.float32(0.3))  # as the ERR extension holds it
    want = quillet.moments(cube_data(), CHANNELS, noise=file_noise, velocity_range=(-150.0, 150.0))
    for name in ("m0", "m1", "m2", "m0_error", "m1_error", "m2_error", "count"):
        np.testing.assert_array_equal(getattr(got, name), getattr(want, name), err_msg=name)
    assert got.unit_of("m0") == u.Jy * u.km / u.s
    assert got.unit_of("m1_error") == u.km / u.s
    assert got.quantity("m0_error").unit == u.Jy * u.km / u.s
    assert got.wcs.to_header() == cube.wcs.to_header()
    assert dict(got.observation) == OBSERVATION
    assert got.provenance["noise"] == "ERR (sigma)"
    assert got.count[2, 3] == 0 and np.isnan(got.m0[2, 3])
    # The same from Quantities: the data's unit is taken, the axis converted.
    from_quantities = quillet.moments(
        cube_data() * u.mJy, (CHANNELS * 1000.0) * u.m / u.s, noise=300.0 * u.uJy
    )
    assert from_quantities.unit_of("m0") == u.mJy * u.km / u.s
    np.testing.assert_allclose(from_quantities.m1, quillet.moments(cube, noise=0.3).m1)


@pytest.mark.parametrize("chunks", [(2, 3, -1), (6, 1, -1), (4, 7, 10)])
@pytest.mark.parametrize("noise", ["cube", "map", "constant", "estimate"])
def test_dask_gives_the_in_process_bits(chunks, noise):
    data = cube_data()
    mask = np.random.default_rng(4).random(data.shape) < 0.05
    given = {
        "cube": np.full(data.shape, 0.3, np.float32),
        "map": np.full(SPATIAL, 0.3),
        "constant": 0.3,
        "estimate": "estimate",
    }[noise]
    options = dict(velocity_range=(-120.0, 160.0), snr_min=1.0)
    want = quillet.moments(data, CHANNELS, noise=given, mask=mask, **options)
    lazy_noise = given
    if noise in ("cube", "map"):
        lazy_noise = da.from_array(given, chunks=chunks[: np.ndim(given)])
    split = chunks[-1] != -1
    with pytest.warns(UserWarning, match="spectral axis is split") if split else nullcontext():
        lazy = quillet.moments(
            da.from_array(data, chunks=chunks), CHANNELS, noise=lazy_noise,
            mask=da.from_array(mask, chunks=chunks), **options,
        )  # fmt: skip
    assert lazy.lazy
    with dask.config.set(scheduler="threads"):
        got = lazy.compute()
    for name in ("m0", "m1", "m2", "m0_error", "m1_error", "m2_error", "count"):
        a, b = np.asarray(getattr(got, name)), np.asarray(getattr(want, name))
        np.testing.assert_array_equal(a.view(np.uint8), b.view(np.uint8), err_msg=name)


def run_command(*words):
    return subprocess.run(
        [sys.executable, "-m", "quillet", *map(str, words)],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip


def test_the_command_writes_the_moments_file(tmp_path, cube_file):
    out = tmp_path / "moments.fits"
    done = run_command(
        "moments", cube_file, "--out", out, "--velocity-range", "150,-150", "--snr-min", "2"
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert f"wrote {out}" in done.stdout
    assert "1 with no channel to sum" in done.stdout
    want = quillet.moments(
        quillet.read_cube(cube_file), velocity_range=(-150.0, 150.0), snr_min=2.0
    )
    with fits.open(out) as hdul:
        assert [h.name for h in hdul] == ["PRIMARY", *(i.extname for i in MOMENT_IMAGES)]
        assert hdul[0].header["QUILLET VELOCITY_RANGE"] == "-150 to 150 km/s"
        assert hdul[0].header["QUILLET SNR_MIN"] == "2"
        for image in MOMENT_IMAGES:
            header = hdul[image.extname].header
            np.testing.assert_array_equal(hdul[image.extname].data, getattr(want, image.field))
            assert WCS(header).to_header() == want.wcs.to_header()
            for key, value in OBSERVATION.items():
                assert header[key] == value == hdul[0].header[key]
            if image.field != "count":
                assert u.Unit(header["BUNIT"]) == want.unit_of(image.field)


@pytest.mark.parametrize(
    ("words", "fragment"),
    [
        ("--velocity-range 100", "LO,HI"),
        ("--velocity-range 500,600", "holds no channel"),
        ("--out moments.png", ".fits"),
        ("--noise loud", "--noise"),
        ("--chunks 4", "--scheduler"),
    ],
)
def test_mistakes_are_one_line_and_nothing_is_written(tmp_path, cube_file, words, fragment):
    words = words.split()
    out = [] if "--out" in words else ["--out", tmp_path / "moments.fits"]
    done = run_command("moments", cube_file, *out, *[tmp_path / w if w.endswith(".png") else w
                                                      for w in words])  # fmt: skip
    assert done.returncode == 2
    assert "Traceback" not in done.stderr and done.stderr.count("\n") == 1
    assert fragment in done.stderr
    assert list(tmp_path.iterdir()) == []


def test_an_existing_file_is_kept_without_overwrite(tmp_path, cube_file):
    out = tmp_path / "moments.fits"
    out.write_bytes(b"earlier")
    done = run_command("moments", cube_file, "--out", out)
    assert done.returncode == 2 and "--overwrite" in done.stderr
    assert out.read_bytes() == b"earlier"
    assert run_command("moments", cube_file, "--out", out, "--overwrite").returncode == 0
    assert out.read_bytes()[:6] == b"SIMPLE"

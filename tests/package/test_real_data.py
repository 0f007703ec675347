"""fit_cube on real observations (tests/data/real/README.md): what a user of
each instrument meets, checked against what the lines are known to do."""

from __future__ import annotations

import subprocess

import astropy.units as u
import numpy as np
import pytest
from astropy.constants import c
from astropy.io import fits
from fits_cubes import REAL_DATA
from processes import COMMAND

import quillet

C_KM_S = c.to_value(u.km / u.s)


@pytest.fixture(scope="module")
def eis():
    with np.load(REAL_DATA / "eis_fe12_192.npz") as npz:
        return {key: npz[key] for key in npz.files}


@pytest.fixture(scope="module")
def spice():
    with np.load(REAL_DATA / "spice_c3_977.npz") as npz:
        return {key: npz[key] for key in npz.files}


def median_of_fits(fit, values):
    return float(np.median(np.asarray(values)[fit.success]))


def test_eis_raster_with_its_wavelength_correction(eis):
    # Pixel k of spectrum (y, x) truly lies at wavelength[k] - wave_corr[y, x]:
    # on a shared velocity axis that is an offset of -c wave_corr / rest.
    rest = float(eis["rest_wavelength"])
    velocity = C_KM_S * (eis["wavelength"] - rest) / rest
    offset = -C_KM_S * eis["wave_corr"] / rest
    counts = eis["intensity"]
    assert np.isnan(counts).any()  # the instrument's missing pixels
    noise = np.sqrt(np.clip(counts, 1.0, None))  # photon noise
    shared = quillet.fit_cube(counts, velocity, noise=noise, progress=False)
    corrected = quillet.fit_cube(
        counts, velocity, noise=noise, velocity_offset=offset, progress=False
    )
    assert shared.shape == corrected.shape == (120, 25)
    assert corrected.flag_counts()["success"] >= 0.98 * counts[..., 0].size
    # The window of each fit is the same pixel range whether or not the axis
    # is corrected; the centre moves by the spectrum's own offset.
    np.testing.assert_array_equal(shared.window, corrected.window)
    np.testing.assert_allclose(
        (corrected.centre - shared.centre)[shared.success], offset[shared.success], atol=1e-3
    )
    assert 5.0 < median_of_fits(shared, shared.centre) < 16.0
    assert 14.0 < median_of_fits(corrected, corrected.centre) < 24.0
    assert 40.0 < median_of_fits(corrected, corrected.sigma) < 60.0


def test_spice_patch_with_its_uncertainty_and_mask(spice):
    intensity = spice["intensity"]
    assert intensity.dtype.byteorder == ">" and intensity.shape[0] == 60  # spectral axis first
    wavelength = spice["wavelength"] * u.Unit(str(spice["wv_unit"]))
    rest = 977.03 * u.AA
    velocity = wavelength.to(u.km / u.s, equivalencies=u.doppler_optical(rest))
    data = intensity * u.Unit(str(spice["in_unit"]))
    fit = quillet.fit_cube(
        data, velocity, noise=spice["uncertainty"], mask=spice["mask"], spectral_axis=0,
        continuum="edges", progress=False,
    )  # fmt: skip
    assert fit.shape == (20, 30)
    assert fit.unit == u.Unit(str(spice["in_unit"]))
    assert fit.flag_counts()["success"] >= 0.95 * fit.flag.size
    assert 30.0 < median_of_fits(fit, fit.centre) < 45.0  # no absolute calibration
    assert 95.0 < median_of_fits(fit, fit.sigma) < 125.0
    # The masked pixels are the missing ones: masking them or making them
    # NaN is the same fit.
    as_nan = np.where(spice["mask"], np.nan, intensity)
    again = quillet.fit_cube(
        as_nan, velocity, noise=spice["uncertainty"], spectral_axis=0, continuum="edges",
        progress=False,
    )  # fmt: skip
    np.testing.assert_array_equal(again.centre.view(np.uint32), fit.centre.view(np.uint32))


def test_spice_second_line_found_from_its_guide(spice):
    # H I Ly-gamma lies about -1,380 km/s from C III on C III's axis.
    rest = 977.03
    velocity = C_KM_S * (spice["wavelength"] - rest) / rest
    fit = quillet.fit_cube(
        spice["intensity"], velocity, noise=spice["uncertainty"], mask=spice["mask"],
        spectral_axis=0, guide=-1380.0, progress=False,
    )  # fmt: skip
    assert fit.flag_counts()["success"] >= 0.9 * fit.flag.size
    assert -1420.0 < median_of_fits(fit, fit.centre) < -1300.0


# The FITS files as a new user brings them: what each needs beyond the
# defaults, the observation cards every map must keep (MUSE's telescope,
# instrument and date are in its primary header alone, its data in an
# extension), and what the fits must find (an IRAM cube with no known line;
# MUSE's H-alpha; IRIS's Mg II k, with IRIS's fill value -200 marked).
REAL_FILES = {
    "gildas_hdo_iras2a.fits": {
        "read": {},
        "fit": {},
        "cards": {"OBJECT": "IRAS2A", "LINE": "HDO", "BMAJ": 0.0003467814737101},
        "good": (0, 0),
        "centre": None,
    },
    "muse_a478_halpha.fits": {
        "read": {"rest_wavelength": "6562.8 Angstrom", "redshift": 0.0858},
        "fit": {},
        "cards": {
            "OBJECT": "Abell 478 (DATA)",
            "TELESCOP": "ESO-VLT-U4",
            "INSTRUME": "MUSE",
            "DATE-OBS": "2014-12-08T02:48:56.798",
        },
        "good": (300, 600),
        "centre": (-100.0, 100.0),
    },
    "iris_mg2k_raster.fits": {
        "read": {"rest_wavelength": "2796.35 Angstrom"},
        "fit": {"valid_min": -199.0},
        "cards": {"TELESCOP": "IRIS", "DATE_OBS": "2014-03-29T14:13:23.750"},
        "good": (50, 150),
        "centre": (-15.0, 15.0),
    },
}


@pytest.mark.parametrize("name", sorted(REAL_FILES))
def test_real_files_keep_their_observation_in_every_map(tmp_path, name):
    expected = REAL_FILES[name]
    cube = quillet.read_cube(REAL_DATA / name, **expected["read"])
    fit = quillet.fit_cube(cube, progress=False, **expected["fit"])
    good = int(np.count_nonzero(fit.good))
    assert expected["good"][0] <= good <= expected["good"][1]
    if expected["centre"] is not None:
        low, high = expected["centre"]
        assert low < float(np.median(fit.centre[fit.good])) < high
    path = fit.write_fits(tmp_path / "maps.fits")
    with fits.open(path) as hdul:
        for item in (hdul[0], hdul["AMPLITUDE"], hdul["CENTRE"]):
            assert {key: item.header.get(key) for key in expected["cards"]} == expected["cards"]
    assert quillet.read_maps(path).observation == fit.observation


@pytest.mark.parametrize(
    ("name", "options", "units", "observation"),
    [
        ("iris_mg2k_raster.fits", ["--rest-wavelength", "2796.35 Angstrom"],
         "BUNIT 'Corrected DN' is not a unit astropy reads", "DATE_OBS 2014-03-29T14:13:23.750"),
        ("gildas_hdo_iras2a.fits", [], "Jy / beam",
         "BMAJ 0.0003467814737101 (1.248 arcsec), BMIN 0.0002745724558939 (0.9885 arcsec)"),
    ],
)  # fmt: skip
def test_info_tells_the_unit_and_observation_as_a_user_reads_them(
    name, options, units, observation
):
    result = subprocess.run(
        [*COMMAND, "info", str(REAL_DATA / name), *options],
        capture_output=True, text=True, timeout=60, check=True,
    )  # fmt: skip
    lines = {line[:14].strip(): line[14:] for line in result.stdout.splitlines()}
    assert units in lines["units"]
    assert observation in lines["observation"]
    assert result.stderr == ""


@pytest.mark.parametrize(
    ("restfreq", "refusal"),
    [
        (None, "no line of the model lies within 500 km/s of the cube's rest value "
               "(225896.72 MHz); the nearest, F=0-1 (88633.936 MHz), is at 182164 km/s"),
        (88631.8473e6, "the line F=0-1 (88633.936 MHz) lies -7.06492 km/s from F=2-1 "
                       "(88631.8473 MHz), beyond the axis"),
    ],
)  # fmt: skip
def test_a_hyperfine_group_the_cube_cannot_hold_is_refused(tmp_path, restfreq, refusal):
    # The IRAM cube is of HDO at 225.9 GHz: fitted as HCN 1-0 the peak search
    # would find another line; read at HCN's rest frequency, its 0.6 km/s of
    # axis can never hold the satellites 4.8 and 7.1 km/s from the main line.
    cube = tmp_path / "cube.fits"
    with fits.open(REAL_DATA / "gildas_hdo_iras2a.fits") as hdul:
        if restfreq is not None:
            hdul[0].header["RESTFREQ"] = restfreq
        hdul.writeto(cube)
    result = subprocess.run(
        [*COMMAND, "fit", str(cube), "--hyperfine", "HCN 1-0", "--out",
         str(tmp_path / "maps.fits"), "--quiet"],
        capture_output=True, text=True, timeout=60,
    )  # fmt: skip
    assert result.returncode == 2
    assert refusal in result.stderr and result.stderr.count("\n") == 1
    assert not (tmp_path / "maps.fits").exists()


@pytest.mark.parametrize(
    ("hdu", "others"), [([], "MGIIK_COPY"), (["--hdu", "MGIIK_COPY"], "MGIIK")]
)
def test_info_names_the_other_windows_of_a_file(tmp_path, hdu, others):
    # An IRIS or SPICE file holds a window per extension: info reads the
    # first and names the others (a noise image apart), which --hdu reads.
    path = tmp_path / "windows.fits"
    with fits.open(REAL_DATA / "iris_mg2k_raster.fits") as hdul:
        data, header = hdul[0].data, hdul[0].header
        fits.HDUList([
            fits.PrimaryHDU(),
            fits.ImageHDU(data, header, name="MGIIK"),
            fits.ImageHDU(np.ones_like(data), header, name="STAT"),
            fits.ImageHDU(data, header, name="MGIIK_COPY"),
        ]).writeto(path)  # fmt: skip
    result = subprocess.run(
        [*COMMAND, "info", str(path), "--rest-wavelength", "2796.35 Angstrom", *hdu],
        capture_output=True, text=True, timeout=60, check=True,
    )  # fmt: skip
    lines = {line[:14].strip(): line[14:] for line in result.stdout.splitlines()}
    assert lines["other cubes"] == f"HDU {others}: read one with --hdu"

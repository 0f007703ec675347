"""Maps files: written by LineFit.write_fits, read back by quillet.read_maps,
never left half-written, never written over unasked."""

from __future__ import annotations

import os

import astropy.units as u
import numpy as np
import pytest
from astropy.io import fits
from astropy.wcs import WCS
from fits_cubes import REAL_DATA, line_cube, spectral_cards, write_cube

import quillet
from quillet.results import QUANTITIES

MAP_EXTENSIONS = [q.extname for q in QUANTITIES] + ["FLAG", "WINDOW_LEFT", "WINDOW_RIGHT"]
VELOCITY = np.linspace(-300.0, 300.0, 41)
C = 299792.458


@pytest.fixture(scope="module")
def muse_fit():
    """A fit with a celestial WCS (a CD matrix), a scaled unit, a continuum
    and both successes and failures."""
    cube = quillet.read_cube(
        REAL_DATA / "muse_a478_halpha.fits", rest_wavelength="6562.8 Angstrom", redshift=0.0858
    )
    return quillet.fit_cube(cube, continuum="edges", progress=False)


@pytest.fixture(scope="module")
def unconverged_fit(tmp_path_factory):
    """A fit of a written cube with every flag: too few iterations for some
    lines, no line at all in others, a NaN spectrum."""
    data = line_cube(VELOCITY, (3, 5), amplitude=5.0, noise=1.0, seed=4)
    data[0, :2] = 0.1 * np.random.default_rng(5).normal(size=(2, VELOCITY.size)) - 5.0
    data[1, 1] = np.nan
    wavelength = 6562.8 * (1.0 + VELOCITY / C)
    cards = spectral_cards("WAVE", wavelength[0], wavelength[1] - wavelength[0], cunit="Angstrom")
    path = write_cube(tmp_path_factory.mktemp("cube") / "cube.fits", data, cards)
    cube = quillet.read_cube(path, rest_wavelength="6562.8 Angstrom")
    fit = quillet.fit_cube(cube, max_iter=6, progress=False)
    assert all(fit.flag_counts().values())
    return fit


def written_and_fitted(folder, spatial, bunit="adu"):
    data = line_cube(VELOCITY, spatial, amplitude=5.0, noise=0.3, seed=6)
    wavelength = 6562.8 * (1.0 + VELOCITY / C)
    cards = spectral_cards("WAVE", wavelength[0], wavelength[1] - wavelength[0], cunit="Angstrom")
    path = write_cube(folder / "cube.fits", data, cards, header={"BUNIT": bunit})
    cube = quillet.read_cube(path, rest_wavelength="6562.8 Angstrom")
    return quillet.fit_cube(cube, continuum=1.0, line_sigma=30.0, progress=False)


@pytest.fixture(scope="module")
def slit_fit(tmp_path_factory):
    """Maps of one axis, whose WCS is a plain pixel axis with no CTYPE."""
    return written_and_fitted(tmp_path_factory.mktemp("slit"), (6,))


@pytest.fixture(scope="module")
def spectrum_fit(tmp_path_factory):
    """The maps of one spectrum (no axes), read from a folder whose name is
    no ASCII and holds a per cent sign."""
    folder = tmp_path_factory.mktemp("spectrum") / "données à 100%"
    folder.mkdir()
    return written_and_fitted(folder, ())


def bits(values):
    values = np.asarray(values)
    return values.view(np.uint32) if values.dtype == np.float32 else values


@pytest.mark.parametrize("which", ["muse_fit", "unconverged_fit", "slit_fit", "spectrum_fit"])
def test_maps_read_back_bit_for_bit(tmp_path, request, which):
    fit = request.getfixturevalue(which)
    path = fit.write_fits(tmp_path / "maps.fits")
    back = quillet.read_maps(path)

    for quantity in QUANTITIES:
        np.testing.assert_array_equal(
            bits(getattr(back, quantity.name)), bits(getattr(fit, quantity.name))
        )
    assert back.flag.dtype == np.int8
    np.testing.assert_array_equal(back.flag, fit.flag)
    np.testing.assert_array_equal(back.window, fit.window)
    if fit.continuum is None:
        assert back.continuum is None
    else:
        np.testing.assert_array_equal(bits(back.continuum), bits(fit.continuum))
    np.testing.assert_array_equal(back.velocity, fit.velocity)
    assert back.settings == fit.settings
    assert dict(back.provenance) == dict(fit.provenance)
    assert back.unit == fit.unit
    if fit.wcs is None:
        assert back.wcs is None
    else:
        assert back.wcs.to_header() == fit.wcs.to_header()
    assert back.shape == fit.shape
    assert back.flag_counts() == fit.flag_counts()


def test_every_setting_extension_and_unit_in_the_file(tmp_path, muse_fit):
    fit = muse_fit
    path = fit.write_fits(tmp_path / "maps.fits")
    with fits.open(path) as hdul:
        names = [item.name for item in hdul]
        assert names == ["PRIMARY", *MAP_EXTENSIONS, "CONTINUUM", "QUALITY", "GUIDE", "VELOCITY"]
        primary = hdul[0].header
        assert primary["QUILLET VERSION"] == quillet.__version__
        for name, value in fit.settings.as_kwargs().items():
            assert primary[f"QUILLET {name.upper()}"] == value
        assert primary["QUILLET INPUT"] == str(REAL_DATA / "muse_a478_halpha.fits")
        assert primary["QUILLET REST"] == "6562.8 Angstrom"
        assert primary["QUILLET REDSHIFT"] == "0.0858"
        for meaning, count in fit.flag_counts().items():
            assert primary[f"QUILLET COUNT {meaning.upper()}"] == count

        units = {
            "AMPLITUDE": fit.unit,
            "AMPLITUDE_ERR": fit.unit,
            "CONTINUUM": fit.unit,
            "CENTRE": u.km / u.s,
            "SIGMA": u.km / u.s,
            "CENTRE_ERR": u.km / u.s,
            "SIGMA_ERR": u.km / u.s,
        }
        celestial = fit.wcs.to_header()
        for name in [*MAP_EXTENSIONS, "CONTINUUM"]:
            header = hdul[name].header
            assert hdul[name].data.shape == fit.shape
            if name in units:
                assert u.Unit(header["BUNIT"]) == units[name]
            else:
                assert "BUNIT" not in header
            assert WCS(header).to_header() == celestial
        assert hdul["FLAG"].header["BITPIX"] == 8
        assert sorted(np.unique(hdul["FLAG"].data)) == [0, 1]
        assert u.Unit(hdul["VELOCITY"].header["BUNIT"]) == u.km / u.s


@pytest.mark.parametrize("bunit", ["DN/s", "electron/s", "2.5e-17 erg/(s cm2 Angstrom)"])
def test_a_data_unit_the_fits_standard_cannot_spell(tmp_path, bunit):
    # Solar imagers count DN, HST and JWST electrons; neither is a FITS unit.
    fit = written_and_fitted(tmp_path, (2,), bunit)
    path = fit.write_fits(tmp_path / "maps.fits")
    assert quillet.read_maps(path).unit == u.Unit(bunit)
    assert u.Unit(fits.getheader(path, "AMPLITUDE_ERR")["BUNIT"]) == u.Unit(bunit)


def test_an_existing_file_is_kept_unless_overwrite(tmp_path, muse_fit, unconverged_fit):
    path = muse_fit.write_fits(tmp_path / "maps.fits")
    before = path.read_bytes()
    with pytest.raises(FileExistsError, match=r"maps\.fits exists.*overwrite=True"):
        unconverged_fit.write_fits(path)
    assert path.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["maps.fits"]

    unconverged_fit.write_fits(path, overwrite=True)
    assert [p.name for p in tmp_path.iterdir()] == ["maps.fits"]
    np.testing.assert_array_equal(quillet.read_maps(path).flag, unconverged_fit.flag)


class DiskFull(OSError):
    pass


@pytest.mark.parametrize("failure", [DiskFull, KeyboardInterrupt])
@pytest.mark.parametrize("existing", [False, True], ids=["new file", "overwrite"])
def test_a_failed_write_leaves_no_partial_file(tmp_path, monkeypatch, muse_fit, failure, existing):
    target = tmp_path / "maps.fits"
    if existing:
        target.write_bytes(b"the maps of an earlier run")
    written = []
    real_fsync = os.fsync

    def fsync_then_fail(fd):
        # The maps are on disk under the temporary name when the last
        # flush to the device fails (a full disk reports so there).
        real_fsync(fd)
        written.append(os.fstat(fd).st_size)
        raise failure("no space left on device")

    monkeypatch.setattr(os, "fsync", fsync_then_fail)
    with pytest.raises(failure):
        muse_fit.write_fits(target, overwrite=existing)
    assert written and written[0] > 2880
    assert [p.name for p in tmp_path.iterdir()] == (["maps.fits"] if existing else [])
    if existing:
        assert target.read_bytes() == b"the maps of an earlier run"


def test_a_missing_folder_is_named(tmp_path, muse_fit):
    with pytest.raises(FileNotFoundError, match=r"the folder .*nowhere.* does not exist"):
        muse_fit.write_fits(tmp_path / "nowhere" / "maps.fits")


def test_a_file_that_is_not_a_maps_file(tmp_path, muse_fit):
    with pytest.raises(ValueError, match=r"not a maps file written by quillet.*no AMPLITUDE, "):
        quillet.read_maps(REAL_DATA / "muse_a478_halpha.fits")

    path = muse_fit.write_fits(tmp_path / "maps.fits")
    with fits.open(path) as hdul:
        del hdul["SIGMA"]
        hdul.writeto(tmp_path / "no_sigma.fits")
    with pytest.raises(ValueError, match=r"it has no SIGMA extension$"):
        quillet.read_maps(tmp_path / "no_sigma.fits")

    with fits.open(path) as hdul:
        for key in ("QUILLET NPIX", "QUILLET DV"):
            del hdul[0].header[key]
        hdul.writeto(tmp_path / "no_settings.fits")
    with pytest.raises(ValueError, match=r"not a maps file .* records no setting npix, dv$"):
        quillet.read_maps(tmp_path / "no_settings.fits")


def test_maps_of_no_spectra_are_written_and_read_back(tmp_path):
    velocity = np.linspace(-300.0, 300.0, 31)
    fit = quillet.fit_cube(np.zeros((0, 5, 31)), velocity, noise=1.0)
    back = quillet.read_maps(fit.write_fits(tmp_path / "empty.fits"))
    assert back.shape == (0, 5) and back.window.shape == (0, 5, 2)
    assert back.flag_counts() == {"success": 0, "no_local_maximum": 0, "no_convergence": 0}

"""Maps files: written by LineFit.write_fits, read back by quillet.read_maps,
never left half-written, never written over unasked."""

from __future__ import annotations

import os
import warnings

import astropy.units as u
import numpy as np
import pytest
from astropy.io import fits
from astropy.wcs import WCS
from fits_cubes import REAL_DATA, line_cube, spectral_cards, write_cube

import quillet
import quillet.front.maps_files
from quillet.basics.errors import OutputError
from quillet.data.results import QUANTITIES

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


@pytest.mark.parametrize(
    ("spatial", "chunks"),
    [
        ((24, 30), (5, 7)),
        ((24, 30), (1, 30)),  # whole rows: one write per block
        ((24, 30), (24, 30)),
        ((24, 30), ((3, 11, 10), (13, 17))),
        ((3, 5, 6), (1, 5, 6)),  # two whole axes joined to the run
        ((3, 5, 6), (2, 2, 4)),
        ((40,), (7,)),
    ],
)
def test_lazy_maps_are_written_block_by_block_bit_for_bit(tmp_path, spatial, chunks):
    import dask
    import dask.array as da

    data = line_cube(VELOCITY, spatial, amplitude=5.0, noise=0.5, seed=8).astype(np.float32)
    data[(0,) * len(spatial)] = np.nan
    want = quillet.fit_cube(data, VELOCITY, noise=0.5, continuum="edges", progress=False)
    lazy = quillet.fit_cube(
        da.from_array(data, chunks=(*chunks, -1)), VELOCITY, noise=0.5, continuum="edges",
        progress=False,
    )  # fmt: skip
    with dask.config.set(scheduler="threads"):
        back = quillet.read_maps(lazy.write_fits(tmp_path / "maps.fits"))
    for name in [q.name for q in QUANTITIES] + ["continuum"]:
        np.testing.assert_array_equal(bits(getattr(back, name)), bits(getattr(want, name)))
    np.testing.assert_array_equal(back.flag, want.flag)
    np.testing.assert_array_equal(back.window, want.window)
    assert back.flag_counts() == want.flag_counts()


def test_outputs_of_the_api_through_links_and_onto_inputs(tmp_path):
    fit = written_and_fitted(tmp_path, (3, 4))
    cube = tmp_path / "cube.fits"
    before = cube.read_bytes()
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "maps.fits").symlink_to("elsewhere/t.fits")
    fit.write_fits(tmp_path / "maps.fits")
    assert (tmp_path / "elsewhere" / "t.fits").is_file()
    assert quillet.read_maps(tmp_path / "maps.fits").shape == (3, 4)

    def write_zarr(path, overwrite):
        return quillet.front.maps_files.write_zarr(fit, path, overwrite=overwrite)

    (tmp_path / "alias.fits").symlink_to("cube.fits")
    for write in (fit.write_fits, fit.plot_maps, write_zarr):
        for path in (cube, tmp_path / "alias.fits"):
            with pytest.raises(OutputError, match=r"is a file this run reads .*cube\.fits"):
                write(path, overwrite=True)
    assert cube.read_bytes() == before
    with pytest.raises(OutputError, match=r"t\.fits\) is a file, which a folder cannot replace"):
        write_zarr(tmp_path / "maps.fits", overwrite=True)

    # A store replaces a store in one step, leaving nothing beside it.
    write_zarr(tmp_path / "maps.zarr", overwrite=False)
    other = written_and_fitted(tmp_path / "elsewhere", (2, 2))
    quillet.front.maps_files.write_zarr(other, tmp_path / "maps.zarr", overwrite=True)
    import xarray

    with xarray.open_zarr(tmp_path / "maps.zarr", consolidated=False) as stored:
        assert stored["flag"].shape == (2, 2)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "alias.fits", "cube.fits", "elsewhere", "maps.fits", "maps.zarr"
    ]  # fmt: skip


# --- the input's metadata, carried on ----------------------------------------------

OBSERVATION = {
    "BMAJ": 0.0025,
    "BMIN": 0.002,
    "BPA": -12.5,
    "OBJECT": "M 33",
    "TELESCOP": "ALMA",
    "INSTRUME": "BAND3",
    "DATE-OBS": "2024-03-01T02:03:04",
}


def observed_fit(folder, projection="TAN", rotation=0.0, shape=(5, 6)):
    """A fit of a cube whose header has every observation card and a
    celestial WCS of the given projection and rotation (degrees)."""
    data = line_cube(VELOCITY, shape, amplitude=5.0, noise=0.3, seed=2).astype(np.float32)
    header = dict(OBSERVATION, BUNIT="Jy/beam")
    header.update({"CTYPE3": "VOPT", "CRVAL3": -300.0, "CDELT3": 15.0, "CUNIT3": "km/s"})
    header.update({"CRPIX3": 1.0, "CTYPE1": f"RA---{projection}", "CTYPE2": f"DEC--{projection}"})
    header.update({"CRVAL1": 23.46, "CRVAL2": 0.0 if projection == "CAR" else 30.66})
    header.update({"CRPIX1": 3.0, "CRPIX2": 2.0, "CUNIT1": "deg", "CUNIT2": "deg"})
    cos, sin = np.cos(np.radians(rotation)), np.sin(np.radians(rotation))
    scale = 2.0 / 3600.0
    header.update({"CD1_1": -scale * cos, "CD1_2": scale * sin})
    header.update({"CD2_1": scale * sin, "CD2_2": scale * cos})
    hdu = fits.PrimaryHDU(np.moveaxis(data, -1, 0), header=fits.Header(header.items()))
    hdu.writeto(folder / "cube.fits")
    cube = quillet.read_cube(folder / "cube.fits")
    return quillet.fit_cube(cube, line_sigma=30.0, progress=False), cube


def test_the_observation_cards_go_into_every_map_and_come_back(tmp_path):
    fit, cube = observed_fit(tmp_path)
    assert dict(fit.observation) == OBSERVATION
    path = fit.write_fits(tmp_path / "maps.fits")
    with fits.open(path) as hdul:
        for item in hdul:
            carries = item.name != "VELOCITY"  # the axis of the fits is no image of the sky
            for key, value in OBSERVATION.items():
                assert (item.header.get(key) == value) == carries, (item.name, key)
            if carries and item.name != "PRIMARY":
                assert WCS(item.header).to_header() == cube.wcs.to_header()
    back = quillet.read_maps(path)
    assert dict(back.observation) == OBSERVATION
    # Maps written again from what was read keep them too.
    again = quillet.read_maps(back.write_fits(tmp_path / "again.fits"))
    assert dict(again.observation) == OBSERVATION


@pytest.mark.parametrize(
    ("projection", "rotation", "separable"),
    [("CAR", 0.0, True), ("TAN", 0.0, False), ("CAR", 20.0, False)],
    ids=["plate carree", "tangent plane", "rotated"],
)
def test_xarray_has_sky_coordinates_and_the_wcs(tmp_path, projection, rotation, separable):
    fit, cube = observed_fit(tmp_path, projection, rotation)
    dataset = fit.to_xarray()
    ny, nx = fit.shape
    y, x = np.mgrid[0:ny, 0:nx]
    ra, dec = cube.wcs.pixel_to_world_values(x, y)
    if separable:
        assert dataset["ra"].dims == ("x",) and dataset["dec"].dims == ("y",)
        np.testing.assert_allclose(dataset["ra"].values, ra[0], rtol=0, atol=1e-12)
        np.testing.assert_allclose(dataset["dec"].values, dec[:, 0], rtol=0, atol=1e-12)
    else:
        assert dataset["ra"].dims == dataset["dec"].dims == ("y", "x")
        np.testing.assert_allclose(dataset["ra"].values, ra, rtol=0, atol=1e-12)
        np.testing.assert_allclose(dataset["dec"].values, dec, rtol=0, atol=1e-12)
    assert dataset["ra"].attrs["units"] == "deg"
    header = fits.Header.fromstring(dataset.attrs["wcs_header"])
    assert WCS(header).to_header() == cube.wcs.to_header()
    for key, value in OBSERVATION.items():
        assert dataset.attrs[key] == value


def test_a_zarr_store_is_consolidated_and_opens_without_a_warning(tmp_path):
    xarray = pytest.importorskip("xarray")
    fit, _ = observed_fit(tmp_path)
    path = quillet.front.maps_files.write_zarr(fit, tmp_path / "maps.zarr")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        opened = xarray.open_zarr(path)
        np.testing.assert_array_equal(opened["centre"].values, fit.centre)
        np.testing.assert_array_equal(opened["ra"].values, fit.to_xarray()["ra"].values)
        assert opened.attrs["OBJECT"] == "M 33"
        # The metadata are read from the one consolidated record.
        xarray.open_zarr(path, consolidated=True).close()

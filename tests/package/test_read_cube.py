"""read_cube on FITS files written here with known axes, and on the MUSE cube.

Every expected velocity is worked out by hand from the channel's wavelength,
frequency or velocity and the Doppler formula of its convention, never
through astropy's equivalencies, which read_cube itself uses.
"""

from __future__ import annotations

import mmap

import astropy.units as u
import numpy as np
import pytest
from astropy.io import fits
from fits_cubes import REAL_DATA, line_cube, spectral_cards, write_cube, write_tabular_cube

import quillet
from quillet.data.fits_images import LazyImage

C = 299792.458  # km/s
HI = 1420.405751e6  # Hz
CHANNELS = 24


def world(cards):
    """The value of each channel of a linear axis whose reference pixel is 1."""
    return cards["CRVAL"] + cards["CDELT"] * np.arange(CHANNELS)


def memory_mapped(array):
    while array is not None:
        if isinstance(array, (np.memmap, mmap.mmap)):
            return True
        array = getattr(array, "base", None)
    return False


def air_to_vacuum(air):
    """Vacuum wavelength (Angstrom) of an air wavelength, by the IAU standard
    refraction of air (Morton 1991), solved for the vacuum wavelength."""
    vacuum = np.array(air, dtype=np.float64)
    for _ in range(6):
        vacuum = air * (1.0 + 2.735182e-4 + 131.4182 / vacuum**2 + 2.76249e8 / vacuum**4)
    return vacuum


def spectrum_file(tmp_path, cards, header=None, name="cube.fits", **kwargs):
    data = np.ones((2, 3, CHANNELS), dtype=np.float32)
    return write_cube(tmp_path / name, data, cards, header=header, **kwargs)


def wave(rest, convention="optical"):
    """Velocity (km/s) of a wavelength (or its like) by the Doppler formula."""
    return {
        "optical": lambda w: C * (w - rest) / rest,
        "radio": lambda w: C * (1.0 - rest / w),
        "relativistic": lambda w: C * (w**2 - rest**2) / (w**2 + rest**2),
    }[convention]


def freq(rest, convention="optical"):
    """Velocity (km/s) of a frequency (or energy, or wavenumber)."""
    return {
        "optical": lambda f: C * (rest / f - 1.0),
        "radio": lambda f: C * (rest - f) / rest,
        "relativistic": lambda f: C * (rest**2 - f**2) / (rest**2 + f**2),
    }[convention]


def felo(v):
    """Optical velocities (km/s) of an axis linear in frequency whose first
    channel is at v[0] m/s and whose step there is v[1] - v[0] m/s."""
    reference = v[0] / 1e3
    frequency = HI / (1.0 + reference / C)
    step = -HI / (C * (1.0 + reference / C) ** 2) * (v[1] - v[0]) / 1e3
    return C * (HI / (frequency + step * np.arange(v.size)) - 1.0)


WAVE_A = spectral_cards("WAVE", 6555.0, 0.75, cunit="Angstrom")
WAVE_M = spectral_cards("WAVE", 6.555e-7, 7.5e-11, cunit="m")
WAVE_Z = spectral_cards("WAVE", 7112.0, 1.25, cunit="Angstrom")
AWAV_A = spectral_cards("AWAV", 6555.0, 0.75, cunit="Angstrom")
FREQ_HZ = spectral_cards("FREQ", HI - 240e3, 20e3, cunit="Hz")
FREQ_GHZ = spectral_cards("FREQ", 230.545, -0.0005, cunit="GHz")
ENER_KEV = spectral_cards("ENER", 6.39, 0.001, cunit="keV")
WAVN_CM = spectral_cards("WAVN", 15235.0, 0.25, cunit="cm-1")
VRAD_MS = spectral_cards("VRAD", -12000.0, 1000.0, cunit="m/s")
VRAD_KMS = spectral_cards("VRAD", -12.0, 1.0, cunit="km/s")
VOPT_MS = spectral_cards("VOPT", -12000.0, 1000.0, cunit="m/s")
REST = dict(rest_wavelength="6562.8 Angstrom")
HI_REST = dict(rest_wavelength="1420.405751 MHz")
RADIO = dict(convention="radio")
RELATIVISTIC = dict(convention="relativistic")


def in_km_s(v):
    return v / 1e3


# id: (spectral cards, header cards, read_cube keywords, velocity of each channel value
#      [, how far off in km/s it may be])
AXES = {
    "wavelength in Angstrom": (WAVE_A, {}, REST, wave(6562.8)),
    "wavelength in m, rest in nm": (WAVE_M, {}, dict(rest_wavelength="656.28 nm"), wave(6.5628e-7)),
    "bare rest number in CUNIT": (WAVE_A, {}, dict(rest_wavelength=6562.8), wave(6562.8)),
    "rest as a Quantity": (WAVE_A, {}, dict(rest_wavelength=0.65628 * u.um), wave(6562.8)),
    "rest from RESTWAV": (WAVE_A, {"RESTWAV": 6.5628e-7}, {}, wave(6562.8)),
    "wavelength at redshift": (WAVE_Z, {}, dict(**REST, redshift=0.0858), wave(6562.8 * 1.0858)),
    "wavelength, radio": (WAVE_A, {}, dict(**REST, **RADIO), wave(6562.8, "radio")),
    "wavelength, relativistic": (WAVE_A, {}, REST | RELATIVISTIC, wave(6562.8, "relativistic")),
    "air wavelength, air rest": (AWAV_A, {}, REST, wave(6562.8)),
    "frequency in Hz, radio": (FREQ_HZ, {}, HI_REST | RADIO, freq(HI, "radio")),
    "frequency in GHz, RESTFRQ": (FREQ_GHZ, {"RESTFRQ": 230.538e9}, {}, freq(230.538)),
    "frequency at redshift": (FREQ_HZ, {}, HI_REST | {"redshift": 0.01}, freq(HI / 1.01)),
    "frequency, rest in m": (
        FREQ_HZ,
        {},
        dict(rest_wavelength=f"{C * 1e3 / HI!r} m", **RADIO),
        freq(HI, "radio"),
    ),
    "frequency, relativistic": (FREQ_HZ, {"RESTFRQ": HI}, RELATIVISTIC, freq(HI, "relativistic")),
    # wcslib turns keV into J with an electronvolt of 1.6021765e-19 J, 8e-8
    # below the exact one astropy takes the rest value with: 0.025 km/s.
    "energy in keV": (ENER_KEV, {}, dict(rest_wavelength="6.4 keV"), freq(6.4), 0.03),
    "wavenumber in 1/cm": (WAVN_CM, {}, dict(rest_wavelength="15237 cm-1"), freq(15237.0)),
    "VRAD in m/s as it stands": (VRAD_MS, {}, RADIO, in_km_s),
    "VRAD in km/s as it stands": (VRAD_KMS, {}, RADIO, lambda v: v),
    "VRAD by default as it stands": (VRAD_MS, {}, {}, in_km_s),
    "VRAD to optical": (
        VRAD_MS,
        {"RESTFRQ": HI},
        dict(convention="optical"),
        lambda v: (v / 1e3) / (1.0 - v / 1e3 / C),
    ),
    "VRAD at redshift": (
        VRAD_MS,
        {"RESTFRQ": HI},
        dict(**RADIO, redshift=0.01),
        lambda v: C * (1.0 - 1.01 * (1.0 - v / 1e3 / C)),
    ),
    # Conventions and redshifts act on f / f0 alone: no rest value is needed.
    "VRAD to optical, no rest": (
        VRAD_MS,
        {},
        dict(convention="optical"),
        lambda v: (v / 1e3) / (1.0 - v / 1e3 / C),
    ),
    "VRAD at redshift, no rest": (
        VRAD_MS,
        {},
        dict(**RADIO, redshift=0.01),
        lambda v: C * (1.0 - 1.01 * (1.0 - v / 1e3 / C)),
    ),
    "VOPT to radio": (
        VOPT_MS,
        {},
        HI_REST | RADIO,
        lambda v: C * (1.0 - 1.0 / (1.0 + v / 1e3 / C)),
    ),
    "ZOPT as velocities": (spectral_cards("ZOPT", -4e-5, 4e-6), {}, {}, lambda z: C * z),
    "AIPS VELO-LSR, radio by VELREF": (
        spectral_cards("VELO-LSR", -12000.0, 1000.0),
        {"VELREF": 257},
        {},
        in_km_s,
    ),
    "AIPS FELO-HEL, linear in frequency": (
        spectral_cards("FELO-HEL", -12000.0, 1000.0),
        {"RESTFRQ": HI},
        {},
        felo,
    ),
}


@pytest.mark.parametrize("case", AXES.values(), ids=AXES.keys())
def test_velocity_of_each_kind_of_spectral_axis(tmp_path, case):
    cards, header, kwargs, velocity, *tolerance = case
    cube = quillet.read_cube(spectrum_file(tmp_path, cards, header), **kwargs)
    atol = tolerance[0] if tolerance else 1e-7
    np.testing.assert_allclose(cube.velocity, velocity(world(cards)), rtol=1e-10, atol=atol)


# The air wavelength of H-alpha is 6562.80 Angstrom; its vacuum one 6564.61.
HALPHA_VACUUM = 6564.61
# A MUSE cube's air-wavelength axis: its reference pixel lies far outside it.
MUSE_AXIS = {"CTYPE1": "AWAV", "CUNIT1": "Angstrom", "CRVAL1": 4749.890625, "CRPIX1": -1876.0}


@pytest.mark.parametrize("step", ["CDELT1", "CD1_1"])
@pytest.mark.parametrize(
    "header, kwargs",
    [
        ({}, dict(rest_wavelength=f"{C * 1e13 / HALPHA_VACUUM!r} Hz")),
        ({"RESTWAV": HALPHA_VACUUM * 1e-10}, {}),
        ({"RESTFRQ": C * 1e13 / HALPHA_VACUUM}, {}),
    ],
    ids=["rest frequency given", "RESTWAV", "RESTFRQ"],
)
def test_air_wavelengths_meet_a_vacuum_rest_value_in_vacuum(tmp_path, step, header, kwargs):
    path = tmp_path / "spectrum.fits"
    cards = {**MUSE_AXIS, step: 1.25, **header}
    fits.PrimaryHDU(np.ones(64, np.float32), fits.Header(cards)).writeto(path)
    cube = quillet.read_cube(path, **kwargs)
    air = 4749.890625 + 1.25 * (np.arange(64) + 1877.0)
    # Air and vacuum differ by about 83 km/s here; refraction formulas agree
    # to well under a km/s.
    expected = C * (air_to_vacuum(air) - HALPHA_VACUUM) / HALPHA_VACUUM
    np.testing.assert_allclose(cube.velocity, expected, rtol=0, atol=2e-6 * C)
    assert "converted from air to vacuum" in cube.provenance["spectral_axis"]


def test_air_rest_wavelength_at_a_redshift_is_shifted_in_vacuum(tmp_path):
    path = tmp_path / "spectrum.fits"
    fits.PrimaryHDU(np.ones(64, np.float32), fits.Header({**MUSE_AXIS, "CD1_1": 1.25})).writeto(
        path
    )
    cube = quillet.read_cube(path, rest_wavelength="6562.8 Angstrom", redshift=0.0858)
    air = 4749.890625 + 1.25 * (np.arange(64) + 1877.0)
    observed = air_to_vacuum(6562.8) * 1.0858
    # Shifting the air wavelength instead puts every channel 0.15 km/s off;
    # refraction formulas nearly agree on the ratio of two wavelengths.
    expected = C * (air_to_vacuum(air) - observed) / observed
    np.testing.assert_allclose(cube.velocity, expected, rtol=0, atol=0.04)
    assert cube.provenance["rest"] == "6562.8 Angstrom"


@pytest.mark.parametrize("cunit, per_angstrom", [("Angstrom", 1.0), ("nm", 0.1)])
def test_tabulated_irregular_wavelengths(tmp_path, cunit, per_angstrom):
    angstrom = 6555.0 + np.cumsum(np.linspace(0.5, 1.0, CHANNELS))
    data = np.ones((2, CHANNELS), np.float32)
    path = write_tabular_cube(tmp_path / "tab.fits", data, angstrom * per_angstrom, cunit=cunit)
    cube = quillet.read_cube(path, rest_wavelength="6562.8 Angstrom")
    np.testing.assert_allclose(cube.velocity, C * (angstrom - 6562.8) / 6562.8, rtol=1e-10)


LAYOUTS = [
    ((CHANNELS,), 0),
    ((5, CHANNELS), -1),
    ((CHANNELS, 5), 0),
    ((3, 4, CHANNELS), -1),
    ((3, CHANNELS, 4), 1),
    ((CHANNELS, 3, 4), 0),
]


@pytest.mark.parametrize("shape, axis", LAYOUTS, ids=[f"{s} axis {a}" for s, a in LAYOUTS])
def test_spectral_axis_moved_last_with_the_file_read_in_blocks(tmp_path, shape, axis):
    rng = np.random.default_rng(7)
    data = rng.normal(size=shape).astype(np.float32)
    error = rng.uniform(0.5, 1.0, size=shape).astype(np.float32)
    path = write_cube(
        tmp_path / "cube.fits",
        data,
        WAVE_A,
        spectral_axis=axis,
        header={"BUNIT": "Jy"},
        error=error,
        error_header={"BUNIT": "Jy"},
        data_name=None if len(shape) == 1 else "DATA",  # a lone spectrum in the primary HDU
    )
    cube = quillet.read_cube(path, rest_wavelength="6562.8 Angstrom")
    # An HDU without EXTNAME is named by its index.
    assert cube.provenance["hdu"] == ("0" if len(shape) == 1 else "DATA")
    # FITS is big-endian, and the blocks read hold the file's own bytes:
    # read a block at a time, never mapped.
    assert cube.data.dtype == np.dtype(">f4") and cube.noise.dtype == np.dtype(">f4")
    assert not memory_mapped(cube.data[...]) and not memory_mapped(cube.noise[...])
    np.testing.assert_array_equal(cube.data, np.moveaxis(data, axis, -1))
    np.testing.assert_array_equal(cube.noise, np.moveaxis(error, axis, -1))
    np.testing.assert_allclose(cube.velocity, C * (world(WAVE_A) - 6562.8) / 6562.8, rtol=1e-10)
    assert cube.unit == u.Jy
    assert cube.provenance["spectral_axis"].endswith(f"FITS axis {len(shape) - axis % len(shape)}")
    if len(shape) == 1:
        assert cube.wcs is None
    else:
        assert cube.wcs.array_shape == cube.spatial_shape
    if len(shape) == 3:
        assert list(cube.wcs.wcs.ctype) == ["RA---TAN", "DEC--TAN"]


@pytest.mark.parametrize("spectral_fits_axis", [3, 4])
def test_radio_cube_with_a_stokes_axis_of_one_plane(tmp_path, spectral_fits_axis):
    values = line_cube(C * (HI - world(FREQ_HZ)) / HI, (3, 4)).astype(np.float32)
    spectral_first = np.moveaxis(values, -1, 0)  # (channels, dec, ra)
    # NumPy order runs from the last FITS axis: STOKES before FREQ or after it.
    numpy_axis = 4 - spectral_fits_axis
    data = np.expand_dims(spectral_first, 1 - numpy_axis)
    stokes_axis = 7 - spectral_fits_axis
    header = {
        "CTYPE1": "RA---SIN",
        "CRVAL1": 150.0,
        "CDELT1": -1e-3,
        "CRPIX1": 2.0,
        "CUNIT1": "deg",
        "CTYPE2": "DEC--SIN",
        "CRVAL2": 2.0,
        "CDELT2": 1e-3,
        "CRPIX2": 2.0,
        "CUNIT2": "deg",
        f"CTYPE{stokes_axis}": "STOKES",
        f"CRVAL{stokes_axis}": 1.0,
        f"CDELT{stokes_axis}": 1.0,
        f"CRPIX{stokes_axis}": 1.0,
        "RESTFRQ": HI,
        "BUNIT": "Jy/beam",
    }
    path = write_cube(
        tmp_path / "radio.fits", data, FREQ_HZ, spectral_axis=numpy_axis, header=header
    )
    cube = quillet.read_cube(path, convention="radio")
    np.testing.assert_array_equal(cube.data, values)
    np.testing.assert_allclose(cube.velocity, C * (HI - world(FREQ_HZ)) / HI, rtol=1e-10)
    assert cube.wcs.array_shape == (3, 4)
    assert cube.unit == u.Jy / u.beam
    assert cube.provenance["spectral_axis"].endswith(f"FITS axis {spectral_fits_axis}")


def test_fit_of_a_radio_cube_on_its_falling_velocity_axis(tmp_path):
    # Frequency rises along the file, so radio velocity falls.
    velocity = C * (HI - world(FREQ_HZ)) / HI
    centre = np.array([[-20.0, 0.0, 15.0], [30.0, -40.0, 5.0]])
    values = line_cube(velocity, (2, 3), centre=centre, sigma=12.0, noise=0.05)
    path = write_cube(
        tmp_path / "radio.fits",
        np.moveaxis(values, -1, 0),
        FREQ_HZ,
        spectral_axis=0,
        header={"RESTFRQ": HI},
    )
    cube = quillet.read_cube(path, convention="radio")
    fit = quillet.fit_cube(cube, line_sigma=12.0, progress=False)
    assert fit.success.all()
    assert np.all(np.abs(fit.centre - centre) < 5.0 * fit.centre_error)
    assert np.all(np.abs(fit.sigma - 12.0) < 5.0 * fit.sigma_error)


BLANK = -32768


@pytest.mark.parametrize(
    "stored_dtype, scaling, axis",
    [
        (np.int16, {"BSCALE": 0.25, "BZERO": 100.0, "BLANK": BLANK}, 0),
        (np.int32, {"BSCALE": 1.0, "BZERO": 0.0, "BLANK": BLANK}, 1),
        (np.int16, {"BZERO": 32768}, 2),  # how FITS stores unsigned 16-bit integers
    ],
    ids=["int16 scaled", "int32 with BLANK only", "uint16 as offset int16"],
)
def test_scaled_integers_are_read_lazily(tmp_path, stored_dtype, scaling, axis):
    rng = np.random.default_rng(3)
    shape = [3, 4]
    shape.insert(axis, CHANNELS)
    stored = rng.integers(-30000, 30000, shape).astype(stored_dtype)
    stored.flat[[0, 77]] = BLANK
    path = write_cube(
        tmp_path / "ints.fits",
        stored,
        WAVE_A,
        spectral_axis=axis,
        scaling=scaling,
        error=stored,
        error_scaling=scaling,
    )
    truth = stored * float(scaling.get("BSCALE", 1.0)) + float(scaling.get("BZERO", 0.0))
    if "BLANK" in scaling:
        truth[stored == BLANK] = np.nan
    truth = np.moveaxis(truth, axis, -1)

    cube = quillet.read_cube(path, rest_wavelength=6562.8)
    assert isinstance(cube.data, LazyImage)
    assert cube.data.shape == truth.shape and len(cube.data) == 3
    for key in [1, (1, slice(1, 3)), (Ellipsis, 5), (np.int64(2), -1, slice(None, None, 3))]:
        np.testing.assert_array_equal(cube.data[key], truth[key])
    np.testing.assert_array_equal(np.asarray(cube.data), truth)
    # An integer error image is scaled, and blanked, as the data are.
    assert isinstance(cube.noise, LazyImage)
    np.testing.assert_array_equal(np.asarray(cube.noise), truth)
    # The fit takes a lazy image a block at a time, as it would the array.
    lazy = quillet.fit_cube(cube, noise=1.0, chunk_rows=5, progress=False)
    whole = quillet.fit_cube(truth, cube.velocity, noise=1.0, progress=False)
    np.testing.assert_array_equal(lazy.amplitude, whole.amplitude)


SIGMA_OF = {
    "sigma": lambda e: e,
    "variance": np.sqrt,
    "inverse variance": lambda e: 1.0 / np.sqrt(e),
}

# id: (error HDU name, data BUNIT, error BUNIT, error_kind, read as, factor to the data's unit)
ERRORS = {
    "BUNIT the data's: sigma": ("ERR", "Jy", "Jy", None, "sigma", 1.0),
    "BUNIT squared: variance": ("ERR", "Jy", "Jy2", None, "variance", 1.0),
    "BUNIT inverse square": ("ERR", "Jy", "Jy-2", None, "inverse variance", 1.0),
    "BUNIT over the name": ("VAR", "Jy", "Jy", None, "sigma", 1.0),
    "BUNIT in mJy": ("ERR", "Jy", "mJy", None, "sigma", 1e-3),
    "BUNIT in mJy squared": ("ERR", "Jy", "mJy2", None, "variance", 1e-6),
    "name VAR": ("VAR", "Jy", None, None, "variance", 1.0),
    "name STAT, BUNIT no help": (
        "STAT",
        "1e-20 erg/s/cm2/Angstrom",
        "1e-20 erg2",
        None,
        "variance",
        1.0,
    ),
    "name IVAR": ("IVAR", None, None, None, "inverse variance", 1.0),
    "name NOISE": ("NOISE", None, None, None, "sigma", 1.0),
    "dimensionless: name": ("ERR", "1", "1", None, "sigma", 1.0),
    "error_kind over the name": ("SIGMA", None, None, "variance", "variance", 1.0),
    "error_kind over BUNIT": ("ERR", "Jy", "Jy", "inverse_variance", "inverse variance", 1.0),
    "error_kind in mJy": ("ERR", "Jy", "mJy2", "variance", "variance", 1e-6),
}


@pytest.mark.parametrize("case", ERRORS.values(), ids=ERRORS.keys())
def test_error_extension_as_sigma_variance_or_inverse_variance(tmp_path, case):
    name, bunit, error_bunit, kind, read_as, factor = case
    shape = (CHANNELS, 2, 3)
    stored = np.full(shape, 4.0, dtype=np.float32)
    stored[3, 1, 2] = 16.0
    path = write_cube(
        tmp_path / "cube.fits",
        np.zeros(shape, np.float32),
        WAVE_A,
        spectral_axis=0,
        header={"BUNIT": bunit} if bunit else None,
        error=stored,
        error_name=name,
        error_header={"BUNIT": error_bunit or ""},
    )
    cube = quillet.read_cube(path, rest_wavelength=6562.8, error_kind=kind)
    expected = SIGMA_OF[read_as](np.moveaxis(stored, 0, -1).astype(np.float64) * factor)
    np.testing.assert_allclose(np.asarray(cube.noise), expected, rtol=1e-12)
    assert cube.noise.shape == cube.data.shape
    note = f"{name} ({read_as})"
    if factor != 1.0:
        note += f", from {u.Unit(error_bunit)} to the unit of the data, {u.Unit(bunit)}"
    assert cube.provenance["noise"] == note
    # Only a conversion makes float64; sigmas are the file's own floats.
    assert (cube.noise.dtype == np.float64) != (note == f"{name} (sigma)")


def test_error_extension_named_by_index_or_absent(tmp_path):
    shape = (3, 4, CHANNELS)
    error = np.full(shape, 9.0, dtype=np.float32)
    path = write_cube(tmp_path / "a.fits", np.zeros(shape), WAVE_A, error=error, error_name="UNC")
    # An extension of another name is no error extension unless it is named.
    assert quillet.read_cube(path, rest_wavelength=6562.8).noise is None
    cube = quillet.read_cube(path, rest_wavelength=6562.8, error_hdu=2, error_kind="variance")
    np.testing.assert_array_equal(np.asarray(cube.noise), np.full(shape, 3.0))


def test_muse_cube_fits_h_alpha_at_the_cluster_redshift():
    path = REAL_DATA / "muse_a478_halpha.fits"
    cube = quillet.read_cube(path, rest_wavelength="6562.8 Angstrom", redshift=0.0858)
    header = fits.getheader(path, "DATA")
    air = header["CRVAL3"] + header["CD3_3"] * (np.arange(64) + 1 - header["CRPIX3"])
    observed = air_to_vacuum(6562.8) * 1.0858
    expected = C * (air_to_vacuum(air) - observed) / observed
    np.testing.assert_allclose(cube.velocity, expected, rtol=0, atol=0.04)
    assert cube.data.shape == (40, 40, 64) and not memory_mapped(cube.data[...])
    # STAT is a variance whose BUNIT is not the data unit squared: its name decides.
    assert cube.provenance["noise"] == "STAT (variance)"
    stat = fits.getdata(path, "STAT")
    np.testing.assert_allclose(cube.noise[10, 20], np.sqrt(stat[:, 10, 20]), rtol=1e-6)
    assert cube.wcs.array_shape == (40, 40) and cube.wcs.has_celestial

    # [N II] 6583 lies 940 km/s away and is the brighter line in much of
    # the field: H-alpha is sought within +-600 km/s of the cluster's redshift.
    fit = quillet.fit_cube(cube, continuum="edges", velocity_window=(-600.0, 600.0), progress=False)
    assert fit.flag_counts()["success"] >= 0.9 * 40 * 40
    assert abs(np.median(fit.centre[fit.success])) < 100.0
    assert 70.0 < np.median(fit.sigma[fit.success]) < 130.0


def tabulated(tmp_path, steps):
    wavelengths = 6560.0 + np.asarray(steps)
    data = np.ones((2, wavelengths.size), np.float32)
    return write_tabular_cube(tmp_path / "tab.fits", data, wavelengths, cunit="Angstrom")


def four_axis_image(tmp_path):
    data = np.ones((2, CHANNELS, 3, 4), np.float32)
    return write_cube(
        tmp_path / "cube.fits", data, WAVE_A, spectral_axis=1, header={"CTYPE4": "STOKES"}
    )


def image_before_the_cube(tmp_path):
    path = write_cube(tmp_path / "cube.fits", np.ones((3, 4, CHANNELS)), WAVE_A)
    with fits.open(path, mode="update") as hdul:
        hdul[0] = fits.PrimaryHDU(np.ones((3, 4)))  # a picture of the field, say
    return path


def table_only(tmp_path):
    table = fits.BinTableHDU.from_columns([fits.Column(name="X", format="D", array=[1.0])])
    path = tmp_path / "table.fits"
    fits.HDUList([fits.PrimaryHDU(), table]).writeto(path)
    return path


def wider_wcs_than_image(tmp_path):
    header = {"WCSAXES": 3, "CTYPE3": "WAVE", "CRVAL3": 6.5e-7, "CDELT3": 1e-10}
    return write_cube(
        tmp_path / "image.fits", np.ones((4, 5)), spectral_cards("LINEAR", 0, 1), header=header
    )


def error_of_another_shape(tmp_path):
    return write_cube(
        tmp_path / "cube.fits",
        np.ones((3, 4, CHANNELS)),
        WAVE_A,
        error=np.ones((3, CHANNELS)),
        error_name="ERR",
    )


def undecidable_error(tmp_path):
    return write_cube(
        tmp_path / "cube.fits",
        np.ones((3, 4, CHANNELS)),
        WAVE_A,
        header={"BUNIT": "Jy"},
        error=np.ones((3, 4, CHANNELS)),
        error_name="UNC",
        error_header={"BUNIT": "W"},
    )


def axis_file(cards, header=None):
    return lambda tmp_path: spectrum_file(tmp_path, cards, header)


MUSE = lambda tmp_path: REAL_DATA / "muse_a478_halpha.fits"  # noqa: E731

# id: (file maker, read_cube keywords, words the message must hold)
REFUSALS = {
    "no spectral axis": (
        axis_file(spectral_cards("LINEAR", 0.0, 1.0)),
        REST,
        ["no spectral axis", "LINEAR", "CTYPE", "WAVE"],
    ),
    "a picture of the field named as the data": (
        image_before_the_cube,
        {**REST, "hdu": 0},
        ["HDU 0 ", "no spectral axis", "hdu=", "1: DATA (3x4x24 image)"],
    ),
    "spectral axis beyond the image": (
        wider_wcs_than_image,
        REST,
        ["WCS axis 3", "only 2 axes"],
    ),
    "CDELT of 0": (
        axis_file(spectral_cards("WAVE", 6555.0, 0.0, cunit="Angstrom")),
        REST,
        ["cannot be used", "matrix is singular", "a CDELT of 0"],
    ),
    "unit wcslib does not know": (
        axis_file(spectral_cards("WAVE", 6555.0, 0.75, cunit="ANGSTROM")),
        REST,
        ["In CUNIT1", "'ANGSTROM'", "write 'Angstrom'"],
    ),
    "frequency through zero": (
        axis_file(spectral_cards("FREQ", -1.15e9, 1e8, cunit="Hz"), {"RESTFRQ": 1e9}),
        {},
        ["not strictly monotonic", "check the spectral WCS"],
    ),
    "tabulated axis out of order": (
        lambda tmp_path: tabulated(tmp_path, [0.0, 1.0, 3.0, 2.0, 4.0]),
        REST,
        ["not strictly monotonic"],
    ),
    "tabulated axis with NaN": (
        lambda tmp_path: tabulated(tmp_path, [0.0, 1.0, np.nan, 3.0, np.nan]),
        REST,
        ["WAVE-TAB", "no finite value for 2 channels, the first channel 2", "-TAB"],
    ),
    "air wavelengths below zero": (
        axis_file(spectral_cards("AWAV", -5e-10, 1e-10, cunit="m"), {"RESTFRQ": 1e15}),
        {},
        ["(AWAV)", "no finite value", "CRVAL, CDELT (or CD) and CRPIX"],
    ),
    "missing HDU": (MUSE, dict(hdu="SCI", **REST), ["no HDU 'SCI'", "1: DATA (64x40x40 image)"]),
    "HDU with no image": (MUSE, dict(hdu=0, **REST), ["HDU 0", "holds no image", "DATA"]),
    "file with no image": (table_only, REST, ["holds no image", "1: "]),
    "missing error HDU": (MUSE, dict(error_hdu="ERR", **REST), ["no HDU 'ERR'", "noise"]),
    "error HDU of another shape": (
        error_of_another_shape,
        dict(error_hdu="ERR", **REST),
        ["data's shape (3, 4, 24)", "not (3, 24)"],
    ),
    "undecidable error kind": (
        undecidable_error,
        dict(error_hdu="UNC", **REST),
        ["HDU UNC", "sigmas or variances", "error_kind='sigma'"],
    ),
    "four long axes": (four_axis_image, REST, ["4 axes longer than one pixel", "one to three"]),
    "no rest value": (
        axis_file(WAVE_A),
        {},
        ["no rest value", "6555 to 6572.25 Angstrom", "rest_wavelength"],
    ),
    "no rest value in air": (axis_file(AWAV_A), {}, ["air wavelengths", "wavelength in air"]),
    "bare rest number with no CUNIT": (
        axis_file(spectral_cards("WAVE", 6.555e-7, 7.5e-11)),
        dict(rest_wavelength=6.5628e-7),
        ["no unit", "'6562.8 Angstrom'"],
    ),
}


@pytest.mark.parametrize("case", REFUSALS.values(), ids=REFUSALS.keys())
def test_refusals_say_what_is_wrong_and_how_to_mend_it(tmp_path, case):
    make, kwargs, words = case
    with pytest.raises(ValueError) as caught:
        quillet.read_cube(make(tmp_path), **kwargs)
    for word in words:
        assert word in str(caught.value)


# id: (read_cube keywords, words the message must hold), for a good file
BAD_ARGUMENTS = {
    "rest value unreadable": (dict(rest_wavelength="H-alpha"), ["'H-alpha'", "number and a unit"]),
    "rest value a velocity": (dict(rest_wavelength="5 km/s"), ["5.0 km / s", "not a wavelength"]),
    "rest value of two lines": (
        dict(rest_wavelength=[6548.0, 6583.5] * u.AA),
        ["one wavelength or frequency", "2 of them"],
    ),
    "rest value negative": (dict(rest_wavelength="-6562.8 Angstrom"), ["positive and finite"]),
    "bad convention": (
        dict(convention="doppler", **REST),
        ["convention must be one of optical, radio, relativistic", "'doppler'"],
    ),
    "bad error_kind": (
        dict(error_kind="std", **REST),
        ["error_kind must be one of sigma, variance, inverse_variance", "'std'"],
    ),
    "redshift of -1": (dict(redshift=-1.0, **REST), ["above -1", "-1.0"]),
    "redshift NaN": (dict(redshift=float("nan"), **REST), ["finite"]),
    "redshift not a number": (
        dict(redshift="z=0.1", **REST),
        ["finite number above -1", "'z=0.1'"],
    ),
    "redshift None": (dict(redshift=None, **REST), ["not None"]),
}


@pytest.mark.parametrize("case", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_bad_arguments_are_refused_by_name(tmp_path, case):
    kwargs, words = case
    with pytest.raises(ValueError) as caught:
        quillet.read_cube(spectrum_file(tmp_path, WAVE_A), **kwargs)
    for word in words:
        assert word in str(caught.value)


def test_the_first_image_with_a_spectral_axis_is_the_data(tmp_path):
    # A file may open with a picture of the field before its cube.
    cube = quillet.read_cube(image_before_the_cube(tmp_path), **REST)
    assert cube.provenance["hdu"] == "DATA"
    assert cube.data.shape == (3, 4, CHANNELS)


def test_noise_asked_for_or_of_another_shape_is_not_ignored(tmp_path):
    data = np.ones((3, 4, CHANNELS))
    bare = write_cube(tmp_path / "bare.fits", data, WAVE_A)
    with pytest.raises(ValueError, match=r"error_kind='variance' .* no error HDU .*error_hdu="):
        quillet.read_cube(bare, error_kind="variance", **REST)
    odd = write_cube(tmp_path / "odd.fits", data, WAVE_A, error=np.ones((3, 4)))
    with pytest.warns(UserWarning, match=r"HDU ERR looks like noise but is \(3, 4\)"):
        cube = quillet.read_cube(odd, **REST)
    assert cube.noise is None
    assert cube.provenance["noise"] == "none used (ERR is not of the data's shape)"

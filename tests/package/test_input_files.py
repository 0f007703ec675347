"""Input files that are broken, odd or changing: headers whose spectral
cards do not parse, files cut short or growing shorter while they are read,
paths that are no regular file, degenerate celestial axes, and cubes with
nothing to fit. Every file is written by astropy and then corrupted byte by
byte where a case needs it; the command line runs as a real subprocess."""

from __future__ import annotations

import os
import re
import subprocess
import time
import warnings

import numpy as np
import pytest
from astropy.io import fits
from fits_cubes import line_cube, spectral_cards, write_cube
from processes import COMMAND, start_fit

import quillet
from quillet.basics.errors import QuilletWarning
from quillet.data import fits_images

CHANNELS = 24
WAVE = spectral_cards("WAVE", 6555.0, 0.75, cunit="Angstrom")
REST = {"rest_wavelength": "6562.8 Angstrom"}
C = 299792.458


def good_cube(path, spectral=WAVE, header=None, shape=(CHANNELS, 3, 4)):
    """A cube in the primary HDU, its spectral axis FITS axis 3, RA and Dec 1 and 2."""
    data = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    return write_cube(path, data, spectral, spectral_axis=0, header=header, data_name=None)


def set_card(path, keyword, card):
    """Replaces the first card of ``keyword`` with the text ``card``, as a
    hand edit or a faulty writer would leave it."""
    raw = bytearray(path.read_bytes())
    for at in range(0, 2880 * 4, 80):
        if raw[at : at + 8].decode("latin-1").rstrip() == keyword:
            raw[at : at + 80] = card.ljust(80).encode()
            path.write_bytes(bytes(raw))
            return path
    raise AssertionError(f"no {keyword} card")


def read_error(path, **kwargs):
    """The message of a refused read, and every warning it let out."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError) as refused:
            quillet.read_cube(path, **{**REST, **kwargs})
    return str(refused.value), [str(w.message) for w in caught]


def run_cli(*args, timeout=60):
    return subprocess.run(
        [*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=timeout
    )


def assert_one_line_error(done, *fragments):
    assert done.returncode == 2, done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("quillet: error: "), done.stderr
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


# --- headers ------------------------------------------------------------------

# id: (card keyword, card as written, header cards the file starts with, words)
CARDS = {
    "CRVAL NaN": (
        "CRVAL3",
        "CRVAL3  =                  NAN",
        {},
        ["CRVAL3 = NAN", "finite number"],
    ),
    "CDELT 1.0.0": ("CDELT3", "CDELT3  =                1.0.0", {}, ["CDELT3 = 1.0.0", "finite"]),
    "CRPIX without =": ("CRPIX3", "CRPIX3    1.0", {}, ["'CRPIX3 1.0'", "no '= '", "no value"]),
    "CRPIX garbage": ("CRPIX3", "CRPIX3  = abc", {}, ["CRPIX3 = abc", "finite number"]),
    "CTYPE a number": ("CTYPE3", "CTYPE3  =                    5", {}, ["CTYPE3 = 5", "string"]),
    "CUNIT a number": ("CUNIT3", "CUNIT3  =                  1.0", {}, ["CUNIT3 = 1.0", "string"]),
    "CD of Inf": (
        "CD3_3",
        "CD3_3   =                  INF",
        {"CD3_3": 0.75},
        ["CD3_3 = INF", "finite number"],
    ),
    "PC garbage": ("PC3_3", "PC3_3   = 'one'", {"PC3_3": 1.0}, ["PC3_3 = 'one'", "finite"]),
    "PC couples a garbage CRPIX": (
        "CRPIX1",
        "CRPIX1  = x",
        {"PC3_1": 0.5},
        ["CRPIX1 = x", "spectral axis needs it"],
    ),
    "PC couples the spectral axis to RA": (
        "PC3_1",
        "PC3_1   =                  0.5",
        {"PC3_1": 0.5},
        ["spectral axis", "cannot be read alone", "off-diagonal"],
    ),
    "RESTFRQ a string": (
        "RESTFRQ",
        "RESTFRQ = '1.4 GHz'",
        {"RESTFRQ": 1.4e9},
        ["RESTFRQ = '1.4 GHz'", "rest value"],
    ),
    "RESTWAV NaN": ("RESTWAV", "RESTWAV =                  NaN", {"RESTWAV": 6.5e-7}, ["RESTWAV"]),
    # astropy drops a BSCALE of float data, so the card takes a spare one's place.
    "BSCALE a string": ("SPARE", "BSCALE  = 'abc'", {"SPARE": 1}, ["BSCALE = 'abc'", "finite"]),
    "NAXIS3 a string": ("NAXIS3", "NAXIS3  = 'abc'", {}, ["NAXIS3 = 'abc'", "whole number"]),
    "NAXIS 1000": ("NAXIS", "NAXIS   =                 1000", {}, ["NAXIS = 1000"]),
    "NAXIS 4 with three lengths": ("NAXIS", "NAXIS   =    4", {}, ["no NAXIS4 card"]),
    "BITPIX 12": ("BITPIX", "BITPIX  =                   12", {}, ["BITPIX = 12"]),
}


@pytest.mark.parametrize(("keyword", "card", "header", "words"), CARDS.values(), ids=CARDS)
def test_a_card_the_axis_needs_must_hold_a_value_of_its_kind(
    tmp_path, keyword, card, header, words
):
    path = set_card(good_cube(tmp_path / "cube.fits", header=header), keyword, card)
    message, leaked = read_error(path)
    assert "\n" not in message and message.startswith(f"{path}, HDU 0: "), message
    for word in words:
        assert word in message
    assert leaked == []  # astropy's warnings are part of the message, not output


def test_a_card_error_carries_astropys_words_and_the_command_line_shows_one_line(tmp_path):
    path = set_card(good_cube(tmp_path / "cube.fits"), "CRPIX3", "CRPIX3    1.0")
    done = run_cli("info", path, "--rest-wavelength", "6562.8 Angstrom")
    assert_one_line_error(done, "CRPIX3", "(astropy: ", "invalid")
    assert done.stdout == ""


def test_a_broken_card_of_a_spatial_axis_costs_only_the_spatial_wcs(tmp_path):
    path = set_card(good_cube(tmp_path / "cube.fits"), "CRVAL1", "CRVAL1  =                  NAN")
    with pytest.warns(QuilletWarning, match=r"spatial WCS cannot be used \(CRVAL1 = NAN"):
        cube = quillet.read_cube(path, **REST)
    assert cube.wcs is None and cube.provenance["spatial_wcs"].startswith("unusable")
    np.testing.assert_allclose(cube.velocity, C * (6555.0 + 0.75 * np.arange(24) - 6562.8) / 6562.8)


def test_wcslib_source_lines_never_reach_the_message(tmp_path):
    path = good_cube(tmp_path / "cube.fits", spectral_cards("WAVE", 6555.0, 0.75, cunit="ANGST"))
    message, _ = read_error(path)
    assert "cannot be used" in message and "ANGST" in message
    assert not re.search(r"ERROR \d+ in|line \d+ of file|\.c\b", message), message


# --- files ----------------------------------------------------------------------


def cut(path, keep):
    with open(path, "r+b") as stream:
        stream.truncate(keep)
    return path


def truncated_data(tmp_path):
    path = good_cube(tmp_path / "cube.fits")
    return cut(
        path, 2880 + 100
    ), f"{path} is truncated: the header of HDU 0 declares 1152 bytes of data, the file has 100"


def truncated_header(tmp_path):
    path = write_cube(tmp_path / "cube.fits", np.ones((2, CHANNELS), np.float32), WAVE)
    return cut(path, 2880 + 1000), "the header of HDU 1 has no END card"


def huge_naxis(tmp_path):
    path = set_card(good_cube(tmp_path / "cube.fits"), "NAXIS1", "NAXIS1  =         100000000000")
    return path, f"declares {100_000_000_000 * 3 * CHANNELS * 4} bytes of data, the file has 2880"


def folder(tmp_path):
    return tmp_path, f"{tmp_path} is a folder, not a FITS file"


def fifo(tmp_path):
    os.mkfifo(tmp_path / "pipe.fits")
    return tmp_path / "pipe.fits", "is a named pipe (FIFO)"


def device(tmp_path):
    return "/dev/zero", "/dev/zero is a device, not a FITS file"


def missing(tmp_path):
    return tmp_path / "absent.fits", "absent.fits: no such file"


def text_file(tmp_path):
    (tmp_path / "notes.fits").write_text("not a FITS file at all\n" * 200)
    return (
        tmp_path / "notes.fits",
        "is not a FITS file: it does not begin with the SIMPLE card",
    )


# id: file maker (returning the path and what the message must hold)
FILES = {
    "data cut short": truncated_data,
    "header cut short": truncated_header,
    "NAXIS1 of 1e11": huge_naxis,
    "a folder": folder,
    "a FIFO": fifo,
    "/dev/zero": device,
    "no file": missing,
    "not FITS": text_file,
}


@pytest.mark.parametrize("make", FILES.values(), ids=FILES)
def test_files_that_cannot_be_read_are_refused_before_any_read(tmp_path, make):
    path, words = make(tmp_path)
    message, leaked = read_error(path)
    assert words in message and "\n" not in message
    assert leaked == []
    # The command line as the shell sees it: one line, status 2, at once
    # (a FIFO is never opened, so nothing waits for a writer).
    started = time.monotonic()
    done = run_cli("info", path, "--rest-wavelength", "6562.8 Angstrom", timeout=30)
    assert_one_line_error(done, words)
    assert time.monotonic() - started < 20


def test_a_truncated_guide_map_is_refused_by_name(tmp_path):
    cube = good_cube(tmp_path / "cube.fits")
    guide = tmp_path / "guide.fits"
    fits.PrimaryHDU(np.zeros((300, 4))).writeto(guide)  # 9,600 bytes of data
    cut(guide, 2880 + 4000)
    options = ["--rest-wavelength", "6562.8", "--guide-map", guide]
    done = run_cli("fit", cube, "--out", tmp_path / "maps.fits", *options)
    assert_one_line_error(
        done,
        f"--guide-map: {guide} is truncated: the header of HDU 0 declares 9600 bytes of data, "
        "the file has 4000",
    )
    assert not (tmp_path / "maps.fits").exists()


def test_a_file_cut_short_or_rewritten_during_the_read_is_refused(tmp_path):
    path = good_cube(tmp_path / "cube.fits", shape=(CHANNELS, 6, 5))
    cube = quillet.read_cube(path, **REST)
    first = cube.data[0]
    cut(path, 2880 + 1000)
    with pytest.raises(
        ValueError,
        match=r"is truncated: .* declares 2880 bytes of data, the file has 1000;.*shrank",
    ):
        cube.data[1]
    whole = np.moveaxis(np.arange(CHANNELS * 30).reshape(CHANNELS, 6, 5), 0, -1)
    np.testing.assert_array_equal(first, whole[0])

    path = good_cube(tmp_path / "other.fits", shape=(CHANNELS, 6, 5))
    cube = quillet.read_cube(path, **REST)
    stamp = path.stat().st_mtime_ns
    raw = bytearray(path.read_bytes())
    raw[-4:] = b"\x00\x00\x00\x00"
    path.write_bytes(bytes(raw))  # the same size, new bytes, as a copy onto it leaves it
    os.utime(path, ns=(stamp + 10**9, stamp + 10**9))
    with pytest.raises(ValueError, match=r"changed while it was read"):
        cube.data[1]


def test_a_cube_truncated_while_quillet_fit_reads_it_ends_with_one_line(tmp_path):
    velocity = np.arange(-75.0, 76.0, 10.0)
    data = line_cube(velocity, (300, 300), sigma=20.0).astype(np.float32)
    path = write_cube(
        tmp_path / "big.fits", data, spectral_cards("VOPT", -75.0, 10.0, cunit="km/s")
    )
    size = path.stat().st_size
    process, seen = start_fit(path, "--out", tmp_path / "maps.fits", "--chunk-rows", 50)
    try:
        cut(path, size // 2)  # what cp onto the file does first
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 2  # not -7 (SIGBUS)
    messages = [m for m in re.split(r"[\r\n]+", (seen + err).decode()) if m.strip()]
    messages = [m for m in messages if not m.startswith("fitting")]
    assert len(messages) == 1 and "is truncated" in messages[0] and "shrank" in messages[0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.fits"]


# --- the block reader -------------------------------------------------------------

KEYS = [
    (Ellipsis,),
    (1,),
    (slice(1, 3),),
    (slice(None), 2),
    (Ellipsis, 5),
    (slice(None, None, 2), slice(1, None, 3), slice(4, 20, 5)),
    (-1, slice(None, None, -1)),
    (slice(2, 0, -1), 1, slice(None)),
]


@pytest.mark.parametrize("scattered", ["one read", "run by run"])
@pytest.mark.parametrize("key", KEYS, ids=[str(k) for k in KEYS])
@pytest.mark.parametrize("dtype", [">f4", ">i2", ">f8"])
def test_blocks_read_from_the_file_are_the_arrays_own(tmp_path, monkeypatch, scattered, key, dtype):
    if scattered == "run by run":  # the path a large cube's scattered values take
        monkeypatch.setattr(fits_images, "_ONE_READ_BYTES", 0)
    array = np.arange(4 * 5 * CHANNELS).reshape(4, 5, CHANNELS).astype(dtype)
    path = tmp_path / "image.fits"
    fits.PrimaryHDU(array).writeto(path)
    with fits.open(path) as hdul:
        reader = fits_images.stored_data(path, hdul, 0, (slice(None),) * 3)
    block = reader[key]
    expected = array[key]
    assert block.dtype == expected.dtype and block.flags.c_contiguous
    np.testing.assert_array_equal(block, expected)


# --- degenerate celestial axes ------------------------------------------------------

SKY = {
    "CTYPE1": "RA---TAN", "CRVAL1": 150.0, "CDELT1": -1 / 3600, "CRPIX1": 1.0, "CUNIT1": "deg",
    "CTYPE2": "DEC--TAN", "CRVAL2": 2.0, "CDELT2": 1 / 3600, "CRPIX2": 1.0, "CUNIT2": "deg",
}  # fmt: skip


def sky_cube(tmp_path, shape, spectral_axis, header):
    """A cube of ``shape`` (NumPy order) with RA and Dec on FITS axes 1 and 2."""
    data = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    return write_cube(
        tmp_path / "cube.fits",
        data,
        WAVE,
        spectral_axis=spectral_axis,
        celestial=False,
        header={**SKY, **header},
    ), data


# id: (NumPy shape, NumPy spectral axis, extra cards, cube.data shape, celestial WCS kept)
DEGENERATE = {
    "RA of one pixel": ((CHANNELS, 3, 1), 0, {}, (3, 1, CHANNELS), True),
    "Dec of one pixel": ((CHANNELS, 1, 4), 0, {}, (1, 4, CHANNELS), True),
    "4-D, Dec of one pixel, Stokes": (
        (1, CHANNELS, 1, 4),
        1,
        {"CTYPE4": "STOKES", "CRVAL4": 1.0, "CDELT4": 1.0, "CRPIX4": 1.0},
        (1, 4, CHANNELS),
        True,
    ),
    "4-D, RA of one pixel, Stokes": (
        (1, CHANNELS, 5, 1),
        1,
        {"CTYPE4": "STOKES", "CRVAL4": 1.0, "CDELT4": 1.0, "CRPIX4": 1.0},
        (5, 1, CHANNELS),
        True,
    ),
    "sit and stare: RA step of 0": ((CHANNELS, 6, 2), 0, {"CDELT1": 0.0}, (6, 2, CHANNELS), False),
}


@pytest.mark.parametrize(
    ("shape", "axis", "header", "read_shape", "celestial"), DEGENERATE.values(), ids=DEGENERATE
)
def test_a_degenerate_celestial_axis_leaves_the_spectral_axis_readable(
    tmp_path, shape, axis, header, read_shape, celestial
):
    path, data = sky_cube(tmp_path, shape, axis, header)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cube = quillet.read_cube(path, **REST)
    np.testing.assert_allclose(cube.velocity, C * (6555.0 + 0.75 * np.arange(24) - 6562.8) / 6562.8)
    assert cube.data.shape == read_shape
    np.testing.assert_array_equal(
        np.asarray(cube.data), np.moveaxis(data, axis, -1).reshape(read_shape)
    )
    messages = [str(w.message) for w in caught]
    if celestial:
        assert messages == [] and cube.wcs.has_celestial
        assert cube.wcs.array_shape == read_shape[:-1]
    else:
        assert cube.wcs is None
        assert len(messages) == 1 and "spatial WCS cannot be used" in messages[0]
        assert "singular" in messages[0] and "ERROR" not in messages[0]
        done = run_cli("info", path, "--rest-wavelength", "6562.8 Angstrom")
        assert done.returncode == 0
        assert done.stderr.count("\n") == 1 and done.stderr.startswith("quillet: warning: ")


def test_an_unnamed_extension_is_named_by_its_index(tmp_path):
    data = np.ones((3, 4, CHANNELS), np.float32)
    path = write_cube(tmp_path / "cube.fits", data, WAVE)
    with fits.open(path, mode="update") as hdul:
        del hdul[1].header["EXTNAME"]
    cube = quillet.read_cube(path, **REST)
    assert cube.provenance["hdu"] == "1"
    done = run_cli("info", path, "--rest-wavelength", "6562.8 Angstrom")
    assert re.search(r"^HDU +1: >f4 \(3, 4, 24\)", done.stdout, re.MULTILINE), done.stdout
    message, _ = read_error(path, hdu=0)
    assert "HDU 0 " in message and "1: no EXTNAME (3x4x24 image)" in message


# --- cubes with nothing to fit ----------------------------------------------------------

# id: (data, words)
NOTHING = {
    "all infinite": (
        np.full((3, 4, CHANNELS), np.inf, np.float32),
        ["no finite pixel", "infinite"],
    ),
    "infinite and NaN": (
        np.where(np.arange(CHANNELS) % 2, np.inf, np.nan) * np.ones((3, 4, 1), np.float32),
        ["no finite pixel", "NaN or infinite"],
    ),
    "no spectra": (np.ones((0, 4, CHANNELS), np.float32), ["holds no spectra", "length 0"]),
}


@pytest.mark.parametrize(("data", "words"), NOTHING.values(), ids=NOTHING)
def test_a_cube_with_nothing_to_fit_says_what_it_is(tmp_path, data, words):
    path = write_cube(tmp_path / "cube.fits", data.astype(np.float32), WAVE)
    done = run_cli("fit", path, "--out", tmp_path / "maps.fits", "--rest-wavelength", "6562.8")
    assert_one_line_error(done, *words)
    assert "every pixel of" not in done.stderr
    assert not (tmp_path / "maps.fits").exists()


@pytest.mark.parametrize("make", [folder, fifo, device], ids=["a folder", "a FIFO", "/dev/zero"])
def test_a_maps_file_that_is_no_regular_file_is_refused_by_plot(tmp_path, make):
    path, words = make(tmp_path)
    done = run_cli("plot", path, "--out", tmp_path / "maps.png", timeout=30)
    assert_one_line_error(done, words)
    assert not (tmp_path / "maps.png").exists()

"""Every kind of maps (a Gaussian fit's, a line model's, moments) written by
one writer and read back by one reader as the kind it is; files of the
previous release read as before; a format registered once serves every
kind; and the block driver runs any block fitter, here and on Dask, with the
same bits."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import pytest
from astropy.io import fits
from fits_cubes import line_cube, spectral_cards, write_cube

import quillet
from quillet.basics.errors import InputError
from quillet.data.formats import MapsFormat, format_names, register_format
from quillet.data.line_models import LineModel
from quillet.data.maps import header_text, header_value
from quillet.work.blocks import BlockRows, fit_records
from quillet.work.dask import fit_lazily

VELOCITY = np.linspace(-300.0, 300.0, 41)
C = 299792.458
# A file name that is no UTF-8, as a Latin-1 system writes "données".
NOT_UTF8 = os.fsdecode(b"donn\xe9es.fits")

MAKERS = {
    "line": lambda cube: quillet.fit_cube(cube, line_sigma=30.0, progress=False),
    "model": lambda cube: quillet.fit_cube(
        cube, model=LineModel.free(1, baseline=0), line_sigma=30.0, progress=False
    ),
    "moments": lambda cube: quillet.moments(cube, noise="estimate"),
}
KINDS = {"line": quillet.LineFit, "model": quillet.ModelFit, "moments": quillet.Moments}
# One map of each kind whose bits must come back.
MAP_OF = {"line": "centre", "model": "centre", "moments": "m1"}


@pytest.fixture(scope="module")
def cube(tmp_path_factory):
    """A cube read from a file whose name is no UTF-8."""
    data = line_cube(VELOCITY, (3, 4), amplitude=5.0, noise=0.3, seed=9)
    wavelength = 6562.8 * (1.0 + VELOCITY / C)
    cards = spectral_cards("WAVE", wavelength[0], wavelength[1] - wavelength[0], cunit="Angstrom")
    path = write_cube(tmp_path_factory.mktemp("cube") / NOT_UTF8, data, cards,
                      header={"BUNIT": "K"})  # fmt: skip
    return quillet.read_cube(path, rest_wavelength="6562.8 Angstrom")


def same_bits(one, other):
    return np.asarray(one).tobytes() == np.asarray(other).tobytes()


@pytest.mark.parametrize("lazy", [False, True], ids=["in memory", "lazy"])
@pytest.mark.parametrize("kind", list(MAKERS))
def test_each_kind_is_written_and_read_back_as_itself(tmp_path, cube, kind, lazy):
    # A model's maps once failed to write (UnicodeEncodeError) for an input
    # whose name is no UTF-8, and quillet.read_maps read them as a LineFit.
    maps = MAKERS[kind](cube)
    if lazy:
        lazy_cube = dataclasses.replace(cube, data=da.from_array(np.asarray(cube.data), (2, 3, -1)))
        with dask.config.set(scheduler="synchronous"):
            path = MAKERS[kind](lazy_cube).write_fits(tmp_path / "maps.fits")
    else:
        path = maps.write_fits(tmp_path / "maps.fits")
    back = quillet.read_maps(path)
    assert type(back) is KINDS[kind]
    assert (
        back.provenance["input"] == maps.provenance["input"] == str(Path(cube.provenance["input"]))
    )
    assert same_bits(getattr(back, MAP_OF[kind]), getattr(maps, MAP_OF[kind]))
    assert back.shape == maps.shape and back.unit == maps.unit
    assert back.wcs.to_header() == maps.wcs.to_header()
    assert KINDS[kind].read_fits(path).shape == maps.shape
    others = [cls for cls in KINDS.values() if cls is not KINDS[kind]]
    for other in others:
        with pytest.raises(InputError, match=rf"holds {KINDS[kind].__name__} maps.*read_maps"):
            other.read_fits(path)


@pytest.mark.parametrize(
    "text", ["plain", "100% sure", "données/à", NOT_UTF8, "tab\there"], ids=repr
)
def test_header_text_is_printable_and_comes_back(text):
    written = header_text(text)
    assert all(32 <= ord(c) < 127 for c in written)
    assert header_value(written) == text


def as_previous_release(path, kind):
    """The file as the previous release wrote it: no kind of maps recorded,
    a model's provenance under IN, a moments file's with no MAP AXES."""
    with fits.open(path, mode="update") as hdul:
        header = hdul[0].header
        del header["QUILLET MAPS KIND"]
        if kind == "moments":
            del header["QUILLET MAP AXES"]
        for key in [k for k in header if k == "QUILLET INPUT" and kind == "model"]:
            header["HIERARCH QUILLET IN INPUT"] = header.pop(key)


@pytest.mark.parametrize("kind", list(MAKERS))
def test_files_of_the_previous_release_read_as_their_kind(tmp_path, cube, kind):
    maps = MAKERS[kind](cube)
    path = maps.write_fits(tmp_path / "maps.fits")
    as_previous_release(path, kind)
    back = quillet.read_maps(path)
    assert type(back) is KINDS[kind]
    assert back.provenance["input"] == maps.provenance["input"]
    assert same_bits(getattr(back, MAP_OF[kind]), getattr(maps, MAP_OF[kind]))
    if kind == "model":
        assert back.model == maps.model and "in input" not in back.provenance


def write_npz(maps, path, *, overwrite, progress):
    """A format of the test's own: the records' fields, as NumPy saves them."""
    if Path(path).exists() and not overwrite:
        raise FileExistsError(path)
    np.savez(path, **maps.compute(progress=progress).record_fields())
    return Path(path)


@pytest.mark.parametrize("kind", list(MAKERS))
def test_a_format_registered_once_writes_every_kind(tmp_path, cube, kind):
    register_format(MapsFormat("npz-test", (".npz",), write_npz))
    try:
        maps = MAKERS[kind](cube)
        written = np.load(maps.write(tmp_path / "maps.npz"))
        assert same_bits(written[MAP_OF[kind]], getattr(maps, MAP_OF[kind]))
        with pytest.raises(InputError, match="written, not read"):
            KINDS[kind].read(tmp_path / "maps.npz")
        with pytest.raises(InputError, match=r"ending names no maps format.*\.fits"):
            maps.write(tmp_path / "maps.txt")
    finally:
        from quillet.data import formats

        del formats._FORMATS["npz-test"]
    assert "npz-test" not in format_names()


class PeakFitter:
    """A block fitter of the test's own: the brightest pixel of each
    spectrum, read as the driver reads it (masked pixels NaN)."""

    dtype = np.dtype([("peak", np.float32), ("channel", np.int32)])
    neighbour_refits = False

    def prepare(self, rows: BlockRows):
        return rows.spectra

    def fit(self, spectra):
        records = np.empty(spectra.shape[0], self.dtype)
        filled = np.where(np.isnan(spectra), -np.inf, spectra)
        records["channel"] = filled.argmax(axis=1)
        records["peak"] = filled.max(axis=1)
        return records

    def refit(self, rows, widths):
        raise AssertionError("never asked for")


@pytest.mark.parametrize("chunk_rows", [1, 5, 100])
def test_the_block_driver_runs_any_fitter_with_the_same_bits_here_and_on_dask(chunk_rows):
    from quillet.data.fit_inputs import cube_inputs

    data = line_cube(VELOCITY, (4, 5), amplitude=5.0, noise=0.3, seed=3).astype(np.float32)
    mask = np.zeros(data.shape, bool)
    peak = data.argmax(axis=-1)
    mask[1, 2, peak[1, 2]] = True  # the masked peak is not the peak found
    inputs, _ = cube_inputs(data, VELOCITY, noise=0.3, mask=mask)
    here = fit_records(inputs, PeakFitter(), chunk_rows)
    others = np.ones(peak.shape, bool)
    others[1, 2] = False
    assert here["channel"][1, 2] != peak[1, 2]
    assert np.array_equal(here["channel"][others], peak[others])
    lazy_inputs, _ = cube_inputs(da.from_array(data, (2, 3, -1)), VELOCITY, noise=0.3, mask=mask)
    with dask.config.set(scheduler="synchronous"):
        there = fit_lazily(lazy_inputs, PeakFitter()).compute()
    for name in PeakFitter.dtype.names:
        assert same_bits(there[name], here[name])

"""quillet fit's guides, windows, quality, refits, noise and masks from
files, as real subprocesses on FITS files written by astropy: what each
option changes in the maps, what the run prints, and the mistakes it
refuses (exit 2, one line)."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from astropy.io import fits
from fits_cubes import line_cube, spectral_cards, write_cube

import quillet

VELOCITY = np.arange(-300.0, 300.01, 5.0)  # 121 channels
SPATIAL = (8, 9)
CENTRES = np.linspace(-150.0, 150.0, 72).reshape(SPATIAL)
MISSING = (2, 3)  # marked -200 in every channel, as some rasters mark them


def quillet_fit(*arguments: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "quillet", "fit", *map(str, arguments)],
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A cube (spectral axis first on disk), and noise and mask images:
    maps of one value per spectrum and cubes of the data's shape."""
    folder = tmp_path_factory.mktemp("trust")
    data = line_cube(VELOCITY, SPATIAL, centre=CENTRES, sigma=10.0, noise=0.5).astype(np.float32)
    data[MISSING] = -200.0
    cube = write_cube(
        folder / "cube.fits", np.moveaxis(data, -1, 0),
        spectral_cards("VRAD", -300.0, 5.0, cunit="km/s"), spectral_axis=0,
    )  # fmt: skip
    noise_map = np.full(SPATIAL, 0.5, np.float32)
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(noise_map, name="ERR")]).writeto(
        folder / "noisemap.fits"
    )
    noise_cube = np.full((VELOCITY.size, *SPATIAL), 0.5, np.float32)
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(), fits.ImageHDU(noise_cube)]).writeto(
        folder / "noisecube.fits"
    )
    mask = np.zeros((VELOCITY.size, *SPATIAL), np.int16)
    mask[:, 5, 6] = 7  # a whole spectrum bad
    fits.PrimaryHDU(mask).writeto(folder / "maskcube.fits")
    mask_map = np.zeros(SPATIAL, np.uint8)
    mask_map[1, 1] = 1
    fits.PrimaryHDU(mask_map).writeto(folder / "maskmap.fits")
    fits.PrimaryHDU(np.zeros((3, 3))).writeto(folder / "small.fits")
    return {"folder": folder, "cube": cube, **{p.stem: p for p in folder.glob("*.fits")}}


def maps_of(files, name, *options):
    out = files["folder"] / f"{name}.fits"
    done = quillet_fit(files["cube"], "--out", out, "--overwrite", *options)
    assert done.returncode == 0, done.stderr
    return quillet.read_maps(out), done.stdout


def line_of(text, start):
    return next(line for line in text.splitlines() if line.startswith(start))


def test_the_default_run_finds_guides_judges_and_counts(files):
    fit, out = maps_of(files, "default")
    good = fit.good
    assert good.sum() == CENTRES.size - 1 and not good[MISSING]
    np.testing.assert_allclose(fit.centre[good], CENTRES[good], atol=2.0)
    guide = line_of(out, "  guide").split(None, 1)[1]
    assert guide.startswith("auto: each spectrum's peak smoothed")
    assert line_of(out, "  line_sigma").split() == ["line_sigma", "10"]
    assert "neighbour refits on" in line_of(out, "window:")
    assert line_of(out, "good fits").split()[2] == str(CENTRES.size - 1)
    assert line_of(out, "blank spectra").split() == ["blank", "spectra", "0"]
    assert line_of(out, "128 refitted").split()[-1] == "0"
    assert "no line found" not in out
    assert fit.provenance["window"] == "follows the line, +-3 sigma"


@pytest.mark.parametrize(
    ("options", "blank"),
    [
        (["--valid-min", "-100"], [MISSING]),
        (["--valid-min", "-100", "--mask", "{maskcube}"], [MISSING, (5, 6)]),
        (["--valid-min", "-100", "--mask", "{maskmap}"], [MISSING, (1, 1)]),
        (["--valid-max", "1000", "--noise", "{noisemap}[ERR]"], []),
        (["--valid-min=-100", "--noise", "{noisecube}[2]"], [MISSING]),
    ],
)
def test_bad_pixels_and_noise_from_files(files, options, blank):
    given = [o.format(**{k: v for k, v in files.items() if k != "folder"}) for o in options]
    fit, out = maps_of(files, "pixels", *given)
    assert fit.blank_count == len(blank)
    for where in blank:
        assert fit.quality[where] == quillet.data.quality.Quality.NO_DATA and fit.flag[where] == 1
        assert np.isnan(fit.guide[where])
    assert line_of(out, "blank spectra").split()[-1] == str(len(blank))
    if "--noise" in options:
        # A noise given is the noise of the fit: the same maps as a noise of 0.5 in process.
        cube = quillet.read_cube(files["cube"])
        bounds = {"valid_min": -100.0} if "--valid-min=-100" in given else {"valid_max": 1000.0}
        want = quillet.fit_cube(cube, noise=0.5, progress=False, **bounds)
        np.testing.assert_array_equal(fit.centre.view(np.uint32), want.centre.view(np.uint32))
        np.testing.assert_array_equal(fit.quality, want.quality)


def test_windows_refits_and_snr_options_reach_the_fit(files):
    fit, out = maps_of(
        files, "options", "--fixed-window", "--no-refit", "--snr-min", "1000",
        "--window-sigmas", "4", "--velocity-window=-40,40",
    )  # fmt: skip
    assert fit.provenance["window"] == "fixed (npix)"
    assert fit.provenance["refit_neighbours"] == "no" and fit.provenance["snr_min"] == "1000"
    assert "within -40 to 40 km/s" in fit.provenance["guide"]
    assert (
        line_of(out, "window:")
        == "window: fixed, --npix 6 channels; snr_min 1000; neighbour refits off"
    )
    # Every success is doubted at S/N 1000; the window holds each fit's guide.
    success = fit.flag == 0
    assert success.any() and not fit.good.any()
    assert np.all((fit.quality[success] & quillet.data.quality.Quality.LOW_SNR) != 0)
    finite = np.isfinite(fit.guide)
    assert np.all(np.abs(fit.guide[finite]) <= 40.0)


def test_no_line_anywhere_says_what_to_try(files):
    # Absorption below a negative continuum: no spectrum has a positive
    # peak, so nothing is found, whatever the guides.
    data = line_cube(VELOCITY, SPATIAL, amplitude=-5.0, continuum=-20.0, sigma=10.0)
    data[0, 0] = np.nan  # blank spectra are counted apart
    cube = write_cube(
        files["folder"] / "absorbed.fits", np.moveaxis(data.astype(np.float32), -1, 0),
        spectral_cards("VRAD", -300.0, 5.0, cunit="km/s"), spectral_axis=0,
    )  # fmt: skip
    out_path = files["folder"] / "lost.fits"
    done = quillet_fit(cube, "--out", out_path)
    assert done.returncode == 0, done.stderr
    assert not quillet.read_maps(out_path).success.any()
    assert line_of(done.stdout, "no line found") == (
        f"no line found in {CENTRES.size - 1} of the {CENTRES.size - 1} spectra with data: give "
        "--guide on the axis, or --velocity-window round the line, and check --rest-wavelength"
    )
    assert line_of(done.stdout, "blank spectra").split()[-1] == "1"


@pytest.mark.parametrize(
    ("options", "words"),
    [
        (["--guide", "5000"], ["guide 5000 km/s lies 4700 km/s from the axis", "--guide auto"]),
        (["--velocity-window", "500,600"], ["--velocity-window 500 to 600 km/s holds no channel"]),
        (["--velocity-window", "5"], ["--velocity-window", "LO,HI"]),
        (["--noise", "nothing.fits"], ["--noise 'nothing.fits': no such file"]),
        (["--noise", "{small}"], ["(3, 3)", "map of one value per spectrum"]),
        (["--mask", "{cube}[NOPE]"], ["--mask", "no image HDU 'NOPE'"]),
        (["--valid-min", "5", "--valid-max", "1"], ["--valid-min (5) must be below --valid-max"]),
        (["--window-sigmas", "0"], ["--window-sigmas", "must be positive"]),
    ],
)
def test_mistakes_end_with_one_line_and_status_2(files, options, words):
    given = [o.format(**{k: v for k, v in files.items() if k != "folder"}) for o in options]
    out = files["folder"] / "refused.fits"
    done = quillet_fit(files["cube"], "--out", out, *given)
    assert done.returncode == 2, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1 and "Traceback" not in done.stderr
    for word in words:
        assert word in done.stderr
    assert not Path(out).exists()


def test_help_names_each_option_with_its_unit_and_default():
    done = subprocess.run(
        [sys.executable, "-m", "quillet", "fit", "--help"], capture_output=True, text=True
    )
    text = " ".join(done.stdout.split())
    for words in (
        "--guide auto|KM_S",
        "(default: auto)",
        "--velocity-window LO,HI",
        "in km/s",
        "--window-sigmas K",
        "in fitted sigmas (default: 3)",
        "--snr-min X",
        "a pure number (default: 4)",
        "--refit, --no-refit",
        "--noise auto|VALUE|FILE[HDU]",
        "noise.fits[ERR]",
        "--mask FILE[HDU]",
        "non-zero = bad",
        "--valid-min V",
        "in the data's unit",
        "--fixed-window",
    ):
        assert words in text, words

"""The quillet command end to end: what info reads, what fit prints and
writes, the pictures, one line on standard error and status 2 for every
mistake, no output replaced without --overwrite, and Ctrl-C ending with
status 130 and nothing left behind. Commands run in-process through
`quillet.cli.main` where the printed text is what matters, and as real
subprocesses where the shell's view is: exit status, tracebacks, signals."""

from __future__ import annotations

import re
import shlex
import signal
import subprocess

import astropy.units as u
import numpy as np
import pytest
from astropy.constants import c
from astropy.io import fits
from fits_cubes import REAL_DATA, line_cube, spectral_cards, write_cube, write_tabular_cube
from processes import COMMAND, start_fit

import quillet
from quillet.cli import main

C_KM_S = c.to_value(u.km / u.s)
MUSE = REAL_DATA / "muse_a478_halpha.fits"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

VELOCITY = np.arange(-200.0, 200.5, 10.0)  # 41 channels of 10 km/s
SPATIAL = (4, 5)
CENTRES = np.linspace(-40.0, 40.0, 20).reshape(SPATIAL)
MISSING = [(0, 4), (3, 0)]  # spectra of NaN only: the fit's flag 1
VOPT = spectral_cards("VOPT", float(VELOCITY[0]), 10.0, cunit="km/s")


def lines(**kwargs):
    return line_cube(VELOCITY, SPATIAL, centre=CENTRES, **kwargs).astype(np.float32)


@pytest.fixture(scope="module")
def cube(tmp_path_factory):
    """Lines at CENTRES over noise of 0.2 Jy, given in an ERR extension;
    the spectra at MISSING are NaN."""
    data = lines()
    for where in MISSING:
        data[where] = np.nan
    path = tmp_path_factory.mktemp("cube") / "cube.fits"
    return write_cube(
        path,
        data,
        VOPT,
        header={"BUNIT": "Jy"},
        error=np.full_like(data, 0.2),
        error_header={"BUNIT": "Jy"},
    )


def run(capsys, *args):
    """main() in-process: its status and what it printed."""
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def numbers(text):
    return [float(n.replace(",", "")) for n in re.findall(r"-?[\d,]*\.?\d+(?:e[-+]?\d+)?", text)]


def line_of(text, start):
    found = [line for line in text.splitlines() if line.startswith(start)]
    assert len(found) == 1, f"no single line starts with {start!r} in:\n{text}"
    return found[0]


def given_settings(out):
    """The settings the printed table marks as given on the command line."""
    table = out.split("settings (", 1)[1].splitlines()[1:15]
    return {row.split()[0] for row in table if row.endswith(" *")}


def assert_one_line_error(err, *fragments):
    assert "Traceback" not in err
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert err.startswith("quillet")
    for fragment in fragments:
        assert fragment in err


# --- info ----------------------------------------------------------------------


def in_vacuum(air):
    """Vacuum wavelength (Angstrom) of an air wavelength: the IAU standard
    refractive index of air (Morton 2000), solved by fixed-point steps."""
    vacuum = np.asarray(air, dtype=np.float64)
    for _ in range(4):
        s2 = (1e4 / vacuum) ** 2
        vacuum = air * (1.0 + 8.34254e-5 + 2.406147e-2 / (130.0 - s2) + 1.5998e-4 / (38.9 - s2))
    return vacuum


def test_info_on_the_muse_cube(capsys):
    status, out, _ = run(
        capsys, "info", MUSE, "--rest-wavelength", "6562.8 Angstrom", "--redshift", "0.0858"
    )
    assert status == 0
    # Air wavelengths of the channels from the header and H-alpha's in air,
    # both in vacuum (Doppler shifts are ratios of vacuum wavelengths), the
    # line shifted to z = 0.0858.
    header = fits.getheader(MUSE, "DATA")
    pixel = np.arange(1, header["NAXIS3"] + 1)
    air = header["CRVAL3"] + header["CD3_3"] * (pixel - header["CRPIX3"])  # Angstrom
    velocity = C_KM_S * (in_vacuum(air) / (in_vacuum(6562.8) * 1.0858) - 1.0)
    low, high, step = numbers(line_of(out, "velocity").split("optical")[0])
    np.testing.assert_allclose([low, high], [velocity.min(), velocity.max()], rtol=1e-5)
    np.testing.assert_allclose(step, np.median(np.diff(velocity)), rtol=1e-5)
    assert "(40, 40, 64)" in line_of(out, "HDU           DATA")
    axis = line_of(out, "spectral axis")
    assert axis.startswith("spectral axis AWAV (air wavelength), FITS axis 3")
    assert axis.endswith("64 channels")
    assert "1600 (40 x 40)" in line_of(out, "spectra ")
    assert "RA---TAN, DEC--TAN" in line_of(out, "spatial WCS")
    assert line_of(out, "noise").endswith("STAT (variance)")
    assert "erg" in line_of(out, "units")
    assert given_settings(out) == set()


@pytest.mark.parametrize(
    ("error", "noise", "celestial", "spatial_wcs"),
    [
        (None, "none in the file: it would be estimated from each spectrum", True, "RA---TAN"),
        (("ERR", "Jy"), "ERR (sigma)", False, "none (pixel axes)"),
        (("VAR", "Jy2"), "VAR (variance)", True, "RA---TAN, DEC--TAN"),
        (("IVAR", ""), "IVAR (inverse variance)", True, "RA---TAN, DEC--TAN"),
    ],
)
def test_info_on_a_synthetic_cube(capsys, tmp_path, error, noise, celestial, spatial_wcs):
    data = lines()
    kwargs = {}
    if error is not None:
        name, unit = error
        kwargs = dict(error=np.ones_like(data), error_name=name, error_header={"BUNIT": unit})
    path = write_cube(
        tmp_path / "c.fits", data, VOPT, header={"BUNIT": "Jy"}, celestial=celestial, **kwargs
    )
    status, out, _ = run(capsys, "info", path)
    assert status == 0
    assert "(4, 5, 41)" in line_of(out, "HDU           DATA")
    assert "VOPT (optical velocity), FITS axis 1, 41 channels" in line_of(out, "spectral axis")
    assert "-200 to 200 km/s, increasing, step 10 km/s" in line_of(out, "velocity")
    assert "20 (4 x 5)" in line_of(out, "spectra ")
    assert spatial_wcs in line_of(out, "spatial WCS")
    assert noise in line_of(out, "noise")
    assert "data Jy" in line_of(out, "units")


@pytest.mark.parametrize(
    ("options", "line_sigma", "guide"),
    [
        ("", "20", None),  # two channels of 10 km/s; the guide a fit would take by default
        ("--line-sigma 25 --guide 10", "25 *", "10 km/s for every spectrum"),
        ("--guide-map GUIDE", "20", "one per spectrum, from GUIDE"),
    ],
)
def test_info_shows_the_line_sigma_guide_and_observation(
    capsys, tmp_path, options, line_sigma, guide
):
    observation = {"BMAJ": 0.001, "OBJECT": "NGC 7"}
    path = write_cube(tmp_path / "c.fits", lines(), VOPT, header=observation)
    fits.PrimaryHDU(np.zeros(SPATIAL)).writeto(tmp_path / "guide.fits")
    words = [str(tmp_path / "guide.fits") if w == "GUIDE" else w for w in options.split()]
    status, out, _ = run(capsys, "info", path, *words)
    assert status == 0
    assert line_of(out, "  line_sigma ").split(maxsplit=1)[1] == line_sigma
    shown = line_of(out, "  guide ").split(maxsplit=1)[1]
    if guide is not None:
        assert shown == guide.replace("GUIDE", str(tmp_path / "guide.fits"))
    assert line_of(out, "observation").endswith("BMAJ 0.001 (3.6 arcsec), OBJECT NGC 7")


# --- fit -------------------------------------------------------------------------


def test_fit_writes_maps_of_the_known_lines_and_reports_them(capsys, tmp_path, cube):
    out_path = tmp_path / "maps.fits"
    status, out, _ = run(capsys, "fit", cube, "--out", out_path)
    assert status == 0
    fit = quillet.read_maps(out_path)
    expected_flags = np.zeros(SPATIAL, int)
    for where in MISSING:
        expected_flags[where] = 1
    np.testing.assert_array_equal(fit.flag, expected_flags)
    np.testing.assert_allclose(fit.centre[fit.success], CENTRES[fit.success], atol=1.5)
    np.testing.assert_allclose(fit.sigma[fit.success], 30.0, rtol=0.05)
    assert str(fit.unit) == "Jy"

    assert line_of(out, f"{cube}:").endswith("4 x 5 spectra of 41 channels, -200 to 200 km/s")
    assert line_of(out, "noise:") == "noise: ERR (sigma)"
    assert given_settings(out) == set()
    assert numbers(line_of(out, "0 success")) == [0, 18, 90.0]
    assert numbers(line_of(out, "1 no local maximum")) == [1, 2, 10.0]
    assert numbers(line_of(out, "2 no convergence")) == [2, 0, 0.0]
    assert re.fullmatch(
        r"fitted 20 spectra in [\d.e+-]+ s: [\d,]+ spectra/s", line_of(out, "fitted")
    )
    assert f"wrote {out_path}" in out.splitlines()


def test_settings_given_are_used_and_marked(capsys, tmp_path, cube):
    out_path = tmp_path / "maps.fits"
    given = {"npix": "4", "width_max": "80", "xtol": "1e-08", "max_iter": "500"}
    options = [a for name, value in given.items() for a in (f"--{name.replace('_', '-')}", value)]
    status, out, _ = run(capsys, "fit", cube, "--out", out_path, "--line-sigma", "25", *options)
    assert status == 0
    assert given_settings(out) == set(given)
    for name, value in given.items():
        assert line_of(out, f"  {name} ").split()[1] == value
    settings = quillet.read_maps(out_path).settings
    assert (settings.npix, settings.width_max, settings.xtol, settings.max_iter) == (
        4,
        80,
        1e-8,
        500,
    )
    assert settings.width_guess == 25.0  # derived from --line-sigma, not given


def test_noise_value_is_the_noise_of_every_pixel(capsys, tmp_path, cube):
    fits_of = {}
    for value in ("0.2", "0.8"):
        out_path = tmp_path / f"maps_{value}.fits"
        status, out, _ = run(capsys, "fit", cube, "--out", out_path, "--noise", value)
        assert status == 0
        assert line_of(out, "noise:") == f"noise: constant {value}"
        fits_of[value] = quillet.read_maps(out_path)
    low, high = fits_of["0.2"], fits_of["0.8"]
    assert high.provenance["noise"] == "constant 0.8"
    # The kernel scales its errors by the reduced chi-square, so one noise for
    # all moves that alone: by the square of the ratio.
    np.testing.assert_allclose(high.centre, low.centre, atol=1e-3)
    ratio = low.reduced_chi2 / high.reduced_chi2
    np.testing.assert_allclose(ratio[low.success], 16.0, rtol=1e-3)


def test_continuum_from_the_edges(capsys, tmp_path):
    path = write_cube(tmp_path / "c.fits", lines(continuum=5.0), VOPT)
    out_path = tmp_path / "maps.fits"
    status, _, _ = run(capsys, "fit", path, "--out", out_path, "--continuum", "edges")
    assert status == 0
    fit = quillet.read_maps(out_path)
    assert fit.success.all()
    np.testing.assert_allclose(fit.continuum, 5.0, atol=0.15)
    np.testing.assert_allclose(fit.amplitude, 10.0, rtol=0.05)


@pytest.mark.parametrize(("unit", "scale"), [(None, 1.0), ("km/s", 1.0), ("m/s", 1000.0)])
def test_guide_map_leads_each_fit_to_its_line(capsys, tmp_path, unit, scale):
    # Lines at -120 and +120 km/s, too far from 0 for a search of +-30 km/s.
    centres = np.where(np.arange(5) % 2 == 0, -120.0, 120.0) * np.ones(SPATIAL)
    data = line_cube(VELOCITY, SPATIAL, centre=centres).astype(np.float32)
    path = write_cube(tmp_path / "c.fits", data, VOPT)
    guide = fits.PrimaryHDU(centres * scale)
    if unit is not None:
        guide.header["BUNIT"] = unit
    guide.writeto(tmp_path / "guide.fits")
    narrow = ["--velocity-range", "30"]
    status, out, _ = run(capsys, "fit", path, "--out", tmp_path / "at0.fits", "--guide", "0",
                         *narrow)  # fmt: skip
    assert status == 0
    assert not quillet.read_maps(tmp_path / "at0.fits").success.any()
    # A run that found no line anywhere says what to try.
    assert "no line found in 20 of the 20 spectra with data: give --guide on the axis" in out
    out_path = tmp_path / "maps.fits"
    options = ["--guide-map", tmp_path / "guide.fits", *narrow]
    status, _, _ = run(capsys, "fit", path, "--out", out_path, *options)
    assert status == 0
    fit = quillet.read_maps(out_path)
    assert fit.success.all()
    np.testing.assert_allclose(fit.centre, centres, atol=1.5)


def test_quiet_prints_nothing(capsys, tmp_path, cube):
    status, out, err = run(capsys, "fit", cube, "--out", tmp_path / "m.fits", "--quiet")
    assert (status, out, err) == (0, "", "")
    assert (tmp_path / "m.fits").is_file()


def assert_png(path):
    assert path.read_bytes()[:8] == PNG_SIGNATURE


def worst_two(maps):
    """The names of the pictures of the two fits of highest reduced chi2."""
    chi2 = np.nan_to_num(quillet.read_maps(maps).reduced_chi2, nan=-np.inf)
    flat = np.argsort(-chi2.reshape(-1), kind="stable")[:2]
    return " ".join("fit_{}_{}".format(*np.unravel_index(i, SPATIAL)) for i in flat)


@pytest.mark.parametrize(
    ("options", "names"),
    [
        ("--diagnostics-of failed", ""),  # the only failures are the blank spectra
        ("--diagnostics-of all --diagnostics-max 3", "fit_0_0 fit_0_1 fit_0_2"),
        ("--diagnostics-of all --diagnostics-max 0", ""),
        ("--diagnostics-of all --diagnostics-max 25", "18 of the 20, every spectrum with data"),
        ("--diagnostics-of worst --diagnostics-max 2", worst_two),
        ("--diagnostics-of sample --diagnostics-max 5", "5 spectra with data, the same each run"),
    ],
)
def test_diagnostics(capsys, tmp_path, cube, options, names):
    pictures = {}
    for run_number in (1, 2):
        folder = tmp_path / f"diagnostics{run_number}"
        out_path = tmp_path / f"m{run_number}.fits"
        status, out, _ = run(
            capsys, "fit", cube, "--out", out_path, "--diagnostics", folder, *options.split()
        )
        assert status == 0
        pictures[run_number] = {p.name for p in folder.iterdir()}
        for name in pictures[run_number]:
            assert_png(folder / name)
        count = len(pictures[run_number])
        which = options.split()[1]
        assert (
            f"wrote {count} diagnostic picture{'' if count == 1 else 's'} ({which}) to {folder}; "
            "2 blank spectra (no finite pixel) drawn in none"
        ) in out
    assert pictures[1] == pictures[2]
    blank = {f"fit_{i}_{j}.png" for i, j in MISSING}
    assert not pictures[1] & blank
    if callable(names):
        names = names(tmp_path / "m1.fits")
    if names.split()[:1] and names.split()[0].isdigit():
        assert len(pictures[1]) == int(names.split()[0])
    else:
        assert pictures[1] == {f"{name}.png" for name in names.split()}


@pytest.mark.parametrize("spatial", [(), (7,), SPATIAL], ids=["one spectrum", "slit", "cube"])
def test_fit_and_plot_draw_the_maps(capsys, tmp_path, spatial):
    data = line_cube(VELOCITY, spatial).astype(np.float32)
    path = write_cube(tmp_path / "c.fits", data, VOPT, data_name=None if not spatial else "DATA")
    maps, picture = tmp_path / "m.fits", tmp_path / "m.png"
    status, out, _ = run(capsys, "fit", path, "--out", maps, "--plot", picture)
    assert status == 0
    assert f"wrote {picture}" in out.splitlines()
    assert_png(picture)
    again = tmp_path / "again.png"
    assert run(capsys, "plot", maps, "--out", again) == (0, f"wrote {again}\n", "")
    assert_png(again)


# --- mistakes: one line, status 2 ------------------------------------------------


def write_no_spectral_axis(path):
    write_cube(path, lines(), spectral_cards("LINEAR", 0.0, 1.0))


def write_tabulated(path, change):
    wavelength = 656.28 * (1.0 + VELOCITY / C_KM_S)
    change(wavelength)
    write_tabular_cube(path, lines(), wavelength, header={"RESTWAV": 656.28e-9})


def write_flat_axis(path):
    write_cube(path, lines(), spectral_cards("VOPT", 0.0, 0.0, cunit="km/s"))


def swap_two(wavelength):
    wavelength[[5, 6]] = wavelength[[6, 5]]


def one_nan(wavelength):
    wavelength[5] = np.nan


def write_all_nan(path):
    write_cube(path, np.full_like(lines(), np.nan), VOPT)


def write_side_files(folder):
    """Files a mistaken command may name: text.fits (not FITS), guide maps
    of the wrong shape (guide33.fits) and unit (guidejy.fits), FILE."""
    (folder / "text.fits").write_text("not a FITS file\n")
    (folder / "FILE").write_text("")
    for name, shape, unit in (("guide33", (3, 3), "km/s"), ("guidejy", SPATIAL, "Jy")):
        item = fits.PrimaryHDU(np.zeros(shape))
        item.header["BUNIT"] = unit
        item.writeto(folder / f"{name}.fits")


# Each case: the input (a file of the folder, written by the writer if one is
# given; CUBE is the shared cube), the words after the command and input,
# and what the message must say.
MISTAKES = {
    "missing input": ("absent.fits", None, "info", ["absent.fits: no such file"]),
    "not FITS": ("text.fits", None, "info", ["text.fits", "FITS"]),
    "missing HDU": ("CUBE", None, "info --hdu SCI", ["no HDU 'SCI'", "DATA"]),
    "missing error HDU": ("CUBE", None, "info --error-hdu VAR", ["no HDU 'VAR'"]),
    "no spectral axis": ("bad.fits", write_no_spectral_axis, "info", ["no spectral axis"]),
    "NaN axis": ("bad.fits", lambda p: write_tabulated(p, one_nan), "info", ["channel 5"]),
    "CDELT 0": ("bad.fits", write_flat_axis, "info", ["CDELT"]),
    "unsorted axis": ("bad.fits", lambda p: write_tabulated(p, swap_two), "info", ["monotonic"]),
    "all-NaN cube": ("bad.fits", write_all_nan, "fit --out m.fits", ["every pixel", "--hdu"]),
    "npix 0": ("CUBE", None, "fit --out m.fits --npix 0", ["npix must be positive"]),
    "max-iter 0": ("CUBE", None, "fit --out m.fits --max-iter 0", ["max_iter must be positive"]),
    "widths": ("CUBE", None, "fit --out m.fits --width-min 200", ["width_min, width_max"]),
    "line sigma": ("CUBE", None, "fit --out m.fits --line-sigma -3", ["--line-sigma", "positive"]),
    "noise word": ("CUBE", None, "fit --out m.fits --noise loud", ["--noise", "'loud'"]),
    "noise negative": ("CUBE", None, "fit --out m.fits --noise -1", ["--noise", "'-1'"]),
    "rest not spectral": ("CUBE", None, "info --rest-wavelength '3 kg'", ["not a wavelength"]),
    "redshift": ("CUBE", None, "info --redshift -2", ["redshift"]),
    "guide shape": ("CUBE", None, "fit --out m.fits --guide-map guide33.fits", ["(3, 3)"]),
    "guide unit": ("CUBE", None, "fit --out m.fits --guide-map guidejy.fits", ["'Jy'"]),
    "guide not FITS": ("CUBE", None, "fit --out m.fits --guide-map text.fits", ["text.fits"]),
    "maps not FITS": ("CUBE", None, "fit --out maps.png", ["--out", ".fits"]),
    "no folder": ("CUBE", None, "fit --out nowhere/m.fits", ["nowhere", "does not exist"]),
    "chunk rows": ("CUBE", None, "fit --out m.fits --chunk-rows 0", ["--chunk-rows"]),
    "no edges": (
        "CUBE",
        None,
        "fit --out m.fits --continuum edges --velocity-range 400",
        ["edges"],
    ),
    "diagnostics a file": ("CUBE", None, "fit --out m.fits --diagnostics FILE", ["not a folder"]),
    "plot of a cube": ("CUBE", None, "plot --out m.png", ["not a maps file"]),
}


@pytest.mark.parametrize(("name", "writer", "words", "fragments"), MISTAKES.values(), ids=MISTAKES)
def test_mistakes_end_with_one_line_and_status_2(
    capsys, tmp_path, cube, name, writer, words, fragments
):
    write_side_files(tmp_path)
    path = cube if name == "CUBE" else tmp_path / name
    if writer is not None:
        writer(path)
    command, *options = shlex.split(words)
    options = [tmp_path / w if w.endswith((".fits", ".png")) or w == "FILE" else w for w in options]
    before = set(tmp_path.iterdir())
    status, _, err = run(capsys, command, path, *options)
    assert status == 2
    assert_one_line_error(err, *fragments)
    assert set(tmp_path.iterdir()) == before  # no output, not even a temporary one


@pytest.mark.parametrize(
    ("words", "fragment"),
    [
        ("fit CUBE --out m.fits --npix many", "--npix"),
        ("fit CUBE --out m.fits --guide 1 --guide-map g.fits", "not allowed"),
        ("fit CUBE", "--out"),
        ("fit CUBE --out m.fits --sg-xpixels 3", "--sg-xpixels"),
        ("info", "CUBE.fits"),
        ("", "COMMAND"),
    ],
)
def test_usage_mistakes_are_one_line_too(capsys, cube, words, fragment):
    status, out, err = run(capsys, *(str(cube) if w == "CUBE" else w for w in words.split()))
    assert (status, out) == (2, "")
    assert_one_line_error(err, fragment, "--help")


@pytest.mark.parametrize(
    ("command", "existing"),
    [
        ("fit CUBE --out old.fits", "old.fits"),
        ("fit CUBE --out new.fits --plot old.png", "old.png"),
        (
            "fit CUBE --out new.fits --diagnostics DIR --diagnostics-of all --diagnostics-max 1",
            "DIR/fit_0_0.png",
        ),
        ("plot MAPS --out old.png", "old.png"),
    ],
    ids=["maps", "plot of fit", "diagnostics", "plot"],
)
def test_existing_outputs_are_kept_without_overwrite(capsys, tmp_path, cube, command, existing):
    maps = tmp_path / "maps.fits"
    assert main(["fit", str(cube), "--out", str(maps), "--quiet"]) == 0
    (tmp_path / "DIR").mkdir()
    old = tmp_path / existing
    old.write_bytes(b"an earlier output")
    names = {"CUBE": cube, "MAPS": maps, "DIR": tmp_path / "DIR"}
    args = [
        names.get(w, tmp_path / w if w.endswith((".fits", ".png")) else w) for w in command.split()
    ]
    status, _, err = run(capsys, *args)
    assert status == 2
    assert_one_line_error(err, "exists", "--overwrite")
    assert old.read_bytes() == b"an earlier output"
    assert not (tmp_path / "new.fits").exists()  # refused before the fit, not after it

    status, _, _ = run(capsys, *args, "--overwrite")
    assert status == 0
    assert old.read_bytes()[:8] in (b"SIMPLE  ", PNG_SIGNATURE)


# --- the command as the shell sees it ---------------------------------------------


def test_version_from_python_m():
    done = subprocess.run([*COMMAND, "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout == f"quillet {quillet.__version__}\n"


@pytest.mark.parametrize(
    ("words", "status"),
    [("info CUBE", 0), ("info ABSENT", 2), ("fit CUBE --out m.fits --npix many", 2)],
    ids=["done", "bad input", "usage"],
)
def test_exit_status_in_the_shell(tmp_path, cube, words, status):
    names = {"CUBE": str(cube), "ABSENT": str(tmp_path / "absent.fits")}
    args = [names.get(word, word) for word in words.split()]
    done = subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == status
    if status == 0:
        assert done.stderr == ""
        assert "spectral axis VOPT" in done.stdout
    else:
        assert_one_line_error(done.stderr)
    assert list(tmp_path.iterdir()) == []


def test_ctrl_c_ends_with_130_and_leaves_no_file(tmp_path):
    # 160,000 spectra in blocks of one: far longer than the test waits.
    velocity = np.arange(-75.0, 76.0, 10.0)
    data = line_cube(velocity, (400, 400), sigma=20.0).astype(np.float32)
    path = write_cube(
        tmp_path / "big.fits", data, spectral_cards("VOPT", -75.0, 10.0, cunit="km/s")
    )
    del data
    out_path = tmp_path / "maps.fits"
    process, seen = start_fit(path, "--out", out_path, "--chunk-rows", 1)
    try:
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 130
    text = (seen + err).decode()
    assert "Traceback" not in text
    messages = [m for m in re.split(r"[\r\n]+", text) if m.strip() and not m.startswith("fitting")]
    assert len(messages) == 1 and messages[0].startswith("quillet: interrupted"), messages
    assert b"wrote" not in out
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.fits"]

"""Line models placed on a cube by their rest values: the same maps for any
order of a multiplet, the line the peak search finds, lines off the axis or
given in another unit, spectra with no rest value, the table of common
lines, and models composed with bounds per component."""

from __future__ import annotations

import itertools
import re
import subprocess
import sys

import astropy.units as u
import numpy as np
import pytest
from fits_cubes import REAL_DATA, spectral_cards, write_cube

import quillet
from quillet.data.line_list import (
    KNOWN_LINES,
    NAME_TOLERANCE,
    air_to_vacuum,
    line_name,
    vacuum_to_air,
)
from quillet.data.line_models import C_KM_S, LineModel
from quillet.data.model_results import read_model_maps
from quillet.front.cube_fit import placed_model
from quillet.front.model_plots import plot_model_maps

# [N II] 6548, H-alpha, [N II] 6583 in air (Angstrom), and their amplitude
# ties: 6583 = 3.05 x 6548, H-alpha free.
AIR = {"[N II] 6548.05": 6548.05, "H-alpha 6562.80": 6562.80, "[N II] 6583.45": 6583.45}
RATIO = {"[N II] 6548.05": 1.0, "H-alpha 6562.80": None, "[N II] 6583.45": 3.05}
MAPS = ("amplitude", "centre", "sigma", "amplitude_error", "centre_error", "sigma_error",
        "baseline", "chi2", "flag", "window")  # fmt: skip


def triplet(order: tuple[str, ...], **bounds: object) -> LineModel:
    model = LineModel.lines([AIR[n] for n in order] * u.AA, baseline=0, **bounds)
    return model.with_amplitude_ratios([RATIO[n] for n in order])


@pytest.fixture(scope="module")
def synthetic(tmp_path_factory):
    """An air-wavelength cube of H-alpha and [N II] at a known velocity per
    spaxel (sigma 60 km/s), read at H-alpha's air rest wavelength."""
    rng = np.random.default_rng(4)
    truth = rng.uniform(-60.0, 60.0, (4, 5))
    wavelength = 6480.0 + 0.8 * np.arange(300)
    data = rng.normal(0.0, 1.0, (4, 5, wavelength.size))
    for name, amplitude in (("H-alpha 6562.80", 40.0), ("[N II] 6583.45", 15.0),
                            ("[N II] 6548.05", 15.0 / 3.05)):  # fmt: skip
        centre = AIR[name] * (1.0 + truth[..., None] / C_KM_S)
        data += amplitude * np.exp(-0.5 * ((wavelength - centre) / (centre * 60.0 / C_KM_S)) ** 2)
    path = write_cube(tmp_path_factory.mktemp("lines") / "halpha.fits", data,
                      spectral_cards("AWAV", 6480.0, 0.8, cunit="Angstrom"))  # fmt: skip
    return quillet.read_cube(path, rest_wavelength="6562.80 Angstrom"), truth


@pytest.fixture(scope="module")
def muse():
    return quillet.read_cube(
        REAL_DATA / "muse_a478_halpha.fits", rest_wavelength="6562.8 Angstrom", redshift=0.0858
    )


@pytest.mark.parametrize("which", ["synthetic", "muse"])
def test_every_order_of_a_multiplet_gives_the_same_maps_to_the_bit(request, which):
    given = request.getfixturevalue(which)
    cube = given[0] if which == "synthetic" else given
    options = {"noise": 1.0, "line_sigma": 60} if which == "synthetic" else {"line_sigma": 100}
    fits = [
        quillet.fit_cube(cube, model=triplet(order), **options)
        for order in itertools.permutations(AIR)
    ]
    first = fits[0]
    for fit in fits[1:]:
        assert fit.model == first.model
        for name in MAPS:
            assert getattr(fit, name).tobytes() == getattr(first, name).tobytes(), name
    assert first.model.names == tuple(AIR)  # blue to red
    assert first.model.names[first.model.reference] == "H-alpha 6562.80"
    ha = 1
    ok = first.success
    with np.errstate(invalid="ignore", divide="ignore"):
        strong = ok & (first.amplitude[ha] / first.amplitude_error[ha] >= 10)
    if which == "synthetic":
        truth = given[1]
        assert ok.all()
        # The model ties the lines at their offset at rest; a source at V
        # km/s puts [N II] 6583 a further 0.003 V away, a bias well below 0.3.
        assert np.all(np.abs(first.centre[ha] - truth) < 4 * first.centre_error[ha] + 0.3)
        assert np.all(np.abs(first.sigma[ha] - 60.0) < 4 * first.sigma_error[ha] + 0.3)
    else:
        # Listed with [N II] 6548 first, the old fit put "H-alpha" at +706 km/s
        # and found 177 spaxels of S/N > 10; H-alpha itself lies near 0.
        assert abs(np.median(first.centre[ha][ok])) < 30
        assert strong.sum() > 900
    # Tied lines share one velocity map, to the bit, and it is drawn once.
    assert first.centre[0].tobytes() == first.centre[1].tobytes() == first.centre[2].tobytes()
    figure = plot_model_maps(first)
    titles = [ax.get_title().replace("\n", " ") for ax in figure.axes]
    for what in ("velocity", "sigma"):
        drawn = [t for t in titles if t.startswith(f"{what}:")]
        assert drawn == [f"{what}: H-alpha 6562.80, [N II] 6548.05, [N II] 6583.45"]


@pytest.mark.parametrize(
    ("rest", "lines", "reference"),
    [
        ("6562.80 Angstrom", [6548.05, 6562.80, 6583.45] * u.AA, "H-alpha 6562.80"),
        # Rounded in a header: H-alpha still the nearest, 9 km/s off.
        ("6563.0 Angstrom", [6583.45, 6562.80] * u.AA, "H-alpha 6562.80"),
    ],
)
def test_the_peak_search_finds_the_line_nearest_the_rest_value(synthetic, rest, lines, reference):
    cube = quillet.read_cube(synthetic[0].provenance["input"], rest_wavelength=rest)
    placed = placed_model(cube, LineModel.lines(lines), cube.velocity)
    assert placed.names[placed.reference] == reference
    expected = C_KM_S * (6562.80 / float(rest.split()[0]) - 1.0)
    assert placed.line_velocity[placed.reference] == pytest.approx(expected, abs=1e-6)
    assert placed_model(cube, placed, cube.velocity) == placed  # placing again changes nothing


@pytest.mark.parametrize(
    ("model", "refusal"),
    [
        # The peak search would find H-alpha, which the model does not hold.
        (LineModel.lines([6548.05, 6583.45] * u.AA), "no line of the model lies within 500 "
         "km/s of the cube's rest value (6562.8 Angstrom in air); the nearest, [N II] 6548.05, "
         "is at -673.7"),
        (LineModel.hyperfine("HCN 1-0"), "the nearest, F=0-1 (88633.936 MHz), is at 1.5"),
        (LineModel.lines([6562.80, 9000] * u.AA), "the line 9000 Angstrom lies 111"),
    ],
)  # fmt: skip
def test_lines_the_cube_cannot_hold_are_refused_before_any_work(synthetic, model, refusal):
    cube = synthetic[0]
    with pytest.raises(ValueError, match=re.escape(refusal)):
        quillet.fit_cube(cube, model=model)


@pytest.mark.parametrize("redshift", [0.0, 0.01])
def test_a_frequency_among_air_wavelengths_lands_where_its_line_is(synthetic, redshift):
    # At redshift 0 an air cube's velocities are reckoned in air, else in
    # vacuum: H-alpha given by its frequency (c / vacuum wavelength) must
    # land on H-alpha either way; read as an air wavelength it would sit
    # 83 km/s off, and read in the axis's unit off the axis.
    cube = quillet.read_cube(
        synthetic[0].provenance["input"], rest_wavelength="6562.80 Angstrom", redshift=redshift
    )
    frequency = (air_to_vacuum(6562.80e-10) * u.m).to(u.THz, equivalencies=u.spectral())
    model = LineModel.lines([6583.45 * u.AA, frequency])
    placed = placed_model(cube, model, cube.velocity)
    assert placed.names == ("H-alpha 6564.61", "[N II] 6583.45")  # blue to red
    assert placed.line_velocity[0] == pytest.approx(0.0, abs=1e-6)
    assert placed.line_velocity[1] == pytest.approx(C_KM_S * (6583.45 / 6562.80 - 1), abs=0.01)


@pytest.mark.parametrize(
    ("model", "rest_value", "principal"),
    [
        (LineModel.hyperfine("HCN 1-0"), None, "F=2-1"),
        (LineModel.lines([6583.45, 6548.05] * u.AA, ratios=[3.05, 1.0]), None, "[N II] 6583.45"),
        (LineModel.lines([6548.05, 6583.45] * u.AA, ratios=[1.0, 3.05]), None, "[N II] 6583.45"),
        (LineModel.lines([6583.45, 6562.80] * u.AA), "6562.80 Angstrom", "H-alpha 6562.80"),
        (LineModel.lines([6583.45, 6562.80] * u.AA), None, "nothing says which of the lines"),
    ],
)
def test_spectra_with_no_rest_value_take_the_principal_line_at_zero(model, rest_value, principal):
    v = np.arange(-2000.0, 2000.0, 20.0)
    if principal.startswith("nothing"):
        with pytest.raises(ValueError, match=principal):
            placed_model(np.zeros((2, v.size)), model, v)
        return
    placed = placed_model(np.zeros((2, v.size)), model, v, rest_value)
    assert placed.names[placed.reference] == principal
    assert placed.line_velocity[placed.reference] == 0.0


def test_composed_models_renumber_ties_and_keep_the_higher_baseline():
    a = LineModel.lines([6583.45, 6548.05] * u.AA, ratios=[3.05, 1.0], baseline=0)
    b = LineModel.hyperfine("HCN 1-0") + LineModel.gaussian(baseline=2, sigma=(300, 3000))
    total = a + b
    assert total.components == 6 and total.baseline == 2
    assert len(total.fixed) == 3 * 6 + 3
    assert total.centre_ref == (-1, 0, -1, 2, 2, -1)
    assert total.amplitude_ref == (-1, 0, -1, 2, 2, -1)
    assert total.sigma_bounds[5] == (300.0, 3000.0) and total.sigma_bounds[0] == (-np.inf, np.inf)
    assert total.names[-1] == "line5"
    with pytest.raises(ValueError, match="at most 8 components"):
        LineModel.hyperfine("N2H+ 1-0") + LineModel.free(2)
    # Read back from a maps file's cards, whole.
    cards = dict(total.cards())
    assert LineModel.from_cards(cards.get) == total


def test_a_free_broad_component_beside_a_tied_multiplet_within_its_bounds():
    # Narrow H-alpha and [N II] (sigma 60 km/s) on a broad H-alpha (sigma
    # 700): impossible to build before models composed.
    rng = np.random.default_rng(9)
    v = np.arange(-4000.0, 4000.0, 20.0)
    lv = {n: C_KM_S * (AIR[n] / 6562.80 - 1.0) for n in AIR}
    narrow = sum(a * np.exp(-0.5 * ((v - lv[n] - 30.0) / 60.0) ** 2)
                 for n, a in zip(AIR, (12 / 3.05, 30.0, 12.0)))  # fmt: skip
    broad = 8.0 * np.exp(-0.5 * (v / 700.0) ** 2)
    spectra = narrow + broad + rng.normal(0.0, 1.0, (20, v.size))
    model = triplet(tuple(AIR), sigma=(20, 300)) + LineModel.gaussian(
        sigma=(300, 3000), name="broad"
    )
    fit = quillet.fit_cube(spectra, v, noise=1.0, model=model, rest_value="6562.80 Angstrom",
                           line_sigma=60, model_window_sigmas=12)  # fmt: skip
    assert fit.success.all()
    broad_k = fit.model.names.index("broad")
    assert np.median(fit.sigma[broad_k]) == pytest.approx(700, rel=0.15)
    assert np.median(fit.sigma[1]) == pytest.approx(60, rel=0.05)
    assert np.median(fit.centre[1]) == pytest.approx(30, abs=3)


@pytest.mark.parametrize(
    ("bounds", "attribute", "at"),
    [({"sigma": (10, 40)}, "sigma", 40.0), ({"velocity": (-500, -20)}, "centre", -20.0)],
)
def test_a_bound_holds_a_fit_whose_truth_lies_beyond_it(bounds, attribute, at):
    rng = np.random.default_rng(2)
    v = np.arange(-1000.0, 1000.0, 10.0)
    spectra = 20 * np.exp(-0.5 * (v / 60.0) ** 2) + rng.normal(0, 1, (5, v.size))
    fit = quillet.fit_cube(spectra, v, noise=1.0, model=LineModel.gaussian(0, **bounds),
                           line_sigma=60)  # fmt: skip
    assert fit.success.all()
    np.testing.assert_allclose(getattr(fit, attribute)[0], at, rtol=1e-6)


@pytest.mark.parametrize(
    ("model", "error", "words"),
    [
        (lambda: LineModel.gaussian(sigma="wide"), TypeError, "sigma= takes"),
        (lambda: LineModel.gaussian(sigma=(300,)), TypeError, "sigma= takes"),
        (lambda: LineModel.gaussian(sigma=(3000, 300)), ValueError, "lower end must lie below"),
        (lambda: LineModel.gaussian(sigma=(-10, -1)), ValueError, "a width is positive"),
        (lambda: LineModel.gaussian(velocity=(np.nan, 1)), ValueError, "must not hold NaN"),
        (lambda: LineModel.free(3, amplitude=[(0, 1)] * 5), ValueError, "holds 5 entries for 3"),
        (lambda: LineModel.hyperfine(3), TypeError, "takes a name of HYPERFINE"),
        (lambda: LineModel.lines([-1.0] * u.AA), ValueError, "positive and finite"),
        (lambda: LineModel(components=1, reference=2), ValueError, "reference must be"),
        (lambda: LineModel(components=1, convention="doppler"), ValueError, "convention must"),
    ],
)
def test_bad_arguments_are_refused_by_name(model, error, words):
    with pytest.raises(error, match=words):
        model()


@pytest.mark.parametrize(
    ("model", "words"),
    [
        (LineModel.gaussian(sigma=(300, 3000)), "outside the settings' widths"),
        (LineModel.lines([6562.80, 6583.45] * u.AA, velocity=[(-500, 0), (100, 500)]),
         re.escape("velocity bounds of H-alpha 6562.80, [N II] 6583.45 (tied together) leave")),
        (LineModel.gaussian(velocity=(5000, 6000)), "put it off the axis"),
    ],
)  # fmt: skip
def test_bounds_that_leave_no_room_are_refused_before_any_work(model, words):
    v = np.arange(-1000.0, 1000.0, 10.0)
    with pytest.raises(ValueError, match=words):
        quillet.fit_cube(np.zeros((2, v.size)), v, noise=1.0, model=model, rest_value="6562.8 AA",
                         width_max=250)  # fmt: skip


def test_the_line_table_agrees_with_the_refraction_of_air_and_names_lines_apart():
    for line in KNOWN_LINES:
        if line.air is not None:
            assert vacuum_to_air(line.vacuum * 1e-10) * 1e10 == pytest.approx(line.air, abs=0.02)
    every = [w for line in KNOWN_LINES for w in (line.vacuum, line.air) if w is not None]
    closest = min(abs(a / b - 1) for a, b in itertools.combinations(every, 2))
    assert closest > 5 * NAME_TOLERANCE
    assert line_name(6583.45, "Angstrom") == line_name(658.345, "nm") == "[N II] 6583.45"
    assert line_name(6585.27, "Angstrom") == "[N II] 6585.27"
    assert line_name(2796.35, "Angstrom") == "Mg II k 2796.35"
    assert line_name(6600.0, "Angstrom") is None and line_name(1.0, "GHz") is None


COMMAND = [sys.executable, "-m", "quillet", "fit", str(REAL_DATA / "muse_a478_halpha.fits"),
           "--rest-wavelength", "6562.8 Angstrom", "--redshift", "0.0858",
           "--line-sigma", "100"]  # fmt: skip


@pytest.mark.parametrize(
    ("args", "words"),
    [
        (["--model", "voigt"], "unknown term 'voigt'"),
        (["--model", "gaussian sigma=300"], "takes two ends LO,HI"),
        (["--model", "gaussian sigma=a,b"], "the ends must be numbers"),
        (["--model", "gaussian width=1,2"], "'width=1,2' in the gaussian term is not KEY=VALUE"),
        (["--lines", "6562.8 Angstrom", "--model", "lines + lines"], "one lines term at most"),
        (["--lines", "6562.8 Angstrom", "--model", "gaussian"], "add one to --model"),
        (["--model", "gaussian sigma=3000,9000"], "outside the settings' widths"),
        (["--lines", "6562.8,6583.45 s"], "is not a wavelength or frequency"),
    ],
)
def test_cli_model_grammar_mistakes_are_one_line(tmp_path, args, words):
    done = subprocess.run([*COMMAND, "--out", str(tmp_path / "m.fits"), *args],
                          capture_output=True, text=True, timeout=120)  # fmt: skip
    assert done.returncode == 2, done.stderr
    assert words in done.stderr and done.stderr.count("\n") == 1
    assert list(tmp_path.iterdir()) == []


def test_cli_fits_a_scrambled_multiplet_with_a_broad_component(tmp_path):
    out = tmp_path / "m.fits"
    args = ["--out", str(out), "--lines", "6583.45,6548.05,6562.80 Angstrom",
            "--ratios=3.05,1,-", "--baseline", "0", "--model",
            "lines sigma=20,300 velocity=-500,500 + gaussian sigma=300,3000 name=broad",
            ]  # fmt: skip
    done = subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "the peak search finds H-alpha 6562.80" in done.stdout
    assert "broad            sigma 300 to 3000" in done.stdout
    fit = read_model_maps(out)
    assert fit.model.names == (*AIR, "broad")
    ok = fit.success
    assert ok.sum() > 1000
    assert np.all((fit.sigma[3][ok] >= 300) & (fit.sigma[1][ok] <= 300))

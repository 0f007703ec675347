"""quillet.data.line_models: the presets' offsets and ties, the hyperfine tables,
the kernel's arguments, and fits through fit_model_rows."""

from __future__ import annotations

from types import SimpleNamespace

import astropy.units as u
import numpy as np
import pytest

from quillet.data.line_models import (
    C_KM_S,
    HYPERFINE,
    HyperfineTransition,
    LineModel,
    fit_model_rows,
    model_for,
)

# H-alpha and [N II] 6548, 6583 in air (Angstrom).
HALPHA_NII = [6562.80, 6548.05, 6583.45]


@pytest.mark.parametrize(
    "rest, unit",
    [(HALPHA_NII * u.AA, None), (HALPHA_NII, "Angstrom"), ([r / 10 for r in HALPHA_NII], "nm")],
)
def test_halpha_nii_offsets_from_air_wavelengths(rest, unit):
    model = LineModel.lines(rest, ratios=[1.0, 1 / 3, 1.0], unit=unit, baseline=1)
    assert model.centre_offset[0] == 0.0
    assert model.centre_offset[1] == pytest.approx(-675, abs=3)
    assert model.centre_offset[2] == pytest.approx(940, abs=5)
    assert model.centre_ref == (-1, 0, 0) and model.sigma_ref == (-1, 0, 0)
    assert model.amplitude_ref == (-1, 0, 0)
    assert model.amplitude_ratio == pytest.approx((1.0, 1 / 3, 1.0))
    assert model.parameter_count == 11


@pytest.mark.parametrize(
    "convention, expected",
    [
        ("optical", C_KM_S * (6583.45 / 6562.80 - 1)),
        ("radio", C_KM_S * (1 - 6562.80 / 6583.45)),
        ("relativistic", C_KM_S * ((6583.45 / 6562.80) ** 2 - 1) / ((6583.45 / 6562.80) ** 2 + 1)),
    ],
)
def test_offsets_follow_the_convention_whatever_the_rest_quantity(convention, expected):
    wavelengths = [6562.80, 6583.45] * u.AA
    frequencies = wavelengths.to(u.GHz, equivalencies=u.spectral())
    for rest in (wavelengths, frequencies):
        model = LineModel.lines(rest, convention=convention)
        assert model.centre_offset[1] == pytest.approx(expected, rel=1e-9)


def test_frequencies_default_to_radio_and_wavelengths_to_optical():
    f = [100.0, 100.01] * u.GHz
    assert LineModel.lines(f).centre_offset[1] == pytest.approx(C_KM_S * (1 - 100.01 / 100.0))
    lam = [5000.0, 5001.0] * u.AA
    assert LineModel.lines(lam).centre_offset[1] == pytest.approx(C_KM_S * 1 / 5000.0)


def test_independent_lines_keep_offsets_only_as_starts():
    model = LineModel.lines(HALPHA_NII * u.AA, shared_velocity=False, shared_width=False)
    assert model.tied().sum() == 0
    initial, lower, upper = model.starts(
        [10.0, -20.0], width_guess=50.0, width_range=(20.0, 200.0), centre_range=100.0
    )
    assert initial.shape == (2, 9)
    np.testing.assert_allclose(initial[:, 4], np.array([10.0, -20.0]) + model.centre_offset[1])
    np.testing.assert_allclose(upper[:, 7] - lower[:, 7], 200.0)


@pytest.mark.parametrize("name", sorted(HYPERFINE))
def test_hyperfine_tables_are_whole_and_tie_to_their_main_component(name):
    table = HYPERFINE[name]
    k = len(table.frequencies_mhz)
    assert len(table.strengths) == len(table.labels) == k
    assert sum(table.strengths) == pytest.approx(1.0, abs=1e-12)
    assert max(table.strengths) == table.strengths[0]
    model = LineModel.hyperfine(name)
    assert model.components == k
    assert model.tied().sum() == 3 * (k - 1)
    assert model.centre_offset == pytest.approx(table.offsets())
    ratios = np.array(table.strengths) / table.strengths[0]
    assert model.amplitude_ratio == pytest.approx(tuple(ratios))
    assert model.names == table.labels


def test_known_hyperfine_offsets():
    assert LineModel.hyperfine("HCN 1-0").centre_offset == pytest.approx(
        (0.0, 4.842, -7.065), abs=2e-3
    )
    n2hp = LineModel.hyperfine("N2H+ 1-0")
    assert n2hp.components == 7
    assert min(n2hp.centre_offset) == pytest.approx(-8.047, abs=2e-3)
    assert max(n2hp.centre_offset) == pytest.approx(7.046, abs=2e-3)


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda: LineModel.hyperfine("CO 1-0"), "unknown hyperfine transition"),
        (lambda: LineModel.lines([6562.8, 6583.4]), "rest values need a unit"),
        (lambda: LineModel.lines([1.0, 2.0] * u.s), "wavelengths or frequencies"),
        (lambda: LineModel.lines(HALPHA_NII * u.AA, ratios=[1, 2]), "ratios holds 2 values"),
        (lambda: LineModel.lines(HALPHA_NII * u.AA, ratios=[0, 1, 2]), "must not be 0"),
        (lambda: LineModel(components=9), "between 1 and 8"),
        (lambda: LineModel(components=2, baseline=3), "baseline must be None, 0, 1 or 2"),
        (lambda: LineModel(components=2, fixed=(True,)), "fixed holds 1 flags for 6"),
        (lambda: LineModel(components=2, sigma_ref=(-1,)), "a tie array holds 1 values"),
        (lambda: LineModel.free(3).with_amplitude_ratios([1, 2]), "ratios holds 2 values"),
        (lambda: LineModel.free(2).with_amplitude_ratios([1, 0]), "must be positive"),
        (lambda: LineModel.free(2).with_amplitude_ratios([1, float("nan")]), "must be positive"),
        (lambda: model_for("hyperfine"), "needs hyperfine=NAME"),
        (lambda: model_for("voigt"), "kind must be"),
    ],
)
def test_bad_models_are_refused(build, message):
    with pytest.raises(ValueError, match=message):
        build()


@pytest.mark.parametrize(
    "ratios, refs, values",
    [
        ([None, 1.0, 3.05], (-1, -1, 1), (1.0, 1.0, 3.05)),
        ([2.0, None, 1.0], (-1, -1, 0), (1.0, 1.0, 0.5)),
        ([None, None, 4.0], (-1, -1, -1), (1.0, 1.0, 1.0)),
    ],
)
def test_amplitude_ratios_tie_to_the_first_line_given_one(ratios, refs, values):
    """The multiplet the command line's --lines and --ratios make: named by
    the rest values, one velocity and width, and the amplitudes given a
    ratio tied to the first of them (a line given none stays free)."""
    model = model_for("lines", rest=HALPHA_NII * u.AA, amplitude_ratios=ratios, baseline=0)
    assert model.names == ("H-alpha 6562.80", "[N II] 6548.05", "[N II] 6583.45")
    assert model.centre_ref == (-1, 0, 0) and model.sigma_ref == (-1, 0, 0)
    assert model.amplitude_ref == refs
    assert model.amplitude_ratio == pytest.approx(values)
    assert model.baseline == 0


def test_kernel_arguments_and_names():
    model = LineModel(components=2, baseline=0, fixed=(False,) * 6 + (True,), sigma_ref=(-1, 0))
    arguments = model.kernel_arguments()
    assert arguments["ncomponents"] == 2 and arguments["baseline"] == 0
    assert arguments["fixed"].dtype == np.bool_ and arguments["fixed"].tolist()[-1]
    assert arguments["sigma_ref"].dtype == np.int32
    assert arguments["centre_offset"].dtype == np.float32
    assert model.parameter_names[-1] == "c0"
    assert model.parameter_names[:3] == ("amplitude_line0", "centre_line0", "sigma_line0")
    assert LineModel.gaussian().kernel_arguments()["baseline"] == -1


def synthetic_hyperfine(model, rows, rng, v):
    """Rows of the model's components (ratios and offsets as tied) with a
    known centre, width and main amplitude, and noise 0.05."""
    truth = np.column_stack(
        [rng.uniform(1.0, 2.0, rows), rng.uniform(-2.0, 2.0, rows), rng.uniform(0.3, 0.6, rows)]
    )
    spectra = np.zeros((rows, v.size))
    for k in range(model.components):
        amp = truth[:, 0:1] * model.amplitude_ratio[k]
        centre = truth[:, 1:2] + model.centre_offset[k]
        spectra += amp * np.exp(-0.5 * ((v[None] - centre) / truth[:, 2:3]) ** 2)
    spectra += rng.normal(0, 0.05, spectra.shape)
    return truth, spectra.astype(np.float32)


def test_n2hp_hyperfine_fit_recovers_its_truth():
    model = LineModel.hyperfine("N2H+ 1-0")
    rng = np.random.default_rng(3)
    v = np.arange(-20.0, 20.0, 0.1)
    rows = 30
    truth, spectra = synthetic_hyperfine(model, rows, rng, v)
    initial, lower, upper = model.starts(
        np.zeros(rows),
        amplitude=1.0,
        width_guess=0.5,
        width_range=(0.1, 2.0),
        centre_range=4.0,
        amplitude_range=(0.0, 5.0),
    )
    fit = fit_model_rows(
        spectra,
        v,
        np.full(spectra.shape, 0.05),
        np.tile([[0, v.size]], (rows, 1)),
        model,
        initial,
        lower,
        upper,
    )
    assert np.all(fit.flag == 0)
    assert np.all(fit.free_parameters == 3) and np.all(fit.samples == v.size)
    for j, name in enumerate(["amplitude_F1=2-1 F=3-2", "centre_F1=2-1 F=3-2"]):
        column = model.parameter_names.index(name)
        pull = (fit.params[:, column] - truth[:, j]) / fit.errors[:, column]
        assert np.all(np.abs(pull) < 5), name
    # The satellites follow: the isolated component at its offset and ratio.
    iso = 6
    np.testing.assert_allclose(
        fit.params[:, 3 * iso + 1], fit.params[:, 1] + model.centre_offset[iso], atol=1e-4
    )
    np.testing.assert_allclose(
        fit.params[:, 3 * iso], fit.params[:, 0] * model.amplitude_ratio[iso], rtol=1e-5
    )
    assert np.all(np.isfinite(fit.aic())) and np.all(fit.bic() > fit.chi2)


def test_starts_from_settings_and_a_gaussian_with_a_slope():
    settings = SimpleNamespace(
        width_min=2.0,
        width_max=60.0,
        width_guess=8.0,
        npix=10,
        dv=2.0,
        amplitude_rel_min=0.2,
        amplitude_rel_max=3.0,
    )
    model = LineModel.gaussian(baseline=1)
    v = np.arange(-100.0, 100.0, 2.0)
    rng = np.random.default_rng(8)
    spectra = 4.0 * np.exp(-0.5 * ((v - 5.0) / 7.0) ** 2) + 1.0 + 0.01 * v
    spectra = (spectra[None] + rng.normal(0, 0.1, (5, v.size))).astype(np.float32)
    initial, lower, upper = model.starts_from_settings(settings, np.full(5, 4.0), amplitude=4.0)
    assert lower[0, 0] == pytest.approx(0.8) and upper[0, 1] == pytest.approx(24.0)
    fit = fit_model_rows(
        spectra,
        v,
        np.full(spectra.shape, 0.1),
        np.tile([[0, v.size]], (5, 1)),
        model,
        initial,
        lower,
        upper,
    )
    assert np.all(fit.flag == 0)
    np.testing.assert_allclose(fit.parameter("c1"), 0.01, atol=5 * fit.errors[:, 4].max())
    np.testing.assert_allclose(fit.parameter("sigma_line0"), 7.0, atol=5 * fit.errors[:, 2].max())


def test_a_user_table_serves_as_well():
    table = HyperfineTransition(
        name="doublet",
        frequencies_mhz=(1000.0, 1000.01),
        strengths=(0.75, 0.25),
        labels=("a", "b"),
        source="test",
    )
    model = LineModel.hyperfine(table, baseline=0)
    assert model.amplitude_ratio == pytest.approx((1.0, 1 / 3))
    assert model.parameter_count == 7

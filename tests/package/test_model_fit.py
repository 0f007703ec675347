"""fit_cube with a line model: the MUSE cube as H-alpha + [N II] against
scipy's least squares on the same windows, the component count chosen by
the BIC, the same bits for every block size and on a Dask cluster, the
maps file read back, and the command line as the shell runs it."""

from __future__ import annotations

import dataclasses
import logging
import re
import subprocess
import sys
import warnings

import astropy.units as u
import dask.array as da
import numpy as np
import pytest
from astropy.io import fits
from fits_cubes import REAL_DATA, spectral_cards, write_cube
from scipy.optimize import least_squares

import quillet
from quillet.data.line_models import LineModel
from quillet.data.model_results import ModelFit, read_model_maps
from quillet.work.model_fit import MIN_DELTA_BIC, ModelSpec

MUSE = REAL_DATA / "muse_a478_halpha.fits"
REST = [6562.80, 6548.05, 6583.45] * u.AA  # H-alpha, [N II] 6548, 6583 in air
NII_RATIO = 3.05  # [N II] 6583 / 6548


def muse_model() -> LineModel:
    """One velocity, one width, [N II] 6583 = 3.05 x 6548, H-alpha free, a constant."""
    lines = LineModel.lines(REST, baseline=0, names=["Halpha", "NII6548", "NII6583"])
    return dataclasses.replace(lines, amplitude_ref=(-1, -1, 1), amplitude_ratio=(1, 1, NII_RATIO))


@pytest.fixture(scope="module")
def muse():
    cube = quillet.read_cube(MUSE, rest_wavelength="6562.8 Angstrom", redshift=0.0858)
    return cube, quillet.fit_cube(cube, model=muse_model(), line_sigma=100)


def test_muse_triplet_agrees_with_scipy_on_the_same_windows(muse):
    cube, fit = muse
    model = fit.model
    ha, n1, n2 = (model.names.index(n) for n in ("Halpha", "NII6548", "NII6583"))
    # Each map holds its own line's velocity; on the axis the lines sit at
    # their line velocities from it.
    offsets = np.asarray(model.line_velocity)[[ha, n1, n2]]
    velocity = cube.velocity
    with np.errstate(invalid="ignore", divide="ignore"):
        snr = fit.amplitude[ha] / fit.amplitude_error[ha]
    good = np.argwhere(fit.success & (snr >= 10))
    assert len(good) > 500
    worst = 0.0
    for y, x in good[::5]:
        spectrum = np.asarray(cube.data[y, x], np.float64)
        noise = np.asarray(cube.noise[y, x], np.float64)
        lo, hi = fit.window[y, x]
        v, d, s = velocity[lo:hi], spectrum[lo:hi], noise[lo:hi]
        keep = np.isfinite(d) & (s > 0)
        v, d, s = v[keep], d[keep], s[keep]

        def residual(p, v=v, d=d, s=s):
            a_ha, c, w, a_6548, c0 = p
            amps = (a_ha, a_6548, NII_RATIO * a_6548)
            m = sum(a * np.exp(-0.5 * ((v - c - o) / w) ** 2) for a, o in zip(amps, offsets))
            return (d - m - c0) / s

        ours = [fit.amplitude[ha, y, x], fit.centre[ha, y, x], fit.sigma[ha, y, x],
                fit.amplitude[n1, y, x], fit.baseline[0, y, x]]  # fmt: skip
        start = np.array(ours, np.float64) * [1.2, 1.0, 0.8, 1.2, 0.5] + [0, 30, 0, 0, 0]
        ref = least_squares(residual, start, method="lm", xtol=1e-12, ftol=1e-12).x
        errors = [fit.amplitude_error[ha, y, x], fit.centre_error[ha, y, x],
                  fit.sigma_error[ha, y, x], fit.amplitude_error[n1, y, x]]  # fmt: skip
        for ours_value, ref_value, error in zip(ours, ref, errors):
            if error > 0:
                worst = max(worst, abs(ours_value - ref_value) / error)
    assert worst < 0.05
    # One velocity (one map, to the bit), one width, the ratio held.
    ok = fit.success
    assert np.array_equal(fit.sigma[ha][ok], fit.sigma[n2][ok])
    np.testing.assert_allclose(fit.amplitude[n2][ok], NII_RATIO * fit.amplitude[n1][ok], rtol=1e-6)
    assert fit.centre[n1].tobytes() == fit.centre[ha].tobytes() == fit.centre[n2].tobytes()


def test_plain_gaussian_model_is_todays_fit_bit_for_bit(muse):
    cube, _ = muse
    today = quillet.fit_cube(cube, continuum="edges")
    again = quillet.fit_cube(cube, continuum="edges", model=LineModel.gaussian())
    assert type(again) is quillet.LineFit
    for name in ("amplitude", "centre", "sigma", "amplitude_error", "reduced_chi2", "flag"):
        assert getattr(today, name).tobytes() == getattr(again, name).tobytes()


def test_maps_file_round_trip_with_component_axis_and_wcs(tmp_path, muse):
    _, fit = muse
    path = fit.write_fits(tmp_path / "m.fits")
    with fits.open(path) as hdul:
        assert hdul["AMPLITUDE"].data.shape == (3, 40, 40)
        assert hdul["AMPLITUDE"].header["CTYPE3"] == "COMPONENT"
        assert hdul["AMPLITUDE"].header["CTYPE1"].startswith("RA")
    back = read_model_maps(path)
    assert back.model == fit.model
    for name in ("amplitude", "centre", "sigma", "baseline", "flag", "ncomponents", "window"):
        assert np.asarray(getattr(back, name)).tobytes() == np.asarray(getattr(fit, name)).tobytes()
    with pytest.raises(FileExistsError):
        fit.write_fits(path)
    dataset = fit.to_xarray()
    assert dataset["amplitude"].dims == ("component", "y", "x")
    # The lines in order of velocity, blue to red.
    assert dataset.attrs["component_names"].split("; ") == ["NII6548", "Halpha", "NII6583"]


def two_lines(snr: float, separation: float, count: int, seed: int) -> np.ndarray:
    """Spectra of two equal Gaussians (sigma 10 km/s, peak S/N ``snr`` at
    noise 1) ``separation`` sigmas apart; none when separation is 0."""
    rng = np.random.default_rng(seed)
    v = np.arange(-200.0, 200.0, 4.0)
    half = separation * 10.0 / 2
    clean = snr * np.exp(-0.5 * ((v + half) / 10.0) ** 2)
    if separation:
        clean = clean + snr * np.exp(-0.5 * ((v - half) / 10.0) ** 2)
    return (clean + rng.normal(0.0, 1.0, (count, v.size))).astype(np.float32), v


@pytest.mark.parametrize(
    ("separation", "snr", "expected", "rate"),
    [(0.0, 10.0, 1, 0.95), (4.0, 10.0, 2, 0.95), (3.0, 20.0, 2, 0.9)],
)
def test_auto_recovers_the_component_count(separation, snr, expected, rate):
    spectra, v = two_lines(snr, separation, 200, seed=7)
    fit = quillet.fit_cube(
        spectra, v, noise=1.0, model=LineModel.free(3), components="auto", line_sigma=10.0
    )
    assert np.mean(fit.ncomponents == expected) >= rate


def test_auto_keeps_a_component_only_for_the_margin():
    spectra, v = two_lines(8.0, 2.0, 100, seed=3)
    kept = quillet.fit_cube(spectra, v, noise=1.0, model=LineModel.free(2), components="auto")
    both = quillet.fit_cube(spectra, v, noise=1.0, model=LineModel.free(2), components=2)
    one = quillet.fit_cube(spectra, v, noise=1.0, model=LineModel.free(1), components=1)
    n = one.samples.astype(np.float64)
    gain = (one.chi2 + one.free_parameters * np.log(n)) - (
        both.chi2 + both.free_parameters * np.log(both.samples.astype(np.float64))
    )
    ok = both.success & one.success
    assert np.array_equal((kept.ncomponents == 2)[ok], (gain >= MIN_DELTA_BIC)[ok])


def test_same_bits_for_every_block_size_and_on_a_cluster():
    from distributed import Client, LocalCluster

    spectra, v = two_lines(12.0, 3.0, 60, seed=11)
    cube = spectra.reshape(6, 10, -1)
    model = LineModel.free(3, baseline=1)
    whole = quillet.fit_cube(cube, v, noise=1.0, model=model, components="auto")
    small = quillet.fit_cube(cube, v, noise=1.0, model=model, components="auto", chunk_rows=7)
    logging.getLogger("distributed").setLevel(logging.ERROR)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(n_workers=2, processes=True, host="127.0.0.1",
                               dashboard_address=None, threads_per_worker=1)  # fmt: skip
        with cluster, Client(cluster):
            lazy = quillet.fit_cube(
                da.from_array(cube, chunks=(2, 3, -1)), v, noise=1.0, model=model,
                components="auto",
            ).compute()  # fmt: skip
    for other in (small, lazy):
        for name in ("amplitude", "centre", "sigma", "baseline", "chi2", "ncomponents", "flag"):
            assert getattr(other, name).tobytes() == getattr(whole, name).tobytes(), name


def test_components_need_free_gaussians_which_are_built_up_one_at_a_time():
    with pytest.raises(ValueError, match="leave components unset"):
        ModelSpec(muse_model(), "auto")
    assert ModelSpec(LineModel.free(3)).counts == (1, 2, 3)
    assert ModelSpec(muse_model()).counts == (3,)
    spectra, v = two_lines(20.0, 4.0, 50, seed=2)
    fit = quillet.fit_cube(spectra, v, noise=1.0, model=LineModel.free(2))
    assert np.all(np.abs(np.sort(fit.centre, axis=0).T - [-20.0, 20.0]) < 3.0)


# --- the command line, as the shell runs it ---------------------------------------

COMMAND = [sys.executable, "-m", "quillet", "fit", str(MUSE), "--rest-wavelength",
           "6562.8 Angstrom", "--redshift", "0.0858", "--line-sigma", "100"]  # fmt: skip


def test_cli_fits_the_muse_triplet_as_the_library_does(tmp_path, muse):
    _, fit = muse
    out = tmp_path / "m.fits"
    args = ["--out", str(out), "--lines", "6562.80,6548.05,6583.45 Angstrom",
            "--ratios=-,1,3.05", "--baseline", "0", "--plot", str(tmp_path / "m.png")]  # fmt: skip
    done = subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "amplitude = 3.05 x [N II] 6548.05" in done.stdout
    assert "the peak search finds H-alpha 6562.80" in done.stdout
    assert f"3 {fit.component_counts()[3]:>31}" in done.stdout
    back = read_model_maps(out)
    assert back.amplitude.tobytes() == fit.amplitude.tobytes()
    assert (tmp_path / "m.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize(
    ("args", "words"),
    [
        (["--lines", "6562.8,6583.45"], "a unit"),
        (["--lines", "6562.8,6583.45 Angstrom", "--ratios", "1"], "one per line"),
        (["--hyperfine", "CO 1-0"], "is not known"),
        (["--lines", "6562.8,6583.45 Angstrom", "--components", "auto"], "--components"),
        (["--ratios", "1,2"], "give --lines too"),
        (["--components", "many"], "auto or 1 to 8"),
    ],
)
def test_cli_model_mistakes_are_one_line(tmp_path, args, words):
    done = subprocess.run(
        [*COMMAND, "--out", str(tmp_path / "m.fits"), *args],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 2
    assert words in done.stderr and done.stderr.count("\n") == 1
    assert "Traceback" not in done.stderr
    assert list(tmp_path.iterdir()) == []


def test_model_fit_is_a_model_fit(muse):
    assert isinstance(muse[1], ModelFit)


def test_plot_model_fit_draws_each_component_on_the_baseline(muse):
    from quillet.front.model_plots import plot_model_fit

    cube, fit = muse
    y, x = 20, 20
    figure = plot_model_fit(cube.data[y, x], cube.velocity, fit, (y, x))
    lines = {line.get_label(): line for line in figure.axes[0].get_lines()}
    assert {"baseline", "Halpha", "NII6548", "NII6583", "model"} <= set(lines)
    v = np.sort(cube.velocity)
    on_axis = fit.centre[:, y, x] + np.asarray(fit.model.line_velocity)
    expected = fit.baseline[0, y, x] + sum(
        fit.amplitude[k, y, x] * np.exp(-0.5 * ((v - on_axis[k]) / fit.sigma[k, y, x]) ** 2)
        for k in range(3)
    )
    np.testing.assert_allclose(lines["model"].get_ydata(), expected, rtol=1e-5)


def test_cli_hyperfine_and_auto_components_on_synthetic_cubes(tmp_path):
    """HCN 1-0 on a radio velocity axis, and two lines 4 sigmas apart with
    --components auto: the velocity found, and two components kept."""
    from quillet.data.line_models import HYPERFINE

    v = np.arange(-20.0, 20.0, 0.2)
    rng = np.random.default_rng(5)
    truth = rng.uniform(-1.0, 1.0, (4, 5))
    hcn = HYPERFINE["HCN 1-0"]
    clean = sum(
        10 * s * np.exp(-0.5 * ((v - truth[..., None] - o) / 0.5) ** 2)
        for s, o in zip(hcn.strengths, hcn.offsets())
    )
    cube = write_cube(tmp_path / "hcn.fits", clean + rng.normal(0, 0.1, clean.shape),
                      spectral_cards("VRAD", -20.0, 0.2, cunit="km/s"))  # fmt: skip
    done = subprocess.run(
        [sys.executable, "-m", "quillet", "fit", str(cube), "--out", str(tmp_path / "h.fits"),
         "--hyperfine", "HCN 1-0", "--line-sigma", "0.5", "--noise", "0.1"],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    fit = read_model_maps(tmp_path / "h.fits")
    assert np.all(np.abs(fit.centre[0] - truth) < 4 * fit.centre_error[0])

    two = np.exp(-0.5 * ((v + 2.0) / 1.0) ** 2) + np.exp(-0.5 * ((v - 2.0) / 1.0) ** 2)
    data = 20 * np.broadcast_to(two, (4, 5, v.size)) + rng.normal(0, 1.0, (4, 5, v.size))
    data[3, 4] = np.nan  # a blank spectrum: never drawn
    cube = write_cube(tmp_path / "two.fits", data, spectral_cards("VRAD", -20.0, 0.2, cunit="km/s"))
    pictures = tmp_path / "pictures"
    done = subprocess.run(
        [sys.executable, "-m", "quillet", "fit", str(cube), "--out", str(tmp_path / "t.fits"),
         "--components", "auto", "--line-sigma", "1", "--noise", "1",
         "--diagnostics", str(pictures), "--diagnostics-of", "worst", "--diagnostics-max", "30"],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert "components auto" in done.stdout
    fit = read_model_maps(tmp_path / "t.fits")
    kept = fit.ncomponents[np.isfinite(data[..., 0])]
    assert np.mean(kept == 2) >= 0.9
    # Every spectrum with data drawn, worst first; the blank one in none.
    drawn = sorted(p.name for p in pictures.iterdir())
    assert len(drawn) == 19 and "fit_3_4.png" not in drawn
    assert "wrote 19 diagnostic pictures (worst)" in done.stdout
    kept = fit.ncomponents
    assert re.search(r"^2 +" + str(int((kept == 2).sum())) + " ", done.stdout, re.MULTILINE)


def test_cli_on_a_local_cluster_gives_the_same_bits_and_plot_reads_the_file(tmp_path, muse):
    _, fit = muse
    out = tmp_path / "s.fits"
    args = ["--out", str(out), "--lines", "6562.80,6548.05,6583.45 Angstrom",
            "--ratios=-,1,3.05", "--baseline", "0", "--scheduler", "local:1", "--chunks", "400",
            "--quiet"]  # fmt: skip
    done = subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    back = quillet.read_model_maps(out)
    for name in ("amplitude", "centre", "sigma", "baseline", "chi2", "flag"):
        assert getattr(back, name).tobytes() == getattr(fit, name).tobytes(), name
    picture = tmp_path / "s.png"
    done = subprocess.run(
        [sys.executable, "-m", "quillet", "plot", str(out), "--out", str(picture)],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert picture.read_bytes()[:4] == b"\x89PNG"


def test_zarr_store_keeps_the_component_dimension(tmp_path, muse):
    import xarray

    _, fit = muse
    path = fit.write_zarr(tmp_path / "m.zarr")
    stored = xarray.open_zarr(path, consolidated=False)
    assert stored["centre"].dims == ("component", "y", "x")
    assert stored["centre"].values.tobytes() == fit.centre.tobytes()
    assert stored.attrs["quillet_model_components"] == 3
    assert stored["flag"].attrs["flag_meanings"].split()[3] == "too_few_samples"


@pytest.mark.parametrize("suffix", [".fits", ".zarr"])
def test_lazy_maps_are_written_block_by_block_with_the_bits_of_maps_in_memory(tmp_path, suffix):
    import dask
    import xarray

    spectra, v = two_lines(12.0, 3.0, 60, seed=5)
    cube = spectra.reshape(6, 10, -1)
    model = LineModel.free(2, baseline=1)
    whole = quillet.fit_cube(cube, v, noise=1.0, model=model, components="auto")
    with dask.config.set(scheduler="synchronous"):
        lazy = quillet.fit_cube(da.from_array(cube, chunks=(2, 5, -1)), v, noise=1.0,
                                model=model, components="auto")  # fmt: skip
        assert lazy.lazy and isinstance(lazy.to_xarray()["centre"].data, da.Array)
        written = getattr(lazy, f"write_{suffix[1:]}")(tmp_path / f"lazy{suffix}")
    eager = getattr(whole, f"write_{suffix[1:]}")(tmp_path / f"eager{suffix}")
    if suffix == ".fits":
        back, again = read_model_maps(written), read_model_maps(eager)
        with fits.open(written) as lazy_file, fits.open(eager) as eager_file:
            for lazy_hdu, eager_hdu in zip(lazy_file[1:], eager_file[1:], strict=True):
                assert lazy_hdu.data.tobytes() == eager_hdu.data.tobytes(), lazy_hdu.name
    else:
        back = xarray.open_zarr(written, consolidated=True)  # no metadata warning either
        again = xarray.open_zarr(eager, consolidated=True)
    for name in ("amplitude", "centre", "sigma", "baseline", "chi2", "ncomponents", "flag"):
        expected = np.asarray(getattr(whole, name)).tobytes()
        assert np.asarray(back[name] if suffix == ".zarr" else getattr(back, name)).tobytes() == (
            expected
        ), name
        assert np.asarray(again[name] if suffix == ".zarr" else getattr(again, name)).tobytes() == (
            expected
        ), name


def test_the_maps_of_one_spectrum_are_one_pixel_in_a_file(tmp_path):
    spectra, v = two_lines(20.0, 4.0, 1, seed=3)
    fit = quillet.fit_cube(spectra[0], v, noise=1.0, model=LineModel.free(2, baseline=0))
    back = read_model_maps(fit.write_fits(tmp_path / "one.fits"))
    assert back.shape == () and back.amplitude.shape == (2,)
    for name in ("amplitude", "baseline", "chi2", "samples", "flag", "window"):
        assert np.asarray(getattr(back, name)).tobytes() == np.asarray(getattr(fit, name)).tobytes()

"""_quillet_kernels.fit_lines_batch: the Gaussian batch's bits for one
component, agreement with scipy's least squares on tied multiplets with a
baseline, its input errors, and inputs left unwritten."""

from __future__ import annotations

import _quillet_kernels
import numpy as np
import pytest
from scipy.optimize import least_squares

import _quillet

F32 = np.float32
SETTINGS = dict(
    velocity_range=30.0,
    npix=8,
    npix_slack=2,
    width_min=3.125,
    sg_xpixels=129,
    amplitude_rel_min=0.2,
    amplitude_rel_max=3.0,
    width_max=100.0,
    width_guess=8.0,
)


def survey(rows, seed):
    rng = np.random.default_rng(seed)
    v = np.linspace(-200, 200, 129).astype(F32)
    amp = rng.uniform(2, 10, rows)
    mu = rng.uniform(-50, 50, rows)
    sig = rng.uniform(5, 20, rows)
    noise = rng.uniform(0.3, 0.8, (rows, 1)) * np.ones((1, 129))
    spectra = amp[:, None] * np.exp(-0.5 * ((v[None] - mu[:, None]) / sig[:, None]) ** 2)
    spectra = (spectra + rng.normal(0, 1, spectra.shape) * noise).astype(F32)
    return v, spectra, noise.astype(F32), mu.astype(F32)


def gaussian_batch_inputs(v, spectra, guides):
    """Each row's peak value, window start and bounds as the Gaussian batch
    forms them (the peak search over |v - guide| <= slack dv + range)."""
    dv = F32(v[1] - v[0])
    radius = F32(F32(SETTINGS["npix_slack"]) * dv) + F32(SETTINGS["velocity_range"])
    near = np.abs(v[None, :] - guides[:, None]) <= radius
    peak = np.argmax(np.where(near, spectra, -np.inf), axis=1)
    best = spectra[np.arange(len(guides)), peak]
    w = v[peak]
    hw = dv * F32(SETTINGS["npix"])
    n = len(guides)
    initial = np.stack([np.ones(n, F32), w, np.full(n, F32(SETTINGS["width_guess"]))], 1)
    lower = np.stack([np.full(n, F32(0.2)), w - hw, np.full(n, F32(SETTINGS["width_min"]))], 1)
    upper = np.stack([np.full(n, F32(3.0)), w + hw, np.full(n, F32(SETTINGS["width_max"]))], 1)
    return best, initial.astype(F32), lower.astype(F32), upper.astype(F32), dv


def test_one_component_gives_the_gaussian_batchs_bits():
    v, spectra, noise, guides = survey(3000, 1)
    best, initial, lower, upper, dv = gaussian_batch_inputs(v, spectra, guides)
    fits, windows = _quillet.fit_spectra_batch_guided(spectra, v, noise, guides, dv=dv, **SETTINGS)
    params, errors, stats = _quillet_kernels.fit_lines_batch(
        spectra, v, noise, windows, initial, lower, upper, 1, -1, scale=best
    )
    ok = fits[:, 7] == 0
    assert ok.sum() > 2900
    assert np.array_equal(stats[ok, 4], np.zeros(ok.sum(), F32))
    assert np.array_equal(params[ok].view(np.uint32), fits[ok, :3].view(np.uint32))
    assert np.array_equal(stats[ok, 1].view(np.uint32), fits[ok, 6].view(np.uint32))
    assert np.array_equal(stats[ok, 3], np.full(ok.sum(), 3, F32))
    # The errors differ: unscaled, from the solver's covariance at its last
    # Jacobian (0 for a parameter resting on a bound), against the Gaussian
    # fit's, scaled by sqrt(reduced chi2), at the solution from the full
    # normal matrix. Where no parameter rests on a bound they agree closely.
    inside = ok & np.all(errors > 0, axis=1)
    assert inside.sum() > 2500
    scaled = errors[inside] * np.sqrt(stats[inside, 1])[:, None]
    ratio = scaled / fits[inside, 3:6]
    assert np.percentile(np.abs(ratio - 1), 99) < 5e-3


OFFSETS = np.array([0.0, -673.79, 943.30], F32)


def triplet_model(p, v):
    ha, c, s = p[0], p[1], p[2]
    n2 = p[3]
    y = ha * np.exp(-0.5 * ((v - c) / s) ** 2)
    y += n2 / 3 * np.exp(-0.5 * ((v - c - OFFSETS[1]) / s) ** 2)
    y += n2 * np.exp(-0.5 * ((v - c - OFFSETS[2]) / s) ** 2)
    t = v - 0.5 * (v[0] + v[-1])
    return y + p[4] + p[5] * t


def test_tied_triplet_agrees_with_scipy_least_squares():
    v = np.arange(-1500, 1500, 20.0).astype(F32)
    rows = 40
    rng = np.random.default_rng(5)
    free_truth = np.column_stack(
        [
            rng.uniform(3, 8, rows),
            rng.uniform(-100, 100, rows),
            rng.uniform(60, 90, rows),
            rng.uniform(1, 4, rows),
            np.full(rows, 0.5),
            np.full(rows, 2e-4),
        ]
    )
    noise = np.full((rows, v.size), 0.2, F32)
    vd = v.astype(np.float64)
    spectra = np.array([triplet_model(p, vd) for p in free_truth])
    spectra = (spectra + rng.normal(0, 0.2, spectra.shape)).astype(F32)
    windows = np.tile(np.array([[0, v.size]], np.int32), (rows, 1))
    p = 11
    initial = np.zeros((rows, p), F32)
    lower = np.full((rows, p), -np.inf, F32)
    upper = np.full((rows, p), np.inf, F32)
    initial[:, 0], lower[:, 0], upper[:, 0] = 4, 0, 20
    initial[:, 1], lower[:, 1], upper[:, 1] = 0, -300, 300
    initial[:, 2], lower[:, 2], upper[:, 2] = 50, 10, 300
    initial[:, 6], lower[:, 6], upper[:, 6] = 2, 0, 20
    params, errors, stats = _quillet_kernels.fit_lines_batch(
        spectra,
        v,
        noise,
        windows,
        initial,
        lower,
        upper,
        3,
        1,
        centre_ref=np.array([-1, 0, 0], np.int32),
        centre_offset=OFFSETS,
        amplitude_ref=np.array([-1, 2, -1], np.int32),
        amplitude_ratio=np.array([1, 1 / 3, 1], F32),
        sigma_ref=np.array([-1, 0, 0], np.int32),
    )
    assert np.all(stats[:, 4] == 0)
    assert np.all(stats[:, 3] == 6) and np.all(stats[:, 2] == v.size)
    # The tied parameters follow their references.
    np.testing.assert_allclose(params[:, 4], params[:, 1] + OFFSETS[1], atol=1e-3)
    np.testing.assert_array_equal(params[:, 5], params[:, 2])
    np.testing.assert_allclose(params[:, 3], params[:, 6] / 3, rtol=1e-6)
    for i in range(rows):

        def residuals(q, i=i):
            return (triplet_model(q, vd) - spectra[i]) / noise[i]

        start = [4, 0, 50, 2, 0, 0]
        ref = least_squares(
            residuals,
            start,
            bounds=([0, -300, 10, 0, -np.inf, -np.inf], [20, 300, 300, 20, np.inf, np.inf]),
            x_scale="jac",
            xtol=1e-12,
            ftol=1e-12,
        )
        ours = params[i, [0, 1, 2, 6, 9, 10]]
        ours_err = errors[i, [0, 1, 2, 6, 9, 10]]
        assert np.all(np.abs(ours - ref.x) <= 0.05 * ours_err), (i, ours, ref.x)
        jac = ref.jac
        ref_err = np.sqrt(np.diag(np.linalg.inv(jac.T @ jac)))
        np.testing.assert_allclose(ours_err, ref_err, rtol=2e-2)
        np.testing.assert_allclose(stats[i, 0], 2 * ref.cost, rtol=1e-4)


def valid_call():
    v = np.linspace(-50, 50, 41).astype(F32)
    spectra = np.exp(-0.5 * (v / 5) ** 2)[None].repeat(3, 0).astype(F32)
    arguments = dict(
        spectra=spectra,
        velocity=v,
        noise=np.full_like(spectra, 0.1),
        windows=np.tile(np.array([[5, 36]], np.int32), (3, 1)),
        initial=np.tile(np.array([[1, 0, 4, 1, 10, 4]], F32), (3, 1)),
        lower=np.tile(np.array([[0, -20, 1, 0, -10, 1]], F32), (3, 1)),
        upper=np.tile(np.array([[5, 20, 20, 5, 30, 20]], F32), (3, 1)),
        ncomponents=2,
        baseline=-1,
    )
    return arguments


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(ncomponents=9), ValueError, "ncomponents must be between 1 and 8"),
        (dict(baseline=3), ValueError, "baseline must be -1 (none), 0, 1 or 2"),
        (dict(sigma_ref=np.array([-1, 1], np.int32)), ValueError, "tied to itself"),
        (
            dict(sigma_ref=np.array([1, 0], np.int32)),
            ValueError,
            "ties are one level deep",
        ),
        (dict(baseline=0), ValueError, "initial, lower and upper must have shape"),
        (dict(scale=np.ones(2, F32)), ValueError, "scale length must match spectra rows"),
        (dict(xtol=0.0), ValueError, "xtol, ftol, gtol, and max_iter must be positive"),
        (dict(windows=np.zeros((3, 2), np.int64)), TypeError, "argument 'windows'"),
        (dict(fixed=np.zeros(6, F32)), TypeError, "bool or uint8"),
    ],
)
def test_bad_input_is_refused_with_its_message(change, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        _quillet_kernels.fit_lines_batch(**{**valid_call(), **change})


@pytest.mark.parametrize("row, column, value", [(1, 0, 6.0), (2, 4, 30.0)])
def test_bounds_out_of_order_are_refused(row, column, value):
    arguments = valid_call()
    arguments["lower"][row, column] = value
    with pytest.raises(ValueError, match="lower must be below upper"):
        _quillet_kernels.fit_lines_batch(**arguments)


def test_inputs_are_never_written_and_results_repeat():
    arguments = valid_call()
    before = {k: np.copy(a) for k, a in arguments.items() if isinstance(a, np.ndarray)}
    first = _quillet_kernels.fit_lines_batch(**arguments)
    second = _quillet_kernels.fit_lines_batch(**arguments)
    for k, a in before.items():
        assert np.array_equal(arguments[k], a), k
    for a, b in zip(first, second, strict=True):
        assert np.array_equal(a.view(np.uint32), b.view(np.uint32))
    assert np.all(first[2][:, 4] == 0)


THREADS_SCRIPT = """
import hashlib, json, sys
import numpy as np
import _quillet_kernels
sys.path.insert(0, sys.argv[1])
from test_fit_lines_batch import survey
v, spectra, noise, guides = survey(600, 9)
rows = len(guides)
initial = np.column_stack([np.full(rows, 5.0), guides, np.full(rows, 8.0), np.zeros(rows)])
lower = np.column_stack([np.zeros(rows), guides - 30, np.full(rows, 2.0), np.full(rows, -np.inf)])
upper = np.column_stack(
    [np.full(rows, 20.0), guides + 30, np.full(rows, 60.0), np.full(rows, np.inf)])
windows = np.tile(np.array([[20, 110]], np.int32), (rows, 1))
out = _quillet_kernels.fit_lines_batch(
    spectra, v, noise, windows, initial.astype(np.float32), lower.astype(np.float32),
    upper.astype(np.float32), 1, 0)
print(json.dumps([hashlib.sha256(a.tobytes()).hexdigest() for a in out]))
"""


def test_thread_count_changes_no_bit():
    from pathlib import Path

    from fresh_interpreter import run_json

    here = str(Path(__file__).parent)
    digests = [run_json(THREADS_SCRIPT, here, RAYON_NUM_THREADS=str(n)) for n in (1, 2, 3)]
    assert digests[0] == digests[1] == digests[2]


def test_long_windows_and_invalid_samples():
    """Windows beyond the stack buffers' 512 samples, with NaN intensities and
    zero noise left out of the fit: the quadratic baseline and line found."""
    rng = np.random.default_rng(4)
    v = np.linspace(-3000, 3000, 1200).astype(F32)
    rows = 8
    t = v - 0.5 * (v[0] + v[-1])
    clean = 4 * np.exp(-0.5 * ((v - 200) / 150) ** 2) + 1 + 2e-4 * t - 5e-8 * t * t
    spectra = (clean[None] + rng.normal(0, 0.1, (rows, v.size))).astype(F32)
    noise = np.full_like(spectra, 0.1)
    spectra[:, 100:110] = np.nan
    noise[:, 300:305] = 0.0
    windows = np.tile(np.array([[0, v.size]], np.int32), (rows, 1))
    initial = np.tile(np.array([[3, 0, 100, 0, 0, 0]], F32), (rows, 1))
    lower = np.tile(np.array([[0, -1000, 10, -np.inf, -np.inf, -np.inf]], F32), (rows, 1))
    upper = np.tile(np.array([[10, 1000, 1000, np.inf, np.inf, np.inf]], F32), (rows, 1))
    params, errors, stats = _quillet_kernels.fit_lines_batch(
        spectra, v, noise, windows, initial, lower, upper, 1, 2
    )
    assert np.all(stats[:, 4] == 0)
    assert np.all(stats[:, 2] == v.size - 15)
    truth = np.array([4, 200, 150, 1, 2e-4, -5e-8])
    pulls = (params - truth) / errors
    assert np.all(np.abs(pulls) < 5), pulls

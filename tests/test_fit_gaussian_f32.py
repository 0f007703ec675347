"""fit_gaussian_f32: its input checks in their order, a certified reference,
and agreement with an independent least-squares solver."""

from pathlib import Path

import numpy as np
import pytest
import reference_fit

import _quillet

NIST = Path(__file__).parent / "data" / "nist"
f32 = np.float32


def good_arguments():
    x = np.linspace(-5.0, 5.0, 41, dtype=f32)
    y = (3.0 * np.exp(-0.5 * ((x - 0.5) / 1.2) ** 2)).astype(f32)
    return dict(
        x=x,
        y=y,
        error=np.full_like(x, 0.1),
        initial=np.array([1.0, 0.0, 1.0], f32),
        lower_bounds=np.array([0.0, -5.0, 0.1], f32),
        upper_bounds=np.array([10.0, 5.0, 10.0], f32),
        xtol=1e-6,
        ftol=1e-6,
        gtol=1e-6,
        max_iter=200,
    )


def fit(**changes):
    return _quillet.fit_gaussian_f32(**{**good_arguments(), **changes})


EMPTY = np.zeros(0, f32)
TWO = np.ones(2, f32)
STRIDED = np.ones(82, f32)[::2]
NAN = float("nan")
INF = float("inf")

# Each case breaks the call in one or two ways; only the first check in order reports.
MESSAGE_CASES = [
    (dict(x=STRIDED), "x must be contiguous float32"),
    (dict(x=STRIDED, y=EMPTY, xtol=-1.0), "x must be contiguous float32"),
    (dict(y=STRIDED, error=STRIDED), "y must be contiguous float32"),
    (dict(error=STRIDED), "error must be contiguous float32"),
    (dict(initial=np.ones(6, f32)[::2]), "initial must be contiguous float32"),
    (dict(lower_bounds=np.ones(6, f32)[::2]), "lower_bounds must be contiguous float32"),
    (dict(upper_bounds=np.ones(6, f32)[::2], x=TWO), "upper_bounds must be contiguous float32"),
    (dict(y=np.ones(40, f32)), "x, y, and error must have the same length"),
    (dict(error=np.ones(42, f32), initial=TWO), "x, y, and error must have the same length"),
    (dict(x=EMPTY, y=EMPTY, error=EMPTY), "at least 3 samples are required"),
    (dict(x=TWO, y=TWO, error=TWO, initial=np.ones(4, f32)), "at least 3 samples are required"),
    (
        dict(initial=np.ones(4, f32)),
        "initial, lower_bounds, and upper_bounds must have exactly 3 elements",
    ),
    (
        dict(upper_bounds=EMPTY, xtol=NAN),
        "initial, lower_bounds, and upper_bounds must have exactly 3 elements",
    ),
    (dict(x=np.r_[np.ones(40, f32), f32(INF)]), "x and y values must be finite"),
    (
        dict(y=np.r_[f32(NAN), np.ones(40, f32)], error=np.zeros(41, f32)),
        "x and y values must be finite",
    ),
    (dict(error=np.r_[np.ones(40, f32), f32(0.0)]), "error values must be finite and positive"),
    (dict(error=np.r_[f32(-1.0), np.ones(40, f32)]), "error values must be finite and positive"),
    (dict(error=np.r_[f32(NAN), np.ones(40, f32)]), "error values must be finite and positive"),
    (dict(error=np.r_[f32(INF), np.ones(40, f32)]), "error values must be finite and positive"),
    (dict(initial=np.array([1.0, NAN, 1.0], f32)), "initial values must be finite"),
    (
        dict(initial=np.array([INF, 0, 1.0], f32), lower_bounds=TWO[:1]),
        "initial, lower_bounds, and upper_bounds must have exactly 3 elements",
    ),
    (
        dict(lower_bounds=np.array([0.0, -INF, 0.1], f32)),
        "lower_bounds and upper_bounds must be finite and increasing",
    ),
    (
        dict(upper_bounds=np.array([0.0, 5.0, 10.0], f32)),
        "lower_bounds and upper_bounds must be finite and increasing",
    ),
    (
        dict(lower_bounds=np.array([0.0, 5.0, 0.0], f32)),
        "lower_bounds and upper_bounds must be finite and increasing",
    ),
    (dict(lower_bounds=np.array([0.0, -5.0, 0.0], f32)), "sigma lower bound must be positive"),
    (
        dict(lower_bounds=np.array([0.0, -5.0, -1.0], f32), xtol=0.0),
        "sigma lower bound must be positive",
    ),
    (dict(xtol=INF, max_iter=0), "xtol, ftol, and gtol must be finite"),
    (dict(gtol=NAN), "xtol, ftol, and gtol must be finite"),
    (dict(ftol=1e300), "xtol, ftol, and gtol must be finite"),
    (dict(max_iter=0), "xtol, ftol, gtol, and max_iter must be positive"),
    (dict(max_iter=-5), "xtol, ftol, gtol, and max_iter must be positive"),
    (dict(xtol=1e-50), "xtol, ftol, gtol, and max_iter must be positive"),
    (dict(gtol=-1.0), "xtol, ftol, gtol, and max_iter must be positive"),
]


@pytest.mark.parametrize("changes, message", MESSAGE_CASES)
def test_first_failed_check_reports(changes, message):
    with pytest.raises(ValueError) as caught:
        fit(**changes)
    assert str(caught.value) == message


def test_positive_subnormal_errors_are_accepted():
    # Accepted, and fitted: weights of 1 / 1.4e-45 are large but finite in
    # double precision, so the fit converges to what the reference reading
    # gives, bit for bit (its chi-square is beyond float32: infinite).
    tiny = np.full(41, np.finfo(f32).smallest_subnormal, f32)
    result = fit(error=tiny)
    args = {**good_arguments(), "error": tiny}
    with np.errstate(over="ignore"):
        expected = reference_fit.fit_gaussian_f32(*args.values())
    assert result[7] == _quillet.FLAG_SUCCESS
    assert result.tobytes() == np.asarray(expected, f32).tobytes()


def read_nist(name):
    """Certified values, standard deviations, starts and data of a NIST StRD file."""
    lines = (NIST / name).read_text().splitlines()
    params = [line.split() for line in lines if line.strip().startswith("b") and "=" in line]
    starts = np.array([[float(p[2]), float(p[3])] for p in params]).T
    certified = np.array([float(p[4]) for p in params])
    stdev = np.array([float(p[5]) for p in params])
    first = next(i for i, line in enumerate(lines) if line.strip().startswith("Data:  y")) + 1
    data = np.array([[float(v) for v in line.split()] for line in lines[first:] if line.strip()])
    return certified, stdev, starts, data[:, 1], data[:, 0]


def fit_eckerle4(start):
    _, _, starts, x, y = read_nist("Eckerle4.dat")
    b1, b2, b3 = starts[start]
    return _quillet.fit_gaussian_f32(
        x.astype(f32),
        y.astype(f32),
        np.ones(len(x), f32),
        np.array([b1 / b2, b3, b2], f32),
        np.array([0.0, 300.0, 0.1], f32),
        np.array([10.0, 600.0, 100.0], f32),
        1e-10,
        1e-10,
        1e-10,
        1000,
    )


# NIST rates Eckerle4 of higher difficulty: unbounded solvers often stall from
# start 1 (sigma 10 at centre 500, far from the peak at 451.5). The finite
# bounds keep the step inside a sensible box, and both starts reach the
# certified values.
@pytest.mark.parametrize("start", [0, 1])
def test_eckerle4_reaches_certified_values(start):
    certified, stdev, _, x, _ = read_nist("Eckerle4.dat")
    b1, b2, b3 = certified
    result = fit_eckerle4(start)
    assert result[7] == _quillet.FLAG_SUCCESS
    np.testing.assert_allclose(result[:3], [b1 / b2, b3, b2], rtol=2e-6)
    # The certified standard deviations are sqrt(RSS / (n - p)) times those of
    # the unit-weighted fit, which is exactly how the errors are scaled.
    np.testing.assert_allclose(result[4:6], stdev[[2, 1]], rtol=1e-4)
    rss = 1.4635887487e-03
    np.testing.assert_allclose(result[6], rss / (len(x) - 3), rtol=1e-5)


@pytest.mark.parametrize("seed", range(6))
def test_agrees_with_scipy_least_squares(seed):
    optimize = pytest.importorskip("scipy.optimize")
    rng = np.random.default_rng(seed)
    x = np.linspace(-10.0, 10.0, 60, dtype=f32)
    truth = np.array([rng.uniform(2, 8), rng.uniform(-3, 3), rng.uniform(0.8, 3.0)])
    error = rng.uniform(0.2, 0.6, x.size).astype(f32)
    y = (
        truth[0] * np.exp(-0.5 * ((x - truth[1]) / truth[2]) ** 2)
        + error * rng.standard_normal(x.size)
    ).astype(f32)
    lower = np.array([0.0, -8.0, 0.1], f32)
    upper = np.array([20.0, 8.0, 10.0], f32)
    result = _quillet.fit_gaussian_f32(
        x, y, error, np.array([1.0, 0.0, 1.0], f32), lower, upper, 1e-10, 1e-10, 1e-10, 2000
    )
    assert result[7] == _quillet.FLAG_SUCCESS

    xd, yd, ed = (v.astype(np.float64) for v in (x, y, error))

    def residuals(p):
        return (yd - p[0] * np.exp(-0.5 * ((xd - p[1]) / p[2]) ** 2)) / ed

    reference = optimize.least_squares(
        residuals, [1.0, 0.0, 1.0], bounds=(lower, upper), xtol=1e-14, ftol=1e-14, gtol=1e-14
    )
    np.testing.assert_allclose(result[:3], reference.x, rtol=1e-4, atol=1e-5)

    # Errors: the diagonal of the inverse normal matrix, scaled by the reduced chi-square.
    jac = reference.jac
    chi2 = float(np.sum(reference.fun**2))
    expected = np.sqrt(np.diag(np.linalg.inv(jac.T @ jac)) * chi2 / (x.size - 3))
    np.testing.assert_allclose(result[3:6], expected, rtol=2e-3)
    np.testing.assert_allclose(result[6], chi2 / (x.size - 3), rtol=1e-4)


def test_start_outside_bounds_is_moved_onto_the_bound():
    # Amplitude capped at 2 while the data want 3: the fit ends on the cap.
    result = fit(
        initial=np.array([10.0, 0.0, 1.0], f32), upper_bounds=np.array([2.0, 5.0, 10.0], f32)
    )
    assert result[7] == _quillet.FLAG_SUCCESS
    assert result[0] == f32(2.0)


def test_iteration_limit_gives_a_nan_row_not_an_error():
    result = fit(max_iter=1)
    assert result[7] == _quillet.FLAG_NO_CONVERGENCE
    assert (result[:7].view(np.uint32) == 0x7FC00000).all()


def test_three_samples_divide_chi_square_by_one():
    x = np.array([-1.0, 0.0, 1.5], f32)
    y = np.array([0.5, 1.1, 0.2], f32)
    result = fit(x=x, y=y, error=np.full(3, 0.1, f32))
    assert result[7] == _quillet.FLAG_SUCCESS
    model = result[0] * np.exp(-0.5 * ((x - result[1]) / result[2]) ** 2)
    np.testing.assert_allclose(result[6], np.sum(((y - model) / 0.1) ** 2), rtol=1e-3, atol=1e-6)

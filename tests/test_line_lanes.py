"""fit_lines_batch on every path: the bytes of every output of a few
thousand random rows of several models, in a process forced onto the scalar
path (QUILLET_LANES=scalar) and in processes on the default path (the
widest lanes here) and on each named one, with one thread and with two."""

import pytest
from fresh_interpreter import run_json

SCRIPT = r"""
import hashlib, json
import numpy as np
import _quillet_kernels

F32 = np.float32
INF = np.inf
rng = np.random.default_rng(2024)
ROWS, M = 2500, 160
v = np.linspace(-300.0, 300.0, M).astype(F32)

# name: (components, baseline, fixed parameters, ties as keyword arrays)
MODELS = {
    "gaussian_constant": (1, 0, [], {}),
    "two_free_slope": (2, 1, [], {}),
    "tied_triplet_slope": (3, 1, [], dict(
        centre_ref=[1, -1, 1], centre_offset=[-45.0, 0.0, 60.0],
        amplitude_ref=[2, -1, -1], amplitude_ratio=[1 / 3, 1.0, 1.0],
        sigma_ref=[1, -1, 1])),
    "one_fixed_sigma_parabola": (1, 2, [2, 5], {}),
    "four_fixed_centres": (4, 0, [1, 7], dict(sigma_ref=[-1, 0, 0, -1])),
    "six_shared_sigma": (6, -1, [], dict(sigma_ref=[-1, 0, 0, 0, 0, 0])),
    # No finite bound on any free parameter: the solver runs without limits.
    "unbounded_fixed_sigma_slope": (1, 1, [2], {}),
}

def batch(k, baseline, fixed, ties, seed, unbounded):
    r = np.random.default_rng(seed)
    p = 3 * k + baseline + 1
    centres = np.linspace(-150, 150, k)[None, :] + r.normal(0, 8, (ROWS, k))
    sigmas = r.uniform(6, 20, (ROWS, k))
    amps = r.uniform(0.5, 4, (ROWS, k))
    y = np.zeros((ROWS, M))
    for c in range(k):
        y += amps[:, c:c+1] * np.exp(-0.5 * ((v[None] - centres[:, c:c+1]) / sigmas[:, c:c+1]) ** 2)
    y += r.normal(0.2, 0.05, (ROWS, 1)) + r.normal(0, 1e-3, (ROWS, 1)) * v[None]
    noise = r.uniform(0.05, 0.3, (ROWS, 1)) * np.ones((1, M))
    y += r.normal(0, 1, y.shape) * noise
    # Hostile samples: NaN and infinite values, zero noise, all-NaN rows.
    y[r.random(y.shape) < 0.01] = np.nan
    y[r.random(y.shape) < 0.002] = np.inf
    noise[r.random(noise.shape) < 0.01] = 0.0
    y[r.random(ROWS) < 0.01] = np.nan
    lo = r.integers(0, 30, ROWS)
    hi = M - r.integers(0, 30, ROWS)
    short = r.random(ROWS) < 0.02
    hi[short] = lo[short] + r.integers(0, 6, short.sum())
    initial = np.zeros((ROWS, p)); lower = np.zeros((ROWS, p)); upper = np.zeros((ROWS, p))
    for c in range(k):
        initial[:, 3*c] = amps[:, c] * r.uniform(0.5, 1.5, ROWS)
        lower[:, 3*c] = 0.0
        upper[:, 3*c] = np.where(r.random(ROWS) < 0.5, 20.0, INF)
        initial[:, 3*c+1] = centres[:, c] + r.normal(0, 5, ROWS)
        lower[:, 3*c+1] = centres[:, c] - 30
        upper[:, 3*c+1] = centres[:, c] + 30
        initial[:, 3*c+2] = sigmas[:, c] * r.uniform(0.7, 1.4, ROWS)
        lower[:, 3*c+2] = 2.0
        upper[:, 3*c+2] = 60.0
    for b in range(3 * k, p):
        initial[:, b] = 0.0
        lower[:, b] = np.where(r.random(ROWS) < 0.5, -5.0, -INF)
        upper[:, b] = np.where(r.random(ROWS) < 0.5, 5.0, INF)
    # Starts outside their bounds and on them.
    out = r.random(ROWS) < 0.03
    initial[out, 1] = upper[out, 1] + 10
    on = r.random(ROWS) < 0.03
    initial[on, 2] = lower[on, 2]
    if unbounded:
        free = [q for q in range(p) if q not in fixed]
        lower[:, free] = -INF
        upper[:, free] = INF
    kwargs = {key: np.asarray(val, np.int32 if key.endswith("_ref") else F32)
              for key, val in ties.items()}
    if fixed:
        flags = np.zeros(p, np.uint8); flags[fixed] = 1; kwargs["fixed"] = flags
    windows = np.stack([lo, hi], 1).astype(np.int32)
    return _quillet_kernels.fit_lines_batch(
        y.astype(F32), v, noise.astype(F32), windows, initial.astype(F32),
        lower.astype(F32), upper.astype(F32), k, baseline,
        scale=r.uniform(0.5, 2, ROWS).astype(F32), xtol=1e-8, ftol=1e-8, gtol=1e-8, **kwargs)

result = {}
for seed, (name, (k, baseline, fixed, ties)) in enumerate(MODELS.items()):
    params, errors, stats = batch(k, baseline, fixed, ties, seed, name.startswith("unbounded"))
    digest = hashlib.sha256(params.tobytes() + errors.tobytes() + stats.tobytes()).hexdigest()
    flags = stats[:, 4]
    result[name] = [digest, float(np.mean(flags == 0)), sorted(set(flags.tolist()))]
print(json.dumps(result))
"""


@pytest.fixture(scope="module")
def scalar():
    return run_json(SCRIPT, QUILLET_LANES="scalar", RAYON_NUM_THREADS="2")


def test_the_rows_reach_their_outcomes(scalar):
    for name, (_, converged, flags) in scalar.items():
        assert converged > 0.8, name
        assert {0.0, 3.0} <= set(flags), name


@pytest.mark.parametrize("path", ["", "avx2", "avx512"])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_every_path_gives_the_scalar_bytes(scalar, path, threads):
    lanes = run_json(SCRIPT, QUILLET_LANES=path, RAYON_NUM_THREADS=threads)
    assert lanes == scalar

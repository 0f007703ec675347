"""Spectra per second of the line-model kernel, fit_lines_batch, on a
synthetic cube of 100,000 spectra of 512 channels.

    PYTHONPATH=build/dev/src/api:python python3 benchmarks/line_model_benchmarks.py

Every spectrum holds H-alpha and [N II] 6548, 6583 (6548 a third of 6583)
on a sloping continuum, on an axis of 512 channels from -2000 to +2000 km/s
(7.8 km/s each), with Gaussian noise; the centre, width and strengths vary
from spectrum to spectrum. Three models are fitted, each once over the whole
cube on the extension's worker pool (all cores unless RAYON_NUM_THREADS says
otherwise), after a warm-up on 1,000 rows:

- one Gaussian and a constant, over the 41 channels round H-alpha;
- two free Gaussians, H-alpha and [N II] 6583, over the 161 channels that
  hold both;
- the tied triplet (one velocity, one width, the 6548 : 6583 ratio) and a
  sloping baseline, over the 301 channels that hold all three.

Prints one line per model: spectra per second, and microseconds per spectrum
of wall-clock and of the process's processor time (summed over threads; on
a shared machine the wall clock also counts other work's share).

Then, in the same run, the same models on the first ``--peers`` rows (200
by default; they are slow) with the same windows, noise weights and
starting values, by two peers: astropy's compound model (Gaussian1D
components with ``tied`` centres, widths and ratio, plus Const1D or
Polynomial1D(1)) through its Dask cube fitter
``astropy.modeling.fitting.parallel_fit_dask`` (TRFLSQFitter, the window
given as its mask, synchronous scheduler: one core), and
``scipy.optimize.curve_fit`` spectrum by spectrum (one core). Each peer's
line gives its spectra/s, quillet's rate per core (its processor time per
spectrum) over the peer's, and the agreement on the rows both fitted: the
median and 95th percentile over rows of |quillet - peer| / quillet's error
for the first component's amplitude, centre and sigma.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings

import numpy as np

import _quillet_kernels
from quillet.data.line_models import LineModel

ROWS = 100_000
CHANNELS = 512
HALPHA_NII = [6562.80, 6548.05, 6583.45]  # Angstrom, air


def cube(rows: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The axis, spectra, noise and each row's H-alpha centre."""
    rng = np.random.default_rng(seed)
    v = np.linspace(-2000.0, 2000.0, CHANNELS).astype(np.float32)
    offsets = LineModel.lines(HALPHA_NII, unit="Angstrom").centre_offset
    centre = rng.uniform(-100.0, 100.0, rows).astype(np.float32)
    sigma = rng.uniform(40.0, 80.0, rows).astype(np.float32)
    halpha = rng.uniform(3.0, 10.0, rows).astype(np.float32)
    nii = rng.uniform(1.0, 4.0, rows).astype(np.float32)
    spectra = np.empty((rows, CHANNELS), np.float32)
    block = 10_000
    for start in range(0, rows, block):
        s = slice(start, start + block)
        z = [(v[None] - centre[s, None] - np.float32(o)) / sigma[s, None] for o in offsets]
        y = halpha[s, None] * np.exp(-0.5 * z[0] ** 2)
        y += nii[s, None] / 3 * np.exp(-0.5 * z[1] ** 2)
        y += nii[s, None] * np.exp(-0.5 * z[2] ** 2)
        y += 0.5 + 1e-4 * v[None]
        y += rng.normal(0.0, 0.3, y.shape)
        spectra[s] = y
    noise = np.full((rows, CHANNELS), 0.3, np.float32)
    return v, spectra, noise, centre


def windows_round(v: np.ndarray, at: np.ndarray, left: int, right: int) -> np.ndarray:
    """Channel windows [pixel(at) - left, pixel(at) + right + 1), cut to the axis."""
    pixel = np.searchsorted(v, at)
    lo = np.clip(pixel - left, 0, CHANNELS)
    hi = np.clip(pixel + right + 1, 0, CHANNELS)
    return np.ascontiguousarray(np.column_stack([lo, hi]), dtype=np.int32)


def cases(v: np.ndarray, centre: np.ndarray) -> list[tuple[str, LineModel, np.ndarray, tuple]]:
    rows = centre.size
    triplet = LineModel.lines(HALPHA_NII, ratios=None, unit="Angstrom", baseline=1)
    # [N II] 6548 follows 6583 at a third of its amplitude.
    triplet = LineModel(
        components=3,
        baseline=1,
        centre_ref=triplet.centre_ref,
        centre_offset=triplet.centre_offset,
        amplitude_ref=(-1, 2, -1),
        amplitude_ratio=(1.0, 1 / 3, 1.0),
        sigma_ref=triplet.sigma_ref,
    )
    two = LineModel(components=2, centre_offset=(0.0, triplet.centre_offset[2]))
    one = LineModel.gaussian(baseline=0)
    out = []
    for name, model, window in [
        ("gaussian + constant", one, windows_round(v, centre, 20, 20)),
        ("two free gaussians", two, windows_round(v, centre, 20, 140)),
        ("tied H-alpha + [N II] triplet, slope", triplet, windows_round(v, centre, 110, 190)),
    ]:
        starts = model.starts(
            centre,
            amplitude=np.full(rows, 5.0),
            width_guess=60.0,
            width_range=(10.0, 300.0),
            centre_range=150.0,
            amplitude_range=(0.0, 5.0),
        )
        out.append((name, model, window, starts))
    return out


def fit_rows(
    spectra: np.ndarray,
    v: np.ndarray,
    noise: np.ndarray,
    window: np.ndarray,
    initial: np.ndarray,
    lower: np.ndarray,
    upper: np.ndarray,
    arguments: dict[str, object],
    rows: int,
) -> np.ndarray:
    """The statistics of the first `rows` rows' fits."""
    _, _, stats = _quillet_kernels.fit_lines_batch(
        spectra[:rows],
        v,
        noise[:rows],
        window[:rows],
        initial[:rows],
        lower[:rows],
        upper[:rows],
        **arguments,  # type: ignore[arg-type]
    )
    return stats


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=ROWS)
    parser.add_argument("--peers", type=int, default=200, help="rows the peers fit")
    args = parser.parse_args()
    v, spectra, noise, centre = cube(args.rows)
    threads = os.environ.get("RAYON_NUM_THREADS", f"all {os.cpu_count()} cores")
    print(f"{args.rows} spectra of {CHANNELS} channels; pool: {threads}")
    for name, model, window, (initial, lower, upper) in cases(v, centre):
        arguments = model.kernel_arguments()
        fit_rows(spectra, v, noise, window, initial, lower, upper, arguments, 1000)
        began, cpu = time.perf_counter(), time.process_time()
        stats = fit_rows(spectra, v, noise, window, initial, lower, upper, arguments, args.rows)
        seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
        success = float(np.mean(stats[:, 4] == 0))
        print(
            f"{name:38s} {args.rows / seconds:9,.0f} spectra/s  "
            f"{1e6 * seconds / args.rows:7.1f} us/spectrum (cpu {1e6 * cpu / args.rows:6.1f})  "
            f"window {int(np.median(window[:, 1] - window[:, 0]))} channels, "
            f"{int(stats[0, 3])} free, success {100 * success:.1f} %"
        )
        if args.peers:
            peers(name, model, spectra, v, noise, window, (initial, lower, upper), cpu / args.rows,
                  args.peers)  # fmt: skip


def _model_values(model: LineModel, p: np.ndarray, v: np.ndarray, t0: float) -> np.ndarray:
    """The model at full parameters p (ties resolved by the caller)."""
    k = model.components
    out = np.zeros_like(v, dtype=np.float64)
    for c in range(k):
        a, m, s = p[3 * c : 3 * c + 3]
        out += a * np.exp(-0.5 * ((v - m) / s) ** 2)
    for j in range(model.baseline_terms):
        out += p[3 * k + j] * (v - t0) ** j
    return out


def _resolve(model: LineModel, free: np.ndarray, mask: np.ndarray, full: np.ndarray) -> np.ndarray:
    """Full parameters from the free ones, ties applied."""
    p = full.copy()
    p[mask] = free
    for c in range(model.components):
        if model.centre_ref[c] >= 0:
            p[3 * c + 1] = p[3 * model.centre_ref[c] + 1] + model.centre_offset[c]
        if model.amplitude_ref[c] >= 0:
            p[3 * c] = p[3 * model.amplitude_ref[c]] * model.amplitude_ratio[c]
        if model.sigma_ref[c] >= 0:
            p[3 * c + 2] = p[3 * model.sigma_ref[c] + 2]
    return p


def curve_fit_rows(model, spectra, v, noise, window, starts):  # type: ignore[no-untyped-def]
    from scipy.optimize import curve_fit

    initial, lower, upper = starts
    free = ~model.tied()
    out = np.full((spectra.shape[0], model.parameter_count), np.nan)
    for i in range(spectra.shape[0]):
        lo, hi = window[i]
        x = v[lo:hi].astype(np.float64)
        t0 = 0.5 * (x[0] + x[-1])
        full = initial[i].astype(np.float64)

        def f(x, *q, full=full, t0=t0):  # type: ignore[no-untyped-def]
            return _model_values(model, _resolve(model, np.array(q), free, full), x, t0)

        try:
            q, _ = curve_fit(
                f, x, spectra[i, lo:hi], p0=full[free],
                bounds=(lower[i][free], upper[i][free]), sigma=noise[i, lo:hi],
                absolute_sigma=True, maxfev=2000,
            )  # fmt: skip
        except RuntimeError:
            continue
        out[i] = _resolve(model, q, free, full)
    return out


def astropy_rows(model, spectra, v, noise, window, starts):  # type: ignore[no-untyped-def]
    from astropy.modeling import models
    from astropy.modeling.fitting import TRFLSQFitter, parallel_fit_dask

    initial = starts[0]
    k = model.components
    mean = np.median(initial, axis=0)
    parts = [
        models.Gaussian1D(mean[3 * c], mean[3 * c + 1], mean[3 * c + 2], bounds={
            "stddev": (10.0, 300.0), "amplitude": (0.0, None)})
        for c in range(k)
    ]  # fmt: skip
    if model.baseline == 0:
        parts.append(models.Const1D(0.5))
    elif model.baseline == 1:
        parts.append(models.Polynomial1D(1, c0=0.5, c1=0.0))
    compound = parts[0]
    for part in parts[1:]:
        compound = compound + part
    for c in range(k):
        if model.centre_ref[c] >= 0:
            ref, off = model.centre_ref[c], model.centre_offset[c]
            compound.tied[f"mean_{c}"] = lambda m, ref=ref, off=off: getattr(m, f"mean_{ref}") + off
        if model.sigma_ref[c] >= 0:
            ref = model.sigma_ref[c]
            compound.tied[f"stddev_{c}"] = lambda m, ref=ref: getattr(m, f"stddev_{ref}")
        if model.amplitude_ref[c] >= 0:
            ref, r = model.amplitude_ref[c], model.amplitude_ratio[c]
            compound.tied[f"amplitude_{c}"] = lambda m, ref=ref, r=r: (
                getattr(m, f"amplitude_{ref}") * r
            )
    channels = np.arange(v.size)
    mask = (channels[None] < window[:, :1]) | (channels[None] >= window[:, 1:])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fitted = parallel_fit_dask(
            model=compound, fitter=TRFLSQFitter(), data=spectra.astype(np.float64),
            weights=1.0 / noise.astype(np.float64), mask=mask, fitting_axes=1,
            world=(v.astype(np.float64),), scheduler="synchronous",
        )  # fmt: skip
    out = np.full((spectra.shape[0], model.parameter_count), np.nan)
    for c in range(k):
        out[:, 3 * c] = getattr(fitted, f"amplitude_{c}").value
        out[:, 3 * c + 1] = getattr(fitted, f"mean_{c}").value
        out[:, 3 * c + 2] = getattr(fitted, f"stddev_{c}").value
    return out


def peers(name, model, spectra, v, noise, window, starts, cpu_per_row, rows):  # type: ignore[no-untyped-def]
    arguments = model.kernel_arguments()
    sub = [a[:rows] for a in starts]
    params, errors, stats = _quillet_kernels.fit_lines_batch(
        spectra[:rows], v, noise[:rows], window[:rows], *sub, **arguments
    )
    ok = stats[:, 4] == 0
    for peer, run in (
        ("astropy parallel_fit_dask", astropy_rows),
        ("scipy curve_fit", curve_fit_rows),
    ):
        began = time.perf_counter()
        theirs = run(model, spectra[:rows], v, noise[:rows], window[:rows], sub)
        seconds = time.perf_counter() - began
        both = ok & np.all(np.isfinite(theirs[:, :3]), axis=1)
        pulls = np.abs(params[both, :3] - theirs[both, :3]) / errors[both, :3]
        median = np.nanmedian(pulls, axis=0)
        p95 = np.nanpercentile(pulls, 95, axis=0)
        ratio = (seconds / rows) / cpu_per_row
        print(
            f"  {peer:36s} {rows / seconds:9,.1f} spectra/s  quillet per core {ratio:,.0f}x; "
            f"|diff|/error a, c, s: median {median[0]:.2g} {median[1]:.2g} {median[2]:.2g}, "
            f"95th {p95[0]:.2g} {p95[1]:.2g} {p95[2]:.2g} ({int(both.sum())} rows)"
        )


if __name__ == "__main__":
    main()

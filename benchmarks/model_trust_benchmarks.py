"""What the window refits and the second start cost a line-model fit of a
cube: ``fit_cube`` with a tied triplet and a broad component on 100,000
spectra of 512 channels.

    PYTHONPATH=build/dev/src/api:python python3 benchmarks/model_trust_benchmarks.py

The cube is `line_model_benchmarks.cube`'s (H-alpha and [N II] 6548, 6583
on a sloping continuum, 7.8 km/s channels) with a broad H-alpha component
(sigma 300 to 700 km/s, a third to twice the narrow H-alpha's height) in
every other spectrum. The model: H-alpha and [N II] with one velocity, one
width, [N II] 6583 = 3 x 6548, a slope, and a free Gaussian of sigma 150 to
1500 km/s. Three runs of the whole cube on the extension's worker pool,
after a warm-up on 2,000 spectra:

- first start alone: ``adapt_window=False``, and the second start taken
  out (for this measurement only, by replacing the step with nothing);
- with the window refits (``adapt_window=True``), no second start;
- the default: window refits and second start.

Each prints spectra per second (wall), processor microseconds per
spectrum, the kernel's row fits per spectrum (first pass and every model
fit: what each step adds), and the good fits, how many took their second
start's result, and the median |sigma - truth| of the narrow and broad
components over the good fits. The lanes are the default path's (AVX2
here); ``QUILLET_LANES=scalar`` runs the scalar one.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import time
from collections.abc import Iterator

import astropy.units as u
import numpy as np
from line_model_benchmarks import CHANNELS, HALPHA_NII, cube

import quillet
import quillet.data.line_models as line_models
import quillet.work.model_fit as model_fit
from quillet.data.line_models import LineModel
from quillet.data.quality import Quality

ROWS = 100_000


def spectra_with_wings(rows: int, seed: int = 0) -> tuple[np.ndarray, ...]:
    v, spectra, noise, centre = cube(rows, seed)
    rng = np.random.default_rng(seed + 1)
    broad = rng.uniform(300.0, 700.0, rows).astype(np.float32)
    height = rng.uniform(1.0, 6.0, rows).astype(np.float32)
    height[::2] = 0.0
    block = 10_000
    for start in range(0, rows, block):
        s = slice(start, start + block)
        z = (v[None] - centre[s, None]) / broad[s, None]
        spectra[s] += height[s, None] * np.exp(-0.5 * z**2)
    return v, spectra, noise, broad, height


def model() -> LineModel:
    triplet = LineModel.lines(HALPHA_NII, unit="Angstrom", baseline=1)
    triplet = triplet.with_amplitude_ratios([None, 1.0, 3.0])
    return triplet + LineModel.gaussian(sigma=(150.0, 1500.0), name="broad")


@contextlib.contextmanager
def counted() -> Iterator[list[int]]:
    """Counts the rows every kernel call of the model path fits."""
    rows = [0]
    kernel = line_models.fit_model_rows
    gaussian = model_fit.GaussianFitter.results

    def fit_rows(spectra, *args, **kwargs):  # type: ignore[no-untyped-def]
        rows[0] += np.shape(spectra)[0]
        return kernel(spectra, *args, **kwargs)

    def first_pass(self, prepared, settings=None):  # type: ignore[no-untyped-def]
        rows[0] += prepared.spectra.shape[0]
        return gaussian(self, prepared, settings)

    model_fit.fit_model_rows = fit_rows  # type: ignore[assignment]
    model_fit.GaussianFitter.results = first_pass  # type: ignore[method-assign]
    try:
        yield rows
    finally:
        model_fit.fit_model_rows = kernel
        model_fit.GaussianFitter.results = gaussian  # type: ignore[method-assign]


@contextlib.contextmanager
def second_start(on: bool) -> Iterator[None]:
    step = model_fit._second_start
    if not on:
        model_fit._second_start = lambda block, fit: None  # type: ignore[assignment]
    try:
        yield
    finally:
        model_fit._second_start = step


def run(name: str, data: tuple[np.ndarray, ...], rows: int, adapt: bool, second: bool) -> None:
    v, spectra, noise, broad, height = data
    options = {"noise": noise[:rows], "model": model(), "rest_value": 6562.80 * u.AA,
               "line_sigma": 60.0, "adapt_window": adapt, "progress": False}  # fmt: skip
    with second_start(second), counted() as fitted:
        began, cpu = time.perf_counter(), time.process_time()
        fit = quillet.fit_cube(spectra[:rows], v, **options)
        seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
    good = np.asarray(fit.good)
    names = fit.model.names
    wide = names.index("broad")
    has_wings = height[:rows] > 0
    took = int(np.count_nonzero(np.asarray(fit.quality) & Quality.SECOND_START))
    wide_good = good & has_wings
    broad_error = np.median(np.abs(fit.sigma[wide][wide_good] - broad[:rows][wide_good]))
    print(
        f"{name:34s} {rows / seconds:8,.0f} spectra/s  cpu {1e6 * cpu / rows:6.1f} us/spectrum  "
        f"kernel row fits {fitted[0] / rows:4.2f} per spectrum; good {int(good.sum())} "
        f"({int(wide_good.sum())} with wings, broad sigma off by {broad_error:.1f} km/s median), "
        f"second start kept {took}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=ROWS)
    args = parser.parse_args()
    data = spectra_with_wings(args.rows)
    pool = os.environ.get("RAYON_NUM_THREADS", f"all {os.cpu_count()} cores")
    lanes = os.environ.get("QUILLET_LANES") or "default lanes"
    print(f"{args.rows} spectra of {CHANNELS} channels; pool: {pool}; {lanes}; "
          f"load {os.getloadavg()[0]:.1f}")  # fmt: skip
    run("warm-up", data, 2000, True, True)
    run("first start alone", data, args.rows, False, False)
    run("+ window refits", data, args.rows, True, False)
    run("+ second start (the default)", data, args.rows, True, True)
    print(f"load {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()

"""What fit_cube's default run costs beside the kernel's bare batch, and
what the neighbour refits cost within it.

On the bundled survey (100,000 spectra of 512 channels, laid out as a map
of 250 x 400 so that spectra have neighbours): one
`fit_spectra_batch_guided` call with the catalogue's guides and noise;
`fit_cube` with ``noise=None`` and every default (guides found from the
data, windows that follow the line, quality bits, neighbour refits); the
same without the refits; and the same without anything new (guides given,
fixed windows, no refits) for comparison. On a synthetic disc of 200 x 200
spectra of 121 channels whose guides start 10 % of the spectra in noise:
fit_cube with and without the refits. The contenders are timed in turn,
round by round, after one run each, and each keeps its best. Run once, on an otherwise idle
machine:

    PYTHONPATH=build/dev/src/api:python python3 benchmarks/default_run_benchmarks.py
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "demo"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from cube_benchmarks import alternate
from survey import FIT_SETTINGS, make_survey

import _quillet
import quillet

ROUNDS = 3
MAP = (250, 400)


def survey_runs() -> None:
    survey = make_survey(rows=MAP[0] * MAP[1])
    settings = quillet.LineSettings(**FIT_SETTINGS)
    spectra, axis, noise, guides = (
        survey.spectra, survey.dopp_slit, survey.spec_noise, survey.guide_velocities
    )  # fmt: skip
    cube = spectra.reshape(*MAP, spectra.shape[1])
    kwargs = settings.as_kwargs()

    def default(**options: object) -> Callable[[], object]:
        return lambda: quillet.fit_cube(cube, axis, settings=settings, progress=False, **options)

    contenders = {
        "kernel batch (catalogue guides, noise given)": lambda: _quillet.fit_spectra_batch_guided(
            spectra, axis, noise, guides, **kwargs
        ),
        "fit_cube, noise=None, every default": default(),
        "fit_cube, noise=None, no neighbour refits": default(refit_neighbours=False),
        "fit_cube, noise=None, guides given, fixed windows, no refits": default(
            guide=guides.reshape(MAP), adapt_window=False, refit_neighbours=False
        ),
    }
    best = alternate(contenders, ROUNDS)
    batch = best["kernel batch (catalogue guides, noise given)"]
    fit = quillet.fit_cube(cube, axis, settings=settings, progress=False)
    counts = fit.quality_counts()
    print(f"survey: {spectra.shape[0]} spectra of {spectra.shape[1]} channels as a {MAP} map")
    for name, seconds in best.items():
        print(f"  {name:62s} {seconds * 1e3:8.0f} ms  {seconds / batch:5.2f} x batch")
    refits = best["fit_cube, noise=None, every default"]
    refits -= best["fit_cube, noise=None, no neighbour refits"]
    print(f"  neighbour refits: {refits * 1e3:.0f} ms; refitted {counts['REFITTED']}, "
          f"good {int(fit.good.sum())} of {fit.good.size}")  # fmt: skip


def bad_start_runs() -> None:
    velocity = np.arange(-300.0, 300.01, 5.0)
    shape = (200, 200)
    y, x = np.mgrid[0 : shape[0], 0 : shape[1]]
    centre = 100.0 * np.tanh((x - 100.0) / 30.0) + 0.2 * y
    rng = np.random.default_rng(1)
    data = 10.0 * np.exp(-0.5 * ((velocity - centre[..., None]) / 10.0) ** 2)
    data = (data + rng.normal(0.0, 0.5, data.shape)).astype(np.float32)
    start = centre.copy()
    bad = rng.permutation(centre.size)[: centre.size // 10]
    start.reshape(-1)[bad] += 150.0

    def run(**options: object) -> Callable[[], object]:
        return lambda: quillet.fit_cube(
            data, velocity, noise=0.5, guide=start, line_sigma=10.0, progress=False, **options
        )

    best = alternate({"with refits": run(), "without refits": run(refit_neighbours=False)}, ROUNDS)
    fit = run()()
    print(f"disc: {centre.size} spectra of {velocity.size} channels, 10 % bad starts")
    for name, seconds in best.items():
        print(f"  fit_cube {name:53s} {seconds * 1e3:8.0f} ms")
    print(f"  refits: {best['with refits'] / best['without refits']:.2f} x the run without; "
          f"good {int(fit.good.sum())} of {fit.good.size}, refitted "
          f"{fit.quality_counts()['REFITTED']}")  # fmt: skip


def main() -> None:
    print(f"load before: {os.getloadavg()[0]:.2f}")
    survey_runs()
    bad_start_runs()
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()

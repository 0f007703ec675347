"""What guides from the data, windows that follow the line, quality bits,
moments and neighbour refits cost beside the kernel's batch.

On rows of the bundled survey (512 channels, catalogue guides): the batch
alone; the batch with adaptive windows and quality bits; the guides found
from the data; the moments. On a synthetic disc with 10 % bad starts: the
neighbour refits. Each figure is the best of a few rounds, the batch timed
in turn with the others. Run once, on an otherwise idle machine:

    PYTHONPATH=build/dev/src/api:python python3 benchmarks/trust_benchmarks.py
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import _quillet
from quillet import moments
from quillet.basics.settings import LineSettings
from quillet.data.guides import find_guides
from quillet.work.gaussian_fit import fit_and_judge
from quillet.work.neighbours import per_width, refit_from_neighbours

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "demo"))
from survey import FIT_SETTINGS, make_survey

ROWS = 20_000
ROUNDS = 3


def best(run: Callable[[], object]) -> float:
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    survey = make_survey(rows=ROWS)
    settings = LineSettings(**FIT_SETTINGS)
    spectra, axis, noise, guides = (
        survey.spectra, survey.dopp_slit, survey.spec_noise, survey.guide_velocities
    )  # fmt: skip
    kwargs = settings.as_kwargs()
    batch = best(lambda: _quillet.fit_spectra_batch_guided(spectra, axis, noise, guides, **kwargs))
    rows = [("kernel batch", batch)]
    rows.append(("batch + adaptive windows + quality bits",
                 best(lambda: fit_and_judge(spectra, axis, noise, guides, settings))))  # fmt: skip
    rows.append(("guides from the data (peak)", best(lambda: find_guides(
        spectra, axis, noise, line_sigma=settings.width_guess))))  # fmt: skip
    rows.append(("moments with errors", best(lambda: moments(spectra, axis, noise=noise))))
    print(f"{ROWS} survey spectra of {spectra.shape[1]} channels")
    for name, seconds in rows:
        print(f"  {name:45s} {seconds * 1e3:9.1f} ms  {seconds / batch:6.1f} x batch")

    # Neighbour refits on a disc with 10 % bad starts.
    velocity = np.arange(-300.0, 300.01, 5.0)
    v32 = velocity.astype(np.float32)
    disc = LineSettings.for_axis(velocity, line_sigma=10.0)
    shape = (200, 200)
    y, x = np.mgrid[0 : shape[0], 0 : shape[1]]
    centre = (100.0 * np.tanh((x - 100.0) / 30.0) + 0.2 * y).reshape(-1)
    rng = np.random.default_rng(1)
    data = 10.0 * np.exp(-0.5 * ((velocity - centre[:, None]) / 10.0) ** 2)
    data = np.ascontiguousarray(data + rng.normal(0, 0.5, data.shape), dtype=np.float32)
    level = np.full(data.shape, 0.5, np.float32)
    start = centre.astype(np.float32)
    bad = rng.permutation(centre.size)[: centre.size // 10]
    start[bad] += np.float32(150.0)
    first = fit_and_judge(data, v32, level, start, disc)

    def refit(indices: np.ndarray, g: np.ndarray, width: float) -> tuple[np.ndarray, ...]:
        return fit_and_judge(np.ascontiguousarray(data[indices]), v32,
                             np.ascontiguousarray(level[indices]), g,
                             disc.replace(width_guess=width))  # fmt: skip

    first_time = best(lambda: fit_and_judge(data, v32, level, start, disc))
    refits = best(
        lambda: refit_from_neighbours(*first, shape, per_width(refit), min_offset=disc.dv)
    )
    print(f"{centre.size} spectra of {velocity.size} channels, 10 % bad starts")
    print(f"  {'first pass (batch + windows + quality)':45s} {first_time * 1e3:9.1f} ms")
    print(f"  {'neighbour refits':45s} {refits * 1e3:9.1f} ms  "
          f"{refits / first_time:6.2f} x first pass")  # fmt: skip


if __name__ == "__main__":
    main()

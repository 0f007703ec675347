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
"""

from __future__ import annotations

import argparse
import os
import time

import _quillet_kernels
import numpy as np

from quillet.line_models import LineModel

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


if __name__ == "__main__":
    main()

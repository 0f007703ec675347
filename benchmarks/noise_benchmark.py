"""DER_SNR noise estimates: `_quillet_kernels.estimate_noise` against the
NumPy version it replaced (tests/reference_noise.py), on the bundled
survey's shape (100,000 spectra of 512 float32 channels, NaN pixels
included). Not part of the tests; run once on an otherwise idle machine:

    PYTHONPATH=build/dev/src/api:python python3 benchmarks/noise_benchmark.py

The two are timed in turn, round by round, and each keeps its best round,
so a burst of other work spoils one round rather than the ratio. The kernel
runs on the batch's worker pool (RAYON_NUM_THREADS sets its size).
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "demo"))
sys.path.insert(0, str(HERE.parent / "tests"))

from reference_noise import numpy_der_snr  # noqa: E402
from survey import make_survey  # noqa: E402

import _quillet_kernels  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000, help="spectra of the survey")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    spectra = make_survey(rows=args.rows).spectra
    contenders = {
        "estimate_noise (kernel)": lambda: _quillet_kernels.estimate_noise(spectra),
        "NumPy (sort per row)": lambda: numpy_der_snr(spectra),
    }
    kernel = contenders["estimate_noise (kernel)"]()
    if kernel.tobytes() != contenders["NumPy (sort per row)"]().tobytes():
        raise SystemExit("the kernel and NumPy disagree")
    best = dict.fromkeys(contenders, float("inf"))
    for _ in range(args.rounds):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)

    rows, columns = spectra.shape
    print(f"{rows:,} spectra of {columns} channels, best of {args.rounds} rounds")
    for name, seconds in best.items():
        print(f"{name:<26} {seconds * 1e3:9.1f} ms  {rows / seconds:14,.0f} spectra/s")
    ratio = best["NumPy (sort per row)"] / best["estimate_noise (kernel)"]
    print(f"kernel speed-up: {ratio:.1f}x")


if __name__ == "__main__":
    main()

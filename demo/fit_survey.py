"""Fit the bundled synthetic survey with one batch call and report how it went.

Prints the throughput, how many rows ended with each flag, and for the rows
whose line was found the distribution of (fit - truth) / error of centre,
sigma and amplitude: for honest errors these look like unit normals.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from survey import FIT_SETTINGS, make_survey

import _quillet


def robust_spread(values: np.ndarray) -> float:
    """Standard deviation estimated from the median absolute deviation."""
    return float(1.4826 * np.median(np.abs(values - np.median(values))))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=20261207)
    args = parser.parse_args()

    t0 = time.perf_counter()
    survey = make_survey(rows=args.rows, seed=args.seed)
    t1 = time.perf_counter()
    fits, _windows = _quillet.fit_spectra_batch_guided(
        survey.spectra,
        survey.dopp_slit,
        survey.spec_noise,
        survey.guide_velocities,
        **FIT_SETTINGS,
    )
    t2 = time.perf_counter()

    print(
        f"survey: {survey.rows} spectra x {survey.spectra.shape[1]} pixels "
        f"(generated in {t1 - t0:.1f} s)"
    )
    print(
        f"fit:    {t2 - t1:.3f} s, {survey.rows / (t2 - t1):,.0f} spectra per second "
        f"on {os.cpu_count()} logical processors"
    )
    flags = fits[:, 7]
    names = {
        _quillet.FLAG_SUCCESS: "FLAG_SUCCESS",
        _quillet.FLAG_NO_LOCAL_MAX: "FLAG_NO_LOCAL_MAX",
        _quillet.FLAG_NO_CONVERGENCE: "FLAG_NO_CONVERGENCE",
    }
    print("flags:")
    for value, name in names.items():
        print(f"  {name:<20} {int(np.count_nonzero(flags == value)):>8}")
    print(f"  rows without a line   {int(np.count_nonzero(~survey.has_line)):>8} (truth)")

    good = (flags == _quillet.FLAG_SUCCESS) & survey.has_line
    good &= (fits[:, 3] > 0) & (fits[:, 4] > 0) & (fits[:, 5] > 0)
    print(f"pulls (fit - truth) / error over {int(good.sum())} fitted lines with a true line:")
    print(f"  {'':<10} {'median':>8} {'spread':>8}")
    for label, col, truth in (
        ("centre", 1, survey.centre),
        ("sigma", 2, survey.sigma),
        ("amplitude", 0, survey.amplitude),
    ):
        pulls = (fits[good, col].astype(np.float64) - truth[good]) / fits[good, col + 3]
        print(f"  {label:<10} {np.median(pulls):>8.3f} {robust_spread(pulls):>8.3f}")


if __name__ == "__main__":
    main()

"""How often ``components="auto"`` recovers the true count of components.

Synthetic spectra of one Gaussian (separation 0) or two equal Gaussians
``separation`` sigmas apart, sigma 10 km/s on 4 km/s channels, peak S/N
against a noise of 1, a constant baseline of 0 fitted (``baseline=0``);
``LineModel.free(3)`` with ``components="auto"`` (BIC margin 10; 0
components, the baseline alone, among the choices). Prints a Markdown table
of the share of spectra given the true count, and the share given more than
the truth (false components); and, on noise alone, the share kept with no
line. A spectrum whose first pass finds no peak (flag 1) counts as given
none.

    PYTHONPATH=build/dev/src/api:python python3 benchmarks/model_recovery.py
"""

from __future__ import annotations

import numpy as np

import quillet
from quillet.data.line_models import LineModel

SNRS = (3.0, 5.0, 10.0, 20.0)
SEPARATIONS = (0.0, 1.0, 1.5, 2.0, 3.0, 4.0)
COUNT = 500


def spectra(snr: float, separation: float, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    v = np.arange(-200.0, 200.0, 4.0)
    half = separation * 10.0 / 2
    clean = snr * np.exp(-0.5 * ((v + half) / 10.0) ** 2)
    if separation:
        clean = clean + snr * np.exp(-0.5 * ((v - half) / 10.0) ** 2)
    return (clean + rng.normal(0.0, 1.0, (COUNT, v.size))).astype(np.float32), v


def main() -> None:
    header = "| S/N \\ separation (sigmas) | " + " | ".join(
        "one line" if s == 0 else f"{s:g}" for s in SEPARATIONS
    )
    print(header + " |")
    print("|" + "---|" * (len(SEPARATIONS) + 1))
    for snr in SNRS:
        cells = []
        for j, separation in enumerate(SEPARATIONS):
            data, v = spectra(snr, separation, seed=int(100 * snr) + j)
            fit = quillet.fit_cube(
                data, v, noise=1.0, model=LineModel.free(3, baseline=0), components="auto",
                line_sigma=10.0,
            )  # fmt: skip
            truth = 1 if separation == 0 else 2
            right = float(np.mean(fit.ncomponents == truth))
            extra = float(np.mean(fit.ncomponents > truth))
            cells.append(f"{100 * right:.0f} % ({100 * extra:.0f} %)")
        print(f"| {snr:g} | " + " | ".join(cells) + " |")
    data, v = spectra(0.0, 0.0, seed=7)
    fit = quillet.fit_cube(data, v, noise=1.0, model=LineModel.free(3, baseline=0),
                           components="auto", line_sigma=10.0)  # fmt: skip
    none = float(np.mean(fit.ncomponents == 0))
    print(f"\nnoise alone: {100 * none:.1f} % given no line, {int(fit.good.sum())} good")


if __name__ == "__main__":
    main()

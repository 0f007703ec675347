"""Measure the trust defaults on the three real sets and on synthetic cubes,
and write the tables of docs/trust_figures.md.

For each set, with no guide given: the guide found from the data (both
methods), the fit with windows that follow the line (and with the fixed
window beside it), the quality bits, and the neighbour refits; good fits
and each bit's count before and after the refits, and good fits against
the S/N threshold. Synthetic cubes have known lines, so there "right" counts
the good fits whose centre lies within max(3 errors, one channel) of the
truth. Run from the repository root:

    PYTHONPATH=build/dev/src/api:python python3 demo/trust_figures.py
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import astropy.units as u
import numpy as np
from astropy.constants import c

from quillet.basics.settings import LineSettings
from quillet.data.guides import find_guides
from quillet.data.quality import (
    DEFAULT_SNR_MIN,
    Quality,
    bit_counts,
    is_good,
    signal_to_noise,
)
from quillet.work.gaussian_fit import fit_and_judge
from quillet.work.neighbours import per_width, refit_from_neighbours
from quillet.work.windows import fit_rows_adaptive

ROOT = Path(__file__).resolve().parent.parent
# What lies above this line of docs/trust_figures.md is written by hand and kept.
MEASURED = "<!-- measured by demo/trust_figures.py; below this line it rewrites the file -->\n"
REAL = ROOT / "tests" / "data" / "real"
C_KM_S = c.to_value(u.km / u.s)


@dataclass
class Set:
    name: str
    rows: np.ndarray  # (N, M) float32, continuum taken off
    noise: np.ndarray  # (N, M) float32
    velocity: np.ndarray  # (M,) float64
    shape: tuple[int, int]
    line_sigma: float | None = None
    truth: np.ndarray | None = None  # (N,) true centre, NaN for no line


def _rows(cube: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(cube.reshape(-1, cube.shape[-1]), dtype=np.float32)


def _off_continuum(rows: np.ndarray) -> np.ndarray:
    """Each spectrum less its median: the line holds few of its channels."""
    with np.errstate(all="ignore"):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            level = np.nanmedian(rows, axis=1)
    return np.ascontiguousarray(rows - np.nan_to_num(level)[:, None], dtype=np.float32)


def real_sets() -> list[Set]:
    sets = []
    with np.load(REAL / "eis_fe12_192.npz") as npz:
        counts, wavelength = npz["intensity"], npz["wavelength"]
        rest = float(npz["rest_wavelength"])
    rows = _rows(counts)
    sets.append(
        Set("Hinode/EIS Fe XII 192 (120 x 25)", rows,
            np.sqrt(np.clip(rows, 1.0, None)).astype(np.float32),
            C_KM_S * (wavelength - rest) / rest, counts.shape[:2])
    )  # fmt: skip
    import quillet

    cube = quillet.read_cube(
        REAL / "muse_a478_halpha.fits", rest_wavelength="6562.8 Angstrom", redshift=0.0858
    )
    data = np.asarray(cube.data, dtype=np.float32)
    noise = np.asarray(cube.noise, dtype=np.float32)
    sets.append(
        Set("VLT/MUSE H-alpha, Abell 478 (40 x 40)", _off_continuum(_rows(data)), _rows(noise),
            np.asarray(cube.velocity, np.float64), data.shape[:2])
    )  # fmt: skip
    with np.load(REAL / "spice_c3_977.npz") as npz:
        intensity = np.moveaxis(npz["intensity"].astype(np.float32), 0, -1)
        uncertainty = np.moveaxis(npz["uncertainty"].astype(np.float32), 0, -1)
        mask = np.moveaxis(npz["mask"], 0, -1)
        wavelength = npz["wavelength"] * u.Unit(str(npz["wv_unit"]))
    velocity = wavelength.to_value(u.km / u.s, equivalencies=u.doppler_optical(977.03 * u.AA))
    intensity = np.where(mask, np.nan, intensity)
    sets.append(
        Set("Solar Orbiter/SPICE C III 977 (20 x 30)", _off_continuum(_rows(intensity)),
            _rows(uncertainty), np.asarray(velocity, np.float64), intensity.shape[:2])
    )  # fmt: skip
    return sets


def synthetic_sets() -> list[Set]:
    rng = np.random.default_rng(20261207)
    sets = []

    def cube(name, velocity, centre, sigma, amplitude, line_sigma):
        shape = centre.shape
        line = amplitude[..., None] * np.exp(
            -0.5 * ((velocity - centre[..., None]) / sigma[..., None]) ** 2
        )
        data = line + rng.normal(0.0, 1.0, line.shape)
        truth = np.where(amplitude > 0, centre, np.nan).reshape(-1)
        sets.append(
            Set(name, _rows(data), np.ones((data[..., 0].size, velocity.size), np.float32),
                velocity, shape, line_sigma, truth)
        )  # fmt: skip

    shape = (40, 40)
    v = np.arange(-300.0, 300.01, 5.0)
    centre, sigma = rng.uniform(-250, 250, shape), rng.uniform(8, 30, shape)
    amplitude = rng.uniform(2, 20, shape)
    cube("synthetic: lines anywhere on -300..300 km/s", v, centre, sigma, amplitude, 15.0)
    v = np.linspace(326.1, 789.4, 94)
    y, x = np.mgrid[0:40, 0:40]
    field = 560.0 + 150.0 * np.tanh((x - 20) / 8.0)
    amplitude = 12.0 * np.exp(-((x - 20) ** 2 + (y - 20) ** 2) / 300.0)
    cube("synthetic: rotating disc on 326..789 km/s", v, field,
         np.full(shape, 18.0), amplitude, 12.0)  # fmt: skip
    cube("synthetic: pure noise", np.arange(-300.0, 300.01, 5.0),
         np.zeros((20, 20)), np.full((20, 20), 10.0), np.zeros((20, 20)), 15.0)  # fmt: skip
    return sets


def settings_of(s: Set) -> LineSettings:
    return LineSettings.for_axis(s.velocity, line_sigma=s.line_sigma)


def line_sigma_of(s: Set, settings: LineSettings) -> float:
    return s.line_sigma if s.line_sigma is not None else 2.0 * settings.dv


@dataclass
class Outcome:
    fits: np.ndarray
    windows: np.ndarray
    quality: np.ndarray

    @property
    def good(self) -> np.ndarray:
        return is_good(self.fits[:, 7], self.quality)


def first_pass(s: Set, method: str, snr_min: float, rounds: int) -> Outcome:
    settings = settings_of(s)
    v32 = s.velocity.astype(np.float32)
    guides = find_guides(s.rows, s.velocity, s.noise, line_sigma=line_sigma_of(s, settings),
                         method=method)  # type: ignore[arg-type]  # fmt: skip
    fits, windows, quality = fit_and_judge(
        s.rows, v32, s.noise, guides, settings, snr_min=snr_min, max_rounds=rounds
    )
    return Outcome(fits, windows, quality)


def with_neighbours(s: Set, first: Outcome, snr_min: float, rounds: int) -> tuple[Outcome, int]:
    settings = settings_of(s)
    v32 = s.velocity.astype(np.float32)

    def refit(rows: np.ndarray, guides: np.ndarray, width: float):
        return fit_and_judge(
            np.ascontiguousarray(s.rows[rows]), v32, np.ascontiguousarray(s.noise[rows]), guides,
            settings.replace(width_guess=width), snr_min=snr_min, max_rounds=rounds,
        )  # fmt: skip

    done = refit_from_neighbours(
        first.fits, first.windows, first.quality, s.shape, per_width(refit), min_offset=settings.dv
    )
    return Outcome(done.fits, done.windows, done.quality), done.passes


def right(s: Set, o: Outcome) -> int:
    if s.truth is None:
        return -1
    dv = float(np.median(np.abs(np.diff(s.velocity))))
    tolerance = np.maximum(3.0 * o.fits[:, 4], dv)
    with np.errstate(invalid="ignore"):
        hit = np.abs(o.fits[:, 1] - s.truth) <= tolerance
    return int(np.count_nonzero(o.good & hit))


def flux_snr(fits: np.ndarray) -> np.ndarray:
    """Integrated flux / its error without the amplitude-sigma covariance."""
    with np.errstate(all="ignore"):
        relative = np.hypot(fits[:, 3] / fits[:, 0], fits[:, 5] / fits[:, 2])
        return np.asarray(1.0 / relative)


def table(rows: list[list[str]]) -> str:
    head, *body = rows
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in body]
    return "\n".join(lines)


def measure(s: Set, out: Callable[[str], None]) -> None:
    count = s.rows.shape[0]
    blank = int(np.count_nonzero(~np.isfinite(s.rows).any(axis=1)))
    out(f"\n### {s.name}\n")
    out(f"{count} spectra ({blank} blank), {s.rows.shape[1]} channels; "
        f"settings: {settings_of(s)}\n")  # fmt: skip
    rows = [["run", "success (flag 0)", "good", *([] if s.truth is None else ["good and right"])]]

    def line(label: str, o: Outcome) -> None:
        cells = [label, str(int(np.count_nonzero(o.fits[:, 7] == 0))), str(int(o.good.sum()))]
        rows.append(cells + ([] if s.truth is None else [str(right(s, o))]))

    outcomes = {}
    for method in ("peak", "moment"):
        for rounds in (0, 3):
            o = first_pass(s, method, DEFAULT_SNR_MIN, rounds)
            outcomes[(method, rounds)] = o
            window = "fixed window" if rounds == 0 else "adaptive window"
            line(f"guide {method}, {window}", o)
    first = outcomes[("peak", 3)]
    after, passes = with_neighbours(s, first, DEFAULT_SNR_MIN, 3)
    line(f"guide peak, adaptive window, neighbour refits ({passes} passes)", after)
    out(table(rows) + "\n")
    bits = [["bit", "before refits", "after refits"]]
    before_counts, after_counts = bit_counts(first.quality), bit_counts(after.quality)
    for bit in Quality:
        name = str(bit.name)
        bits.append([name.lower(), str(before_counts[name]), str(after_counts[name])])
    out("\n" + table(bits) + "\n")
    snr = signal_to_noise(first.fits)
    flux = flux_snr(first.fits)
    ok = first.fits[:, 7] == 0
    other = first.quality & np.uint16(~Quality.LOW_SNR & 0xFFFF)
    clean = ok & (other == 0)
    cut = [["snr_min", "good (amplitude S/N)", "good (flux S/N)"]]
    if s.truth is not None:
        cut[0].append("good and right (amplitude S/N)")
        dv = float(np.median(np.abs(np.diff(s.velocity))))
        with np.errstate(invalid="ignore"):
            hit = np.abs(first.fits[:, 1] - s.truth) <= np.maximum(3.0 * first.fits[:, 4], dv)
    for threshold in (2.0, 3.0, 4.0, 5.0):
        cut.append([f"{threshold:g}", str(int(np.count_nonzero(clean & (snr >= threshold)))),
                    str(int(np.count_nonzero(clean & (flux >= threshold))))])  # fmt: skip
        if s.truth is not None:
            cut[-1].append(str(int(np.count_nonzero(clean & (snr >= threshold) & hit))))
    disagree = int(np.count_nonzero(clean & ((snr >= 3.0) != (flux >= 3.0))))
    out("\n" + table(cut) + "\n")
    out(f"\nAt 3 the two S/N cuts disagree on {disagree} of {int(clean.sum())} fits "
        "with no other bit set.\n")  # fmt: skip
    settings = settings_of(s)
    guides = find_guides(s.rows, s.velocity, s.noise, line_sigma=line_sigma_of(s, settings))
    adapted = fit_rows_adaptive(s.rows, s.velocity.astype(np.float32), s.noise, guides, settings)
    rounds = np.bincount(adapted.rounds, minlength=4).tolist()
    out(f"\nRefit rounds of the adaptive windows (spectra with 0, 1, 2, 3 refits): {rounds}.\n")
    sigma = first.fits[ok, 2].astype(np.float64)
    # The kernel takes its settings as float32: a pinned sigma is the float32 bound.
    near = np.abs(sigma / np.float64(np.float32(settings.width_min)) - 1.0)
    out(f"\nsigma at width_min: {int(np.count_nonzero(near == 0))} to the bit, "
        f"{int(np.count_nonzero((near > 0) & (near <= 1e-4)))} more within 1e-4, "
        f"{int(np.count_nonzero((near > 1e-4) & (near <= 1e-2)))} more within 1e-2.\n")  # fmt: skip


def main() -> None:
    target = ROOT / "docs" / "trust_figures.md"
    parts: list[str] = []

    def out(text: str) -> None:
        parts.append(text)
        print(text, end="" if text.endswith("\n") else "\n")

    out("# Trust: figures\n\nWritten by `demo/trust_figures.py` (no guide given: the guide is "
        "found from the data; snr_min 4, the table of thresholds reading the same first pass; "
        "window_sigmas 3, max_rounds 3; continuum: each spectrum's median taken off for MUSE "
        "and SPICE).\n")  # fmt: skip
    out("\n## Real sets\n")
    for s in real_sets():
        measure(s, out)
    out("\n## Synthetic cubes\n")
    for s in synthetic_sets():
        measure(s, out)
    if "--write" in sys.argv:
        text = "".join(p if p.endswith("\n") else p + "\n" for p in parts)
        head = target.read_text().split(MEASURED)[0] if target.exists() else ""
        target.write_text(head + MEASURED + text.split("\n", 2)[2])


if __name__ == "__main__":
    main()

"""Quality bits: how far to trust each fit.

The kernel's flag says whether a fit ran to convergence; it does not say
whether what it found is a line. This module owns the ``quality`` bitmask
(uint16) beside the flag: each bit names one reason to doubt a fit (no
data, a parameter held on its bound, a centre on the window's edge, a low
S/N, a line wider than its window, a refit from neighbours; and for line
models, a component the count dropped and a better minimum found from a
second start), how the bits are computed from the kernel's outputs
(`quality_bits`; a line model's per component in
`quillet.data.model_quality`), what a good fit is (`is_good`), and how the
bits are described to other tools (CF attributes, FITS header cards).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..basics.settings import LineSettings

__all__ = [
    "BIT_DESCRIPTIONS",
    "BOUND_TOLERANCE",
    "DEFAULT_SNR_MIN",
    "DEFAULT_WINDOW_SIGMAS",
    "GOOD_MASK",
    "MODEL_BITS",
    "Quality",
    "RowLimits",
    "benign_names",
    "bit_counts",
    "cf_attributes",
    "fits_cards",
    "is_good",
    "quality_bits",
    "signal_to_noise",
]


class Quality(enum.IntFlag):
    """The bits of the quality map; 0 means nothing to doubt."""

    NO_DATA = 1
    WIDTH_AT_MIN = 2
    WIDTH_AT_MAX = 4
    AMPLITUDE_AT_BOUND = 8
    CENTRE_AT_EDGE = 16
    LOW_SNR = 32
    WIDER_THAN_WINDOW = 64
    REFITTED = 128
    # 256 and 512 are kept for bits of the noise and of velocity systems;
    # the next free value, 4096, for an optical depth at a bound.
    COMPONENT_DROPPED = 1024
    SECOND_START = 2048


#: One line per bit, for headers, help and tables: each fits a FITS
#: COMMENT card (72 characters) with the bit's value and name before it.
BIT_DESCRIPTIONS: dict[Quality, str] = {
    Quality.NO_DATA: "the spectrum has no finite pixel (blank)",
    Quality.WIDTH_AT_MIN: "sigma at its lower bound (width_min): unresolved",
    Quality.WIDTH_AT_MAX: "sigma at its upper bound (width_max)",
    Quality.AMPLITUDE_AT_BOUND: "amplitude at a bound (relative to the peak pixel)",
    Quality.CENTRE_AT_EDGE: "centre at the edge of the range the window allows",
    Quality.LOW_SNR: "amplitude / its error below snr_min",
    Quality.WIDER_THAN_WINDOW: "wider than its final window (window_sigmas)",
    Quality.REFITTED: "refitted from good neighbours' guide and width (benign)",
    Quality.COMPONENT_DROPPED: "component not kept by the count (no line kept)",
    Quality.SECOND_START: "a second start reached a lower chi-square (benign)",
}


@dataclass(frozen=True)
class RowLimits:
    """What each row's fit was held to, one value per row: the peak value
    the amplitude is relative to (NaN where no peak was accepted), the
    centre bounds (the peak's velocity ± npix·dv) and the width bounds."""

    peak_value: np.ndarray
    centre_low: np.ndarray
    centre_high: np.ndarray
    width_min: np.ndarray
    width_max: np.ndarray


#: Bits that do not make a fit less good: a refit from neighbours, and a
#: second start that found a lower minimum (the fit kept is the better one).
_BENIGN = Quality.REFITTED | Quality.SECOND_START

#: The bits only a line model's fit sets.
MODEL_BITS = Quality.COMPONENT_DROPPED | Quality.SECOND_START

#: The bits a good fit may have: a fit is good when it succeeded and
#: ``quality & ~GOOD_MASK`` is 0.
GOOD_MASK = int(_BENIGN)

#: Default S/N threshold; see `signal_to_noise` and docs/trust_figures.md.
DEFAULT_SNR_MIN = 4.0

#: Default half-width of a window in fitted sigmas (``window_sigmas``,
#: which WIDER_THAN_WINDOW reads): ±3 sigma holds 99.7 % of a Gaussian's
#: flux, what the fixed window aims at for the expected width.
DEFAULT_WINDOW_SIGMAS = 3.0

#: A parameter is "at" a bound when within this fraction of the bound's
#: scale of it. The solver holds a parameter that meets its bound exactly on
#: the bound (the float32 result is then the bound to the bit), and a free
#: parameter stops within about xtol (1e-6) relative of where the data put
#: it; 1e-4 takes in the pinned values with room for the float32 rounding of
#: the bound and of amplitude · peak, and leaves out every free fit that is
#: not within 0.01 % of its bound.
BOUND_TOLERANCE = 1e-4


def signal_to_noise(fits: np.ndarray) -> np.ndarray:
    """S/N of each fit: amplitude / amplitude error (NaN where the fit did
    not succeed; +inf for a perfect fit, whose error is 0).

    Why the amplitude's: it is what the kernel measures with its own error,
    and the alternative, the integrated flux over its error, needs the
    covariance of amplitude and sigma, which the kernel does not return
    (without it the flux error is overstated for every line, most for the
    narrow ones the width bound holds). On the real sets the two cuts agree
    on all but a few per cent of fits (docs/trust_figures.md)."""
    amplitude = fits[:, 0].astype(np.float64)
    error = fits[:, 3].astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        snr = np.where(error > 0.0, amplitude / error, np.where(amplitude > 0.0, np.inf, np.nan))
    return np.where(fits[:, 7] == 0.0, snr, np.nan)


def _at(values: np.ndarray, bound: Any, scale: Any) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        return np.asarray(np.abs(values - bound) <= BOUND_TOLERANCE * np.abs(scale))


def quality_bits(
    fits: np.ndarray,
    windows: np.ndarray,
    finite_count: np.ndarray,
    settings: LineSettings,
    snr_min: float = DEFAULT_SNR_MIN,
    *,
    limits: RowLimits,
    wider: np.ndarray | None = None,
    refitted: np.ndarray | None = None,
) -> np.ndarray:
    """The quality bits (uint16, one per row) of the kernel's results.

    ``fits`` (N, 8) and ``windows`` (N, 2) are the kernel's outputs;
    ``finite_count`` (N,) the number of finite pixels of each spectrum;
    ``limits`` the `RowLimits` each fit was held to (peak
    value, centre bounds, width bounds, per row); ``wider`` and
    ``refitted`` (N,) bool mark the rows whose line is wider than its
    window after the refits, and those refitted from neighbours.

    Blank spectra get NO_DATA only. The other bits of a fit are set only
    where it succeeded (flag 0): a failed fit has nothing to judge, and its
    flag already says why.
    """
    count = fits.shape[0]
    if fits.shape != (count, 8) or windows.shape != (count, 2):
        raise ValueError(
            f"fits must be (N, 8) and windows (N, 2), not {fits.shape} and {windows.shape}"
        )
    bits = np.zeros(count, dtype=np.uint16)
    bits[np.asarray(finite_count) == 0] |= np.uint16(Quality.NO_DATA)
    success = fits[:, 7] == 0.0
    amplitude, centre, sigma = (fits[:, k].astype(np.float64) for k in range(3))
    low = np.asarray(limits.width_min, np.float64)
    high = np.asarray(limits.width_max, np.float64)
    bits[success & _at(sigma, low, low)] |= np.uint16(Quality.WIDTH_AT_MIN)
    bits[success & _at(sigma, high, high)] |= np.uint16(Quality.WIDTH_AT_MAX)
    with np.errstate(invalid="ignore", divide="ignore"):
        relative = amplitude / np.asarray(limits.peak_value, np.float64)
    rel_lo = np.float64(np.float32(settings.amplitude_rel_min))
    rel_hi = np.float64(np.float32(settings.amplitude_rel_max))
    amp_scale = np.full(count, max(abs(rel_lo), abs(rel_hi)))
    at_amp = _at(relative, rel_lo, amp_scale) | _at(relative, rel_hi, amp_scale)
    bits[success & at_amp] |= np.uint16(Quality.AMPLITUDE_AT_BOUND)
    dv = np.full(count, settings.dv)
    c_lo = np.asarray(limits.centre_low, np.float64)
    c_hi = np.asarray(limits.centre_high, np.float64)
    at_edge = _at(centre, c_lo, dv) | _at(centre, c_hi, dv)
    bits[success & at_edge] |= np.uint16(Quality.CENTRE_AT_EDGE)
    snr = signal_to_noise(fits)
    with np.errstate(invalid="ignore"):
        bits[success & ~(snr >= snr_min)] |= np.uint16(Quality.LOW_SNR)
    if wider is not None:
        bits[success & np.asarray(wider, bool)] |= np.uint16(Quality.WIDER_THAN_WINDOW)
    if refitted is not None:
        bits[np.asarray(refitted, bool)] |= np.uint16(Quality.REFITTED)
    return bits


def is_good(flag: Any, quality: Any) -> np.ndarray:
    """True where the fit succeeded and no bit but the benign ones
    (REFITTED, SECOND_START) is set."""
    doubt = np.asarray(quality).astype(np.uint16) & np.uint16(~_BENIGN & 0xFFFF)
    return np.asarray((np.asarray(flag) == 0) & (doubt == 0))


def benign_names() -> list[str]:
    """The names of the bits that leave a fit good."""
    return [str(bit.name) for bit in Quality if bit & _BENIGN]


def bit_counts(quality: Any) -> dict[str, int]:
    """How many rows have each bit set, by the bit's name."""
    values = np.asarray(quality).astype(np.uint16)
    return {str(bit.name): int(np.count_nonzero(values & bit)) for bit in Quality}


def cf_attributes() -> dict[str, Any]:
    """CF attributes of the quality map for xarray (and netCDF, Zarr)."""
    return {
        "long_name": "quality bits of the line fit",
        "flag_masks": np.array([int(bit) for bit in Quality], dtype=np.uint16),
        "flag_meanings": " ".join(str(bit.name).lower() for bit in Quality),
        "comment": "; ".join(
            f"{int(bit)} {str(bit.name).lower()}: {text}" for bit, text in BIT_DESCRIPTIONS.items()
        ),
    }


def fits_cards() -> list[tuple[str, Any, str]]:
    """Header cards of a QUALITY image: the extension's name, one card per
    bit (``QBIT<k>`` = the bit's name, for bit value 2**k), what a good fit
    is, and one COMMENT card per bit with its value, name and description
    (each within the 72 characters a COMMENT card holds)."""
    cards: list[tuple[str, Any, str]] = [
        ("EXTNAME", "QUALITY", "quality bits of the line fit; 0: no doubt"),
    ]
    for bit in Quality:
        position = int(bit).bit_length() - 1
        cards.append((f"QBIT{position}", str(bit.name), f"quality bit of value {int(bit)}"))
    cards.append(("QGOOD", "flag 0 and no bit but " + " or ".join(benign_names()), "a good fit"))
    for bit, text in BIT_DESCRIPTIONS.items():
        cards.append(("COMMENT", f"{int(bit)} {bit.name}: {text}", ""))
    return cards

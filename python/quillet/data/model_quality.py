"""Quality bits of line-model fits: one set per component and one per
spectrum, with the names of the Gaussian fit's bits (`quillet.data.quality`).

A component's bits say why to doubt what its maps hold:

- WIDTH_AT_MIN, WIDTH_AT_MAX: its sigma rests on the lower or upper bound
  it was fitted within (the settings' width_min and width_max met with the
  model's own bounds);
- AMPLITUDE_AT_BOUND: its amplitude rests on a bound (0 below: the
  component vanished; or the cap above);
- CENTRE_AT_EDGE: its centre rests on a bound, or lies beyond the outermost
  channels of its window (it is fitted from one wing);
- LOW_SNR: its amplitude over its error, the error scaled by the square
  root of the reduced chi-square as the Gaussian fit's are, is below
  ``snr_min``;
- WIDER_THAN_WINDOW: its centre ± ``window_sigmas`` sigma reaches beyond
  its window (by more than half a channel), after the window's refits;
- COMPONENT_DROPPED: the component count did not keep it (its maps are NaN).

A tied parameter is its reference's: a line whose width follows another's
rests on a bound where that one does, so tied lines carry the same bits.
A fixed parameter rests on no bound. Every bit but COMPONENT_DROPPED is
set only where the fit succeeded.

A spectrum's bits are those of the components it kept, ORed, and its own:
NO_DATA (no finite pixel), SECOND_START (a second start reached a lower
chi-square), REFITTED, and COMPONENT_DROPPED when no component was kept
(the baseline alone: no line to trust). Every component also carries the
spectrum's own bits, so that a component is good on its own bits alone
(`quillet.data.quality.is_good`), and a spectrum is good when every
component it kept is.

The bits of a parameter at a bound come from one table, `BOUND_BITS`, so
that a component kind with another parameter (an optical depth) adds one
row to it.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from .line_models import LineModel
from .quality import BOUND_TOLERANCE, Quality

__all__ = [
    "BOUND_BITS",
    "ComponentJudging",
    "bound_bits",
    "component_bits",
    "component_snr",
    "parameter_roots",
    "spectrum_bits",
]

#: Per parameter of a component (its index within the component's three:
#: amplitude 0, centre 1, sigma 2), the bit of a value at its lower bound
#: and the bit at its upper bound.
BOUND_BITS: dict[int, tuple[Quality, Quality]] = {
    0: (Quality.AMPLITUDE_AT_BOUND, Quality.AMPLITUDE_AT_BOUND),
    1: (Quality.CENTRE_AT_EDGE, Quality.CENTRE_AT_EDGE),
    2: (Quality.WIDTH_AT_MIN, Quality.WIDTH_AT_MAX),
}

#: The bits of a spectrum that every one of its components carries.
SPECTRUM_WIDE = Quality.NO_DATA | Quality.REFITTED | Quality.SECOND_START


@dataclass(frozen=True)
class ComponentJudging:
    """What a model fit's components are judged by: the S/N below which a
    component is doubted, how many sigmas of it its window must hold, and
    the axis's channel width (km/s), the scale of "at a bound" for a
    centre."""

    snr_min: float
    window_sigmas: float
    dv: float


def parameter_roots(model: LineModel) -> np.ndarray:
    """For each of the model's component parameters (3 K), the parameter
    the solver fits for it: itself, or its reference for a tied one."""
    roots = np.arange(3 * model.components)
    for k in range(model.components):
        for j, refs in enumerate((model.amplitude_ref, model.centre_ref, model.sigma_ref)):
            if refs[k] >= 0:
                roots[3 * k + j] = 3 * refs[k] + j
    return roots


def _at(values: np.ndarray, bound: np.ndarray, scale: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        near = np.abs(values - bound) <= BOUND_TOLERANCE * np.abs(scale)
    return np.asarray(near & np.isfinite(bound))


def bound_bits(
    model: LineModel,
    params: np.ndarray,
    lower: np.ndarray,
    upper: np.ndarray,
    scale: np.ndarray,
    dv: float,
) -> np.ndarray:
    """The bits (n, K) uint16 of each component's parameters that rest on a
    bound (`BOUND_BITS`), wherever the fit ran: ``params`` (n, P) as the
    kernel returns them (amplitudes in the data's unit), ``lower`` and
    ``upper`` (n, P) the bounds it was given (amplitudes divided by
    ``scale``, one per row); a centre's "at" is reckoned in channels of
    ``dv`` km/s, an amplitude's in its larger finite bound, a width's in
    its bound."""
    n, k = params.shape[0], model.components
    bits = np.zeros((n, k), np.uint16)
    roots = parameter_roots(model)
    fixed = np.asarray(model.fixed[: 3 * k], bool)
    values = params[:, : 3 * k].astype(np.float64)
    values[:, 0::3] /= np.asarray(scale, np.float64).reshape(-1, 1)
    lo = np.asarray(lower[:, : 3 * k], np.float64)
    hi = np.asarray(upper[:, : 3 * k], np.float64)
    for c in range(k):
        for j, (low_bit, high_bit) in BOUND_BITS.items():
            root = roots[3 * c + j]
            if fixed[root]:
                continue
            if j == 1:
                low_scale = high_scale = np.full(n, dv)
            elif j == 0:
                ends = np.stack([lo[:, root], hi[:, root]], axis=1)
                low_scale = high_scale = np.where(np.isfinite(ends), np.abs(ends), 0.0).max(axis=1)
            else:
                low_scale, high_scale = lo[:, root], hi[:, root]
            bits[_at(values[:, root], lo[:, root], low_scale), c] |= np.uint16(low_bit)
            bits[_at(values[:, root], hi[:, root], high_scale), c] |= np.uint16(high_bit)
    return bits


def component_bits(
    model: LineModel,
    params: np.ndarray,
    errors: np.ndarray,
    stats: np.ndarray,
    lower: np.ndarray,
    upper: np.ndarray,
    scale: np.ndarray,
    windows: np.ndarray,
    axis: np.ndarray,
    judging: ComponentJudging,
) -> np.ndarray:
    """The bits (n, K) uint16 of each component of ``model`` fitted to n
    rows: those of `bound_bits`, and of the centre and reach against the
    window (``windows`` (n, 2), the channels fitted of ``axis``, km/s) and
    of the S/N (``errors`` (n, P) and ``stats`` (n, 5) as the kernel
    returns them); none where the fit did not succeed."""
    k = model.components
    bits = bound_bits(model, params, lower, upper, scale, judging.dv)
    centre = params[:, 1 : 3 * k : 3].astype(np.float64)
    sigma = params[:, 2 : 3 * k : 3].astype(np.float64)
    first, last, half = _window_span(windows, axis)
    with np.errstate(invalid="ignore"):
        outside = (centre < first[:, None]) | (centre > last[:, None])
        reach = judging.window_sigmas * sigma
        wider = (centre - reach < (first - half)[:, None]) | (
            centre + reach > (last + half)[:, None]
        )
    bits[outside] |= np.uint16(Quality.CENTRE_AT_EDGE)
    bits[wider] |= np.uint16(Quality.WIDER_THAN_WINDOW)
    snr = component_snr(params, errors, stats, k)
    with np.errstate(invalid="ignore"):
        bits[~(snr >= judging.snr_min)] |= np.uint16(Quality.LOW_SNR)
    bits[stats[:, 4] != 0.0] = 0
    return bits


def component_snr(params: np.ndarray, errors: np.ndarray, stats: np.ndarray, k: int) -> np.ndarray:
    """Each component's amplitude over its error (n, K), the error scaled by
    the square root of the reduced chi-square as the Gaussian fit's errors
    are (a fit that leaves more than the noise in its residuals is less
    sure of its amplitude than the noise alone says); +inf for an error of
    0 (a parameter held on its bound), NaN for an amplitude of 0 there."""
    amplitude = params[:, 0 : 3 * k : 3].astype(np.float64)
    chi2 = np.asarray(stats[:, 1], np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        error = errors[:, 0 : 3 * k : 3].astype(np.float64) * np.sqrt(chi2)[:, None]
        snr = np.where(error > 0, amplitude / error, np.where(amplitude > 0, np.inf, np.nan))
    return np.asarray(snr)


def _window_span(windows: np.ndarray, axis: np.ndarray) -> tuple[np.ndarray, ...]:
    """The velocities of each window's outermost channels, low and high
    (NaN for an empty window), and half a channel."""
    size = axis.size
    empty = windows[:, 1] <= windows[:, 0]
    ends = np.stack(
        [axis[np.clip(windows[:, 0], 0, size - 1)], axis[np.clip(windows[:, 1] - 1, 0, size - 1)]],
        axis=1,
    )
    first = np.where(empty, np.nan, ends.min(axis=1))
    last = np.where(empty, np.nan, ends.max(axis=1))
    half = 0.5 * float(np.median(np.abs(np.diff(axis)))) if size > 1 else 0.0
    return first, last, np.full(windows.shape[0], half)


def spectrum_bits(
    component: np.ndarray,
    kept: Sequence[int] | np.ndarray,
    success: np.ndarray,
    own: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """Each spectrum's bits (n,) and its components' bits (n, K) as maps
    hold them: a component beyond the ``kept`` count (n,) of a fit that
    succeeded gets COMPONENT_DROPPED; the spectrum's ``own`` bits (n,:
    NO_DATA, SECOND_START, REFITTED) go to it and to every component; the
    spectrum takes the ORed bits of the components it kept, and
    COMPONENT_DROPPED when it kept none."""
    n, k = component.shape
    kept = np.asarray(kept).reshape(n, 1)
    dropped = (np.arange(k)[None, :] >= kept) & np.asarray(success, bool)[:, None]
    bits = np.where(dropped, np.uint16(Quality.COMPONENT_DROPPED), component).astype(np.uint16)
    mine = np.asarray(own, np.uint16) & np.uint16(SPECTRUM_WIDE)
    bits |= mine[:, None]
    kept_bits = np.where(dropped, np.uint16(0), bits)
    spectrum = np.bitwise_or.reduce(kept_bits, axis=1).astype(np.uint16) | mine
    none_kept = np.asarray(success, bool) & (kept[:, 0] == 0)
    spectrum[none_kept] |= np.uint16(Quality.COMPONENT_DROPPED)
    return spectrum, bits

"""The rules a line-model fit follows after its first start, each a function
of one row's own data and fits, vectorised over a block:

- the window (`window_growth`): a fit whose component's centre ±
  ``window_sigmas`` sigma reaches beyond its window, on a side where the
  window can still grow, is fitted again on a window that covers every
  component it kept ± ``reach`` sigma (``reach`` at least
  ``window_sigmas``: the model's own window half-width, 5 by default, so
  that a baseline sees channels beyond the wings) and the window it had;
- the second start (`second_start_due`, `second_start`): a fit with a
  component on a bound, or whose reduced chi-square lies more than
  `SECOND_START_SIGMAS` standard deviations above 1 for its degrees of
  freedom, is fitted again from another start, and the lower chi-square
  kept. The start swaps the roles of the narrowest and broadest groups of
  components sharing a width (each takes the other's fitted width and
  height) where the model has two such groups whose widths differ by more
  than `SWAP_WIDTH_RATIO`; otherwise it puts one group back on the largest
  peak of the residual, with that peak's height and half-maximum width: the
  group of the first component on a bound, or else of the line the peak
  search found;
- the count (`chosen_count`): with ``components="auto"``, 0 components
  (the baseline alone, `baseline_alone`) and 1, 2, ... K are compared on
  one window by the BIC, chi2 + k ln n, a component being kept only when
  it lowers the BIC by at least `MIN_DELTA_BIC`;
- the order (`component_order`): components that nothing tells apart
  (free Gaussians with the same bounds: no rest value, no tie) come back
  by velocity, blue first, or by width, narrowest first (narrow + broad),
  dropped ones last, so that component k means one thing across a map.

Every rule reads one row alone and the kernel's result for a row does not
depend on the rows beside it, so a spectrum's result never depends on the
block, the threads, the lanes or the scheduler.
"""

from __future__ import annotations

from typing import Literal

import numpy as np

from ..data.line_models import LineModel
from ..data.model_quality import parameter_roots

__all__ = [
    "COMPONENT_ORDERS",
    "MIN_DELTA_BIC",
    "SECOND_START_SIGMAS",
    "SWAP_WIDTH_RATIO",
    "baseline_alone",
    "baseline_origin",
    "channels_covering",
    "chi2_limit",
    "chosen_count",
    "component_order",
    "evaluate",
    "exchangeable",
    "residual_peak",
    "second_start",
    "second_start_due",
    "window_growth",
]

#: A component is kept only when it lowers the BIC by this much: "very
#: strong" evidence on Kass & Raftery's (1995) scale, which keeps noise
#: bumps from being taken for lines (see the recovery table of the README).
MIN_DELTA_BIC = 10.0

#: A fit is tried again from a second start when its reduced chi-square
#: lies more than this many standard deviations above 1: chi2 over nu
#: degrees of freedom has a standard deviation of sqrt(2 / nu) in reduced
#: terms, and 5 of them leave the fits whose residuals are noise alone.
SECOND_START_SIGMAS = 5.0

#: Groups of components whose fitted widths differ by more than this factor
#: swap their roles in a second start; closer widths gain nothing from the
#: swap, and their second start comes from the residual's peak instead.
SWAP_WIDTH_RATIO = 1.5

#: How components that nothing tells apart are ordered.
COMPONENT_ORDERS = ("velocity", "width")
ComponentOrder = Literal["velocity", "width"]


def evaluate(
    model: LineModel, params: np.ndarray, axis: np.ndarray, windows: np.ndarray, valid: np.ndarray
) -> np.ndarray:
    """The model of each row (n, channels) on ``axis`` at ``params`` (the
    kernel's full parameter rows, ties resolved), its baseline's t measured
    from the midpoint of the window's first and last valid samples."""
    n = params.shape[0]
    out = np.zeros((n, axis.size))
    v = axis[None, :]
    for k in range(model.components):
        a, c, s = (params[:, 3 * k + j].astype(np.float64)[:, None] for j in range(3))
        with np.errstate(all="ignore"):
            out += np.nan_to_num(a * np.exp(-0.5 * ((v - c) / s) ** 2))
    if model.baseline is not None:
        t = v - baseline_origin(axis, windows, valid)[:, None]
        for j in range(model.baseline_terms):
            coefficient = params[:, 3 * model.components + j].astype(np.float64)
            out += np.nan_to_num(coefficient)[:, None] * t**j
    return out


def _inside(windows: np.ndarray, channels: int) -> np.ndarray:
    """(n, channels): True within each row's window."""
    index = np.arange(channels)[None, :]
    return np.asarray((index >= windows[:, :1]) & (index < windows[:, 1:]))


def baseline_origin(axis: np.ndarray, windows: np.ndarray, valid: np.ndarray) -> np.ndarray:
    """The baseline's v_ref of each row: the midpoint of the velocities of
    its window's first and last valid samples (0 where it has none)."""
    inside = valid & _inside(windows, axis.size)
    some = inside.any(axis=1)
    first = np.where(some, inside.argmax(axis=1), 0)
    last = np.where(some, axis.size - 1 - inside[:, ::-1].argmax(axis=1), 0)
    return np.asarray(0.5 * (axis[first] + axis[last]))


def valid_samples(spectra: np.ndarray, noise: np.ndarray, channels: int) -> np.ndarray:
    """The samples a fit takes: finite values with a finite positive noise."""
    data, sigma = spectra[:, :channels], noise[:, :channels]
    with np.errstate(invalid="ignore"):
        return np.asarray(np.isfinite(data) & np.isfinite(sigma) & (sigma > 0))


# --- the window ---------------------------------------------------------------


def channels_covering(axis: np.ndarray, low: np.ndarray, high: np.ndarray) -> np.ndarray:
    """The windows (n, 2) of channels [lo, hi) whose velocities lie within
    [low, high] of each row, on an axis rising or falling."""
    order = np.argsort(axis, kind="stable")
    ranked = axis[order]
    lo = np.searchsorted(ranked, np.nan_to_num(low), side="left")
    hi = np.searchsorted(ranked, np.nan_to_num(high), side="right")
    if axis.size > 1 and axis[-1] < axis[0]:
        lo, hi = axis.size - hi, axis.size - lo
    return np.stack([lo, hi], axis=1).astype(np.int32)


def window_growth(
    params: np.ndarray,
    kept: np.ndarray,
    windows: np.ndarray,
    axis: np.ndarray,
    window_sigmas: float,
    reach: float,
) -> tuple[np.ndarray, np.ndarray]:
    """Which rows' windows must grow, and the windows they grow to: a row
    grows where a component it kept (``kept``, (n, K) bool) reaches
    ``window_sigmas`` sigma beyond its window by more than half a channel,
    on a side where the window is not yet at the axis's end; its new
    window covers the old one and every kept component ± ``reach`` sigma."""
    k = kept.shape[1]
    centre = params[:, 1 : 3 * k : 3].astype(np.float64)
    sigma = params[:, 2 : 3 * k : 3].astype(np.float64)
    size = axis.size
    ends = np.stack(
        [axis[np.clip(windows[:, 0], 0, size - 1)], axis[np.clip(windows[:, 1] - 1, 0, size - 1)]],
        axis=1,
    )
    first, last = ends.min(axis=1), ends.max(axis=1)
    half = 0.5 * float(np.median(np.abs(np.diff(axis)))) if size > 1 else 0.0
    rising = size < 2 or axis[-1] > axis[0]
    can_low = windows[:, 0] > 0 if rising else windows[:, 1] < size
    can_high = windows[:, 1] < size if rising else windows[:, 0] > 0
    with np.errstate(invalid="ignore"):
        below = kept & (centre - window_sigmas * sigma < (first - half)[:, None])
        above = kept & (centre + window_sigmas * sigma > (last + half)[:, None])
        grow = (below.any(axis=1) & can_low) | (above.any(axis=1) & can_high)
        wide = max(reach, window_sigmas) * sigma
        low = np.fmin(
            first, np.nanmin(np.where(kept, centre - wide, np.nan), axis=1, initial=np.inf)
        )
        high = np.fmax(
            last, np.nanmax(np.where(kept, centre + wide, np.nan), axis=1, initial=-np.inf)
        )
    grown = channels_covering(axis, low, high)
    grown[:, 0] = np.minimum(grown[:, 0], windows[:, 0])
    grown[:, 1] = np.maximum(grown[:, 1], windows[:, 1])
    return np.asarray(grow & np.isfinite(low) & np.isfinite(high)), grown


def shifted_baseline(
    params: np.ndarray, model: LineModel, before: np.ndarray, after: np.ndarray
) -> np.ndarray:
    """The baseline coefficients of ``params`` re-expressed about another
    origin (v_ref ``after`` rather than ``before``, per row): the same
    polynomial, so that a fit started on a wider window starts where the
    narrower one ended."""
    out = params.astype(np.float64).copy()
    b = model.baseline_terms
    if b < 2:
        return out
    first = 3 * model.components
    d = np.asarray(after - before, np.float64)
    c = [out[:, first + j].copy() for j in range(b)]
    if b == 2:
        out[:, first] = c[0] + c[1] * d
    else:
        out[:, first] = c[0] + c[1] * d + c[2] * d * d
        out[:, first + 1] = c[1] + 2.0 * c[2] * d
    return out


# --- the second start -----------------------------------------------------------


def chi2_limit(samples: np.ndarray, free: np.ndarray) -> np.ndarray:
    """The reduced chi-square above which a fit is tried again: 1 plus
    `SECOND_START_SIGMAS` times sqrt(2 / nu), nu the degrees of freedom."""
    nu = np.maximum(np.asarray(samples, np.float64) - np.asarray(free, np.float64), 1.0)
    return np.asarray(1.0 + SECOND_START_SIGMAS * np.sqrt(2.0 / nu))


def second_start_due(bound_bits: np.ndarray, kept: np.ndarray, stats: np.ndarray) -> np.ndarray:
    """Rows to try again: a fit that succeeded with a component it kept on a
    bound (``bound_bits`` (n, K) from the bounds alone), or with its reduced
    chi-square above `chi2_limit`."""
    success = stats[:, 4] == 0.0
    on_bound = ((bound_bits != 0) & kept).any(axis=1)
    with np.errstate(invalid="ignore"):
        poor = stats[:, 1] > chi2_limit(stats[:, 2], stats[:, 3])
    return np.asarray(success & (on_bound | poor))


def residual_peak(
    residual: np.ndarray, axis: np.ndarray, width_range: tuple[float, float]
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The largest peak of each row's residual (NaN outside its window and
    at invalid samples): its height (0 where none is positive), velocity,
    and the sigma of its half-maximum width, within ``width_range``."""
    filled = np.where(np.isnan(residual), -np.inf, residual)
    j = filled.argmax(axis=1)
    rows = np.arange(residual.shape[0])
    height = filled[rows, j]
    half = filled >= 0.5 * height[:, None]
    channels = np.arange(axis.size)[None, :]
    left = np.max(np.where(~half & (channels < j[:, None]), channels, -1), axis=1)
    right = np.min(np.where(~half & (channels > j[:, None]), channels, axis.size), axis=1)
    dv = float(np.median(np.abs(np.diff(axis)))) if axis.size > 1 else 1.0
    sigma = np.clip((right - left - 1) * dv / 2.3548, width_range[0], width_range[1])
    height = np.where(np.isfinite(height) & (height > 0), height, 0.0)
    return height, axis[j], sigma


def second_start(
    model: LineModel,
    params: np.ndarray,
    bound_bits: np.ndarray,
    kept: np.ndarray,
    residual: np.ndarray,
    axis: np.ndarray,
    width_range: tuple[float, float],
) -> tuple[np.ndarray, np.ndarray]:
    """The second start of each row (n, P, in the units of ``params``: the
    data's) and whether it has one: roles swapped where two groups of
    components sharing a width differ in width by more than
    `SWAP_WIDTH_RATIO`, else the group of the first component on a bound
    (or of the model's reference line) put on the residual's largest peak;
    a row whose residual has no positive peak has none."""
    out = params.astype(np.float64).copy()
    roots = parameter_roots(model)
    k = model.components
    fixed = np.asarray(model.fixed[: 3 * k], bool)
    groups = sorted({int(roots[3 * c + 2]) for c in range(k) if not fixed[roots[3 * c + 2]]})
    n = params.shape[0]
    swapped = np.zeros(n, bool)
    if len(groups) >= 2:
        swapped = _swap_roles(model, out, roots, groups, kept)
    peak = ~swapped
    height, where, width = residual_peak(residual, axis, width_range)
    peak &= height > 0
    _restart_on_peak(model, out, roots, bound_bits, kept, peak, height, where, width)
    return out, swapped | peak


def _swap_roles(
    model: LineModel, out: np.ndarray, roots: np.ndarray, groups: list[int], kept: np.ndarray
) -> np.ndarray:
    """Swaps in place the widths and heights of the narrowest and broadest
    width groups of each row whose widths differ by more than the ratio;
    returns those rows."""
    k = model.components
    n = out.shape[0]
    member = np.array([[roots[3 * c + 2] == g for c in range(k)] for g in groups])  # (G, K)
    sigma = np.stack([out[:, g] for g in groups], axis=1)  # (n, G)
    present = np.stack([(kept & member[i][None, :]).any(axis=1) for i in range(len(groups))], 1)
    amplitude = np.abs(out[:, 0 : 3 * k : 3])
    height = np.stack(
        [
            np.where(kept & member[i][None, :], amplitude, 0.0).max(axis=1)
            for i in range(len(groups))
        ],
        axis=1,
    )
    with np.errstate(invalid="ignore"):
        ranked = np.where(present & np.isfinite(sigma), sigma, np.nan)
        narrow = np.nanargmin(np.where(np.isnan(ranked), np.inf, ranked), axis=1)
        broad = np.nanargmax(np.where(np.isnan(ranked), -np.inf, ranked), axis=1)
    rows = np.arange(n)
    s_narrow, s_broad = sigma[rows, narrow], sigma[rows, broad]
    h_narrow, h_broad = height[rows, narrow], height[rows, broad]
    with np.errstate(invalid="ignore", divide="ignore"):
        swap = (
            (present.sum(axis=1) >= 2)
            & (s_broad > SWAP_WIDTH_RATIO * s_narrow)
            & (h_narrow > 0)
            & (h_broad > 0)
        )
    amplitude_roots = [c for c in range(k) if roots[3 * c] == 3 * c and not model.fixed[3 * c]]
    # A group of no line has no velocity of its own to keep: where the
    # other is of lines, it takes theirs (the reference line's, or the
    # first of the group), as a broad component shares its narrow lines'.
    lines = [any(model.rest[c] is not None for c in range(k) if member[i][c])
             for i in range(len(groups))]  # fmt: skip
    lead = [_lead(model, member[i]) for i in range(len(groups))]
    for i, g in enumerate(groups):
        to_narrow = swap & (narrow == i)
        to_broad = swap & (broad == i)
        if not model.fixed[g]:
            out[to_narrow, g] = s_broad[to_narrow]
            out[to_broad, g] = s_narrow[to_broad]
        if not lines[i]:
            for j, other in enumerate(lead):
                if j == i or not lines[j]:
                    continue
                moved = (to_narrow & (broad == j)) | (to_broad & (narrow == j))
                for member_c in np.flatnonzero(member[i]):
                    c_root = int(roots[3 * int(member_c) + 1])
                    if not model.fixed[c_root]:
                        out[moved, c_root] = out[moved, 3 * other + 1]
        for c in amplitude_roots:
            if roots[3 * c + 2] != g:
                continue
            with np.errstate(invalid="ignore", divide="ignore"):
                out[to_narrow, 3 * c] *= (h_broad / h_narrow)[to_narrow]
                out[to_broad, 3 * c] *= (h_narrow / h_broad)[to_broad]
    return np.asarray(swap)


def _lead(model: LineModel, member: np.ndarray) -> int:
    """The component that stands for a group: the reference line where the
    group holds it, else its first."""
    if model.reference >= 0 and member[model.reference]:
        return model.reference
    return int(np.flatnonzero(member)[0])


def _restart_on_peak(
    model: LineModel,
    out: np.ndarray,
    roots: np.ndarray,
    bound_bits: np.ndarray,
    kept: np.ndarray,
    rows: np.ndarray,
    height: np.ndarray,
    where: np.ndarray,
    width: np.ndarray,
) -> None:
    """Puts in place, on the rows given, the width group of the first kept
    component on a bound (else of the reference line) on the residual's
    peak: its member nearest the peak moves there (its centre's root by the
    difference), with the peak's height and width."""
    k = model.components
    fixed = np.asarray(model.fixed, bool)
    on_bound = (bound_bits != 0) & kept
    reference = max(model.reference, 0)
    chosen = np.where(on_bound.any(axis=1), on_bound.argmax(axis=1), reference)
    group_of = np.array([roots[3 * c + 2] for c in range(k)])
    centre = out[:, 1 : 3 * k : 3]
    distance = np.where(
        (group_of[None, :] == group_of[chosen][:, None]) & kept,
        np.abs(centre - where[:, None]),
        np.inf,
    )
    nearest = distance.argmin(axis=1)
    for c in range(k):
        here = rows & (nearest == c) & np.isfinite(distance[:, c])
        if not here.any():
            continue
        a_root, c_root, s_root = (int(roots[3 * c + j]) for j in range(3))
        ratio = model.amplitude_ratio[c] if model.amplitude_ref[c] >= 0 else 1.0
        if not fixed[c_root]:
            out[here, c_root] += where[here] - out[here, 3 * c + 1]
        if not fixed[a_root] and ratio != 0.0:
            out[here, a_root] = height[here] / ratio
        if not fixed[s_root]:
            out[here, s_root] = width[here]


# --- the count --------------------------------------------------------------------


def baseline_alone(
    spectra: np.ndarray,
    noise: np.ndarray,
    axis: np.ndarray,
    windows: np.ndarray,
    order: int | None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The fit of a baseline alone (of ``order``; None: none, the zero
    model) to each row's window, by weighted linear least squares on the
    samples a kernel fit takes: its coefficients and errors (n, B), chi2
    and sample count (n,). A row with no more samples than coefficients
    has NaN."""
    channels = axis.size
    valid = valid_samples(spectra, noise, channels) & _inside(windows, channels)
    samples = valid.sum(axis=1)
    terms = 0 if order is None else order + 1
    n = spectra.shape[0]
    with np.errstate(invalid="ignore", divide="ignore"):
        weight = np.where(valid, 1.0 / noise[:, :channels].astype(np.float64), 0.0)
        y = np.where(valid, spectra[:, :channels].astype(np.float64), 0.0) * weight
    coefficients = np.zeros((n, terms))
    errors = np.zeros((n, terms))
    if terms:
        t = axis[None, :] - baseline_origin(axis, windows, valid)[:, None]
        design = np.stack([t**j * weight for j in range(terms)], axis=2)  # (n, m, B)
        normal = np.einsum("nmi,nmj->nij", design, design)
        right = np.einsum("nmi,nm->ni", design, y)
        usable = samples > terms
        normal[~usable] = np.eye(terms)
        right[~usable] = 0.0
        with np.errstate(all="ignore"):
            try:
                inverse = np.linalg.inv(normal)
            except np.linalg.LinAlgError:
                inverse = np.linalg.pinv(normal)
        coefficients = np.einsum("nij,nj->ni", inverse, right)
        errors = np.sqrt(np.maximum(np.einsum("nii->ni", inverse), 0.0))
        y = y - np.einsum("nmi,ni->nm", design, coefficients)
    chi2 = (y * y).sum(axis=1)
    bad = samples <= terms
    coefficients[bad] = np.nan
    errors[bad] = np.nan
    chi2 = np.where(bad, np.nan, chi2)
    return coefficients, errors, chi2, samples


def chosen_count(bic: np.ndarray) -> np.ndarray:
    """The count each row keeps (n,) of its BIC for counts 0, 1, ... K
    (n, K + 1; inf where a count did not succeed): starting from the
    lowest count that succeeded, a count is kept where it lowers the BIC
    of the count kept so far by at least `MIN_DELTA_BIC`; -1 where no
    count succeeded."""
    n, counts = bic.shape
    ok = np.isfinite(bic)
    kept = np.where(ok.any(axis=1), ok.argmax(axis=1), -1)
    best = np.where(kept >= 0, bic[np.arange(n), np.maximum(kept, 0)], np.inf)
    for c in range(counts):
        better = ok[:, c] & (c > kept) & (kept >= 0) & (bic[:, c] <= best - MIN_DELTA_BIC)
        kept = np.where(better, c, kept)
        best = np.where(better, bic[:, c], best)
    return kept


# --- the order --------------------------------------------------------------------


def exchangeable(model: LineModel) -> list[list[int]]:
    """Classes of components that nothing tells apart: no rest value, no
    tie either way, nothing fixed, the same bounds; each class of two or
    more, in component order."""
    k = model.components
    referred = {
        r
        for refs in (model.centre_ref, model.amplitude_ref, model.sigma_ref)
        for r in refs
        if r >= 0
    }
    classes: dict[tuple[object, ...], list[int]] = {}
    for c in range(k):
        tied = any(
            refs[c] >= 0 for refs in (model.centre_ref, model.amplitude_ref, model.sigma_ref)
        )
        if (
            model.rest[c] is not None
            or tied
            or c in referred
            or any(model.fixed[3 * c : 3 * c + 3])
        ):
            continue
        key = (model.amplitude_bounds[c], model.velocity_bounds[c], model.sigma_bounds[c])
        classes.setdefault(key, []).append(c)
    return [members for members in classes.values() if len(members) >= 2]


def component_order(
    model: LineModel, params: np.ndarray, order: ComponentOrder = "velocity"
) -> np.ndarray:
    """The order of each row's components (n, K): entry j is the component
    that goes to place j. Within each class of `exchangeable` components,
    by velocity (``order="velocity"``, blue first) or width ("width",
    narrowest first), components with no value (dropped) last; the others
    stay where they are."""
    if order not in COMPONENT_ORDERS:
        raise ValueError(f"order must be one of {', '.join(COMPONENT_ORDERS)}, not {order!r}")
    n, k = params.shape[0], model.components
    placed = np.tile(np.arange(k), (n, 1))
    column = 1 if order == "velocity" else 2
    for members in exchangeable(model):
        keys = params[:, [3 * c + column for c in members]].astype(np.float64)
        keys = np.where(np.isnan(keys), np.inf, keys)
        ranked = np.argsort(keys, axis=1, kind="stable")
        placed[:, members] = np.asarray(members)[ranked]
    return placed


def ordered(values: np.ndarray, placed: np.ndarray, k: int, width: int = 3) -> np.ndarray:
    """Per-component columns of ``values`` (n, width K + rest) moved to the
    order ``placed`` (n, K) gives; the columns after them as they are."""
    out = np.array(values, copy=True)
    rows = np.arange(values.shape[0])[:, None]
    for j in range(width):
        out[:, j : width * k : width] = values[:, j : width * k : width][rows, placed]
    return out

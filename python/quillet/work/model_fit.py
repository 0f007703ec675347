"""The fit of a block of spectra with a `LineModel`: several Gaussian
components, a baseline, ties; or a count of free components chosen per
spectrum.

`ModelFitter` is the `quillet.work.blocks.BlockFitter` of a model: the
driver reads its blocks as for any fit, and it prepares them as the
Gaussian fitter does (`quillet.work.blocks.prepare_rows`: noise, guides,
continuum). Then:

1. a first pass of the Gaussian fitter (`quillet.work.gaussian_fit`, on
   the kernel's own windows) finds each spectrum's reference line near its
   guide: its peak window, centre, sigma and
   amplitude;
2. each spectrum's window covers every member of the model: the reference
   window and centre ± ``window_sigmas`` sigma, shifted by each member's
   offset, clipped to the axis;
3. starting values and bounds come from that first pass (a member's
   amplitude from its ratio, or from the data at its velocity; the
   baseline from the window's edges), and one ``fit_lines_batch`` call fits
   the block.

With ``components`` a number or "auto", the model is K free Gaussians
(``LineModel.free``): 1, 2, ... K are fitted in turn, each added component
starting at the largest peak of the previous fit's residual in the window,
with the sigma of that peak's half-maximum width. "auto" keeps, per
spectrum, the count with the lowest BIC = chi2 + k ln n, and a component is
kept only when it lowers the BIC by at least `MIN_DELTA_BIC`.

Every step is per spectrum (NumPy's row-wise operations and the kernel, whose
row results do not depend on the rows beside them), so a spectrum's result
never depends on the block, the threads or the scheduler.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np

from ..basics.settings import LineSettings
from ..data.fit_inputs import CubeInputs
from ..data.line_models import LineModel, fit_model_rows
from .blocks import BlockRows, PreparedBlock, prepare_rows
from .gaussian_fit import GaussianFitter, Judging

__all__ = [
    "DEFAULT_MODEL_WINDOW_SIGMAS",
    "FLAG_NO_LOCAL_MAX",
    "MIN_DELTA_BIC",
    "ModelFitter",
    "ModelSpec",
    "evaluate",
    "fit_model_block",
    "model_record_dtype",
]

#: A component is kept only when it lowers the BIC by this much: "very
#: strong" evidence on Kass & Raftery's (1995) scale, which keeps noise
#: bumps from being taken for lines (see the recovery table of the README).
MIN_DELTA_BIC = 10.0

#: Half-width of a model's window beyond its outermost members, in sigmas of
#: the reference line: a baseline is measured on the channels beyond the
#: line's wings, which ±3 sigma would barely leave.
DEFAULT_MODEL_WINDOW_SIGMAS = 5.0

#: No peak near the guide: the first pass found no reference line (the
#: kernel's own flag 1); the model's other flags are fit_lines_batch's.
FLAG_NO_LOCAL_MAX = 1

Components = int | Literal["auto"] | None


@dataclass(frozen=True)
class ModelSpec:
    """What a model fit adds to a cube's inputs: the model, the count of
    free components (None: the model as it is; a number; or "auto", up to
    the model's own count) and the window's half-width in sigmas."""

    model: LineModel
    components: Components = None
    window_sigmas: float = DEFAULT_MODEL_WINDOW_SIGMAS

    def __post_init__(self) -> None:
        if not (math.isfinite(self.window_sigmas) and self.window_sigmas > 0):
            raise ValueError(f"window_sigmas must be positive, not {self.window_sigmas!r}")
        if self.components is None:
            return
        if not self.is_free:
            raise ValueError(
                "components= chooses a count of free Gaussians; a multiplet or hyperfine "
                "model has its count; leave components unset"
            )
        if self.components != "auto" and not (
            isinstance(self.components, int) and 1 <= self.components <= self.model.components
        ):
            raise ValueError(
                f"components must be 'auto' or 1 to {self.model.components}, "
                f"not {self.components!r}"
            )

    @property
    def is_free(self) -> bool:
        """Whether the model is free Gaussians: no tie, nothing fixed."""
        m = self.model
        return (
            all(r < 0 for r in (*m.centre_ref, *m.amplitude_ref, *m.sigma_ref))
            and not any(m.fixed)
            and all(o == 0.0 for o in m.centre_offset)
        )

    @property
    def counts(self) -> tuple[int, ...]:
        """The component counts fitted in turn."""
        if self.components is None and not (self.is_free and self.model.components > 1):
            return (self.model.components,)
        if self.components is None:  # free Gaussians are built up one at a time
            return tuple(range(1, self.model.components + 1))
        top = self.model.components if self.components == "auto" else int(self.components)
        return tuple(range(1, top + 1))


def model_record_dtype(model: LineModel) -> np.dtype[Any]:
    """One record per spectrum of a model fit: per component (K,) amplitude,
    centre, sigma and their errors; the baseline's (B,) coefficients and
    errors (when it has one); the count of components kept, chi2, reduced
    chi2, samples, free parameters, flag, window and continuum subtracted."""
    k, b = model.components, model.baseline_terms
    fields: list[tuple[Any, ...]] = [
        (name, np.float32, (k,))
        for name in (
            "amplitude",
            "centre",
            "sigma",
            "amplitude_error",
            "centre_error",
            "sigma_error",
        )
    ]
    if b:
        fields += [("baseline", np.float32, (b,)), ("baseline_error", np.float32, (b,))]
    fields += [
        ("ncomponents", np.int8),
        ("chi2", np.float32),
        ("reduced_chi2", np.float32),
        ("samples", np.int32),
        ("free_parameters", np.int8),
        ("flag", np.int8),
        ("window_left", np.int32),
        ("window_right", np.int32),
        ("continuum", np.float32),
    ]
    return np.dtype(fields)


@dataclass(frozen=True)
class _Start:
    """Per row: the first pass's reference line (NaN where none), the
    window, the scale the spectra are divided by, and whether it is fitted."""

    centre: np.ndarray
    sigma: np.ndarray
    amplitude: np.ndarray
    windows: np.ndarray
    scale: np.ndarray
    usable: np.ndarray


def fit_model_block(
    block: PreparedBlock, velocity32: np.ndarray, settings: LineSettings, spec: ModelSpec
) -> np.ndarray:
    """The records (`model_record_dtype`) of one prepared block."""
    velocity32 = np.require(velocity32, dtype=np.float32, requirements=["C", "A"])
    # The reference line's first pass on the kernel's own windows: the
    # model's window is built round it below, and a window widened for a
    # broad Gaussian would swallow the model's other lines.
    reference = GaussianFitter(settings, velocity32, Judging(adapt_window=False))
    first = reference.results(block._replace(offsets=None))
    start = _first_pass_start(block, first.fits, first.windows, velocity32, settings, spec)
    model = spec.model
    out = np.zeros(block.spectra.shape[0], model_record_dtype(model))
    if len(spec.counts) == 1 and spec.components is None:
        initial, lower, upper = _model_starts(block, start, velocity32, settings, model)
        fit = _run(block, velocity32, settings, model, start, initial, lower, upper)
        params, errors, stats = fit.params, fit.errors, fit.stats
        kept = np.full(out.shape[0], model.components)
    else:
        params, errors, stats, kept = _fit_counts(block, start, velocity32, settings, spec)
    _store(out, model, params, errors, stats, kept, start, block, first.continuum)
    return out


def _first_pass_start(
    block: PreparedBlock,
    fits: np.ndarray,
    windows: np.ndarray,
    velocity32: np.ndarray,
    settings: LineSettings,
    spec: ModelSpec,
) -> _Start:
    """Each row's window over every member of the model, from the first
    pass's reference line; rows with no line near the guide are not fitted."""
    axis = velocity32[: settings.sg_xpixels].astype(np.float64)
    usable = fits[:, 7] == 0.0
    centre = np.where(usable, fits[:, 1], np.nan).astype(np.float64)
    sigma = np.where(usable, fits[:, 2], np.nan).astype(np.float64)
    amplitude = np.where(usable, fits[:, 0], np.nan).astype(np.float64)
    left = axis[np.clip(windows[:, 0], 0, axis.size - 1)]
    right = axis[np.clip(windows[:, 1] - 1, 0, axis.size - 1)]
    reach = spec.window_sigmas * sigma
    low = np.minimum(np.minimum(left, right), centre - reach)
    high = np.maximum(np.maximum(left, right), centre + reach)
    offsets = spec.model.start_offsets()
    low = low + offsets.min()
    high = high + offsets.max()
    order = np.argsort(axis, kind="stable")
    sorted_axis = axis[order]
    lo_sorted = np.searchsorted(sorted_axis, np.where(usable, low, 0.0), side="left")
    hi_sorted = np.searchsorted(sorted_axis, np.where(usable, high, 0.0), side="right")
    if axis.size > 1 and axis[-1] < axis[0]:  # a decreasing axis, reversed
        lo, hi = axis.size - hi_sorted, axis.size - lo_sorted
    else:
        lo, hi = lo_sorted, hi_sorted
    windows_out = np.stack([lo, hi], axis=1).astype(np.int32)
    windows_out[~usable] = 0
    scale = np.where(usable & (amplitude > 0), amplitude, 1.0)
    return _Start(centre, sigma, amplitude, windows_out, scale.astype(np.float32), usable)


def _window_values(spectra: np.ndarray, windows: np.ndarray) -> np.ndarray:
    """The spectra with NaN outside each row's window."""
    channels = np.arange(spectra.shape[1])
    inside = (channels[None, :] >= windows[:, :1]) & (channels[None, :] < windows[:, 1:])
    return np.where(inside, spectra, np.float32(np.nan)).astype(np.float64)


def _edge_level(values: np.ndarray, windows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The median of the first and of the last three channels of each
    window: the baseline's level at either end."""
    n = values.shape[0]
    rows = np.arange(n)[:, None]
    take = np.arange(3)[None, :]
    last = values.shape[1] - 1
    lo = np.clip(windows[:, :1] + take, 0, last)
    hi = np.clip(windows[:, 1:] - 1 - take, 0, last)
    with np.errstate(all="ignore"):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return np.nanmedian(values[rows, lo], axis=1), np.nanmedian(values[rows, hi], axis=1)


def _baseline_starts(
    values: np.ndarray, windows: np.ndarray, axis: np.ndarray, order: int | None
) -> np.ndarray:
    """Starting baseline coefficients (n, B) from the window's edges: c0 the
    mean of the two ends' levels, c1 the slope between them, c2 zero; in
    the units of the data."""
    n = values.shape[0]
    if order is None:
        return np.zeros((n, 0))
    left, right = _edge_level(values, windows)
    left = np.nan_to_num(left)
    right = np.nan_to_num(right)
    v_left = axis[np.clip(windows[:, 0] + 1, 0, axis.size - 1)]
    v_right = axis[np.clip(windows[:, 1] - 2, 0, axis.size - 1)]
    out = np.zeros((n, order + 1))
    out[:, 0] = 0.5 * (left + right)
    if order >= 1:
        span = v_right - v_left
        with np.errstate(all="ignore"):
            out[:, 1] = np.where(span != 0, (right - left) / span, 0.0)
    return out


def _model_starts(
    block: PreparedBlock,
    start: _Start,
    velocity32: np.ndarray,
    settings: LineSettings,
    model: LineModel,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Starting values and bounds (n, P), in units of the spectra / scale."""
    axis = velocity32[: settings.sg_xpixels].astype(np.float64)
    values = _window_values(block.spectra[:, : axis.size], start.windows)
    base = _baseline_starts(values, start.windows, axis, model.baseline)
    level = base[:, 0] if base.shape[1] else np.zeros(values.shape[0])
    scale = start.scale.astype(np.float64)
    with np.errstate(all="ignore"):
        peak = np.nanmax(np.where(np.isnan(values), -np.inf, values), axis=1) - level
    reference = np.where(np.isfinite(start.amplitude), start.amplitude - level, 0.0)
    reference = np.maximum(reference, 0.1 * scale)
    top = settings.amplitude_rel_max * np.maximum(np.nan_to_num(peak), reference)
    centre = np.nan_to_num(start.centre)
    sigma = np.clip(np.nan_to_num(start.sigma, nan=settings.width_guess), settings.width_min,
                    settings.width_max)  # fmt: skip
    p = model.parameter_count
    n = values.shape[0]
    initial = np.zeros((n, p))
    lower = np.full((n, p), -np.inf)
    upper = np.full((n, p), np.inf)
    offsets = model.start_offsets()
    found = max(model.reference, 0)  # the component whose line the first pass found
    for k in range(model.components):
        a, c, s = 3 * k, 3 * k + 1, 3 * k + 2
        at = centre + offsets[k]
        if k == found or model.amplitude_ref[k] >= 0:
            amp = reference * model.amplitude_ratio[k]
        else:  # an untied member: the data at its velocity
            nearest = np.abs(axis[None, :] - at[:, None]).argmin(axis=1)
            here = values[np.arange(n), nearest] - level
            amp = np.clip(np.nan_to_num(here), 0.05 * reference, None)
        initial[:, a] = amp
        lower[:, a] = 0.0
        upper[:, a] = np.maximum(top, amp)
        initial[:, c] = at
        lower[:, c] = at - settings.velocity_range
        upper[:, c] = at + settings.velocity_range
        initial[:, s] = sigma
        lower[:, s], upper[:, s] = settings.width_min, settings.width_max
    initial[:, 3 * model.components :] = base
    initial[:, : 3 * model.components : 3] /= scale[:, None]
    lower[:, : 3 * model.components : 3] /= scale[:, None]
    upper[:, : 3 * model.components : 3] /= scale[:, None]
    initial[:, 3 * model.components :] /= scale[:, None]
    return model.bounded(initial, lower, upper, scale)


def _run(
    block: PreparedBlock,
    velocity32: np.ndarray,
    settings: LineSettings,
    model: LineModel,
    start: _Start,
    initial: np.ndarray,
    lower: np.ndarray,
    upper: np.ndarray,
) -> Any:
    solver = settings.as_kwargs()
    # Rows with no reference line have an empty window (nothing is fitted):
    # any bounds serve, as long as the kernel's check of them passes.
    idle = ~start.usable[:, None]
    initial = np.where(idle, 0.75, initial)
    lower = np.where(idle, 0.5, lower)
    upper = np.where(idle, 1.0, upper)
    return fit_model_rows(
        block.spectra,
        velocity32,
        block.noise,
        start.windows,
        model,
        initial,
        lower,
        upper,
        scale=start.scale,
        xtol=solver["xtol"],
        ftol=solver["ftol"],
        gtol=solver["gtol"],
        max_iter=solver["max_iter"],
    )


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
        channels = np.arange(axis.size)
        inside = valid & (channels >= windows[:, :1]) & (channels < windows[:, 1:])
        first = np.where(inside.any(axis=1), inside.argmax(axis=1), 0)
        last = np.where(inside.any(axis=1), axis.size - 1 - inside[:, ::-1].argmax(axis=1), 0)
        t = v - 0.5 * (axis[first] + axis[last])[:, None]
        for j in range(model.baseline_terms):
            out += (
                np.nan_to_num(params[:, 3 * model.components + j].astype(np.float64))[:, None]
                * t**j
            )
    return out


def _residual_peak(
    block: PreparedBlock,
    axis: np.ndarray,
    windows: np.ndarray,
    model: LineModel,
    params: np.ndarray,
    settings: LineSettings,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The largest peak of each row's residual in its window: its height,
    velocity, and the sigma of its half-maximum width."""
    data = block.spectra[:, : axis.size].astype(np.float64)
    valid = np.isfinite(data) & (block.noise[:, : axis.size] > 0)
    residual = _window_values((data - evaluate(model, params, axis, windows, valid)), windows)
    residual = np.where(valid, residual, np.nan)
    filled = np.where(np.isnan(residual), -np.inf, residual)
    j = filled.argmax(axis=1)
    rows = np.arange(data.shape[0])
    height = filled[rows, j]
    half = filled >= 0.5 * height[:, None]
    channels = np.arange(axis.size)[None, :]
    left = np.max(np.where(~half & (channels < j[:, None]), channels, -1), axis=1)
    right = np.min(np.where(~half & (channels > j[:, None]), channels, axis.size), axis=1)
    dv = float(settings.dv)
    sigma = np.clip((right - left - 1) * dv / 2.3548, settings.width_min, settings.width_max)
    return np.where(np.isfinite(height), height, 0.0), axis[j], sigma


def _fit_counts(
    block: PreparedBlock,
    start: _Start,
    velocity32: np.ndarray,
    settings: LineSettings,
    spec: ModelSpec,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Free Gaussians fitted 1, 2, ... K in turn, each count started from the
    one before and the largest peak of its residual; the count kept per row
    (all of them for a fixed count; the BIC's choice for "auto"), as full
    rows of the K-component model (NaN for the components not kept)."""
    full = spec.model
    axis = velocity32[: settings.sg_xpixels].astype(np.float64)
    n = block.spectra.shape[0]
    p_full = full.parameter_count
    b = full.baseline_terms
    best_params = np.full((n, p_full), np.nan, np.float32)
    best_errors = np.full((n, p_full), np.nan, np.float32)
    best_stats = np.full((n, 5), np.nan, np.float32)
    best_bic = np.full(n, np.inf)
    kept = np.zeros(n, dtype=np.int64)
    scale = start.scale.astype(np.float64)[:, None]
    previous: tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray] | None = None
    span_low = axis[np.clip(start.windows[:, 0], 0, axis.size - 1)]
    span_high = axis[np.clip(start.windows[:, 1] - 1, 0, axis.size - 1)]
    for count in spec.counts:
        model = _leading(full, count)
        if previous is None:
            initial, lower, upper = _model_starts(block, start, velocity32, settings, model)
        else:
            p_params, p_initial, p_lower, p_upper = previous
            prior = LineModel.free(count - 1, baseline=full.baseline)
            height, where, width = _residual_peak(
                block, axis, start.windows, prior, p_params, settings
            )
            lines = 3 * (count - 1)
            added_initial = np.stack([height / scale[:, 0], where, width], axis=1)
            added_lower = np.stack(
                [
                    np.zeros(n),
                    np.minimum(span_low, span_high) - settings.dv,
                    np.full(n, settings.width_min),
                ],
                axis=1,
            )
            added_upper = np.stack(
                [
                    np.maximum(p_upper[:, 0], height / scale[:, 0]),
                    np.maximum(span_low, span_high) + settings.dv,
                    np.full(n, settings.width_max),
                ],
                axis=1,
            )
            initial = _join(p_params, added_initial, lines, scale)
            before = np.concatenate(
                [p_initial[:, :lines], added_initial, p_initial[:, lines:]], axis=1
            )
            initial = np.where(np.isfinite(initial), initial, before)
            lower = np.concatenate([p_lower[:, :lines], added_lower, p_lower[:, lines:]], axis=1)
            upper = np.concatenate([p_upper[:, :lines], added_upper, p_upper[:, lines:]], axis=1)
            initial = np.clip(initial, lower, upper)
        # Any component may settle anywhere in the window: the one fitted
        # first may turn out to be the second line, and the added one the first.
        for c in range(count):
            lower[:, 3 * c + 1] = np.minimum(span_low, span_high) - settings.dv
            upper[:, 3 * c + 1] = np.maximum(span_low, span_high) + settings.dv
        initial, lower, upper = model.bounded(initial, lower, upper, scale[:, 0])
        fit = _run(block, velocity32, settings, model, start, initial, lower, upper)
        with np.errstate(all="ignore"):
            bic = np.where(fit.flag == 0, fit.bic(), np.inf)
        with np.errstate(invalid="ignore"):
            gain = best_bic - bic
        better = (
            (gain >= MIN_DELTA_BIC) | (kept == 0) if spec.components == "auto" else np.full(n, True)
        )
        better &= (fit.flag == 0) | (kept == 0)
        columns = list(range(3 * count)) + list(range(p_full - b, p_full))
        row_params = np.full((n, p_full), np.nan, np.float32)
        row_errors = np.full((n, p_full), np.nan, np.float32)
        row_params[:, columns] = fit.params
        row_errors[:, columns] = fit.errors
        best_params[better] = row_params[better]
        best_errors[better] = row_errors[better]
        best_stats[better] = fit.stats[better]
        best_bic[better] = bic[better]
        kept[better] = count
        previous = (fit.params, initial, lower, upper)
    return best_params, best_errors, best_stats, kept


def _leading(full: LineModel, count: int) -> LineModel:
    """The first ``count`` free Gaussians of ``full``, with their bounds."""
    return LineModel.free(
        count,
        baseline=full.baseline,
        amplitude=full.amplitude_bounds[:count],
        velocity=full.velocity_bounds[:count],
        sigma=full.sigma_bounds[:count],
    )


def _join(
    params: np.ndarray,
    added: np.ndarray,
    lines: int,
    scale: np.ndarray,
) -> np.ndarray:
    """The next count's starts: the previous fit's components (its amplitudes
    and baseline back in units of spectra / scale), the added one, then the
    baseline."""
    previous = params.astype(np.float64)
    previous[:, 0:lines:3] /= scale
    previous[:, lines:] /= scale
    return np.concatenate([previous[:, :lines], added, previous[:, lines:]], axis=1)


def _store(
    out: np.ndarray,
    model: LineModel,
    params: np.ndarray,
    errors: np.ndarray,
    stats: np.ndarray,
    kept: np.ndarray,
    start: _Start,
    block: PreparedBlock,
    continuum: np.ndarray | None,
) -> None:
    k = model.components
    flag = stats[:, 4].copy()
    flag[~start.usable] = FLAG_NO_LOCAL_MAX
    failed = flag != 0
    params = np.where(failed[:, None], np.float32(np.nan), params)
    errors = np.where(failed[:, None], np.float32(np.nan), errors)
    # Each component's velocity is its own line's: its centre on the axis
    # less where its line sits there at rest; a line tied to another takes
    # that one's map, so that tied members share one velocity to the bit.
    centres = params[:, 1 : 3 * k : 3].astype(np.float64) - np.asarray(model.line_velocity)
    if block.offsets is not None:
        shift = np.broadcast_to(np.asarray(block.offsets, dtype=np.float64), (out.shape[0],))
        centres = centres + shift[:, None]
    params = params.copy()
    params[:, 1 : 3 * k : 3] = centres.astype(np.float32)
    for j in range(k):
        shared = model.shares_velocity(j)
        if shared is not None:
            params[:, 3 * j + 1] = params[:, 3 * shared + 1]
    for j, name in enumerate(("amplitude", "centre", "sigma")):
        out[name] = params[:, j : 3 * k : 3]
        out[f"{name}_error"] = errors[:, j : 3 * k : 3]
    if model.baseline_terms:
        out["baseline"] = params[:, 3 * k :]
        out["baseline_error"] = errors[:, 3 * k :]
    out["ncomponents"] = np.where(failed, 0, kept)
    out["chi2"] = np.where(failed, np.nan, stats[:, 0])
    out["reduced_chi2"] = np.where(failed, np.nan, stats[:, 1])
    out["samples"] = np.nan_to_num(stats[:, 2]).astype(np.int32)
    out["free_parameters"] = np.nan_to_num(stats[:, 3]).astype(np.int8)
    out["flag"] = flag.astype(np.int8)
    out["window_left"] = start.windows[:, 0]
    out["window_right"] = start.windows[:, 1]
    out["continuum"] = np.nan if continuum is None else continuum


@dataclass(frozen=True)
class ModelFitter:
    """A line model's fit of blocks (a `quillet.work.blocks.BlockFitter`):
    the model and how it is fitted, the fit's settings, the shared velocity
    axis (float32) and the window the guides are sought in. Its blocks stand
    alone: it asks for no neighbour refits."""

    spec: ModelSpec
    settings: LineSettings
    velocity32: np.ndarray
    velocity_window: tuple[float, float] | None = None

    @classmethod
    def of(cls, inputs: CubeInputs, spec: ModelSpec) -> ModelFitter:
        """The fitter of a model for a cube's inputs."""
        return cls(spec, inputs.settings, inputs.velocity32, inputs.trust.velocity_window)

    @property
    def dtype(self) -> np.dtype[Any]:
        return model_record_dtype(self.spec.model)

    @property
    def neighbour_refits(self) -> bool:
        return False

    def prepare(self, rows: BlockRows) -> PreparedBlock:
        return prepare_rows(rows, self.velocity32, self.settings, self.velocity_window)

    def fit(self, prepared: PreparedBlock) -> np.ndarray:
        return fit_model_block(prepared, self.velocity32, self.settings, self.spec)

    def refit(self, rows: BlockRows, widths: np.ndarray) -> np.ndarray:
        raise NotImplementedError("a line model's fit has no neighbour refits")

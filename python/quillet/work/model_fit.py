"""The fit of a block of spectra with a `LineModel`: several Gaussian
components, a baseline, ties; or a count of free components chosen per
spectrum; each fit judged with quality bits per component and per spectrum.

`ModelFitter` is the `quillet.work.blocks.BlockFitter` of a model: the
driver reads its blocks as for any fit, and it prepares them as the
Gaussian fitter does (`quillet.work.blocks.prepare_rows`: noise, guides,
continuum). Then:

1. a first pass of the Gaussian fitter (`quillet.work.gaussian_fit`, on
   the kernel's own windows) finds each spectrum's reference line near its
   guide: its peak window, centre, sigma and amplitude;
2. each spectrum's window covers every member of the model: the reference
   window and centre ± ``window_sigmas`` sigma, shifted by each member's
   offset, clipped to the axis;
3. starting values and bounds come from that first pass (a member's
   amplitude from its ratio, or from the data at its velocity; a component
   that is no line, beside lines, `OTHER_WIDTH_START` times as wide as the
   line found; the baseline from the window's edges), and one
   ``fit_lines_batch`` call fits the block;
4. the fit settles (`quillet.work.model_rules`): windows that a component
   reaches beyond grow to cover every component and are fitted again
   (with ``adapt_window``), and a fit with a component on a bound or a
   poor reduced chi-square is tried from a second start, the lower
   chi-square kept (and its window settled again);
5. components that nothing tells apart are put in the stated order, and
   every component and spectrum is judged (`quillet.data.model_quality`).

With ``components`` a number or "auto", the model is K free Gaussians
(``LineModel.free``): 1, 2, ... K are fitted in turn, each added component
starting at the largest peak of the previous fit's residual in the window,
with the sigma of that peak's half-maximum width, each count settling as
above on the window the count before it left. "auto" then compares, per
spectrum, the baseline alone and every count on the widest of those
windows (a count fitted on a narrower one is fitted again there from its
own result), and keeps the count the BIC chooses
(`quillet.work.model_rules.chosen_count`).

Every step is per spectrum (NumPy's row-wise operations and the kernel,
whose row results do not depend on the rows beside them, nor on the lanes
they run in), so a spectrum's result never depends on the block, the
threads or the scheduler.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from ..basics.settings import LineSettings
from ..data.fit_inputs import CubeInputs
from ..data.line_models import LineModel, fit_model_rows
from ..data.model_quality import ComponentJudging, bound_bits, component_bits, spectrum_bits
from ..data.quality import Quality
from .blocks import BlockRows, PreparedBlock, prepare_rows
from .gaussian_fit import GaussianFitter, Judging
from .model_rules import (
    COMPONENT_ORDERS,
    MIN_DELTA_BIC,
    ComponentOrder,
    baseline_alone,
    baseline_origin,
    channels_covering,
    chosen_count,
    component_order,
    evaluate,
    ordered,
    second_start,
    second_start_due,
    shifted_baseline,
    valid_samples,
    window_growth,
)
from .windows import DEFAULT_MAX_ROUNDS

__all__ = [
    "DEFAULT_MAX_COMPONENTS",
    "DEFAULT_MODEL_WINDOW_SIGMAS",
    "FLAG_NO_LOCAL_MAX",
    "MIN_DELTA_BIC",
    "OTHER_WIDTH_START",
    "ModelFitter",
    "ModelSpec",
    "evaluate",
    "fit_model_block",
    "model_record_dtype",
]

#: Half-width of a model's window beyond its outermost members, in sigmas of
#: the reference line, and the reach, in each component's own sigmas, of a
#: window grown to cover every component: a baseline is measured on the
#: channels beyond the line's wings, which ±3 sigma would barely leave.
DEFAULT_MODEL_WINDOW_SIGMAS = 5.0

#: The ceiling of ``components="auto"`` when none is given
#: (``max_components``, ``--max-components``).
DEFAULT_MAX_COMPONENTS = 3

#: A component that is no line, in a model of lines (a broad component
#: beside a multiplet, say), starts this many times as wide as the line the
#: first pass found: started at one width, narrow and broad components
#: share one start and may swap their roles.
OTHER_WIDTH_START = 3.0

#: No peak near the guide: the first pass found no reference line (the
#: kernel's own flag 1); the model's other flags are fit_lines_batch's.
FLAG_NO_LOCAL_MAX = 1

Components = int | Literal["auto"] | None


@dataclass(frozen=True)
class ModelSpec:
    """What a model fit adds to a cube's inputs: the model, the count of
    free components (None: the model as it is; a number; or "auto", 0 to
    the model's own count), the window's half-width in sigmas, and the
    order of the components that nothing tells apart ("velocity", blue
    first, or "width", narrowest first)."""

    model: LineModel
    components: Components = None
    window_sigmas: float = DEFAULT_MODEL_WINDOW_SIGMAS
    order: ComponentOrder = "velocity"

    def __post_init__(self) -> None:
        if not (math.isfinite(self.window_sigmas) and self.window_sigmas > 0):
            raise ValueError(f"window_sigmas must be positive, not {self.window_sigmas!r}")
        if self.order not in COMPONENT_ORDERS:
            raise ValueError(
                f"order must be one of {', '.join(map(repr, COMPONENT_ORDERS))}, not {self.order!r}"
            )
        if self.components is None:
            return
        if not self.is_free:
            raise ValueError(
                "components= chooses a count of free Gaussians; a multiplet or hyperfine "
                "model has its count; leave components unset"
            )
        if self.components == "auto" and self.model.components == 1:
            raise ValueError(
                "components='auto' chooses how many of the model's free Gaussians to keep, "
                "and this model has one: give max_components=N (--max-components N) or "
                "model=LineModel.free(N) for a ceiling of N, or leave components unset"
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
            and m.line_components == ()
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
    chi2, samples, free parameters, flag, window and continuum subtracted;
    the spectrum's quality bits and its components' (K,)."""
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
        ("quality", np.uint16),
        ("component_quality", np.uint16, (k,)),
    ]
    return np.dtype(fields)


@dataclass(frozen=True)
class _Start:
    """Per row: the first pass's reference line (NaN where none), the
    window, the scale the spectra are divided by, whether it is fitted,
    and whether the spectrum has no finite pixel."""

    centre: np.ndarray
    sigma: np.ndarray
    amplitude: np.ndarray
    windows: np.ndarray
    scale: np.ndarray
    usable: np.ndarray
    blank: np.ndarray


@dataclass(frozen=True)
class _Block:
    """What every fit of one prepared block reads: its spectra and noise,
    the shared axis (float32 as the kernel takes it, float64 for the rules),
    the settings, each row's scale and valid samples, and how fits are
    helped and judged."""

    prepared: PreparedBlock
    velocity32: np.ndarray
    axis: np.ndarray
    settings: LineSettings
    scale: np.ndarray
    valid: np.ndarray
    judging: Judging
    reach: float

    @property
    def rows(self) -> int:
        return int(self.prepared.spectra.shape[0])

    def run(
        self,
        model: LineModel,
        rows: np.ndarray,
        windows: np.ndarray,
        initial: np.ndarray,
        lower: np.ndarray,
        upper: np.ndarray,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The kernel's fits of the given rows (indices into the block) on
        their windows, from their starts within their bounds (the arrays
        of every row of the block)."""
        solver = self.settings.as_kwargs()
        everything = rows.size == self.rows

        def take(values: np.ndarray) -> np.ndarray:
            return values if everything else values[rows]

        fit = fit_model_rows(
            take(self.prepared.spectra),
            self.velocity32,
            take(self.prepared.noise),
            take(windows),
            model,
            take(initial),
            take(lower),
            take(upper),
            scale=take(self.scale),
            xtol=solver["xtol"],
            ftol=solver["ftol"],
            gtol=solver["gtol"],
            max_iter=solver["max_iter"],
        )
        return fit.params, fit.errors, fit.stats

    def residual(self, model: LineModel, params: np.ndarray, windows: np.ndarray, rows: np.ndarray
                 ) -> np.ndarray:  # fmt: skip
        """The data less the model at ``params`` of the given rows, NaN
        outside each window and at samples no fit takes."""
        size = self.axis.size
        data = self.prepared.spectra[rows, :size].astype(np.float64)
        valid = self.valid[rows]
        fitted = evaluate(model, params, self.axis, windows[rows], valid)
        inside = valid & _inside(windows[rows], size)
        return np.where(inside, data - fitted, np.nan)


def _inside(windows: np.ndarray, channels: int) -> np.ndarray:
    index = np.arange(channels)[None, :]
    return np.asarray((index >= windows[:, :1]) & (index < windows[:, 1:]))


@dataclass
class _Fit:
    """A model's fits of every row of a block: parameters, errors (data
    units, centres on the axis) and statistics as the kernel gives them
    (NaN, flag 1, where a row was not fitted); the bounds they were held to
    (amplitudes and baseline in units of the row's scale), the windows,
    which rows took their second start's result, and which centres' bounds
    follow the window (the free components of a count)."""

    model: LineModel
    params: np.ndarray
    errors: np.ndarray
    stats: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    windows: np.ndarray
    second: np.ndarray
    track: np.ndarray = field(default_factory=lambda: np.zeros(0, bool))

    @property
    def success(self) -> np.ndarray:
        return np.asarray(self.stats[:, 4] == 0.0)

    def keep(self, rows: np.ndarray, result: tuple[np.ndarray, ...]) -> None:
        """Takes the kernel's result for the given rows."""
        params, errors, stats = result
        self.params[rows] = params
        self.errors[rows] = errors
        self.stats[rows] = stats


def _unfitted(model: LineModel, n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    p = model.parameter_count
    stats = np.full((n, 5), np.nan, np.float32)
    stats[:, 4] = FLAG_NO_LOCAL_MAX
    return np.full((n, p), np.nan, np.float32), np.full((n, p), np.nan, np.float32), stats


def _fitted(
    block: _Block,
    model: LineModel,
    rows: np.ndarray,
    windows: np.ndarray,
    initial: np.ndarray,
    lower: np.ndarray,
    upper: np.ndarray,
    track: np.ndarray,
) -> _Fit:
    """The first fit of the given rows from their starts, the others not fitted."""
    params, errors, stats = _unfitted(model, block.rows)
    fit = _Fit(model, params, errors, stats, lower, upper, windows.copy(),
               np.zeros(block.rows, bool), track)  # fmt: skip
    if rows.size:
        fit.keep(rows, block.run(model, rows, windows, initial, lower, upper))
    return fit


def _scaled(block: _Block, model: LineModel, params: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """Parameters of the given rows (data units) as a start: amplitudes and
    baseline divided by each row's scale."""
    out = params.astype(np.float64).copy()
    k = model.components
    scale = block.scale[rows].astype(np.float64)[:, None]
    out[:, 0 : 3 * k : 3] /= scale
    out[:, 3 * k :] /= scale
    return out


def _follow_window(block: _Block, fit: _Fit, rows: np.ndarray) -> None:
    """The bounds of the centres that follow the window, for the given rows:
    the window's outermost channels ± one channel, within the model's own."""
    if not fit.track.any():
        return
    axis = block.axis
    last = axis.size - 1
    ends = np.stack([axis[np.clip(fit.windows[rows, 0], 0, last)],
                     axis[np.clip(fit.windows[rows, 1] - 1, 0, last)]], axis=1)  # fmt: skip
    dv = block.settings.dv
    columns = np.flatnonzero(fit.track)
    lower = fit.lower[rows]
    upper = fit.upper[rows]
    lower[:, columns] = ends.min(axis=1)[:, None] - dv
    upper[:, columns] = ends.max(axis=1)[:, None] + dv
    own_lower, own_upper = fit.model.parameter_bounds()
    lower[:, columns] = np.maximum(lower[:, columns], own_lower[columns])
    upper[:, columns] = np.minimum(upper[:, columns], own_upper[columns])
    meet = lower[:, columns] <= upper[:, columns]
    lower[:, columns] = np.where(meet, lower[:, columns], own_lower[columns])
    upper[:, columns] = np.where(meet, upper[:, columns], own_upper[columns])
    fit.lower[rows] = lower
    fit.upper[rows] = upper


def _origin(block: _Block, windows: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """The baseline's v_ref of the given rows on their windows."""
    return baseline_origin(block.axis, windows[rows], block.valid[rows])


def _refit_on(block: _Block, fit: _Fit, rows: np.ndarray, windows: np.ndarray) -> np.ndarray:
    """Fits the given rows again on new windows, from where they ended (the
    baseline re-expressed about the new window's origin); keeps the fits
    that succeed, with their windows. Returns which of the rows did."""
    before = _origin(block, fit.windows, rows)
    old_windows = fit.windows[rows].copy()
    fit.windows[rows] = windows[rows]
    after = _origin(block, fit.windows, rows)
    _follow_window(block, fit, rows)
    start = shifted_baseline(fit.params[rows], fit.model, before, after)
    initial = np.empty_like(fit.lower)
    initial[rows] = np.clip(_scaled(block, fit.model, start, rows), fit.lower[rows],
                            fit.upper[rows])  # fmt: skip
    initial[rows] = np.nan_to_num(initial[rows])
    params, errors, stats = block.run(fit.model, rows, fit.windows, initial, fit.lower, fit.upper)
    took = stats[:, 4] == 0.0
    fit.keep(rows[took], (params[took], errors[took], stats[took]))
    fit.windows[rows[~took]] = old_windows[~took]
    _follow_window(block, fit, rows[~took])
    return np.asarray(took)


def _widen(block: _Block, fit: _Fit, rows: np.ndarray) -> None:
    """The window rounds of the given rows: while a component reaches beyond
    its window on a side where the window can grow (`window_growth`), the
    window grows and the row is fitted again; a refit that fails ends the
    row's rounds with its earlier fit."""
    if not block.judging.adapt_window:
        return
    kept = np.ones((block.rows, fit.model.components), bool)
    active = rows[fit.success[rows]]
    for _ in range(DEFAULT_MAX_ROUNDS):
        if active.size == 0:
            return
        grow, grown = window_growth(
            fit.params[active], kept[active], fit.windows[active], block.axis,
            block.judging.window_sigmas, block.reach,
        )  # fmt: skip
        todo = active[grow]
        if todo.size == 0:
            return
        windows = fit.windows.copy()
        windows[todo] = grown[grow]
        took = _refit_on(block, fit, todo, windows)
        active = todo[took]


def _component_judging(block: _Block) -> ComponentJudging:
    return ComponentJudging(block.judging.snr_min, block.judging.window_sigmas, block.settings.dv)


def _second_start(block: _Block, fit: _Fit) -> None:
    """The second start of the rows whose fit has a component on a bound or
    a poor reduced chi-square (`quillet.work.model_rules.second_start_due`):
    the lower chi-square kept, its window settled again."""
    model = fit.model
    on_bound = bound_bits(model, fit.params, fit.lower, fit.upper, block.scale, block.settings.dv)
    kept = np.ones(on_bound.shape, bool)
    due = np.flatnonzero(second_start_due(on_bound, kept, fit.stats))
    if due.size == 0:
        return
    residual = block.residual(model, fit.params[due], fit.windows, due)
    width_range = (block.settings.width_min, block.settings.width_max)
    start, has = second_start(
        model, fit.params[due], on_bound[due], kept[due], residual, block.axis, width_range
    )
    rows = due[has]
    if rows.size == 0:
        return
    initial = np.zeros_like(fit.lower)
    initial[rows] = np.clip(_scaled(block, model, start[has], rows), fit.lower[rows],
                            fit.upper[rows])  # fmt: skip
    initial[rows] = np.nan_to_num(initial[rows])
    params, errors, stats = block.run(model, rows, fit.windows, initial, fit.lower, fit.upper)
    with np.errstate(invalid="ignore"):
        better = (stats[:, 4] == 0.0) & (stats[:, 0] < fit.stats[rows, 0])
    won = rows[better]
    fit.keep(won, (params[better], errors[better], stats[better]))
    fit.second[won] = True
    _widen(block, fit, won)


def _settled(block: _Block, fit: _Fit) -> _Fit:
    """A first fit with its window rounds and its second start."""
    _widen(block, fit, np.arange(block.rows))
    _second_start(block, fit)
    return fit


def fit_model_block(
    block: PreparedBlock,
    velocity32: np.ndarray,
    settings: LineSettings,
    spec: ModelSpec,
    judging: Judging | None = None,
) -> np.ndarray:
    """The records (`model_record_dtype`) of one prepared block, fitted and
    judged as ``judging`` says (by default as `Judging`'s defaults)."""
    judging = Judging() if judging is None else judging
    velocity32 = np.require(velocity32, dtype=np.float32, requirements=["C", "A"])
    # The reference line's first pass on the kernel's own windows: the
    # model's window is built round it below, and a window widened for a
    # broad Gaussian would swallow the model's other lines.
    reference = GaussianFitter(settings, velocity32, judging._replace(adapt_window=False))
    first = reference.results(block._replace(offsets=None))
    blank = (first.quality & np.uint16(Quality.NO_DATA)) != 0
    start = _first_pass_start(block, first.fits, first.windows, velocity32, settings, spec, blank)
    axis = velocity32[: settings.sg_xpixels].astype(np.float64)
    context = _Block(
        block, velocity32, axis, settings, start.scale,
        valid_samples(block.spectra, block.noise, axis.size), judging,
        max(spec.window_sigmas, judging.window_sigmas),
    )  # fmt: skip
    if len(spec.counts) == 1 and spec.components is None:
        fit = _settled(context, _first_fit(context, start, spec.model))
        fits = {spec.model.components: fit}
        kept = np.where(fit.success, spec.model.components, -1)
        zero = None
    else:
        fits, kept, zero = _fit_counts(context, start, spec)
    return _records(context, spec, fits, kept, zero, start, first.continuum)


def _first_fit(block: _Block, start: _Start, model: LineModel) -> _Fit:
    initial, lower, upper = _model_starts(block.prepared, start, block.velocity32,
                                          block.settings, model)  # fmt: skip
    rows = np.flatnonzero(start.usable)
    track = np.zeros(model.parameter_count, bool)
    return _fitted(block, model, rows, start.windows, initial, lower, upper, track)


def _first_pass_start(
    block: PreparedBlock,
    fits: np.ndarray,
    windows: np.ndarray,
    velocity32: np.ndarray,
    settings: LineSettings,
    spec: ModelSpec,
    blank: np.ndarray,
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
    low = np.where(usable, low + offsets.min(), 0.0)
    high = np.where(usable, high + offsets.max(), 0.0)
    windows_out = channels_covering(axis, low, high)
    windows_out[~usable] = 0
    scale = np.where(usable & (amplitude > 0), amplitude, 1.0)
    return _Start(centre, sigma, amplitude, windows_out, scale.astype(np.float32), usable,
                  np.asarray(blank, bool))  # fmt: skip


def _window_values(spectra: np.ndarray, windows: np.ndarray) -> np.ndarray:
    """The spectra with NaN outside each row's window."""
    inside = _inside(windows, spectra.shape[1])
    return np.where(inside, spectra, np.float32(np.nan)).astype(np.float64)


def _edge_level(values: np.ndarray, windows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The median of the first and of the last three channels of each
    window: the baseline's level at either end."""
    import warnings

    n = values.shape[0]
    rows = np.arange(n)[:, None]
    take = np.arange(3)[None, :]
    last = values.shape[1] - 1
    lo = np.clip(windows[:, :1] + take, 0, last)
    hi = np.clip(windows[:, 1:] - 1 - take, 0, last)
    with np.errstate(all="ignore"), warnings.catch_warnings():
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
    width = np.nan_to_num(start.sigma, nan=settings.width_guess)
    p = model.parameter_count
    n = values.shape[0]
    initial = np.zeros((n, p))
    lower = np.full((n, p), -np.inf)
    upper = np.full((n, p), np.inf)
    offsets = model.start_offsets()
    found = max(model.reference, 0)  # the component whose line the first pass found
    wider = {k for k in range(model.components) if model.rest[k] is None and model.line_components}
    for k in range(model.components):
        a, c, s = 3 * k, 3 * k + 1, 3 * k + 2
        at = centre + offsets[k]
        if k == found or model.amplitude_ref[k] >= 0:
            amp = reference * model.amplitude_ratio[k]
        else:  # an untied member: the data at its velocity
            nearest = np.abs(axis[None, :] - at[:, None]).argmin(axis=1)
            here = values[np.arange(n), nearest] - level
            amp = np.clip(np.nan_to_num(here), 0.05 * reference, None)
        if k in wider:  # as wide, a component of no line would share the line's start
            amp = amp / OTHER_WIDTH_START
        initial[:, a] = amp
        lower[:, a] = 0.0
        upper[:, a] = np.maximum(top, amp)
        initial[:, c] = at
        lower[:, c] = at - settings.velocity_range
        upper[:, c] = at + settings.velocity_range
        initial[:, s] = np.clip(width * (OTHER_WIDTH_START if k in wider else 1.0),
                                settings.width_min, settings.width_max)  # fmt: skip
        lower[:, s], upper[:, s] = settings.width_min, settings.width_max
    initial[:, 3 * model.components :] = base
    initial[:, : 3 * model.components : 3] /= scale[:, None]
    lower[:, : 3 * model.components : 3] /= scale[:, None]
    upper[:, : 3 * model.components : 3] /= scale[:, None]
    initial[:, 3 * model.components :] /= scale[:, None]
    return model.bounded(initial, lower, upper, scale)


def _fit_counts(
    block: _Block, start: _Start, spec: ModelSpec
) -> tuple[dict[int, _Fit], np.ndarray, tuple[np.ndarray, ...] | None]:
    """Free Gaussians fitted 1, 2, ... K in turn, each count started from the
    one before (on the window it left) and the largest peak of its
    residual, and settled; the count kept per row: the highest that
    succeeded for a given count, the BIC's choice for "auto" (0 for the
    baseline alone, whose fit is returned too; -1 where none succeeded)."""
    full = spec.model
    n = block.rows
    rows = np.flatnonzero(start.usable)
    scale = block.scale.astype(np.float64)[:, None]
    fits: dict[int, _Fit] = {}
    previous: _Fit | None = None
    windows = start.windows
    for count in spec.counts:
        model = _leading(full, count)
        track = np.zeros(model.parameter_count, bool)
        track[1 : 3 * count : 3] = True
        if previous is None:
            initial, lower, upper = _model_starts(block.prepared, start, block.velocity32,
                                                  block.settings, model)  # fmt: skip
        else:
            initial, lower, upper = _next_count_starts(block, previous, model, rows, scale)
        fit = _Fit(model, *_unfitted(model, n), lower, upper, windows.copy(), np.zeros(n, bool),
                   track)  # fmt: skip
        # Any component may settle anywhere in the window: the one fitted
        # first may turn out to be the second line, and the added one the first.
        _follow_window(block, fit, rows)
        initial, fit.lower, fit.upper = model.bounded(initial, fit.lower, fit.upper, scale[:, 0])
        if rows.size:
            fit.keep(rows, block.run(model, rows, fit.windows, initial, fit.lower, fit.upper))
        fits[count] = _settled(block, fit)
        previous = fit
        windows = fit.windows
    if spec.components != "auto":
        kept = np.full(n, -1)
        for count, fit in fits.items():
            kept = np.where(fit.success, count, kept)
        return fits, kept, None
    return _compare_counts(block, fits, rows)


def _next_count_starts(
    block: _Block, previous: _Fit, model: LineModel, rows: np.ndarray, scale: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The starts and bounds of one more free component than ``previous``:
    its components where they ended, the added one on the largest peak of
    its residual, with the peak's height and half-maximum width."""
    from .model_rules import residual_peak

    n = block.rows
    count = model.components
    lines = 3 * (count - 1)
    height = np.zeros(n)
    where = np.zeros(n)
    width = np.full(n, block.settings.width_guess)
    if rows.size:
        residual = block.residual(previous.model, previous.params[rows], previous.windows, rows)
        width_range = (block.settings.width_min, block.settings.width_max)
        height[rows], where[rows], width[rows] = residual_peak(residual, block.axis, width_range)
    added_initial = np.stack([height / scale[:, 0], where, width], axis=1)
    added_lower = np.stack(
        [np.zeros(n), np.full(n, -np.inf), np.full(n, block.settings.width_min)], axis=1
    )
    added_upper = np.stack(
        [
            np.maximum(previous.upper[:, 0], height / scale[:, 0]),
            np.full(n, np.inf),
            np.full(n, block.settings.width_max),
        ],
        axis=1,
    )
    p_lower, p_upper = previous.lower, previous.upper
    initial = _join(previous.params, added_initial, lines, scale)
    fallback = np.concatenate(
        [np.zeros((n, lines)), added_initial, np.zeros((n, p_lower.shape[1] - lines))], axis=1
    )
    initial = np.where(np.isfinite(initial), initial, fallback)
    lower = np.concatenate([p_lower[:, :lines], added_lower, p_lower[:, lines:]], axis=1)
    upper = np.concatenate([p_upper[:, :lines], added_upper, p_upper[:, lines:]], axis=1)
    return np.clip(initial, lower, upper), lower, upper


def _compare_counts(
    block: _Block, fits: dict[int, _Fit], rows: np.ndarray
) -> tuple[dict[int, _Fit], np.ndarray, tuple[np.ndarray, ...]]:
    """The counts compared on one window per row, the widest the counts
    left (each count started on the window of the one before): a count
    fitted on a narrower window is fitted again there, from its own
    result, and the baseline alone fitted there too; the BIC chooses."""
    counts = sorted(fits)
    final = fits[counts[-1]].windows
    for count in counts[:-1]:
        fit = fits[count]
        moved = rows[fit.success[rows] & np.any(fit.windows[rows] != final[rows], axis=1)]
        if moved.size:
            failed = ~_refit_on(block, fit, moved, final)
            # A count that no longer fits on the common window is out of the choice.
            fit.stats[moved[failed], 4] = FLAG_NO_LOCAL_MAX
            fit.windows[moved[failed]] = final[moved[failed]]
    model = fits[counts[-1]].model
    coefficients, errors, chi2, samples = baseline_alone(
        block.prepared.spectra, block.prepared.noise, block.axis, final, model.baseline
    )
    usable = np.zeros(block.rows, bool)
    usable[rows] = True
    terms = model.baseline_terms
    with np.errstate(all="ignore"):
        bic = [np.where(usable & np.isfinite(chi2), chi2 + terms * np.log(np.maximum(samples, 1)),
                        np.inf)]  # fmt: skip
        for count in counts:
            stats = fits[count].stats.astype(np.float64)
            criterion = stats[:, 0] + stats[:, 3] * np.log(np.maximum(stats[:, 2], 1.0))
            bic.append(np.where(fits[count].success, criterion, np.inf))
    kept = chosen_count(np.stack(bic, axis=1))
    return fits, kept, (coefficients, errors, chi2, samples)


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


def _records(
    block: _Block,
    spec: ModelSpec,
    fits: dict[int, _Fit],
    kept: np.ndarray,
    zero: tuple[np.ndarray, ...] | None,
    start: _Start,
    continuum: np.ndarray | None,
) -> np.ndarray:
    """Each row's result, of the count it kept, as records: components in
    the stated order, each with its bits, velocities as each line's own."""
    full = spec.model
    n, k = block.rows, full.components
    p_full, b = full.parameter_count, full.baseline_terms
    params = np.full((n, p_full), np.nan, np.float32)
    errors = np.full((n, p_full), np.nan, np.float32)
    stats = np.full((n, 5), np.nan, np.float32)
    stats[:, 4] = FLAG_NO_LOCAL_MAX
    windows = start.windows.copy()
    bits = np.zeros((n, k), np.uint16)
    second = np.zeros(n, bool)
    judging = _component_judging(block)
    last = max(fits)
    for count, fit in fits.items():
        rows = kept == count
        # Where no count succeeded, the last count's failure is the row's.
        rows |= (kept < 0) & (count == last) & start.usable
        columns = list(range(3 * count)) + list(range(p_full - b, p_full))
        params[np.ix_(rows, columns)] = fit.params[rows]
        errors[np.ix_(rows, columns)] = fit.errors[rows]
        stats[rows] = fit.stats[rows]
        windows[rows] = fit.windows[rows]
        second[rows] = fit.second[rows]
        judged = component_bits(fit.model, fit.params[rows], fit.errors[rows], fit.stats[rows],
                                fit.lower[rows], fit.upper[rows], block.scale[rows],
                                fit.windows[rows], block.axis, judging)  # fmt: skip
        bits[np.ix_(rows, np.arange(count))] = judged
    if zero is not None:
        rows = kept == 0
        coefficients, coefficient_errors, chi2, samples = zero
        windows[rows] = fits[last].windows[rows]
        params[rows, p_full - b :] = coefficients[rows]
        errors[rows, p_full - b :] = coefficient_errors[rows]
        with np.errstate(all="ignore"):
            reduced = chi2 / np.maximum(samples - b, 1)
        stats[rows] = np.stack([chi2, reduced, samples, np.full(n, b), np.zeros(n)], axis=1)[rows]
    success = stats[:, 4] == 0.0
    count_kept = np.where(success, np.maximum(kept, 0), 0)
    placed = component_order(full, params, spec.order)
    params = ordered(params, placed, k)
    errors = ordered(errors, placed, k)
    bits = np.take_along_axis(bits, placed, axis=1)
    own = np.where(start.blank, np.uint16(Quality.NO_DATA), np.uint16(0))
    own = own | np.where(second & success, np.uint16(Quality.SECOND_START), np.uint16(0))
    spectrum, component = spectrum_bits(bits, count_kept, success, own)
    out = np.zeros(n, model_record_dtype(full))
    _store(out, full, params, errors, stats, count_kept, windows, block.prepared, continuum)
    out["quality"] = spectrum
    out["component_quality"] = component
    return out


def _store(
    out: np.ndarray,
    model: LineModel,
    params: np.ndarray,
    errors: np.ndarray,
    stats: np.ndarray,
    kept: np.ndarray,
    windows: np.ndarray,
    block: PreparedBlock,
    continuum: np.ndarray | None,
) -> None:
    k = model.components
    flag = stats[:, 4].copy()
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
    out["window_left"] = np.where(failed & (flag == FLAG_NO_LOCAL_MAX), 0, windows[:, 0])
    out["window_right"] = np.where(failed & (flag == FLAG_NO_LOCAL_MAX), 0, windows[:, 1])
    out["continuum"] = np.nan if continuum is None else continuum


@dataclass(frozen=True)
class ModelFitter:
    """A line model's fit of blocks (a `quillet.work.blocks.BlockFitter`):
    the model and how it is fitted, the fit's settings, the shared velocity
    axis (float32), the window the guides are sought in, and how fits are
    helped and judged (windows that follow the components, ``snr_min``).
    Its blocks stand alone: it asks for no neighbour refits."""

    spec: ModelSpec
    settings: LineSettings
    velocity32: np.ndarray
    velocity_window: tuple[float, float] | None = None
    judging: Judging = field(default_factory=Judging)

    @classmethod
    def of(cls, inputs: CubeInputs, spec: ModelSpec) -> ModelFitter:
        """The fitter of a model for a cube's inputs."""
        return cls(spec, inputs.settings, inputs.velocity32, inputs.trust.velocity_window,
                   Judging.of(inputs))  # fmt: skip

    @property
    def dtype(self) -> np.dtype[Any]:
        return model_record_dtype(self.spec.model)

    @property
    def neighbour_refits(self) -> bool:
        return False

    def prepare(self, rows: BlockRows) -> PreparedBlock:
        return prepare_rows(rows, self.velocity32, self.settings, self.velocity_window)

    def fit(self, prepared: PreparedBlock) -> np.ndarray:
        return fit_model_block(prepared, self.velocity32, self.settings, self.spec, self.judging)

    def refit(self, rows: BlockRows, widths: np.ndarray) -> np.ndarray:
        raise NotImplementedError("a line model's fit has no neighbour refits")

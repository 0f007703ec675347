"""Pictures of line-model fits: the maps of a `ModelFit` per component, and
one spectrum with its components and baseline.

Drawn with what every picture of maps shares (`quillet.front.figures`:
matplotlib's object interface, imported only when a picture is drawn, and
pictures saved whole or not at all), as `quillet.front.plots` draws a
`LineFit`'s.
"""

from __future__ import annotations

import math
import os
import textwrap
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from ..basics.errors import InputError
from ..data.model_results import MODEL_FLAG_MEANINGS, ModelFit
from ..work.model_rules import evaluate
from .figures import (
    blank_spectra,
    chosen_for_diagnostics,
    colour_limits,
    diagnostic_pictures,
    label_sky_axes,
    new_figure,
    pixel_aspect,
    position_text,
    save_figure,
    sky_projection,
    zoom_to_window,
)

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["plot_model_fit", "plot_model_maps", "write_model_diagnostics"]


#: Panels per row of a picture of model maps.
_COLUMNS = 3


def plot_model_maps(
    fit: ModelFit,
    path: str | os.PathLike[str] | None = None,
    *,
    show: str = "good",
    overwrite: bool = False,
) -> Figure:
    """Each map a model's fit holds once, of the good fits alone (``show=
    "all"``: of every success), each colour scale set by what it draws:
    the amplitude of each component whose amplitude is its own (a line tied
    in ratio named beside the one it follows), one velocity per group of
    lines tied in velocity and one width per group tied in width, each
    titled with its lines; then the quality of each spectrum (as
    `quillet.front.plots.plot_maps` draws a Gaussian fit's), the count of
    components kept where it varies, and the reduced chi-square. A
    component's map counts as good where the component is
    (`ModelFit.component_good`); a shared velocity or width where any of
    its lines is. Maps of two axes only, on sky axes where the WCS has them."""
    from .plots import SHOW_CHOICES, quality_categories

    if show not in SHOW_CHOICES:
        raise InputError(f"show must be one of {', '.join(SHOW_CHOICES)}, not {show!r}")
    if len(fit.shape) != 2:
        raise InputError(f"plot_model_maps draws maps of two axes, not {len(fit.shape)}")
    fit = fit.compute()
    panels = _model_panels(fit, show)
    success = np.asarray(fit.success, bool)
    varies = len(set(np.asarray(fit.ncomponents)[success].tolist())) > 1
    count = len(panels) + 2 + varies
    rows = math.ceil(count / _COLUMNS)
    figure = new_figure(figsize=(11, 3.6 * rows + 0.6), layout="constrained")
    projection = sky_projection(fit.wcs)

    placed = iter(range(1, rows * _COLUMNS + 1))

    def next_axes() -> Any:
        return figure.add_subplot(rows, _COLUMNS, next(placed), projection=projection)

    for title, values, unit, cmap, limits in panels:
        _map_panel(figure, next_axes(), values, cmap, limits, title, unit)
    good = np.asarray(fit.good, bool)
    if fit.quality is not None:
        codes, labels, colours = quality_categories(fit.flag, fit.quality, good)
        _category_panel(next_axes(), codes, labels, colours, "quality of each spectrum")
    else:
        _map_panel(figure, next_axes(), np.asarray(fit.flag, np.float64), "gray", None, "flag", "")
    if varies:
        kept = np.where(success, np.asarray(fit.ncomponents, np.float64), np.nan)
        k = fit.model.components
        _map_panel(figure, next_axes(), kept, "cividis", (-0.5, k + 0.5), "components kept", "")
    chi = np.where(good if show == "good" else success, fit.reduced_chi2, np.nan)
    _map_panel(figure, next_axes(), chi, "gray", colour_limits(chi), "reduced chi-square", "")
    counts = fit.flag_counts()
    total = max(sum(counts.values()), 1)
    parts = [f"good {int(good.sum())} ({100 * int(good.sum()) / total:.1f} %)"]
    parts += [f"{m.replace('_', ' ')} {c}" for m, c in counts.items() if c and m != "success"]
    drawn = "colours of the good fits" if show == "good" else "colours of every success"
    figure.suptitle(f"quillet line model: {', '.join(parts)}\n{drawn}", fontsize=10)
    if path is not None:
        save_figure(figure, path, overwrite=overwrite, reads=[fit.provenance.get("input")])
    return figure


def _model_panels(fit: ModelFit, show: str) -> list[tuple[str, np.ndarray, str, str, Any]]:
    """The maps of a model fit drawn once each: (title, values, unit,
    colour map, limits)."""
    model = fit.model
    k = model.components
    names = model.names
    unit = fit.unit_of("data")
    success = np.asarray(fit.success, bool)
    kept = np.arange(k).reshape((-1,) + (1,) * success.ndim) < np.asarray(fit.ncomponents)
    shown = np.asarray(fit.component_good, bool) if show == "good" else success[None] & kept
    panels: list[tuple[str, np.ndarray, str, str, Any]] = []
    for c in range(k):
        if model.amplitude_ref[c] >= 0:
            continue
        followers = [j for j in range(k) if model.amplitude_ref[j] == c]
        ties = "".join(f" ({names[j]}: x {model.amplitude_ratio[j]:.4g})" for j in followers)
        values = np.where(shown[c], fit.amplitude[c], np.nan)
        panels.append((f"{names[c]} amplitude{ties}", values, unit, "viridis",
                       colour_limits(values)))  # fmt: skip
    for attribute, (cmap, label) in enumerate((("RdBu_r", "velocity"), ("magma", "sigma"))):
        for c in range(k):
            group = _group(model, c, attribute)
            if group is None:
                continue
            where = shown[group].any(axis=0)
            values = np.where(where, (fit.centre if attribute == 0 else fit.sigma)[c], np.nan)
            limits = _centred_limits(values) if attribute == 0 else colour_limits(values)
            title = f"{label}: {', '.join(names[j] for j in group)}"
            panels.append((title, values, "km/s", cmap, limits))
    return panels


def _group(model: Any, c: int, attribute: int) -> list[int] | None:
    """The components that share component c's velocity (``attribute`` 0)
    or width (1), c first, when c carries the group's map; None when c
    follows another."""
    if attribute == 0:
        if model.shares_velocity(c) is not None:
            return None
        return [c] + [j for j in range(model.components) if model.shares_velocity(j) == c]
    if model.sigma_ref[c] >= 0:
        return None
    return [c] + [j for j in range(model.components) if model.sigma_ref[j] == c]


def _centred_limits(values: np.ndarray) -> tuple[float, float] | None:
    """Limits of a velocity map: centred on its median, to the 99th
    percentile of the departures from it, so that blue and red show."""
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return None
    median = float(np.median(finite))
    spread = float(np.percentile(np.abs(finite - median), 99)) or 1.0
    return median - spread, median + spread


def _map_panel(
    figure: Figure, ax: Any, values: np.ndarray, cmap: str, limits: Any, title: str, unit: str
) -> None:
    """A map with its title above (wrapped) and a horizontal colour bar below
    labelled with its unit alone, so that no label runs into its neighbour."""
    vmin, vmax = limits if limits is not None else (None, None)
    image = ax.imshow(values, origin="lower", cmap=cmap, vmin=vmin, vmax=vmax,
                      interpolation="nearest", aspect=pixel_aspect(ax, values.shape))  # fmt: skip
    bar = figure.colorbar(image, ax=ax, orientation="horizontal", shrink=0.85, pad=0.02,
                          aspect=30)  # fmt: skip
    bar.set_label(unit, fontsize=8)
    bar.ax.tick_params(labelsize=7)
    _finish(ax, title)


def _category_panel(
    ax: Any, codes: np.ndarray, labels: list[str], colours: list[str], title: str
) -> None:
    """A map of categories, a legend of their names (with counts) beneath."""
    from matplotlib.colors import BoundaryNorm, ListedColormap
    from matplotlib.patches import Patch

    values = list(range(len(labels)))
    norm = BoundaryNorm([v - 0.5 for v in values] + [values[-1] + 0.5], len(colours))
    ax.imshow(codes, origin="lower", cmap=ListedColormap(colours), norm=norm,
              interpolation="nearest", aspect=pixel_aspect(ax, codes.shape))  # fmt: skip
    handles = [Patch(facecolor=c, edgecolor="0.6", label=n) for c, n in zip(colours, labels)]
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=2,
              fontsize=7, frameon=False)  # fmt: skip
    _finish(ax, title)


def _finish(ax: Any, title: str) -> None:
    ax.set_title(textwrap.fill(title, 34), fontsize=9)
    label_sky_axes(ax, ticks=3)


def plot_model_fit(
    spectrum: Any,
    velocity: Any,
    fit: ModelFit,
    index: int | tuple[int, ...],
    *,
    path: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
) -> Figure:
    """One spectrum with the model fitted to it at ``index``: the data, the
    window, each component (on the baseline), the baseline, the sum, and
    the residuals below."""
    fit = fit.compute()
    values = np.asarray(spectrum, dtype=np.float64).reshape(-1)
    axis = np.asarray(velocity, dtype=np.float64).reshape(-1)
    if values.size != axis.size:
        raise InputError(f"the spectrum has {values.size} channels but the axis {axis.size}")
    model = fit.model
    k = model.components
    where = (slice(None), *np.atleast_1d(index))
    # A component's map holds its own line's velocity; on the axis it sits
    # where its line does.
    on_axis = fit.centre[where] + np.asarray(model.line_velocity, dtype=np.float32)
    params = [fit.amplitude[where], on_axis, fit.sigma[where]]
    row = np.stack(params, axis=1).reshape(-1)
    if fit.baseline is not None:
        row = np.concatenate([row, fit.baseline[where]])
    window = np.asarray(fit.window[tuple(np.atleast_1d(index))]).reshape(1, 2)
    valid = np.isfinite(values)[None, :]
    figure = new_figure(figsize=(7, 5.5), layout="constrained")
    top, bottom = figure.subplots(2, 1, sharex=True, height_ratios=(3, 1))
    order = np.argsort(axis)
    top.step(axis[order], values[order], where="mid", color="k", lw=1, label="data")
    left, right = int(window[0, 0]), int(window[0, 1])
    if right > left:
        edges = np.sort(axis[[left, right - 1]])
        top.axvspan(edges[0], edges[1], color="#1f77b4", alpha=0.12, lw=0)
    baseline_only = row.copy()
    baseline_only[: 3 * k : 3] = 0.0
    base = evaluate(model, baseline_only[None, :], axis, window, valid)[0]
    if model.baseline is not None:
        top.plot(axis[order], base[order], color="0.4", ls="--", lw=1, label="baseline")
    for c in range(k):
        if not np.isfinite(row[3 * c]):
            continue
        one = baseline_only.copy()
        one[3 * c] = row[3 * c]
        curve = evaluate(model, one[None, :], axis, window, valid)[0]
        top.plot(axis[order], curve[order], lw=1, label=model.names[c])
    total = evaluate(model, np.nan_to_num(row)[None, :], axis, window, valid)[0]
    top.plot(axis[order], total[order], color="#d62728", lw=1.5, label="model")
    bottom.step(axis[order], (values - total)[order], where="mid", color="k", lw=1)
    bottom.axhline(0.0, color="0.5", lw=0.8)
    bottom.set_xlabel("velocity [km/s]")
    bottom.set_ylabel("residual")
    top.set_ylabel("intensity")
    top.legend(loc="upper right", fontsize="small")
    fitted = [(axis[order], total[order], "#d62728")] if np.isfinite(row[0::3]).any() else []
    zoom_to_window(top, bottom, axis, values, (left, right), fitted, values - total)
    at = tuple(int(i) for i in np.atleast_1d(index))
    flag = int(np.asarray(fit.flag)[at])
    meaning = MODEL_FLAG_MEANINGS.get(flag, "unknown").replace("_", " ")
    kept = int(np.asarray(fit.ncomponents)[at])
    chi2 = float(np.asarray(fit.reduced_chi2)[at])
    chi2_text = f", reduced chi2 {chi2:.3g}" if np.isfinite(chi2) else ""
    top.set_title(f"flag {flag} ({meaning}), {kept} of {k} components{chi2_text} "
                  f"at ({position_text(at)}){_judged(fit, at)}", fontsize=10)  # fmt: skip
    if path is not None:
        save_figure(figure, path, overwrite=overwrite)
    return figure


def _judged(fit: ModelFit, at: tuple[int, ...]) -> str:
    """The spectrum's verdict for a picture's title: good, or its doubts."""
    if fit.quality is None or int(np.asarray(fit.flag)[at]) != 0:
        return ""
    from ..data.quality import GOOD_MASK, Quality

    bits = int(np.asarray(fit.quality)[at])
    doubts = [str(b.name).lower() for b in Quality if bits & b and not b & GOOD_MASK]
    return "\n" + ("good" if not doubts else "doubts: " + ", ".join(doubts))


def write_model_diagnostics(
    fit: ModelFit,
    spectra: Any,
    directory: str | os.PathLike[str],
    *,
    which: str = "failed",
    limit: int = 100,
    overwrite: bool = False,
    blank: np.ndarray | None = None,
    seed: int = 0,
) -> list[Path]:
    """One PNG per fit chosen by ``which`` ("failed", "all", "worst" by
    reduced chi-square, or a seeded "sample"; see
    `quillet.front.figures.chosen_for_diagnostics`), at most ``limit``, blank
    spectra never: `plot_model_fit` of each, the continuum subtracted
    before the fit taken off its spectrum. ``spectra`` have the fit's
    spatial shape with the spectral axis last. Returns the files written."""
    fit = fit.compute()
    continuum = None if fit.continuum is None else np.asarray(fit.continuum)

    def draw(index: tuple[int, ...]) -> Figure:
        spectrum = np.asarray(spectra[index], dtype=np.float64)
        if continuum is not None and np.isfinite(continuum[index]):
            spectrum = spectrum - continuum[index]
        return plot_model_fit(spectrum, fit.velocity, fit, index)

    if blank is None:
        blank = blank_spectra(fit, spectra)
    chosen = chosen_for_diagnostics(fit, blank, which, limit, seed=seed)
    return diagnostic_pictures(chosen, fit.shape, directory, draw, overwrite)

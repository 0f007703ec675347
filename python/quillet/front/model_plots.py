"""Pictures of line-model fits: the maps of a `ModelFit` per component, and
one spectrum with its components and baseline.

Drawn with what every picture of maps shares (`quillet.front.figures`:
matplotlib's object interface, imported only when a picture is drawn, and
pictures saved whole or not at all), as `quillet.front.plots` draws a
`LineFit`'s.
"""

from __future__ import annotations

import os
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
    draw_map,
    new_figure,
    position_text,
    save_figure,
    sky_projection,
)

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["plot_model_fit", "plot_model_maps", "write_model_diagnostics"]


def plot_model_maps(
    fit: ModelFit, path: str | os.PathLike[str] | None = None, *, overwrite: bool = False
) -> Figure:
    """One row per component (amplitude, velocity, sigma), and a last row
    with the count of components kept and the reduced chi-square. A line
    tied in velocity (or width) to another has that one's map, which is
    drawn once: its own panel names the line it shares it with. Maps of two
    axes only, on sky axes where the WCS has them."""
    if len(fit.shape) != 2:
        raise InputError(f"plot_model_maps draws maps of two axes, not {len(fit.shape)}")
    model = fit.model
    k = model.components
    figure = new_figure(figsize=(11, 3.0 * (k + 1)), layout="constrained")
    projection = sky_projection(fit.wcs)
    unit = fit.unit_of("data")
    ok = np.asarray(fit.success)
    for row in range(k):
        name = model.names[row]
        sharers = {
            "velocity": [j for j in range(k) if model.shares_velocity(j) == row],
            "sigma": [j for j in range(k) if model.sigma_ref[j] == row],
        }
        shares = {"velocity": model.shares_velocity(row), "sigma": model.sigma_ref[row]}
        panels = [
            ("amplitude", fit.amplitude[row], unit, "viridis"),
            ("velocity", fit.centre[row], "km/s", "RdBu_r"),
            ("sigma", fit.sigma[row], "km/s", "magma"),
        ]
        for column, (what, values, u, cmap) in enumerate(panels):
            ax = figure.add_subplot(k + 1, 3, 3 * row + column + 1, projection=projection)
            other = shares.get(what)
            if other is not None and other >= 0:
                _say_shared(ax, f"{name}:\nthe {what} of\n{model.names[other]} (tied)")
                continue
            shown = np.where(ok, values, np.nan)
            tied = " (and tied lines)" if sharers.get(what) else ""
            label = f"{name} {what}{tied}" + (f" [{u}]" if u else "")
            draw_map(figure, ax, None, shown, cmap, colour_limits(shown), label, 2)
    ax = figure.add_subplot(k + 1, 3, 3 * k + 1, projection=projection)
    kept = np.asarray(fit.ncomponents, dtype=np.float64)
    draw_map(figure, ax, None, kept, "cividis", (-0.5, k + 0.5), "components kept (0: failed)", 2)
    ax = figure.add_subplot(k + 1, 3, 3 * k + 2, projection=projection)
    chi = np.where(ok, fit.reduced_chi2, np.nan)
    draw_map(figure, ax, None, chi, "gray", colour_limits(chi), "reduced chi-square", 2)
    counts = fit.flag_counts()
    figure.suptitle("quillet line model: " + ", ".join(f"{m} {c}" for m, c in counts.items() if c))
    if path is not None:
        save_figure(figure, path, overwrite=overwrite, reads=[fit.provenance.get("input")])
    return figure


def _say_shared(ax: Any, text: str) -> None:
    """A panel left empty but for the words that say whose map it is."""
    ax.set_axis_off()
    words = ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes)
    words.set_in_layout(False)  # the maps beside it keep their room


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
    at = tuple(int(i) for i in np.atleast_1d(index))
    flag = int(np.asarray(fit.flag)[at])
    meaning = MODEL_FLAG_MEANINGS.get(flag, "unknown").replace("_", " ")
    kept = int(np.asarray(fit.ncomponents)[at])
    chi2 = float(np.asarray(fit.reduced_chi2)[at])
    chi2_text = f", reduced chi2 {chi2:.3g}" if np.isfinite(chi2) else ""
    top.set_title(f"flag {flag} ({meaning}), {kept} of {k} components{chi2_text} "
                  f"at ({position_text(at)})", fontsize=10)  # fmt: skip
    if path is not None:
        save_figure(figure, path, overwrite=overwrite)
    return figure


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

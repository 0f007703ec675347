"""Pictures of Gaussian fits and of moments: the maps of a `LineFit` with
their quality, one spectrum with its fit and the diagnostic pictures of many,
and the maps of a `Moments`.

Drawn with what every picture of maps shares (`quillet.front.figures`:
matplotlib's object interface, imported only when a picture is drawn, and
pictures saved whole or not at all).
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from ..basics.errors import InputError
from ..data.moment_results import Moments
from ..data.results import FLAG_MEANINGS, QUANTITIES, FitRow, LineFit
from .figures import (
    DIAGNOSTIC_PREFIX,
    DIAGNOSTIC_SELECTIONS,
    TITLE_Y,
    blank_spectra,
    chosen_for_diagnostics,
    colour_bar,
    colour_limits,
    diagnostic_pictures,
    draw_map,
    label_sky_axes,
    new_figure,
    panel,
    picture_formats,
    pixel_aspect,
    position_text,
    save_figure,
    sky_projection,
    zoom_to_window,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# The shared helpers the command line and earlier callers take from here.
__all__ = [
    "DIAGNOSTIC_PREFIX",
    "DIAGNOSTIC_SELECTIONS",
    "SHOW_CHOICES",
    "blank_spectra",
    "chosen_for_diagnostics",
    "picture_formats",
    "plot_fit",
    "plot_maps",
    "plot_moments",
    "plot_moments_file",
    "quality_categories",
    "save_figure",
    "write_diagnostics",
]

#: Which fits `plot_maps` draws and scales its colours by.
SHOW_CHOICES = ("good", "all")

# Flag colours: green for success, then the two ways a fit ends without one.
_FLAG_COLOURS = ("#2ca02c", "#7f7f7f", "#d62728")

# The quality panel's categories that are not a doubt bit, and their colours.
_GOOD_COLOUR = "#2ca02c"
_NOT_FITTED = {
    1: ("no local maximum", "#7f7f7f"),
    2: ("no convergence", "#d62728"),
    3: ("too few samples", "#393b79"),
}
_NO_DATA_COLOUR = "#ffffff"
# One colour per doubt bit, in the order of their values.
_DOUBT_COLOURS = (
    "#ff7f0e",
    "#9467bd",
    "#8c564b",
    "#e377c2",
    "#bcbd22",
    "#17becf",
    "#1f77b4",
    "#aec7e8",
    "#ffbb78",
    "#98df8a",
    "#c5b0d5",
    "#c49c94",
    "#f7b6d2",
    "#dbdb8d",
)

# The longest name of a category, with its count, that fits on one line
# beside the quality panel's colour bar.
_LABEL_CHARS = 16


def good_fits(fit: LineFit) -> np.ndarray:
    """Where the fits are good: the fit's own ``good`` where it has one,
    else flag 0 and no doubt in its ``quality`` bits, else (maps of an older
    file, with no quality) flag 0."""
    good = getattr(fit, "good", None)
    if good is not None:
        return np.asarray(good, dtype=bool)
    quality = getattr(fit, "quality", None)
    if quality is not None:
        from ..data.quality import is_good

        return is_good(fit.flag, quality)
    return np.asarray(fit.success, dtype=bool)


def plot_maps(
    fit: LineFit,
    path: str | os.PathLike[str] | None = None,
    *,
    show: str = "good",
    overwrite: bool = False,
) -> Figure:
    """Amplitude, centre, sigma and quality (or flag) of each spectrum in
    one figure.

    ``show="good"`` (the default) draws the good fits alone and sets every
    colour scale by them, so that fits of noise do not stretch the scales;
    ``show="all"`` draws every fit that succeeded. The fourth panel shows
    each fit's quality as categories (good, the most significant doubt of
    its quality bits, not fitted, no data), or its flag for maps with no
    quality bits. The centre uses a diverging colour map centred on the
    median centre drawn, so motions towards and away from the observer show
    as blue and red. Maps of two axes are images, on sky axes where the fit
    carries a celestial WCS; maps of one axis are curves. Colour limits of
    the float maps are the 1st and 99th percentiles of what is drawn. The
    fit of one spectrum is drawn as a row of one position, as its maps file
    holds it. With ``path`` the figure is also saved there (format by
    suffix). The layout is fixed, so the figure is drawn once, on saving.
    """
    if show not in SHOW_CHOICES:
        raise InputError(f"show must be one of {', '.join(SHOW_CHOICES)}, not {show!r}")
    ndim = len(fit.shape)
    if ndim > 2:
        raise InputError(
            f"plot_maps draws maps of one or two axes, not {ndim}; "
            "select a plane or a row of the fit first"
        )
    ndim = max(ndim, 1)
    figure = new_figure(figsize=(11, 8.5) if ndim == 2 else (10, 8))
    amplitude_unit = fit.unit_of(QUANTITIES[0])
    good = np.atleast_1d(good_fits(fit))
    drawn = good if show == "good" else np.atleast_1d(np.asarray(fit.success, dtype=bool))
    panels: list[tuple[str, np.ndarray, str, str]] = [
        ("amplitude", np.atleast_1d(fit.amplitude), amplitude_unit, "viridis"),
        ("centre", np.atleast_1d(fit.centre), "km/s", "RdBu_r"),
        ("sigma", np.atleast_1d(fit.sigma), "km/s", "magma"),
    ]
    centres = np.where(drawn, np.atleast_1d(fit.centre), np.nan)
    finite_centres = centres[np.isfinite(centres)]
    median = float(np.median(finite_centres)) if finite_centres.size else 0.0
    spread = (
        float(np.percentile(np.abs(finite_centres - median), 99)) if finite_centres.size else 1.0
    )
    spread = spread if spread > 0 else 1.0
    projection = sky_projection(fit.wcs) if ndim == 2 else None

    for number, (name, values, unit, cmap) in enumerate(panels):
        ax = panel(figure, number, projection)
        label = f"{name} [{unit}]" if unit else name
        values = np.where(drawn, values, np.nan)
        if name == "centre":
            limits: tuple[float, float] | None = (median - spread, median + spread)
            label += f", median {median:.4g}"
        else:
            limits = colour_limits(values)
        draw_map(figure, ax, number, values, cmap, limits, label, ndim)
    ax = panel(figure, 3, projection)
    quality = getattr(fit, "quality", None)
    if quality is None:
        _draw_flags(figure, ax, np.atleast_1d(fit.flag), ndim)
    else:
        _draw_quality(figure, ax, np.atleast_1d(fit.flag), np.atleast_1d(quality), good, ndim)
    counts = fit.flag_counts()
    total = max(sum(counts.values()), 1)
    parts = [
        f"{meaning} {count} ({100 * count / total:.1f} %)" for meaning, count in counts.items()
    ]
    judged = quality is not None or getattr(fit, "good", None) is not None
    if judged:
        parts.insert(0, f"good {int(good.sum())} ({100 * int(good.sum()) / total:.1f} %)")
    drawn_note = "colours of the good fits" if show == "good" else "colours of every success"
    if not judged:
        drawn_note = "colours of every success (these maps hold no quality bits)"
    figure.suptitle(
        "quillet line fit: " + ", ".join(parts) + f"\n{drawn_note}", y=TITLE_Y, fontsize=10
    )
    if path is not None:
        save_figure(figure, path, overwrite=overwrite, reads=[fit.provenance.get("input")])
    return figure


#: The panels of a picture of moment maps: map, label, colour map.
_MOMENT_PANELS = (
    ("m0", "moment 0", "viridis"),
    ("m1", "moment 1", "RdBu_r"),
    ("m2", "moment 2", "magma"),
    ("count", "channels summed", "Greys"),
)


def plot_moments(
    maps: Moments, path: str | os.PathLike[str] | None = None, *, overwrite: bool = False
) -> Figure:
    """Moments 0, 1 and 2 and the channels summed, in the layout of
    `plot_maps`: images on sky axes where the maps have a celestial WCS,
    saved to ``path`` if given."""
    maps = maps.compute()
    ndim = max(len(maps.shape), 1)
    if ndim > 2:
        raise InputError(f"the moments have {ndim} axes; a picture draws one or two")
    projection = sky_projection(maps.wcs) if ndim == 2 else None
    figure = new_figure(figsize=(11, 8.5) if ndim == 2 else (10, 8))
    units = {image.field: image.unit for image in maps.images()}
    for number, (field, label, cmap) in enumerate(_MOMENT_PANELS):
        ax = panel(figure, number, projection)
        values = np.atleast_1d(np.asarray(getattr(maps, field), np.float64))
        text = f"{label} [{units[field]}]" if units[field] else label
        draw_map(figure, ax, number, values, cmap, colour_limits(values), text, ndim)
    channels = np.asarray(maps.count)
    figure.suptitle(
        f"quillet moments: {channels.size} spectra, "
        f"{int(np.count_nonzero(channels == 0))} with no channel to sum",
        y=TITLE_Y,
        fontsize=10,
    )
    if path is not None:
        save_figure(figure, path, overwrite=overwrite, reads=[maps.provenance.get("input")])
    return figure


def plot_moments_file(path: str | os.PathLike[str]) -> Figure:
    """`plot_moments` of a file written by `quillet.Moments.write_fits`
    (``quillet moments``)."""
    from .maps_files import read_maps

    maps = read_maps(path)
    if not isinstance(maps, Moments):
        raise InputError(f"{path} is not a moments file: it holds {type(maps).__name__} maps")
    return plot_moments(maps)


def _draw_categories(
    figure: Figure,
    ax: Axes,
    codes: np.ndarray,
    labels: Sequence[str],
    colours: Sequence[str],
    ndim: int,
) -> None:
    """A map of categories ``codes`` (0, 1... indexing ``labels`` and
    ``colours``): an image with a colour bar of the categories' names, or
    for maps of one axis a row of ticks per category."""
    from matplotlib.colors import BoundaryNorm, ListedColormap

    values = list(range(len(labels)))
    if ndim == 1:
        for value in values:
            where = np.flatnonzero(codes == value)
            ax.plot(where, np.full(where.size, value), "|", color=colours[value], markersize=12)
        ax.set_yticks(values, list(labels))
        ax.set_ylim(-0.5, len(values) - 0.5)
        ax.set_xlabel("position")
        return
    cmap = ListedColormap(list(colours))
    norm = BoundaryNorm([v - 0.5 for v in values] + [values[-1] + 0.5], cmap.N)
    image = ax.imshow(
        codes,
        origin="lower",
        cmap=cmap,
        norm=norm,
        interpolation="nearest",
        aspect=pixel_aspect(ax, codes.shape),
    )
    bar = colour_bar(figure, image, 3, ticks=values)
    # The bar stands at the figure's right edge: a long name keeps its count
    # on a line of its own, or "wider than window (254)" runs off the picture.
    bar.ax.set_yticklabels(
        [label.replace(" (", "\n(") if len(label) > _LABEL_CHARS else label for label in labels]
    )
    bar.ax.tick_params(labelsize=7)
    label_sky_axes(ax)


def _draw_flags(figure: Figure, ax: Axes, flags: np.ndarray, ndim: int) -> None:
    values = sorted(FLAG_MEANINGS)
    labels = [FLAG_MEANINGS[v].replace("_", " ") for v in values]
    _draw_categories(figure, ax, flags, labels, _FLAG_COLOURS, ndim)


def quality_categories(
    flag: np.ndarray, quality: np.ndarray, good: np.ndarray
) -> tuple[np.ndarray, list[str], list[str]]:
    """Each fit's category for the quality panel, with the categories'
    names and colours: good; else the most significant doubt among its
    quality bits (the bit of highest value; REFITTED and SECOND_START are
    no doubt); else, for
    a fit that did not succeed, its flag's meaning; "no data" for a blank
    spectrum. Only the categories that occur are kept (good always), each
    named with its count."""
    from ..data.quality import GOOD_MASK, Quality

    bits = np.asarray(quality).astype(np.uint16)
    flag = np.asarray(flag)
    doubts = [bit for bit in Quality if bit != Quality.NO_DATA and not bit & GOOD_MASK]
    names = ["good"] + [str(bit.name).lower().replace("_", " ") for bit in doubts]
    colours = [_GOOD_COLOUR, *_DOUBT_COLOURS[: len(doubts)]]
    codes = np.zeros(flag.shape, dtype=np.int16)
    # Later assignments win: bits in rising value, then failures, then blanks.
    for index, bit in enumerate(doubts, start=1):
        codes[(bits & np.uint16(bit)) != 0] = index
    codes[np.asarray(good, dtype=bool)] = 0
    for value, (name, colour) in _NOT_FITTED.items():
        codes[flag == value] = len(names)
        names.append(name)
        colours.append(colour)
    codes[(bits & np.uint16(Quality.NO_DATA)) != 0] = len(names)
    names.append("no data")
    colours.append(_NO_DATA_COLOUR)
    present = [0] + [k for k in range(1, len(names)) if np.any(codes == k)]
    renumber = np.zeros(len(names), dtype=np.int16)
    renumber[present] = np.arange(len(present), dtype=np.int16)
    labels = [f"{names[k]} ({int(np.count_nonzero(codes == k))})" for k in present]
    return renumber[codes], labels, [colours[k] for k in present]


def _draw_quality(
    figure: Figure, ax: Axes, flags: np.ndarray, quality: np.ndarray, good: np.ndarray, ndim: int
) -> None:
    codes, labels, colours = quality_categories(flags, quality, good)
    _draw_categories(figure, ax, codes, labels, colours, ndim)


def plot_fit(
    spectrum: Any,
    velocity: Any,
    result_row: FitRow | Sequence[float],
    *,
    window: tuple[int, int] | None = None,
    noise: Any = None,
    continuum: float = 0.0,
    title: str | None = None,
    path: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
) -> Figure:
    """One spectrum with its fit: the data, the window of channels fitted,
    the fitted Gaussian and, below, the residuals (in units of the noise
    when ``noise`` is given).

    ``result_row`` is a `FitRow` (``LineFit.at(index)``) or the kernel's
    eight values; a `FitRow` brings its window. ``continuum`` is added to the
    model, for a spectrum drawn before its continuum was subtracted.
    """
    values = np.asarray(spectrum, dtype=np.float64).reshape(-1)
    axis = np.asarray(velocity, dtype=np.float64).reshape(-1)
    if values.size != axis.size:
        raise InputError(
            f"the spectrum has {values.size} channels but the velocity axis {axis.size}"
        )
    row = [float(v) for v in list(result_row)[:8]]  # type: ignore[arg-type]
    if isinstance(result_row, FitRow) and window is None:
        window = result_row.window
    amplitude, centre, sigma = row[0], row[1], row[2]
    flag = int(row[7]) if math.isfinite(row[7]) else -1
    fitted = all(math.isfinite(v) for v in (amplitude, centre, sigma))

    figure = new_figure(figsize=(7, 5.5), layout="constrained")
    top, bottom = figure.subplots(2, 1, sharex=True, height_ratios=(3, 1))
    order = np.argsort(axis)
    top.step(axis[order], values[order], where="mid", color="k", lw=1, label="data")
    noise_values = None
    if noise is not None:
        noise_values = np.broadcast_to(np.asarray(noise, dtype=np.float64), values.shape)
        top.fill_between(
            axis[order],
            (values - noise_values)[order],
            (values + noise_values)[order],
            step="mid",
            color="0.8",
            label="±1 sigma noise",
        )
    if window is not None and window[1] > window[0]:
        left, right = int(window[0]), int(window[1])
        edges = np.sort(axis[[left, right - 1]])
        half = 0.5 * float(np.median(np.abs(np.diff(axis)))) if axis.size > 1 else 0.5
        for ax in (top, bottom):
            ax.axvspan(edges[0] - half, edges[1] + half, color="#1f77b4", alpha=0.12, lw=0)
    residual = values - continuum
    if fitted:
        fine = np.linspace(axis.min(), axis.max(), max(400, 8 * axis.size))
        top.plot(
            fine,
            continuum + amplitude * np.exp(-0.5 * ((fine - centre) / sigma) ** 2),
            color="#d62728",
            lw=1.5,
            label=f"fit: centre {centre:.4g}, sigma {sigma:.4g} km/s",
        )
        residual = values - continuum - amplitude * np.exp(-0.5 * ((axis - centre) / sigma) ** 2)
    if noise_values is not None:
        with np.errstate(divide="ignore", invalid="ignore"):
            residual = residual / noise_values
        bottom.set_ylabel("residual / noise")
    else:
        bottom.set_ylabel("residual")
    bottom.step(axis[order], residual[order], where="mid", color="k", lw=1)
    bottom.axhline(0.0, color="0.5", lw=0.8)
    bottom.set_xlabel("velocity [km/s]")
    top.set_ylabel("intensity")
    top.legend(loc="upper right", fontsize="small")
    curves = []
    if fitted:
        model = continuum + amplitude * np.exp(-0.5 * ((fine - centre) / sigma) ** 2)
        curves.append((fine, model, "#d62728"))
    zoom_to_window(top, bottom, axis, values, window, curves, residual)
    meaning = FLAG_MEANINGS.get(flag, "unknown")
    top.set_title(title or f"flag {flag} ({meaning.replace('_', ' ')})")
    if path is not None:
        save_figure(figure, path, overwrite=overwrite)
    return figure


def write_diagnostics(
    fit: LineFit,
    spectra: Any,
    directory: str | os.PathLike[str],
    *,
    noise: Any = None,
    which: str = "failed",
    limit: int = 100,
    overwrite: bool = False,
    blank: np.ndarray | None = None,
    seed: int = 0,
) -> list[Path]:
    """One PNG per fit chosen by ``which`` (see `chosen_for_diagnostics`:
    "failed", "all", "worst" or "sample"), at most ``limit`` of them; a
    blank spectrum (no finite pixel) never gets one, having nothing to show.

    ``spectra`` (and ``noise``, if given) have the fit's spatial shape with
    the spectral axis last, as `quillet.Cube.data` has; ``blank`` is
    `blank_spectra`'s map, found here when not given. Each picture is
    `plot_fit` with the flag, the reduced chi-square and the position in
    its title. Returns the files written.
    """

    def draw(index: tuple[int, ...]) -> Figure:
        row = fit.at(index)
        spectrum = np.asarray(spectra[index], dtype=np.float64)
        sigma = None if noise is None else np.asarray(noise[index], dtype=np.float64)
        continuum = 0.0 if fit.continuum is None else float(np.asarray(fit.continuum)[index])
        meaning = FLAG_MEANINGS.get(row.flag, "unknown").replace("_", " ")
        chi2 = f", reduced chi2 {row.reduced_chi2:.3g}" if math.isfinite(row.reduced_chi2) else ""
        return plot_fit(
            spectrum,
            fit.velocity,
            row,
            noise=sigma,
            continuum=continuum if math.isfinite(continuum) else 0.0,
            title=f"flag {row.flag} ({meaning}){chi2} at ({position_text(index)})",
        )

    if blank is None:
        blank = blank_spectra(fit, spectra)
    chosen = chosen_for_diagnostics(fit, blank, which, limit, seed=seed)
    return diagnostic_pictures(chosen, np.asarray(fit.flag).shape, directory, draw, overwrite)

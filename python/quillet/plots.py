"""Pictures of fits: the maps of a `LineFit`, and one spectrum with its fit.

Figures are made with matplotlib's object interface (no pyplot, so no
window and no global state), which works on a machine with no screen and
from many threads. matplotlib is an optional dependency
(``pip install 'quillet[plot]'``) imported only when a picture is drawn.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from .errors import InputError, MissingDependency
from .outputs import atomic_output
from .results import FLAG_MEANINGS, QUANTITIES, FitRow, LineFit

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_fit", "plot_maps", "write_diagnostics"]

#: How the names of the pictures of `write_diagnostics` begin: fit_<position>.png.
DIAGNOSTIC_PREFIX = "fit_"

#: Which fits `write_diagnostics` draws.
DIAGNOSTIC_SELECTIONS = ("failed", "all")

# Flag colours: green for success, then the two ways a fit ends without one.
_FLAG_COLOURS = ("#2ca02c", "#7f7f7f", "#d62728")


def _figure(**kwargs: Any) -> Figure:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise MissingDependency("drawing needs matplotlib: pip install 'quillet[plot]'") from None
    return Figure(**kwargs)


def picture_formats() -> frozenset[str]:
    """The endings of the pictures matplotlib writes (png, pdf, svg...)."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise MissingDependency("drawing needs matplotlib: pip install 'quillet[plot]'") from None
    return frozenset(FigureCanvasBase.get_supported_filetypes())


def save_figure(
    figure: Figure,
    path: str | os.PathLike[str],
    *,
    overwrite: bool = False,
    reads: Sequence[str | os.PathLike[str] | None] = (),
) -> Path:
    """Saves a figure through a temporary file, in the format of the path's
    suffix (png, pdf, svg...), replacing an existing file only with
    ``overwrite``, and never one of ``reads``, the files the picture is
    drawn from."""
    fmt = Path(os.fspath(path)).suffix.lstrip(".").lower() or "png"
    with atomic_output(path, overwrite=overwrite, reads=reads) as temp:
        figure.savefig(temp, format=fmt, dpi=120)
    return Path(path)


def _limits(values: np.ndarray, low: float = 1.0, high: float = 99.0) -> tuple[float, float] | None:
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return None
    lo, hi = np.percentile(finite, [low, high])
    return (float(lo), float(hi)) if hi > lo else (float(lo) - 0.5, float(lo) + 0.5)


def plot_maps(
    fit: LineFit, path: str | os.PathLike[str] | None = None, *, overwrite: bool = False
) -> Figure:
    """Amplitude, centre, sigma and flag of each spectrum in one figure.

    The centre uses a diverging colour map centred on the median centre of
    the successful fits, so motions towards and away from the observer show
    as blue and red. Maps of two axes are images, on sky axes where the fit
    carries a celestial WCS; maps of one axis are curves. Colour limits of
    the float maps are their 1st and 99th percentiles. The fit of one
    spectrum is drawn as a row of one position, as its maps file holds it.
    With ``path`` the figure is also saved there (format by suffix).
    """
    ndim = len(fit.shape)
    if ndim > 2:
        raise InputError(
            f"plot_maps draws maps of one or two axes, not {ndim}; "
            "select a plane or a row of the fit first"
        )
    ndim = max(ndim, 1)
    figure = _figure(figsize=(11, 8.5) if ndim == 2 else (10, 8), layout="constrained")
    amplitude_unit = fit.unit_of(QUANTITIES[0])
    success = fit.success
    centre_ok = np.where(success, fit.centre, np.nan)
    panels: list[tuple[str, np.ndarray, str, str]] = [
        ("amplitude", np.atleast_1d(fit.amplitude), amplitude_unit, "viridis"),
        ("centre", np.atleast_1d(fit.centre), "km/s", "RdBu_r"),
        ("sigma", np.atleast_1d(fit.sigma), "km/s", "magma"),
    ]
    finite_centres = centre_ok[np.isfinite(centre_ok)]
    median = float(np.median(finite_centres)) if finite_centres.size else 0.0
    spread = (
        float(np.percentile(np.abs(finite_centres - median), 99)) if finite_centres.size else 1.0
    )
    spread = spread if spread > 0 else 1.0
    projection = _projection(fit) if ndim == 2 else None

    for number, (name, values, unit, cmap) in enumerate(panels, start=1):
        ax = figure.add_subplot(2, 2, number, projection=projection)
        label = f"{name} [{unit}]" if unit else name
        if name == "centre":
            limits: tuple[float, float] | None = (median - spread, median + spread)
            label += f", median {median:.4g}"
        else:
            limits = _limits(values)
        _draw(figure, ax, values, cmap, limits, label, ndim)
    ax = figure.add_subplot(2, 2, 4, projection=projection)
    _draw_flags(figure, ax, np.atleast_1d(fit.flag), ndim)
    counts = fit.flag_counts()
    total = max(sum(counts.values()), 1)
    figure.suptitle(
        "quillet line fit: "
        + ", ".join(
            f"{meaning} {count} ({100 * count / total:.1f} %)" for meaning, count in counts.items()
        )
    )
    if path is not None:
        save_figure(figure, path, overwrite=overwrite, reads=[fit.provenance.get("input")])
    return figure


def _projection(fit: LineFit) -> Any:
    wcs = fit.wcs
    if wcs is None or wcs.naxis != 2 or not wcs.has_celestial:
        return None
    return wcs


def _draw(
    figure: Figure,
    ax: Axes,
    values: np.ndarray,
    cmap: str,
    limits: tuple[float, float] | None,
    label: str,
    ndim: int,
) -> None:
    vmin, vmax = limits if limits is not None else (None, None)
    if ndim == 1:
        ax.plot(np.arange(values.size), values, ".", markersize=3, color="k")
        if limits is not None:
            pad = 0.05 * (limits[1] - limits[0])
            ax.set_ylim(limits[0] - pad, limits[1] + pad)
        ax.set_xlabel("position")
        ax.set_ylabel(label)
        return
    image = ax.imshow(
        values, origin="lower", cmap=cmap, vmin=vmin, vmax=vmax, interpolation="nearest",
        aspect=_aspect(ax),
    )  # fmt: skip
    figure.colorbar(image, ax=ax, shrink=0.85, label=label)
    _label_axes(ax)


def _draw_flags(figure: Figure, ax: Axes, flags: np.ndarray, ndim: int) -> None:
    from matplotlib.colors import BoundaryNorm, ListedColormap

    values = sorted(FLAG_MEANINGS)
    if ndim == 1:
        for value in values:
            where = np.flatnonzero(flags == value)
            ax.plot(
                where, np.full(where.size, value), "|", color=_FLAG_COLOURS[value], markersize=12
            )
        ax.set_yticks(values, [FLAG_MEANINGS[v] for v in values])
        ax.set_xlabel("position")
        return
    cmap = ListedColormap(_FLAG_COLOURS)
    norm = BoundaryNorm([v - 0.5 for v in values] + [values[-1] + 0.5], cmap.N)
    image = ax.imshow(
        flags, origin="lower", cmap=cmap, norm=norm, interpolation="nearest", aspect=_aspect(ax)
    )
    bar = figure.colorbar(image, ax=ax, shrink=0.85, ticks=values)
    bar.ax.set_yticklabels([FLAG_MEANINGS[v].replace("_", " ") for v in values])
    _label_axes(ax)


# Axis labels for the physical types of celestial and solar WCS axes.
_WORLD_LABELS = {
    "pos.eq.ra": "right ascension",
    "pos.eq.dec": "declination",
    "pos.galactic.lon": "galactic longitude",
    "pos.galactic.lat": "galactic latitude",
    "custom:pos.helioprojective.lon": "solar X",
    "custom:pos.helioprojective.lat": "solar Y",
}


def _aspect(ax: Axes) -> Literal["equal", "auto"]:
    """Square pixels on sky axes; on bare pixel axes (a slit raster's steps
    and slit pixels differ in size) the image fills its panel."""
    return "equal" if hasattr(ax, "coords") else "auto"


def _label_axes(ax: Axes) -> None:
    coords = getattr(ax, "coords", None)
    if coords is None:
        ax.set_xlabel("x [pixel]")
        ax.set_ylabel("y [pixel]")
        return
    for index, kind in enumerate(ax.wcs.world_axis_physical_types):  # type: ignore[attr-defined]
        coords[index].set_axislabel(_WORLD_LABELS.get(kind, kind))


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

    figure = _figure(figsize=(7, 5.5), layout="constrained")
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
) -> list[Path]:
    """One PNG per fit, for the fits that did not succeed (``which="failed"``)
    or for all (``"all"``), in position order, at most ``limit`` of them.

    ``spectra`` (and ``noise``, if given) have the fit's spatial shape with
    the spectral axis last, as `quillet.Cube.data` has. Each picture is
    `plot_fit` with the flag and the position in its title. Returns the
    files written.
    """
    if which not in DIAGNOSTIC_SELECTIONS:
        raise InputError(f"which must be one of {', '.join(DIAGNOSTIC_SELECTIONS)}, not {which!r}")
    if limit < 0:
        raise InputError(f"limit must be zero or more, not {limit}")
    folder = Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    flags = np.asarray(fit.flag)
    chosen = np.flatnonzero(flags.reshape(-1) != 0) if which == "failed" else np.arange(flags.size)
    written = []
    for flat in chosen[:limit]:
        index = tuple(int(i) for i in np.unravel_index(int(flat), flags.shape))
        row = fit.at(index)
        spectrum = np.asarray(spectra[index], dtype=np.float64)
        sigma = None if noise is None else np.asarray(noise[index], dtype=np.float64)
        continuum = 0.0 if fit.continuum is None else float(np.asarray(fit.continuum)[index])
        position = ", ".join(str(int(i)) for i in index)
        name = DIAGNOSTIC_PREFIX + ("_".join(str(int(i)) for i in index) or "0") + ".png"
        meaning = FLAG_MEANINGS.get(row.flag, "unknown").replace("_", " ")
        figure = plot_fit(
            spectrum,
            fit.velocity,
            row,
            noise=sigma,
            continuum=continuum if math.isfinite(continuum) else 0.0,
            title=f"flag {row.flag} ({meaning}) at ({position})",
        )
        written.append(save_figure(figure, folder / name, overwrite=overwrite))
    return written

"""What every picture of maps is drawn with: the figure, its panels, a map
drawn on sky axes with its colour bar, colour limits, and pictures saved
whole or not at all; and the diagnostic pictures' choice of fits and their
file names.

Shared by the pictures of each kind of maps (`quillet.front.plots`,
`quillet.front.model_plots`), so that a new kind draws as the others do.
Figures are made with matplotlib's object interface (no pyplot, so no
window and no global state), which works on a machine with no screen and
from many threads. matplotlib is an optional dependency
(``pip install 'quillet[plot]'``) imported only when a picture is drawn.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from ..basics.errors import InputError, MissingDependency
from ..basics.outputs import atomic_output

if TYPE_CHECKING:
    from astropy.wcs import WCS
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = [
    "DIAGNOSTIC_PREFIX",
    "DIAGNOSTIC_SELECTIONS",
    "MAX_IMAGE_ASPECT",
    "TITLE_Y",
    "ZOOM_SHARE",
    "blank_spectra",
    "chosen_for_diagnostics",
    "colour_bar",
    "colour_limits",
    "diagnostic_pictures",
    "draw_map",
    "label_sky_axes",
    "new_figure",
    "panel",
    "picture_formats",
    "pixel_aspect",
    "position_text",
    "save_figure",
    "sky_projection",
    "zoom_to_window",
]

#: How the names of the diagnostic pictures begin: fit_<position>.png.
DIAGNOSTIC_PREFIX = "fit_"

#: Which fits the diagnostic pictures draw: those that did not succeed, all,
#: the worst by reduced chi-square, a seeded random sample.
DIAGNOSTIC_SELECTIONS = ("failed", "all", "worst", "sample")

# Ticks per sky axis of a panel.
_TICKS = 4

# The figure's fixed layout (fractions of the figure): each of the 2 x 2
# panels' box within its quarter, and its colour bar's beside it. A fixed
# layout is drawn once; matplotlib's constrained layout draws the figure
# again for each pass of its solver, which cost most of a picture's time.
_PANEL = (0.07, 0.07, 0.29, 0.34)
_BAR = (0.37, 0.07, 0.012, 0.34)
#: Where a figure of 2 x 2 panels has its title.
TITLE_Y = 0.975


def new_figure(**kwargs: Any) -> Figure:
    """A matplotlib Figure, not tied to any window."""
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


def colour_limits(
    values: np.ndarray, low: float = 1.0, high: float = 99.0
) -> tuple[float, float] | None:
    """The colour limits of a map: its ``low`` and ``high`` percentiles
    of its finite values (a unit wide where they meet); None with none."""
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return None
    lo, hi = np.percentile(finite, [low, high])
    return (float(lo), float(hi)) if hi > lo else (float(lo) - 0.5, float(lo) + 0.5)


def panel(figure: Figure, number: int, projection: Any) -> Axes:
    """The axes of panel ``number`` (0 to 3, by rows from the top left)."""
    column, row = number % 2, 1 - number // 2
    left, bottom, width, height = _PANEL
    rect = (0.5 * column + left, 0.47 * row + bottom, width, height)
    if projection is None:
        return figure.add_axes(rect)
    return figure.add_axes(rect, projection=projection)


def colour_bar(figure: Figure, image: Any, number: int | None, **kwargs: Any) -> Any:
    """A colour bar beside panel ``number`` of the fixed 2 x 2 layout, or
    (None) beside its image's own axes, wherever a figure placed them."""
    if number is None:
        return figure.colorbar(image, ax=image.axes, **kwargs)
    column, row = number % 2, 1 - number // 2
    left, bottom, width, height = _BAR
    cax = figure.add_axes((0.5 * column + left, 0.47 * row + bottom, width, height))
    return figure.colorbar(image, cax=cax, **kwargs)


def sky_projection(wcs: WCS | None) -> Any:
    """The WCS to draw maps on sky axes with: a celestial one of two axes,
    else None (plain pixel axes)."""
    if wcs is None or wcs.naxis != 2 or not wcs.has_celestial:
        return None
    return wcs


def draw_map(
    figure: Figure,
    ax: Axes,
    number: int | None,
    values: np.ndarray,
    cmap: str,
    limits: tuple[float, float] | None,
    label: str,
    ndim: int,
) -> None:
    """A map in panel ``number`` (None: an axes placed elsewhere, its colour
    bar beside it): an image with its colour bar for maps of two axes, a
    row of points for maps of one."""
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
        aspect=pixel_aspect(ax, values.shape),
    )  # fmt: skip
    colour_bar(figure, image, number, label=label)
    label_sky_axes(ax)


# Axis labels for the physical types of celestial and solar WCS axes.
_WORLD_LABELS = {
    "pos.eq.ra": "right ascension",
    "pos.eq.dec": "declination",
    "pos.galactic.lon": "galactic longitude",
    "pos.galactic.lat": "galactic latitude",
    "custom:pos.helioprojective.lon": "solar X",
    "custom:pos.helioprojective.lat": "solar Y",
}


def pixel_aspect(ax: Axes, shape: Sequence[int] | None = None) -> float | Literal["auto"]:
    """On sky axes, each pixel drawn as its size on the sky (a slit raster's
    steps can be ten times its slit pixels: IRIS's 2" by 0.17"), unless the
    whole image of ``shape`` (rows, columns) would then be more than
    `MAX_IMAGE_ASPECT` times as tall as wide or as wide as tall (a raster
    of 3 steps of 1094 slit pixels): then its pixels are stretched to that
    aspect, so that the map stays readable. On bare pixel axes, or where
    the WCS gives no size to a pixel (a sit-and-stare's step of 0), the
    image fills its panel."""
    wcs = getattr(ax, "wcs", None)
    if wcs is None or not hasattr(ax, "coords"):
        return "auto"
    from astropy.wcs.utils import proj_plane_pixel_scales

    width, height = (float(scale) for scale in proj_plane_pixel_scales(wcs))
    ratio = height / width if width > 0 else math.inf
    if not _ASPECT_LIMITS[0] <= ratio <= _ASPECT_LIMITS[1]:
        return "auto"
    if shape is not None and len(shape) == 2 and min(shape) > 0:
        rows, columns = int(shape[0]), int(shape[1])
        box = ratio * rows / columns
        if box > MAX_IMAGE_ASPECT:
            ratio = MAX_IMAGE_ASPECT * columns / rows
        elif box < 1 / MAX_IMAGE_ASPECT:
            ratio = columns / (rows * MAX_IMAGE_ASPECT)
    return ratio


#: Pixel shapes (height over width on the sky) drawn true to size; beyond
#: them the picture would be a sliver, so the image fills its panel instead.
_ASPECT_LIMITS = (1 / 50, 50.0)

#: The most an image of maps is taller than wide, or wider than tall, when
#: its pixels are drawn their shape on the sky.
MAX_IMAGE_ASPECT = 4.0


def label_sky_axes(ax: Axes, ticks: int = _TICKS) -> None:
    coords = getattr(ax, "coords", None)
    if coords is None:
        ax.set_xlabel("x [pixel]")
        ax.set_ylabel("y [pixel]")
        return
    for index, kind in enumerate(ax.wcs.world_axis_physical_types):  # type: ignore[attr-defined]
        coord = coords[index]
        coord.set_axislabel(_WORLD_LABELS.get(kind, kind))
        # A panel is a quarter of the figure: sexagesimal labels of right
        # ascension (10h00m00.5s) overlap at WCSAxes' default of about six
        # ticks. Three or four, each label that would touch the one before
        # left out, keeps them apart.
        coord.set_ticks(number=ticks)
        coord.set_ticklabel(exclude_overlapping=True, size=8)
        if str(coord.get_format_unit()) == "hourangle":
            # Plain letters: WCSAxes writes them as superscripts through
            # matplotlib's mathtext, whose parser costs a tenth of the picture.
            coord.set_separator(("h", "m", "s"))


#: A diagnostic picture zooms to its fit window when the window spans less
#: than this share of the spectrum; the margin each side, as a share of the
#: window's span; and where the inset of the whole spectrum sits (axes
#: fractions: left, bottom, width, height).
ZOOM_SHARE = 0.6
_ZOOM_MARGIN = 0.25
_INSET = (0.015, 0.6, 0.3, 0.36)


def zoom_to_window(
    top: Axes,
    bottom: Axes,
    axis: np.ndarray,
    values: np.ndarray,
    window: tuple[int, int] | None,
    curves: Sequence[tuple[np.ndarray, np.ndarray, str]] = (),
    residual: np.ndarray | None = None,
) -> bool:
    """Zooms a spectrum's picture (its panel ``top`` and the residuals
    ``bottom`` below, sharing x) to the fit's window, a quarter of its span
    beyond each side, the intensity scaled to what is seen; and draws the
    whole spectrum (``axis``, ``values``) in an inset of ``top`` with the
    window shaded and the ``curves`` (x, y, colour) over it; the
    ``residual`` (on ``axis``) scales the lower panel. Nothing is
    changed for a window that is empty or spans most of the spectrum.
    Returns whether the picture was zoomed."""
    if window is None or window[1] <= window[0] or axis.size < 2:
        return False
    left, right = int(window[0]), int(window[1])
    half = 0.5 * float(np.median(np.abs(np.diff(axis))))
    edges = np.sort(axis[[left, right - 1]]) + np.array([-half, half])
    span = float(edges[1] - edges[0])
    whole = float(axis.max() - axis.min()) + 2 * half
    if span >= ZOOM_SHARE * whole:
        return False
    low, high = edges[0] - _ZOOM_MARGIN * span, edges[1] + _ZOOM_MARGIN * span
    bottom.set_xlim(low, high)  # shared with the top panel
    visible = (axis >= low) & (axis <= high)
    seen = [values[visible]] + [y[(x >= low) & (x <= high)] for x, y, _ in curves]
    _scale_to(top, seen)
    if residual is not None:
        _scale_to(bottom, [residual[visible]])
    inset = top.inset_axes(_INSET)
    order = np.argsort(axis)
    inset.step(axis[order], values[order], where="mid", color="k", lw=0.6)
    for x, y, colour in curves:
        inset.plot(x, y, color=colour, lw=0.8)
    inset.axvspan(edges[0], edges[1], color="#1f77b4", alpha=0.2, lw=0)
    inset.set_xlim(axis.min() - half, axis.max() + half)
    inset.tick_params(labelsize=6, length=2)
    inset.set_title("whole spectrum", fontsize=7, pad=2)
    return True


def _scale_to(ax: Axes, seen: Sequence[np.ndarray]) -> None:
    """The intensity limits of a panel: what it shows, a little beyond."""
    finite = np.concatenate([np.asarray(v, np.float64).ravel() for v in seen])
    finite = finite[np.isfinite(finite)]
    if finite.size:
        lo, hi = float(finite.min()), float(finite.max())
        pad = 0.08 * (hi - lo) if hi > lo else 1.0
        ax.set_ylim(lo - pad, hi + pad)


def blank_spectra(fit: Any, spectra: Any) -> np.ndarray:
    """Where a spectrum has no finite pixel (a map of the fit's shape): its
    NO_DATA quality bit where the fit has quality bits; else read from the
    spectra (spectral axis last), a block at a time, only where the fit
    could be blank (flag 1 with no window: no peak was ever accepted)."""
    quality = getattr(fit, "quality", None)
    if quality is not None:
        from ..data.quality import Quality

        bits = np.asarray(quality).astype(np.uint16)
        return np.asarray((bits & np.uint16(Quality.NO_DATA)) != 0)
    from ..basics.rows import default_chunk_rows, row_blocks, take_rows

    window = np.asarray(fit.window).reshape(-1, 2)
    flags = np.asarray(fit.flag).reshape(-1)
    maybe = (flags == 1) & (window[:, 0] == window[:, 1])
    blank = np.zeros(flags.size, dtype=bool)
    channels = int(spectra.shape[-1])
    for block in row_blocks(fit.shape, default_chunk_rows(channels)):
        here = slice(block.start, block.start + block.count)
        if maybe[here].any():
            rows = take_rows(spectra, block, len(spectra.shape) - 1)
            blank[here] = maybe[here] & ~np.isfinite(rows).any(axis=1)
    return blank.reshape(fit.shape)


def chosen_for_diagnostics(
    fit: Any, blank: np.ndarray, which: str, limit: int, *, seed: int = 0
) -> np.ndarray:
    """The flat positions the diagnostic pictures draw, blank spectra never:
    "failed", the fits that did not succeed, and "all", in position order;
    "worst", the fits with the highest reduced chi-square first (good or
    not; a fit that did not succeed has none); "sample", a random sample of
    the spectra with data, drawn with ``seed`` (the same every run), in
    position order. At most ``limit``."""
    if which not in DIAGNOSTIC_SELECTIONS:
        raise InputError(f"which must be one of {', '.join(DIAGNOSTIC_SELECTIONS)}, not {which!r}")
    if limit < 0:
        raise InputError(f"limit must be zero or more, not {limit}")
    has_data = ~np.asarray(blank, dtype=bool).reshape(-1)
    if which == "failed":
        return np.flatnonzero(has_data & (np.asarray(fit.flag).reshape(-1) != 0))[:limit]
    if which == "all":
        return np.flatnonzero(has_data)[:limit]
    if which == "worst":
        chi2 = np.asarray(fit.reduced_chi2, dtype=np.float64).reshape(-1)
        candidates = np.flatnonzero(has_data & np.isfinite(chi2))
        order = np.argsort(-chi2[candidates], kind="stable")
        return candidates[order][:limit]
    candidates = np.flatnonzero(has_data)
    picked = np.random.default_rng(seed).permutation(candidates.size)[:limit]
    return np.sort(candidates[picked])


def position_text(index: tuple[int, ...]) -> str:
    """A spectrum's position as a picture's title gives it: "3, 4"."""
    return ", ".join(str(int(i)) for i in index)


def diagnostic_pictures(
    chosen: np.ndarray,
    shape: tuple[int, ...],
    directory: str | os.PathLike[str],
    draw: Callable[[tuple[int, ...]], Figure],
    overwrite: bool,
) -> list[Path]:
    """Saves ``draw(index)`` of each chosen flat position of maps of
    ``shape`` as fit_<position>.png in ``directory`` (made if need be);
    returns the files written."""
    folder = Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    for flat in chosen:
        index = tuple(int(i) for i in np.unravel_index(int(flat), shape))
        name = DIAGNOSTIC_PREFIX + ("_".join(str(i) for i in index) or "0") + ".png"
        written.append(save_figure(draw(index), folder / name, overwrite=overwrite))
    return written

"""Pictures of fits: the maps of a `LineFit`, and one spectrum with its fit.

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
from ..data.results import FLAG_MEANINGS, QUANTITIES, FitRow, LineFit

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_fit", "plot_maps", "write_diagnostics"]

#: How the names of the pictures of `write_diagnostics` begin: fit_<position>.png.
DIAGNOSTIC_PREFIX = "fit_"

#: Which fits `write_diagnostics` draws: those that did not succeed, all,
#: the worst by reduced chi-square, a seeded random sample.
DIAGNOSTIC_SELECTIONS = ("failed", "all", "worst", "sample")

#: Which fits `plot_maps` draws and scales its colours by.
SHOW_CHOICES = ("good", "all")

# Flag colours: green for success, then the two ways a fit ends without one.
_FLAG_COLOURS = ("#2ca02c", "#7f7f7f", "#d62728")

# The quality panel's categories that are not a doubt bit, and their colours.
_GOOD_COLOUR = "#2ca02c"
_NOT_FITTED = {1: ("no local maximum", "#7f7f7f"), 2: ("no convergence", "#d62728")}
_NO_DATA_COLOUR = "#ffffff"
# One colour per doubt bit, in the order of their values.
_DOUBT_COLOURS = ("#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#bcbd22", "#17becf", "#1f77b4")

# The figure's fixed layout (fractions of the figure): each of the 2 x 2
# panels' box within its quarter, and its colour bar's beside it. A fixed
# layout is drawn once; matplotlib's constrained layout draws the figure
# again for each pass of its solver, which cost most of a picture's time.
_PANEL = (0.07, 0.07, 0.29, 0.34)
_BAR = (0.37, 0.07, 0.012, 0.34)
_TITLE_Y = 0.975
# The longest name of a category, with its count, that fits on one line
# beside the quality panel's colour bar.
_LABEL_CHARS = 16
# Ticks per sky axis of a panel.
_TICKS = 4


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
    figure = _figure(figsize=(11, 8.5) if ndim == 2 else (10, 8))
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
    projection = _projection(fit) if ndim == 2 else None

    for number, (name, values, unit, cmap) in enumerate(panels):
        ax = _panel(figure, number, projection)
        label = f"{name} [{unit}]" if unit else name
        values = np.where(drawn, values, np.nan)
        if name == "centre":
            limits: tuple[float, float] | None = (median - spread, median + spread)
            label += f", median {median:.4g}"
        else:
            limits = _limits(values)
        _draw(figure, ax, number, values, cmap, limits, label, ndim)
    ax = _panel(figure, 3, projection)
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
        "quillet line fit: " + ", ".join(parts) + f"\n{drawn_note}", y=_TITLE_Y, fontsize=10
    )
    if path is not None:
        save_figure(figure, path, overwrite=overwrite, reads=[fit.provenance.get("input")])
    return figure


#: The panels of a picture of moment maps: extension, label, colour map.
_MOMENT_PANELS = (
    ("MOMENT0", "moment 0", "viridis"),
    ("MOMENT1", "moment 1", "RdBu_r"),
    ("MOMENT2", "moment 2", "magma"),
    ("CHANNELS", "channels summed", "Greys"),
)


def plot_moments_file(path: str | os.PathLike[str]) -> Figure:
    """Moments 0, 1 and 2 and the channels summed, of a file written by
    `quillet.Moments.write_fits` (``quillet moments``), in the layout of
    `plot_maps`: images on sky axes where the file has a celestial WCS."""
    from astropy.io import fits

    from .maps_files import image_wcs

    with fits.open(path) as hdul:
        missing = [name for name, _, _ in _MOMENT_PANELS if name not in hdul]
        if missing:
            raise InputError(f"{path} is not a moments file: it has no {', '.join(missing)}")
        images = [
            (np.asarray(hdul[n].data, np.float64), hdul[n].header) for n, _, _ in _MOMENT_PANELS
        ]
    ndim = max(images[0][0].ndim, 1)
    if ndim > 2:
        raise InputError(f"{path} holds moments of {ndim} axes; a picture draws one or two")
    wcs = image_wcs(images[0][1]) if ndim == 2 else None
    projection = wcs if wcs is not None and wcs.naxis == 2 and wcs.has_celestial else None
    figure = _figure(figsize=(11, 8.5) if ndim == 2 else (10, 8))
    for number, ((_, label, cmap), (values, header)) in enumerate(
        zip(_MOMENT_PANELS, images, strict=True)
    ):
        unit = header.get("BUNIT")
        ax = _panel(figure, number, projection)
        values = np.atleast_1d(values)
        text = f"{label} [{unit}]" if unit else label
        _draw(figure, ax, number, values, cmap, _limits(values), text, ndim)
    channels = images[-1][0]
    figure.suptitle(
        f"quillet moments: {channels.size} spectra, "
        f"{int(np.count_nonzero(channels == 0))} with no channel to sum",
        y=_TITLE_Y,
        fontsize=10,
    )
    return figure


def _panel(figure: Figure, number: int, projection: Any) -> Axes:
    """The axes of panel ``number`` (0 to 3, by rows from the top left)."""
    column, row = number % 2, 1 - number // 2
    left, bottom, width, height = _PANEL
    rect = (0.5 * column + left, 0.47 * row + bottom, width, height)
    if projection is None:
        return figure.add_axes(rect)
    return figure.add_axes(rect, projection=projection)


def _colour_bar(figure: Figure, image: Any, number: int | None, **kwargs: Any) -> Any:
    """A colour bar beside panel ``number`` of the fixed 2 x 2 layout, or
    (None) beside its image's own axes, wherever a figure placed them."""
    if number is None:
        return figure.colorbar(image, ax=image.axes, **kwargs)
    column, row = number % 2, 1 - number // 2
    left, bottom, width, height = _BAR
    cax = figure.add_axes((0.5 * column + left, 0.47 * row + bottom, width, height))
    return figure.colorbar(image, cax=cax, **kwargs)


def _projection(fit: LineFit) -> Any:
    wcs = fit.wcs
    if wcs is None or wcs.naxis != 2 or not wcs.has_celestial:
        return None
    return wcs


def _draw(
    figure: Figure,
    ax: Axes,
    number: int | None,
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
    _colour_bar(figure, image, number, label=label)
    _label_axes(ax)


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
        codes, origin="lower", cmap=cmap, norm=norm, interpolation="nearest", aspect=_aspect(ax)
    )
    bar = _colour_bar(figure, image, 3, ticks=values)
    # The bar stands at the figure's right edge: a long name keeps its count
    # on a line of its own, or "wider than window (254)" runs off the picture.
    bar.ax.set_yticklabels(
        [label.replace(" (", "\n(") if len(label) > _LABEL_CHARS else label for label in labels]
    )
    bar.ax.tick_params(labelsize=7)
    _label_axes(ax)


def _draw_flags(figure: Figure, ax: Axes, flags: np.ndarray, ndim: int) -> None:
    values = sorted(FLAG_MEANINGS)
    labels = [FLAG_MEANINGS[v].replace("_", " ") for v in values]
    _draw_categories(figure, ax, flags, labels, _FLAG_COLOURS, ndim)


def quality_categories(
    flag: np.ndarray, quality: np.ndarray, good: np.ndarray
) -> tuple[np.ndarray, list[str], list[str]]:
    """Each fit's category for the quality panel, with the categories'
    names and colours: good; else the most significant doubt among its
    quality bits (the bit of highest value; REFITTED is no doubt); else, for
    a fit that did not succeed, its flag's meaning; "no data" for a blank
    spectrum. Only the categories that occur are kept (good always), each
    named with its count."""
    from ..data.quality import Quality

    bits = np.asarray(quality).astype(np.uint16)
    flag = np.asarray(flag)
    doubts = [bit for bit in Quality if bit not in (Quality.NO_DATA, Quality.REFITTED)]
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


# Axis labels for the physical types of celestial and solar WCS axes.
_WORLD_LABELS = {
    "pos.eq.ra": "right ascension",
    "pos.eq.dec": "declination",
    "pos.galactic.lon": "galactic longitude",
    "pos.galactic.lat": "galactic latitude",
    "custom:pos.helioprojective.lon": "solar X",
    "custom:pos.helioprojective.lat": "solar Y",
}


def _aspect(ax: Axes) -> float | Literal["auto"]:
    """On sky axes, each pixel drawn as its size on the sky (a slit raster's
    steps can be ten times its slit pixels: IRIS's 2" by 0.17"); on bare
    pixel axes, or where the WCS gives no size to a pixel (a sit-and-stare's
    step of 0), the image fills its panel."""
    wcs = getattr(ax, "wcs", None)
    if wcs is None or not hasattr(ax, "coords"):
        return "auto"
    from astropy.wcs.utils import proj_plane_pixel_scales

    width, height = (float(scale) for scale in proj_plane_pixel_scales(wcs))
    ratio = height / width if width > 0 else math.inf
    return ratio if _ASPECT_LIMITS[0] <= ratio <= _ASPECT_LIMITS[1] else "auto"


#: Pixel shapes (height over width on the sky) drawn true to size; beyond
#: them the picture would be a sliver, so the image fills its panel instead.
_ASPECT_LIMITS = (1 / 50, 50.0)


def _label_axes(ax: Axes) -> None:
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
        coord.set_ticks(number=_TICKS)
        coord.set_ticklabel(exclude_overlapping=True, size=8)
        if str(coord.get_format_unit()) == "hourangle":
            # Plain letters: WCSAxes writes them as superscripts through
            # matplotlib's mathtext, whose parser costs a tenth of the picture.
            coord.set_separator(("h", "m", "s"))


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


def blank_spectra(fit: LineFit, spectra: Any) -> np.ndarray:
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
    fit: LineFit, blank: np.ndarray, which: str, limit: int, *, seed: int = 0
) -> np.ndarray:
    """The flat positions `write_diagnostics` draws, blank spectra never:
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

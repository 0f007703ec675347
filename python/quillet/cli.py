"""The ``quillet`` command: look at a cube, fit it, draw the maps.

Every mistake of the user's (a missing file, an HDU that is not there, an
axis that is not spectral, a setting out of range, an output that exists)
ends with one line on standard error that says what is wrong and how to mend
it, and exit status 2: the package raises a `QuilletError` for each, or an
OSError for a file it cannot read or write. Anything else is a fault of
quillet's and keeps its traceback (exit status 1). Ctrl-C ends with status
130. No output file is ever left half-written, and none is replaced without
``--overwrite``.

The parser is built one subcommand at a time; the fit settings' options are
made from `LineSettings`'s own fields (help, unit and default), and every
choice offered is one of the package's own constants.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import re
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np

from .errors import QuilletError
from .fit_inputs import CONTINUUM_MODES
from .fits_images import ERROR_KINDS
from .plots import DIAGNOSTIC_SELECTIONS
from .settings import LineSettings
from .units import CONVENTION_NAMES

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

EPILOG_FIT = """\
examples:
  quillet fit cube.fits --out maps.fits --rest-wavelength "6562.8 Angstrom" --redshift 0.0858
  quillet fit raster.fits --out maps.fits --guide 10 --line-sigma 40 --continuum edges
  quillet fit cube.fits --out maps.fits --plot maps.png --diagnostics failed/
  quillet fit big.fits --out maps.zarr --scheduler tcp://10.0.0.5:8786 --chunks 64,64

Settings not given are derived from the velocity axis and --line-sigma
(see quillet.LineSettings.for_axis); the command prints them before fitting.
"""

_FITS_SUFFIXES = (".fits", ".fit", ".fts")

# The kernel's integer settings are 32-bit (npix, npix_slack) or 64-bit
# (sg_xpixels, max_iter) signed integers.
_INTEGER_LIMITS = {"npix": 2**31 - 1, "npix_slack": 2**31 - 1}
_INT64_MAX = 2**63 - 1

# Settings the cube's own axis fixes (its step and channel count): not
# options of the command line.
_AXIS_SETTINGS = frozenset({"dv", "sg_xpixels"})


class UsageError(QuilletError):
    """A mistake in the command line that argparse cannot see."""


class _Parser(argparse.ArgumentParser):
    """argparse's parser, but a mistake in the arguments is one line on
    standard error, like every other mistake: what is wrong and where the
    usage is, not a usage block that buries the message."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}; see '{self.prog} --help'\n")


# --- values, checked where they are parsed ------------------------------------


def _number(text: str, *, positive: bool = False) -> float:
    """A finite number (positive, if asked); argparse names the option."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    if positive and value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} must be positive")
    return value


def _positive(text: str) -> float:
    return _number(text, positive=True)


def _whole(low: int, high: int) -> Callable[[str], int]:
    """A parser of whole numbers from ``low`` to ``high``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is out of range: give {low} to {high}")
        return value

    parse.__name__ = "whole number"  # argparse names the type in its messages
    return parse


def _hdu(value: str | None) -> int | str | None:
    if value is None:
        return None
    return int(value) if value.lstrip("-").isdigit() else value


# --- the arguments ------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = _Parser(
        prog="quillet",
        description="Fit a Gaussian line to every spectrum of a FITS cube: maps of amplitude, "
        "velocity and width, exact to the bit.",
    )
    parser.add_argument("--version", action="version", version=f"quillet {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_info(commands)
    _add_fit(commands)
    _add_plot(commands)
    return parser


def _add_info(commands: Any) -> None:
    info = commands.add_parser(
        "info",
        help="show what would be read from a cube",
        description="Show what quillet reads from a FITS cube: shape, spectral axis, velocity "
        "range and step, noise, units, and the settings a fit would derive.",
    )
    info.add_argument("cube", type=Path, metavar="CUBE.fits")
    _reading_options(info)
    info.add_argument(
        "--line-sigma",
        type=_positive,
        metavar="KM_S",
        help="expected line sigma in km/s, for the settings shown (default: two channels)",
    )
    info.set_defaults(run=run_info)


def _add_fit(commands: Any) -> None:
    fit = commands.add_parser(
        "fit",
        help="fit every spectrum and write maps",
        description="Fit a Gaussian line to every spectrum of a FITS cube and write the maps "
        "of its parameters to a FITS file or a Zarr store, in this process or on a Dask cluster.",
        epilog=EPILOG_FIT,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    fit.add_argument("cube", type=Path, metavar="CUBE.fits")
    fit.add_argument(
        "--out",
        type=Path,
        required=True,
        metavar="MAPS.fits|MAPS.zarr",
        help="the maps to write: a FITS file, or a Zarr store (a folder)",
    )
    _reading_options(fit)
    _line_options(fit)
    _model_options(fit)
    _setting_options(fit)
    _dask_options(fit)
    _output_options(fit)
    fit.set_defaults(run=run_fit)


def _add_plot(commands: Any) -> None:
    plot = commands.add_parser(
        "plot",
        help="draw the maps of a maps file",
        description="Draw amplitude, centre, sigma and flags of a maps file written by "
        "quillet fit.",
    )
    plot.add_argument("maps", type=Path, metavar="MAPS.fits")
    plot.add_argument("--out", type=Path, required=True, metavar="MAPS.png")
    plot.add_argument("--overwrite", action="store_true", help="replace the picture if it exists")
    plot.set_defaults(run=run_plot)


def _reading_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading the cube")
    group.add_argument(
        "--hdu",
        help="name or index of the data HDU (default: the first image with a spectral axis)",
    )
    group.add_argument(
        "--error-hdu", help="name or index of the noise HDU (default: ERR, STAT, VAR... if present)"
    )
    group.add_argument(
        "--error-kind",
        choices=ERROR_KINDS,
        help="what the noise HDU holds (default: from its BUNIT or name)",
    )
    group.add_argument(
        "--rest-wavelength",
        metavar="VALUE[UNIT]",
        help="rest wavelength or frequency of the line, e.g. '6562.8 Angstrom', "
        "'1420.405751 MHz'; a bare number is in the axis's own unit "
        "(default: RESTFRQ or RESTWAV of the header)",
    )
    group.add_argument(
        "--redshift",
        type=_number,
        default=0.0,
        metavar="Z",
        help="redshift of the source: velocities are relative to the shifted line (default: 0)",
    )
    group.add_argument(
        "--convention",
        choices=CONVENTION_NAMES,
        help="Doppler convention of the velocities (default: optical, or the axis's own "
        "for an axis of velocities)",
    )


def _line_options(parser: argparse.ArgumentParser) -> None:
    where = parser.add_argument_group("where the line is")
    guide = where.add_mutually_exclusive_group()
    guide.add_argument(
        "--guide",
        type=_number,
        default=0.0,
        metavar="KM_S",
        help="velocity in km/s near which every line is sought (default: 0)",
    )
    guide.add_argument(
        "--guide-map",
        type=Path,
        metavar="FITS",
        help="FITS image of one guide velocity per spectrum (km/s, or its BUNIT)",
    )
    where.add_argument(
        "--line-sigma",
        type=_positive,
        metavar="KM_S",
        help="expected line sigma in km/s (default: two channels)",
    )
    where.add_argument(
        "--noise",
        default="auto",
        metavar="auto|VALUE",
        help="noise per pixel: auto (the file's noise HDU, else estimated from "
        "each spectrum) or one value in the data's unit (default: auto)",
    )
    where.add_argument(
        "--continuum",
        choices=CONTINUUM_MODES,
        default="none",
        help="subtract the median of the channels outside the search radius (edges) "
        "(default: none)",
    )


#: The most free components ``--components auto`` tries.
AUTO_COMPONENTS = 3


def _model_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "line model (default: one Gaussian, as without these options)"
    )
    group.add_argument(
        "--model",
        choices=("gaussian", "lines", "hyperfine"),
        help="gaussian: free Gaussians (--components, --baseline); lines: a multiplet "
        "(implied by --lines); hyperfine: a hyperfine group (implied by --hyperfine)",
    )
    group.add_argument(
        "--lines",
        metavar="REST[,REST...]",
        help="rest wavelengths or frequencies with a unit, the first the reference line "
        "whose guide and window the fit starts from, e.g. '6562.8,6548.05,6583.45 Angstrom'",
    )
    group.add_argument(
        "--ratios",
        metavar="R,R...",
        help="fixed amplitude ratios of the lines, one per line (default: all free)",
    )
    group.add_argument(
        "--free-velocity", action="store_true", help="each line its own velocity (default: one)"
    )
    group.add_argument(
        "--free-width", action="store_true", help="each line its own width (default: one)"
    )
    group.add_argument("--hyperfine", metavar="NAME", help="a hyperfine group, e.g. 'HCN 1-0'")
    group.add_argument(
        "--components",
        metavar="N|auto",
        help=f"free Gaussians: N, or auto (1 to {AUTO_COMPONENTS}, chosen per spectrum by the "
        "BIC with a margin of 10)",
    )
    group.add_argument(
        "--baseline",
        choices=("none", "0", "1", "2"),
        default="none",
        help="polynomial baseline fitted with the lines, of this order (default: none)",
    )


def _line_model(args: argparse.Namespace) -> tuple[Any, Any]:
    """The `LineModel` and component count the model options ask for, or
    (None, None) for today's Gaussian fit."""
    from .line_models import HYPERFINE, LineModel

    kind = args.model or ("lines" if args.lines else "hyperfine" if args.hyperfine else "gaussian")
    baseline = None if args.baseline == "none" else int(args.baseline)
    multiplet_only = [
        name for name, given in (("--ratios", args.ratios), ("--free-velocity",
        args.free_velocity), ("--free-width", args.free_width)) if given
    ]  # fmt: skip
    if kind != "lines" and multiplet_only:
        raise UsageError(f"{multiplet_only[0]} shapes a multiplet: give --lines too")
    if kind != "gaussian" and args.components is not None:
        raise UsageError(
            "--components chooses a count of free Gaussians; a multiplet or hyperfine group "
            "has its own: leave --components out"
        )
    if kind == "lines":
        if not args.lines:
            raise UsageError("--model lines needs --lines REST,REST... with a unit")
        rest = _rest_values(args.lines)
        try:
            model = LineModel.lines(
                rest, convention=args.convention,
                shared_velocity=not args.free_velocity, shared_width=not args.free_width,
                baseline=baseline, names=[f"{value:g}" for value in rest.value],
            )  # fmt: skip
        except ValueError as error:
            raise UsageError(f"--lines: {error}") from None
        if args.ratios is not None:
            model = _with_ratios(model, args.ratios)
        return model, None
    if kind == "hyperfine":
        if args.hyperfine not in HYPERFINE:
            known = ", ".join(repr(n) for n in sorted(HYPERFINE))
            raise UsageError(f"--hyperfine {args.hyperfine!r} is not known; give one of {known}")
        return LineModel.hyperfine(args.hyperfine, baseline=baseline), None
    if args.components is None:
        return (None, None) if baseline is None else (LineModel.gaussian(baseline), None)
    if args.components == "auto":
        return LineModel.free(AUTO_COMPONENTS, baseline), "auto"
    if not args.components.isdigit() or not 1 <= int(args.components) <= 8:
        raise UsageError(f"--components takes auto or 1 to 8, not {args.components!r}")
    count = int(args.components)
    return LineModel.free(count, baseline), count


def _with_ratios(model: Any, text: str) -> Any:
    """The model with the amplitudes of the lines given a number in
    ``text`` (one entry per line, '-' for a free line) tied to the first
    such line at the ratio of their numbers: '-,1,3.05' keeps the first
    line free and makes the third 3.05 times the second."""
    import dataclasses

    entries = [part.strip() for part in text.split(",")]
    if len(entries) != model.components:
        raise UsageError(
            f"--ratios gives {len(entries)} entries for {model.components} lines; give one "
            "per line, '-' for a line whose amplitude is free"
        )
    try:
        values = [None if e == "-" else float(e) for e in entries]
    except ValueError:
        raise UsageError(
            f"--ratios takes numbers or '-' separated by commas, not {text!r}"
        ) from None
    given = [k for k, v in enumerate(values) if v is not None]
    if any(not math.isfinite(v) or v <= 0 for v in values if v is not None):
        raise UsageError(f"--ratios {text!r}: the ratios must be positive numbers")
    refs, ratios = [-1] * model.components, [1.0] * model.components
    for k in given[1:]:
        refs[k] = given[0]
        ratios[k] = float(values[k]) / float(values[given[0]])  # type: ignore[arg-type]
    return dataclasses.replace(model, amplitude_ref=tuple(refs), amplitude_ratio=tuple(ratios))


def _rest_values(text: str) -> Any:
    """Rest values 'A,B,C UNIT' or 'A UNIT,B UNIT' as one Quantity."""
    import astropy.units as u

    parts = [part.strip() for part in text.split(",")]
    unit_of_last = parts[-1].split()[1:] if parts else []
    values = []
    for part in parts:
        words = part.split()
        unit = " ".join(words[1:] or unit_of_last)
        if not words or not unit:
            raise UsageError(
                f"--lines {text!r}: give each rest value a unit, or one after the last "
                "('6562.8,6583.45 Angstrom')"
            )
        try:
            values.append(u.Quantity(float(words[0]), unit))
        except (ValueError, TypeError):
            raise UsageError(f"--lines: {part!r} is not a number with a unit") from None
    try:
        return u.Quantity([v.to(values[0].unit, u.spectral()) for v in values])
    except u.UnitConversionError:
        raise UsageError(
            "--lines: the rest values must all be wavelengths or frequencies"
        ) from None


def _describe_model(model: Any, components: Any) -> str:
    kept = "" if components is None else f", components {components}"
    base = "none" if model.baseline is None else f"order {model.baseline}"
    lines = [f"model: {model.components} component(s), baseline {base}{kept}"]
    for k in range(model.components):
        ties = []
        if model.centre_ref[k] >= 0:
            ties.append(
                f"centre = {model.names[model.centre_ref[k]]} {model.centre_offset[k]:+.2f} km/s"
            )
        if model.amplitude_ref[k] >= 0:
            reference = model.names[model.amplitude_ref[k]]
            ties.append(f"amplitude = {model.amplitude_ratio[k]:.4g} x {reference}")
        if model.sigma_ref[k] >= 0:
            ties.append(f"sigma = {model.names[model.sigma_ref[k]]}'s")
        lines.append(f"  {model.names[k]:<14} {'; '.join(ties) or 'free'}")
    return "\n".join(lines)


def _component_table(fit: Any) -> str:
    counts = fit.component_counts()
    total = max(sum(counts.values()), 1)
    lines = [f"{'components':<22} {'count':>10} {'share':>8}"]
    for kept, count in counts.items():
        lines.append(f"{kept:<22} {count:>10} {100.0 * count / total:>7.1f}%")
    return "\n".join(lines)


def _setting_options(parser: argparse.ArgumentParser) -> None:
    """One option per field of `LineSettings`, with its help, unit and
    default as the settings describe them."""
    group = parser.add_argument_group("fit settings (default: derived from the axis)")
    for name in _setting_names():
        what, unit, derived = LineSettings.describe(name)
        if name in LineSettings.INTEGER_FIELDS:
            kind: Callable[[str], Any] = _whole(0, _INTEGER_LIMITS.get(name, _INT64_MAX))
            metavar = "N"
        else:
            kind, metavar = _number, ("KM_S" if unit == "km/s" else "X")
        shown_unit = f"in {unit}; " if unit else ""
        group.add_argument(
            f"--{name.replace('_', '-')}",
            type=kind,
            dest=name,
            metavar=metavar,
            help=f"{what} ({shown_unit}default: {derived})",
        )


def _setting_names() -> list[str]:
    """The settings that are options of ``quillet fit``."""
    return [name for name in LineSettings.names() if name not in _AXIS_SETTINGS]


def _dask_options(parser: argparse.ArgumentParser) -> None:
    dask = parser.add_argument_group("on a Dask cluster")
    dask.add_argument(
        "--scheduler",
        metavar="tcp://HOST:PORT|local:N",
        help="fit on the Dask scheduler at this address, or on a LocalCluster of N worker "
        "processes started here (default: in this process)",
    )
    dask.add_argument(
        "--connect-timeout",
        type=_positive,
        default=10.0,
        metavar="SECONDS",
        help="how long to wait for the scheduler, and for it to come back if lost (default: 10)",
    )
    dask.add_argument(
        "--chunks",
        metavar="auto|N|A,B",
        help="block size with --scheduler: auto (about 16 MB), N spectra, or a block length "
        "per spatial axis (default: auto)",
    )


def _output_options(parser: argparse.ArgumentParser) -> None:
    output = parser.add_argument_group("output")
    output.add_argument(
        "--chunk-rows",
        type=_whole(1, _INT64_MAX),
        metavar="N",
        help="spectra per block in this process (default: about 16 MB)",
    )
    output.add_argument("--plot", type=Path, metavar="MAPS.png", help="also draw the maps")
    output.add_argument(
        "--diagnostics",
        type=Path,
        metavar="DIR",
        help="write one PNG per fit (spectrum, window, model, residuals) here",
    )
    output.add_argument(
        "--diagnostics-of",
        choices=DIAGNOSTIC_SELECTIONS,
        default="failed",
        help="which fits get a diagnostic picture (default: failed)",
    )
    output.add_argument(
        "--diagnostics-max",
        type=_whole(0, _INT64_MAX),
        default=100,
        metavar="N",
        help="at most this many pictures (default: 100)",
    )
    output.add_argument("--overwrite", action="store_true", help="replace outputs that exist")
    output.add_argument("--quiet", action="store_true", help="print nothing but errors")


# --- the commands ---------------------------------------------------------------


def _read(args: argparse.Namespace, chunks: Any = None) -> Any:
    from .cube_files import read_cube

    if not args.cube.is_file():
        raise UsageError(f"{args.cube}: no such file")
    try:
        return read_cube(
            args.cube,
            hdu=_hdu(args.hdu),
            error_hdu=_hdu(args.error_hdu),
            error_kind=args.error_kind,
            rest_wavelength=args.rest_wavelength,
            redshift=args.redshift,
            convention=args.convention,
            chunks=chunks,
        )
    except OSError as error:  # astropy's own words do not name the file
        raise UsageError(f"cannot read {args.cube} as FITS: {_one_line(error)}") from None


def _check_some_finite(cube: Any, path: Path) -> None:
    """A cube of NaN only would end as a run with every flag 1, reported as
    done: say so before any work. Blocks are read until the first finite
    pixel, so a cube with data costs one block."""
    from .rows import default_chunk_rows, row_blocks, take_rows

    data = cube.data
    for block in row_blocks(cube.spatial_shape, default_chunk_rows(data.shape[-1])):
        if np.isfinite(take_rows(data, block, data.ndim - 1)).any():
            return
    raise UsageError(
        f"every pixel of HDU {cube.provenance['hdu']} of {path} is NaN: nothing to fit; check --hdu"
    )


def _overrides(args: argparse.Namespace) -> dict[str, Any]:
    return {
        name: getattr(args, name)
        for name in _setting_names()
        if getattr(args, name, None) is not None
    }


def _settings_table(settings: LineSettings, given: set[str]) -> str:
    lines = ["settings (* given, the rest derived from the axis):"]
    for name, value in settings.as_kwargs().items():
        shown = f"{value:.6g}" if isinstance(value, float) else str(value)
        lines.append(f"  {name:<18} {shown:>12}{' *' if name in given else ''}")
    return "\n".join(lines)


def _describe_wcs(wcs: Any) -> str:
    types = [] if wcs is None else [str(c) for c in wcs.wcs.ctype]
    if not any(types):
        return "none (pixel axes)"
    return ", ".join(c or "(none)" for c in types)


def run_info(args: argparse.Namespace) -> int:
    cube = _read(args)
    velocity = cube.velocity
    step = float(np.median(np.abs(np.diff(velocity))))
    spatial = cube.spatial_shape
    count = int(np.prod(spatial)) if spatial else 1
    order = "increasing" if velocity[-1] > velocity[0] else "decreasing"
    lines = [
        f"file          {args.cube}",
        f"HDU           {cube.provenance['hdu']}: {cube.data.dtype} {tuple(cube.data.shape)} "
        "(NumPy order, spectral axis last)",
        f"spectral axis {cube.provenance['spectral_axis']}, {velocity.size} channels",
        f"velocity      {velocity.min():.6g} to {velocity.max():.6g} km/s, {order}, step "
        f"{step:.6g} km/s (median); {cube.provenance['convention']} convention, rest "
        f"{cube.provenance['rest']}, redshift {cube.provenance['redshift']}",
        f"spectra       {count} ({' x '.join(map(str, spatial)) or 'one spectrum'})",
        f"spatial WCS   {_describe_wcs(cube.wcs)}",
        f"noise         {cube.provenance['noise']}"
        + (
            "" if cube.noise is not None else ": it would be estimated from each spectrum (DER_SNR)"
        ),
        f"units         data {cube.unit if cube.unit is not None else 'unknown (no BUNIT)'}; "
        "velocity km/s",
    ]
    print("\n".join(lines))
    settings = LineSettings.for_axis(velocity, line_sigma=args.line_sigma)
    print(_settings_table(settings, set()))
    return 0


def _guide(args: argparse.Namespace, spatial: tuple[int, ...]) -> Any:
    if args.guide_map is None:
        return args.guide
    import astropy.units as u
    from astropy.io import fits

    if not args.guide_map.is_file():
        raise UsageError(f"{args.guide_map}: no such file (--guide-map)")
    try:
        hdul = fits.open(args.guide_map)
    except OSError as error:
        raise UsageError(
            f"cannot read the guide map {args.guide_map} as FITS: {_one_line(error)}"
        ) from None
    with hdul:
        image = next((h for h in hdul if h.is_image and h.header.get("NAXIS", 0) > 0), None)
        if image is None:
            raise UsageError(f"{args.guide_map} holds no image to read guide velocities from")
        values = np.array(image.data, dtype=np.float64)
        unit_text = image.header.get("BUNIT")
    if tuple(values.shape) != tuple(spatial):
        raise UsageError(
            f"the guide map {args.guide_map} is {values.shape} but the cube has {spatial} spectra; "
            "it needs one guide velocity per spectrum"
        )
    if unit_text:
        try:
            values = (values * u.Unit(unit_text)).to_value(u.km / u.s)
        except (ValueError, u.UnitsError):
            raise UsageError(
                f"the guide map's BUNIT {unit_text!r} is not a velocity; write km/s or m/s"
            ) from None
    return values


def _noise(args: argparse.Namespace) -> Any:
    if args.noise == "auto":
        return None
    try:
        value = float(args.noise)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0.0):
        raise UsageError(f"--noise takes 'auto' or a positive number, not {args.noise!r}")
    return value


def _check_outputs(args: argparse.Namespace) -> None:
    from .outputs import refuse_existing

    outputs = [args.out] + ([args.plot] if args.plot is not None else [])
    for path in outputs:
        refuse_existing(path, args.overwrite)
        if not path.parent.is_dir():
            raise UsageError(f"the folder {path.parent} of {path} does not exist; create it first")
    if args.out.suffix.lower() not in (*_FITS_SUFFIXES, ".zarr"):
        raise UsageError(f"--out {args.out}: write the maps to a .fits file or a .zarr store")
    if args.chunks is not None and args.scheduler is None:
        raise UsageError("--chunks sets the blocks of a Dask run: give --scheduler too")
    if args.diagnostics is not None:
        _check_diagnostics_folder(args.diagnostics, args.overwrite)


def _check_diagnostics_folder(folder: Path, overwrite: bool) -> None:
    """Refuses, before the fit, a folder whose pictures the run would meet
    only after the fit."""
    from .plots import DIAGNOSTIC_PREFIX

    if folder.exists() and not folder.is_dir():
        raise UsageError(f"--diagnostics {folder} is a file, not a folder; name a folder")
    if not overwrite and folder.is_dir() and any(folder.glob(f"{DIAGNOSTIC_PREFIX}*.png")):
        raise UsageError(
            f"{folder} exists and holds diagnostic pictures ({DIAGNOSTIC_PREFIX}*.png); choose "
            "another folder, or allow replacing them (--overwrite)"
        )


def run_fit(args: argparse.Namespace) -> int:
    _check_outputs(args)
    if args.scheduler is None:
        return _fit_and_write(args, None)
    from .dask import SchedulerError, connect, scheduler_failures

    chunks = _chunks(args.chunks)
    with connect(args.scheduler, timeout=args.connect_timeout, quiet=True) as client:
        try:
            return _fit_and_write(args, chunks)
        except (KeyboardInterrupt, UsageError, SchedulerError):
            raise
        except scheduler_failures() as error:
            if not _scheduler_lost(client, error):
                raise
            reason = str(error) or type(error).__name__
            raise SchedulerError(
                f"lost the Dask scheduler at {args.scheduler} during the fit ({reason}); "
                "no maps were written"
            ) from None


def _scheduler_lost(client: Any, error: BaseException) -> bool:
    """Whether an error in a Dask run is the cluster's (a connection lost, a
    task cancelled with it) rather than, say, a file the user named."""
    from concurrent.futures import CancelledError

    return (
        client.status != "running"
        or isinstance(error, (CancelledError, TimeoutError))
        or type(error).__module__.startswith("distributed")
    )


def _chunks(text: str | None) -> Any:
    if text is None or text == "auto":
        return "auto"
    try:
        values = [int(part) for part in text.split(",")]
    except ValueError:
        values = []
    if not values or min(values) < 1:
        raise UsageError(f"--chunks takes auto, a number of spectra or lengths A,B, not {text!r}")
    return values[0] if len(values) == 1 else tuple(values)


def _fit_and_write(args: argparse.Namespace, chunks: Any) -> int:
    """The fit and its outputs: in this process (``chunks`` None), or on the
    Dask cluster the default client reaches, whose results stay on its
    workers until they are written."""
    from .cube_fit import fit_cube

    def say(text: str) -> None:
        if not args.quiet:
            print(text, flush=True)

    cube = _read(args, chunks)
    _check_some_finite(cube, args.cube)
    model, components = _line_model(args)
    if model is not None and args.diagnostics is not None:
        raise UsageError("--diagnostics draws one-Gaussian fits; leave it out with a line model")
    overrides = _overrides(args)
    settings = LineSettings.for_axis(cube.velocity, line_sigma=args.line_sigma, **overrides)
    guide = _guide(args, cube.spatial_shape)
    noise = _noise(args)
    velocity = cube.velocity
    shape = " x ".join(map(str, cube.spatial_shape)) or "1"
    say(
        f"{args.cube}: {shape} spectra of {velocity.size} channels, "
        f"{velocity.min():.6g} to {velocity.max():.6g} km/s"
    )
    if chunks is not None:
        blocks = math.prod(len(c) for c in cube.data.chunks)
        say(
            f"on the Dask scheduler {args.scheduler}: {blocks} blocks of up to "
            f"{' x '.join(str(max(c)) for c in cube.data.chunks[:-1]) or '1'} spectra"
        )
    if noise is not None:
        say(f"noise: constant {noise:g}")
    elif cube.noise is not None:
        say(f"noise: {cube.provenance['noise']}")
    else:
        say("noise: estimated from each spectrum (DER_SNR)")
    say(_settings_table(settings, set(overrides)))
    if model is not None:
        say(_describe_model(model, components))

    start = time.perf_counter()
    fit = fit_cube(
        cube,
        noise=noise,
        guide=guide,
        continuum=None if args.continuum == "none" else args.continuum,
        settings=settings,
        chunk_rows=args.chunk_rows,
        progress=not args.quiet,
        **({} if model is None else {"model": model, "components": components}),
    )
    # A Dask fit runs here, block by block, its results kept on the workers.
    fit = fit.persist(progress=not args.quiet)
    elapsed = time.perf_counter() - start
    if args.out.suffix.lower() == ".zarr" and model is not None:
        fit.write_zarr(args.out, overwrite=args.overwrite)
    elif args.out.suffix.lower() == ".zarr":
        from .maps_files import write_zarr

        write_zarr(fit, args.out, overwrite=args.overwrite)
    else:
        fit.write_fits(args.out, overwrite=args.overwrite)
    say(f"wrote {args.out}")
    if args.plot is not None:
        fit.plot_maps(args.plot, overwrite=args.overwrite)
        say(f"wrote {args.plot}")
    if args.diagnostics is not None:
        from .plots import write_diagnostics

        written = write_diagnostics(
            fit.compute(),
            cube.data,
            args.diagnostics,
            noise=cube.noise if noise is None else None,
            which=args.diagnostics_of,
            limit=args.diagnostics_max,
            overwrite=args.overwrite,
        )
        plural = "s" if len(written) != 1 else ""
        say(f"wrote {len(written)} diagnostic picture{plural} to {args.diagnostics}")
    say(_flag_table(fit, elapsed))
    if model is not None:
        say(_component_table(fit))
    return 0


def _flag_table(fit: Any, elapsed: float) -> str:
    counts = fit.flag_counts()
    total = sum(counts.values())
    lines = [f"{'flag':<22} {'count':>10} {'share':>8}"]
    for value, (meaning, count) in enumerate(counts.items()):
        share = 100.0 * count / total if total else 0.0
        lines.append(f"{value} {meaning.replace('_', ' '):<20} {count:>10} {share:>7.1f}%")
    rate = total / elapsed if elapsed > 0 else float("inf")
    lines.append(f"fitted {total} spectra in {elapsed:.3g} s: {rate:,.0f} spectra/s")
    return "\n".join(lines)


def run_plot(args: argparse.Namespace) -> int:
    from .maps_files import read_maps
    from .outputs import refuse_existing

    if not args.maps.is_file():
        raise UsageError(f"{args.maps}: no such file")

    refuse_existing(args.out, args.overwrite)
    fit = _read_any_maps(args.maps, read_maps)
    fit.plot_maps(args.out, overwrite=args.overwrite)
    print(f"wrote {args.out}")
    return 0


def _read_any_maps(path: Path, read_maps: Callable[[Path], Any]) -> Any:
    """A maps file of a Gaussian fit, or of a line model's (MODEL cards)."""
    from astropy.io import fits

    from .model_results import read_model_maps

    with fits.open(path) as hdul:
        is_model = "QUILLET MODEL COMPONENTS" in hdul[0].header
    return read_model_maps(path) if is_model else read_maps(path)


# --- the entry point ------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # --help, --version, or a usage error already told
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    stderr = _LineEnds(sys.stderr)
    try:
        with contextlib.redirect_stderr(stderr):
            status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        message = "quillet: interrupted; no output was written for the unfinished step"
        print(("\n" if stderr.in_line else "") + message, file=sys.stderr)
        return EXIT_INTERRUPTED
    except (QuilletError, OSError) as error:
        print(f"quillet: error: {_as_options(_one_line(error))}", file=sys.stderr)
        return EXIT_USAGE


# A keyword named in a message of the package, as `name=`, `name=True` or
# `name='value'`: the command line speaks of its option instead.
_KEYWORD = re.compile(r"\b([a-z][a-z0-9_]*)=(True\b|'[^']*'|(?=[\s,;:)]|$))")


def _as_options(text: str) -> str:
    """A library message with the keywords it names as the options of the
    command line (``velocity_range=`` as ``--velocity-range``); keywords
    with no option are left as they are."""
    options = _option_names()

    def option(match: re.Match[str]) -> str:
        name, value = match.group(1), match.group(2)
        if name not in options:
            return match.group(0)
        flag = f"--{name.replace('_', '-')}"
        return flag if value in ("", "True") else f"{flag} {value.strip(chr(39))}"

    return _KEYWORD.sub(option, text)


def _option_names() -> set[str]:
    names: set[str] = set()
    parser = build_parser()
    for action in parser._subparsers._group_actions if parser._subparsers else ():
        for sub in getattr(action, "choices", {}).values():
            names.update(a.dest for a in sub._actions)
    return names


class _LineEnds:
    """Standard error, noting whether what was written last ends its line: a
    progress bar that Ctrl-C cuts off before it ends its line (while it is
    being set up, say) must not swallow the message that follows."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.in_line = False

    def write(self, text: str) -> int:
        if text:
            self.in_line = not text.endswith("\n")
        return int(self._stream.write(text))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def _one_line(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    if isinstance(error, FileNotFoundError) and error.filename:
        text = f"{error.filename}: no such file or folder"
    return " ".join(text.split())

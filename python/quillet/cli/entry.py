"""The ``quillet`` command: look at a cube, fit it, draw the maps.

Every mistake of the user's (a missing file, an HDU that is not there, an
axis that is not spectral, a setting out of range, an output that exists)
ends with one line on standard error that says what is wrong and how to mend
it, and exit status 2: the package raises a `QuilletError` for each, or an
OSError for a file it cannot read or write. Anything else is a fault of
quillet's and keeps its traceback (exit status 1). Ctrl-C ends with status
130 and SIGTERM with 143, each with one line; a reader of standard output
that goes away (``quillet info ... | head``) ends the run quietly with 141,
as SIGPIPE ends Unix tools. No output file is ever left half-written, none
is replaced without ``--overwrite``, and none may be a file the run reads;
every output is resolved and checked before any work (`quillet.basics.outputs`).

This module imports nothing heavy at its top, so that the console entry
point, which imports it before calling `main`, is quick to reach `main`,
which catches SIGTERM and Ctrl-C first thing.

The parser is built one subcommand at a time; the fit settings' options are
made from `LineSettings`'s own fields (help, unit and default), and every
choice offered is one of the package's own constants.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from ..basics.errors import ClusterError, QuilletError, warnings_in_one_line
from ..basics.signals import EXIT_INTERRUPTED, catch_termination, stopped

if TYPE_CHECKING:
    from ..basics.outputs import Output
    from ..basics.settings import LineSettings

EXIT_USAGE = 2
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as a shell reports a Unix tool so ended
__all__ = ["EXIT_BROKEN_PIPE", "EXIT_INTERRUPTED", "EXIT_USAGE", "build_parser", "main"]

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


def _chunks(text: str) -> str | int | tuple[int, ...]:
    """--chunks: auto, a number of spectra, or a block length per spatial
    axis (A,B)."""
    if text == "auto":
        return text
    try:
        values = [int(part) for part in text.split(",")]
    except ValueError:
        values = []
    if not values or not all(1 <= v <= _INT64_MAX for v in values):
        raise argparse.ArgumentTypeError(
            f"takes auto, a number of spectra or positive lengths A,B, not {text!r}"
        )
    return values[0] if len(values) == 1 else tuple(values)


def _scheduler(text: str) -> str:
    """--scheduler: an address, or local:N with N worker processes."""
    if text.startswith("local:"):
        count = text.removeprefix("local:")
        if not count.isdigit() or not 1 <= int(count) <= _MAX_LOCAL_WORKERS:
            raise argparse.ArgumentTypeError(
                f"{text!r}: write local:N with N the number of worker processes, 1 to "
                f"{_MAX_LOCAL_WORKERS}, such as local:4"
            )
    elif not text.strip():
        raise argparse.ArgumentTypeError("give the address of a scheduler, or local:N")
    return text


def _noise_value(text: str) -> str | float:
    """--noise: auto, one positive value, or a FITS file (FILE or FILE[HDU],
    opened when the cube is known)."""
    if text == "auto":
        return text
    try:
        value = float(text)
    except ValueError:
        return text  # a file's name
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(f"takes 'auto' or a positive number, not {text!r}")
    return value


# More local worker processes than this is a typo, not a machine.
_MAX_LOCAL_WORKERS = 4096


def _guide_value(text: str) -> str | float:
    from ..data.fit_inputs import GUIDE_AUTO

    return GUIDE_AUTO if text == GUIDE_AUTO else _number(text)


_guide_value.__name__ = "auto or a number"


def _velocity_window(text: str) -> tuple[float, float]:
    parts = text.split(",")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"{text!r}: give two velocities LO,HI in km/s")
    low, high = (_number(part) for part in parts)
    if not low < high:
        raise argparse.ArgumentTypeError(f"{text!r}: LO must be below HI")
    return low, high


def _hdu(value: str | None) -> int | str | None:
    if value is None:
        return None
    return int(value) if value.lstrip("-").isdigit() else value


# --- the arguments ------------------------------------------------------------


class _Version(argparse.Action):
    """--version: the package's version, looked up only when asked for
    (finding it imports importlib.metadata, which every other command would
    pay for at start)."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any, **kwargs: Any) -> None:
        from ..basics.version import package_version

        parser._print_message(f"quillet {package_version()}\n", sys.stdout)
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quillet",
        description="Fit a Gaussian line to every spectrum of a FITS cube: maps of amplitude, "
        "velocity and width, exact to the bit.",
    )
    parser.add_argument("--version", action=_Version, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_info(commands)
    _add_fit(commands)
    _add_moments(commands)
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
    # The fit's own options, so that a command line of quillet fit shows,
    # with info in its place, what that fit would use.
    _line_options(info)
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
    _trust_options(fit)
    _model_options(fit)
    _setting_options(fit)
    _dask_options(fit)
    _output_options(fit)
    fit.set_defaults(run=run_fit)


def _add_moments(commands: Any) -> None:
    moments = commands.add_parser(
        "moments",
        help="write moment maps (integrated intensity, velocity, dispersion)",
        description="Compute moments 0, 1 and 2 of every spectrum of a FITS cube, with their "
        "errors propagated from the noise, and write them to a FITS file (MOMENT0, MOMENT1, "
        "MOMENT2, their errors and CHANNELS), in this process or on a Dask cluster.",
    )
    moments.add_argument("cube", type=Path, metavar="CUBE.fits")
    moments.add_argument("--out", type=Path, required=True, metavar="MOMENTS.fits")
    _reading_options(moments)
    sums = moments.add_argument_group("what enters the sums")
    sums.add_argument(
        "--velocity-range",
        type=_velocity_range,
        metavar="LO,HI",
        help="keep the channels from LO to HI km/s (default: every channel)",
    )
    sums.add_argument(
        "--snr-min",
        type=_number,
        metavar="X",
        help="keep only pixels at or above X times their noise (default: every pixel)",
    )
    sums.add_argument(
        "--noise",
        type=_noise_value,
        default="auto",
        metavar="auto|VALUE|FILE[HDU]",
        help="noise per pixel, for the errors and --snr-min: auto (the file's noise HDU, else "
        "estimated from each spectrum), one value in the data's unit, or a FITS map or cube "
        "(default: auto)",
    )
    _dask_options(moments)
    moments.add_argument("--overwrite", action="store_true", help="replace the output if it exists")
    moments.add_argument("--quiet", action="store_true", help="print nothing but errors")
    moments.set_defaults(run=run_moments)


def _velocity_range(text: str) -> tuple[float, float]:
    parts = text.split(",")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not two velocities LO,HI in km/s")
    low, high = (_number(part.strip()) for part in parts)
    if low == high:
        raise argparse.ArgumentTypeError(f"{text!r} is an empty range; give LO < HI")
    return (min(low, high), max(low, high))


def _add_plot(commands: Any) -> None:
    plot = commands.add_parser(
        "plot",
        help="draw the maps of a maps or moments file",
        description="Draw amplitude, centre, sigma and flags of a maps file written by "
        "quillet fit, or moments 0, 1, 2 and the channels summed of a file written by "
        "quillet moments.",
    )
    plot.add_argument("maps", type=Path, metavar="MAPS.fits")
    plot.add_argument("--out", type=Path, required=True, metavar="MAPS.png")
    from ..front.plots import SHOW_CHOICES

    plot.add_argument(
        "--show",
        choices=SHOW_CHOICES,
        default="good",
        help="draw the good fits, colour scales set by them, or every fit that succeeded "
        "(default: good)",
    )
    plot.add_argument("--overwrite", action="store_true", help="replace the picture if it exists")
    plot.set_defaults(run=run_plot)


def _reading_options(parser: argparse.ArgumentParser) -> None:
    from ..basics.units import CONVENTION_NAMES
    from ..data.fits_images import ERROR_KINDS

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
    from ..data.fit_inputs import CONTINUUM_MODES, GUIDE_AUTO

    where = parser.add_argument_group("where the line is")
    guide = where.add_mutually_exclusive_group()
    guide.add_argument(
        "--guide",
        type=_guide_value,
        default=GUIDE_AUTO,
        metavar="auto|KM_S",
        help="velocity in km/s near which every line is sought, or auto: each spectrum's "
        "own, the peak of the spectrum smoothed over --line-sigma (default: auto)",
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
        type=_noise_value,
        default="auto",
        metavar="auto|VALUE|FILE[HDU]",
        help="one-sigma noise, in the data's unit: auto (the file's noise HDU, else estimated "
        "from each spectrum), one value for every pixel, or a FITS file holding a map of one "
        "value per spectrum or a cube of the data's shape, its HDU by name or index as in "
        "noise.fits[ERR] or noise.fits[2] (default: auto)",
    )
    where.add_argument(
        "--continuum",
        choices=CONTINUUM_MODES,
        default="none",
        help="subtract the median of the channels outside the search radius (edges) "
        "(default: none)",
    )


def _trust_options(parser: argparse.ArgumentParser) -> None:
    """How each fit is helped and judged, and which pixels are bad."""
    from ..data.quality import DEFAULT_SNR_MIN, DEFAULT_WINDOW_SIGMAS

    group = parser.add_argument_group("trusting the fits")
    group.add_argument(
        "--velocity-window",
        type=_velocity_window,
        metavar="LO,HI",
        help="with --guide auto, seek each line only between these velocities, in km/s; "
        "write --velocity-window=-50,100 when LO is negative (default: the whole axis)",
    )
    group.add_argument(
        "--fixed-window",
        action="store_true",
        help="fit every line on the window of --npix channels each side of its peak, "
        "not on one that widens to follow a broad line (default: the window follows)",
    )
    group.add_argument(
        "--window-sigmas",
        type=_positive,
        default=DEFAULT_WINDOW_SIGMAS,
        metavar="K",
        help="half-width of a window that follows the line, in fitted sigmas "
        f"(default: {DEFAULT_WINDOW_SIGMAS:g})",
    )
    group.add_argument(
        "--snr-min",
        type=_number,
        default=DEFAULT_SNR_MIN,
        metavar="X",
        help="a fit whose amplitude over its error is below this is marked low_snr, a pure "
        f"number (default: {DEFAULT_SNR_MIN:g})",
    )
    group.add_argument(
        "--refit",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="refit the spectra whose fit is not good, or strays from its good neighbours, "
        "from their median centre and width (default: --refit)",
    )
    group.add_argument(
        "--mask",
        metavar="FILE[HDU]",
        help="FITS image of bad pixels (non-zero = bad): a cube of the data's shape, or a "
        "map of one value per spectrum (default: none)",
    )
    group.add_argument(
        "--valid-min",
        type=_number,
        metavar="V",
        help="pixels below this, in the data's unit, are missing (default: none)",
    )
    group.add_argument(
        "--valid-max",
        type=_number,
        metavar="V",
        help="pixels above this, in the data's unit, are missing (default: none)",
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


#: How far (relative) a cube's rest frequency may lie from a hyperfine
#: group's main line and still be taken as that line's: beyond any Doppler
#: shift of a source a hyperfine fit is made for.
_HYPERFINE_REST_TOLERANCE = 0.01


def _check_hyperfine_in_cube(name: str, header: Any) -> None:
    """Warns when the cube's rest frequency (RESTFRQ, or RESTFREQ) is not the
    group's: the cube then holds another line (an HDO cube fitted as HCN 1-0),
    and the fit, which runs all the same, means nothing."""
    import warnings

    from ..data.line_models import HYPERFINE

    key = next((k for k in ("RESTFRQ", "RESTFREQ") if k in header), None)
    try:
        rest_mhz = float(header[key]) / 1e6 if key is not None else 0.0
    except (TypeError, ValueError):
        return
    main_mhz = HYPERFINE[name].frequencies_mhz[0]
    if rest_mhz > 0 and abs(rest_mhz - main_mhz) > _HYPERFINE_REST_TOLERANCE * main_mhz:
        warnings.warn(
            f"--hyperfine {name!r}: its main line is at {main_mhz:.9g} MHz, but the cube's "
            f"{key} is {rest_mhz:.9g} MHz: the cube holds another line, and these fits "
            "will not describe it",
            stacklevel=2,
        )


def _line_model(args: argparse.Namespace) -> tuple[Any, Any]:
    """The `LineModel` and component count the model options ask for, or
    (None, None) for today's Gaussian fit."""
    from ..data.line_models import HYPERFINE, LineModel

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
    from ..basics.settings import LineSettings

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
    from ..basics.settings import LineSettings

    return [name for name in LineSettings.names() if name not in _AXIS_SETTINGS]


def _dask_options(parser: argparse.ArgumentParser) -> None:
    dask = parser.add_argument_group("on a Dask cluster")
    dask.add_argument(
        "--scheduler",
        type=_scheduler,
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
        "--worker-timeout",
        type=_positive,
        default=300.0,
        metavar="SECONDS",
        help="how long the cluster may have no workers, with work left, before the run "
        "gives up (default: 300)",
    )
    dask.add_argument(
        "--chunks",
        type=_chunks,
        metavar="auto|N|A,B",
        help="block size with --scheduler: auto (about 16 MB), N spectra, or a block length "
        "per spatial axis (default: auto)",
    )


def _output_options(parser: argparse.ArgumentParser) -> None:
    from ..front.plots import DIAGNOSTIC_SELECTIONS

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
        help="which fits get a diagnostic picture: failed (did not succeed), all, worst (highest "
        "reduced chi-square first) or sample (a random sample, the same every run); blank "
        "spectra never do (default: failed)",
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
    from ..front.cube_files import read_cube

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
    import numpy as np

    from ..basics.arrays import is_dask_array
    from ..basics.rows import default_chunk_rows, row_blocks, take_rows

    data = cube.data
    where = f"HDU {cube.provenance['hdu']} of {path}"
    if 0 in cube.spatial_shape:
        raise UsageError(
            f"{where} holds no spectra: its spatial shape {cube.spatial_shape} has an axis of "
            "length 0; check --hdu"
        )
    infinite = False
    with contextlib.ExitStack() as here:
        if is_dask_array(data):  # read here, where the header was: not a task on the cluster
            import dask

            here.enter_context(dask.config.set(scheduler="synchronous"))
        for block in row_blocks(cube.spatial_shape, default_chunk_rows(data.shape[-1])):
            values = take_rows(data, block, data.ndim - 1)
            if np.isfinite(values).any():
                return
            infinite = infinite or bool(np.isinf(values).any())
    what = "every pixel is NaN or infinite" if infinite else "every pixel is NaN"
    raise UsageError(f"{where} has no finite pixel ({what}): nothing to fit; check --hdu")


def _overrides(args: argparse.Namespace) -> dict[str, Any]:
    return {
        name: getattr(args, name)
        for name in _setting_names()
        if getattr(args, name, None) is not None
    }


def _settings_table(
    settings: LineSettings, given: set[str], args: argparse.Namespace, velocity: Any
) -> str:
    """The settings a fit uses, those given marked, then the expected line
    sigma they were derived from and where the guide comes from."""
    from ..basics.settings import DEFAULT_LINE_SIGMA_CHANNELS

    lines = ["settings (* given, the rest derived from the axis):"]
    line_sigma = args.line_sigma
    if line_sigma is None:
        line_sigma = DEFAULT_LINE_SIGMA_CHANNELS * settings.dv
    shown_values = {**settings.as_kwargs(), "line_sigma": line_sigma}
    given = given | ({"line_sigma"} if args.line_sigma is not None else set())
    for name, value in shown_values.items():
        shown = f"{value:.6g}" if isinstance(value, float) else str(value)
        lines.append(f"  {name:<18} {shown:>12}{' *' if name in given else ''}")
    lines.append(f"  {'guide':<18} {_describe_guide(args, velocity)}")
    return "\n".join(lines)


def _describe_guide(args: argparse.Namespace, velocity: Any) -> str:
    """Where each spectrum's guide velocity comes from, in a few words."""
    from ..data.fit_inputs import default_guide_window

    if getattr(args, "guide_map", None) is not None:
        return f"one per spectrum, from {args.guide_map}"
    guide = args.guide
    if isinstance(guide, str):  # auto: found from each spectrum's data
        window = getattr(args, "velocity_window", None)
        told = window is not None
        window = window if told else default_guide_window(velocity)
        where = "the whole axis" if window is None else f"{window[0]:g} to {window[1]:g} km/s"
        why = "" if told or window is None else " (round 0, the line's rest velocity)"
        return f"auto: each spectrum's peak smoothed over line_sigma, within {where}{why}"
    return f"{guide:g} km/s for every spectrum"


def _describe_wcs(wcs: Any) -> str:
    types = [] if wcs is None else [str(c) for c in wcs.wcs.ctype]
    if not any(types):
        return "none (pixel axes)"
    return ", ".join(c or "(none)" for c in types)


def _describe_observation(cards: dict[str, Any]) -> str:
    """The observation cards every map will carry, as KEY value pairs."""
    from ..data.cube import OBSERVATION_KEYS

    if not cards:
        return f"none of {', '.join(OBSERVATION_KEYS)} in the header"
    return ", ".join(f"{key} {_card_text(key, value)}" for key, value in cards.items())


def _card_text(key: str, value: Any) -> str:
    """A card's value as the header has it; a beam's axes, in degrees there,
    also in arcsec, as a beam is known (BMAJ 0.000347 is 1.25 arcsec)."""
    if key in ("BMAJ", "BMIN") and isinstance(value, int | float):
        return f"{value} ({value * 3600:.4g} arcsec)"
    return str(value)


def _describe_data_unit(cube: Any) -> str:
    """The data's unit, or why the maps will carry none: no BUNIT, or one
    that names no unit astropy reads (IRIS's 'Corrected DN')."""
    if cube.unit is not None:
        return str(cube.unit)
    text = str(cube.header.get("BUNIT", "")).strip()
    if not text:
        return "unknown (no BUNIT)"
    return f"unknown (BUNIT {text!r} is not a unit astropy reads: the maps carry no unit)"


def _other_spectral_images(path: Path, chosen: str) -> list[str]:
    """The names of the file's other images with a spectral axis, noise
    images apart: the other windows of an IRIS or SPICE file, which --hdu
    reads."""
    from astropy.io import fits

    from ..data.fits_files import hdu_name
    from ..front.cube_files import spectral_images

    with fits.open(path) as hdul:
        names = [
            hdu_name(item.header, hdul.index(item)) for item in spectral_images(hdul, noise=False)
        ]
    return [name for name in names if name != chosen]


def run_info(args: argparse.Namespace) -> int:
    import numpy as np

    from ..basics.settings import LineSettings

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
        f"units         data {_describe_data_unit(cube)}; velocity km/s",
        f"observation   {_describe_observation(cube.observation)}",
    ]
    others = _other_spectral_images(args.cube, cube.provenance["hdu"])
    if others:
        lines.append(f"other cubes   HDU {', '.join(others)}: read one with --hdu")
    print("\n".join(lines))
    settings = LineSettings.for_axis(velocity, line_sigma=args.line_sigma)
    print(_settings_table(settings, set(), args, cube.velocity))
    return 0


def _guide(args: argparse.Namespace, spatial: tuple[int, ...]) -> Any:
    if args.guide_map is None:
        return args.guide
    import astropy.units as u
    import numpy as np

    from ..data.fits_files import open_fits

    with open_fits(args.guide_map, "--guide-map") as hdul:
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


def _noise(args: argparse.Namespace, cube: Any, chunks: Any) -> Any:
    """--noise: None (auto), one value, or an image read from a FITS file."""
    if args.noise == "auto":
        return None
    try:
        value = float(args.noise)
    except ValueError:
        return _pixel_image(args.noise, "--noise", cube, chunks)
    if not (math.isfinite(value) and value > 0.0):
        raise UsageError(
            f"--noise takes auto, a positive number or a FITS file, not {args.noise!r}"
        )
    return value


_FILE_AND_HDU = re.compile(r"^(?P<path>.+?)(\[(?P<hdu>[^\[\]]+)\])?$")


def _pixel_image(text: str, option: str, cube: Any, chunks: Any) -> Any:
    """A FITS image named as FILE or FILE[HDU] (its name or index): a map
    of one value per spectrum (read whole: it is small), or a cube of the
    data's shape on disk, read a block at a time as the data are (scaled
    as its header says; on Dask, by the workers)."""
    import numpy as np

    from ..data.fits_files import open_fits
    from ..data.fits_images import ImageSource, Scaling, image_as_dask, image_in_memory

    match = _FILE_AND_HDU.match(text)
    path = Path(match["path"] if match else text)
    hdu = _hdu(match["hdu"]) if match else None
    if not path.is_file():
        raise UsageError(
            f"{option} {text!r}: no such file; give auto, a positive number or a FITS file "
            "(FILE or FILE[HDU])"
        )
    with open_fits(path, option, memmap=True, do_not_scale_image_data=True) as hdul:
        if hdu is None:
            item = next((h for h in hdul if h.is_image and h.header.get("NAXIS", 0) > 0), None)
        else:
            try:
                item = hdul[hdu]
            except (KeyError, IndexError):
                item = None
        if item is None or not item.is_image or not item.header.get("NAXIS", 0):
            which = "no image" if hdu is None else f"no image HDU {hdu!r}"
            raise UsageError(f"{option}: {path} holds {which}; name its HDU as FILE[HDU]")
        spatial = tuple(cube.spatial_shape)
        shape = tuple(int(n) for n in item.shape)
        # Axes of length one beyond the data's (a degenerate Stokes axis) are dropped.
        extra = len(shape) - len(spatial) - 1
        drop = tuple(0 if i < extra and n == 1 else slice(None) for i, n in enumerate(shape))
        kept = tuple(n for i, n in enumerate(shape) if not (i < extra and n == 1))
        scaling = Scaling.of(item.header, item.data.dtype)
        if kept == spatial:
            raw = np.asarray(item.data[drop])
            values = raw.astype(np.float64) if scaling is None else scaling(raw)
            return values if option == "--noise" else values[..., None]
        axis = _spectral_axis_like(kept, spatial, cube.velocity.size)
        if axis is None:
            raise UsageError(
                f"{option}: HDU {item.name or hdul.index(item)} of {path} is {shape} but the "
                f"data have {spatial} spectra of {cube.velocity.size} channels; give a map of "
                "one value per spectrum or a cube of the data's shape"
            )
        source = ImageSource(hdul.index(item), scaling)
        if chunks is None:
            return image_in_memory(path, hdul, source, drop, axis)
        return image_as_dask(path, hdul, source, drop, axis, cube.data.chunks)


def _spectral_axis_like(
    shape: tuple[int, ...], spatial: tuple[int, ...], channels: int
) -> int | None:
    """The axis of an image (NumPy order) that runs along the spectra, when
    moving it last gives the data's shape; as FITS cubes store it, the
    first such axis from the slowest."""
    for axis in range(len(shape)):
        rest = shape[:axis] + shape[axis + 1 :]
        if shape[axis] == channels and rest == spatial:
            return axis
    return None


# Options that name what a command writes; every other path it is given is
# a file it reads, which no output may be.
_OUTPUT_OPTIONS = ("out", "plot", "diagnostics")


@dataclass
class _Outputs:
    """The outputs of a run, resolved and checked before any work, and
    which of them are written so far."""

    maps: Output | None = None
    plot: Output | None = None
    written: list[Output] = field(default_factory=list)

    def wrote(self, output: Output, say: Callable[[str], None]) -> None:
        self.written.append(output)
        say(f"wrote {output.shown}")

    def lost(self) -> str:
        """What a run that fails now leaves written."""
        if not self.written:
            return "no maps were written"
        return f"{' and '.join(o.shown for o in self.written)} written, the rest not"


def _reads(args: argparse.Namespace) -> list[Path]:
    return [
        value for name, value in vars(args).items()
        if isinstance(value, Path) and name not in _OUTPUT_OPTIONS
    ]  # fmt: skip


@contextlib.contextmanager
def _fit_outputs(args: argparse.Namespace) -> Iterator[_Outputs]:
    """The outputs of ``quillet fit``, resolved, checked and held (one run
    per output) before any work."""
    from ..basics.outputs import output_lock, resolve_output

    if args.out.suffix.lower() not in (*_FITS_SUFFIXES, ".zarr"):
        raise UsageError(f"--out {args.out}: write the maps to a .fits file or a .zarr store")
    if args.chunks is not None and args.scheduler is None:
        raise UsageError("--chunks sets the blocks of a Dask run: give --scheduler too")
    reads = _reads(args)
    outputs = _Outputs()
    outputs.maps = resolve_output(
        args.out, overwrite=args.overwrite, reads=reads, folder=args.out.suffix.lower() == ".zarr"
    )
    if args.plot is not None:
        _check_picture_format(args.plot, "--plot")
        outputs.plot = resolve_output(args.plot, overwrite=args.overwrite, reads=reads)
        if outputs.plot.target == outputs.maps.target:
            raise UsageError(f"--plot {args.plot} is the maps' own file (--out {args.out})")
    if args.diagnostics is not None:
        _check_diagnostics_folder(args.diagnostics, args.overwrite)
    with contextlib.ExitStack() as held:
        for output in (outputs.maps, outputs.plot):
            if output is not None:
                held.enter_context(output_lock(output))
        yield outputs


def _check_picture_format(path: Path, option: str) -> None:
    from ..front.plots import picture_formats

    formats = picture_formats()
    if path.suffix.lstrip(".").lower() not in formats:
        raise UsageError(
            f"{option} {path}: pictures are written as {', '.join(sorted(formats))}; "
            "name the file with one of these endings"
        )


def _check_diagnostics_folder(folder: Path, overwrite: bool) -> None:
    """Refuses, before the fit, a folder whose pictures the run would meet
    only after the fit, or could not make."""
    from ..front.plots import DIAGNOSTIC_PREFIX

    if folder.exists() and not folder.is_dir():
        raise UsageError(f"--diagnostics {folder} is a file, not a folder; name a folder")
    if not overwrite and folder.is_dir() and any(folder.glob(f"{DIAGNOSTIC_PREFIX}*.png")):
        raise UsageError(
            f"{folder} exists and holds diagnostic pictures ({DIAGNOSTIC_PREFIX}*.png); choose "
            "another folder, or allow replacing them (--overwrite)"
        )
    existing = next(p for p in (folder.absolute(), *folder.absolute().parents) if p.exists())
    if not existing.is_dir() or not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"--diagnostics {folder}: cannot write in {existing}")


def run_fit(args: argparse.Namespace) -> int:
    with _fit_outputs(args) as outputs:
        return _here_or_on_dask(
            args, lambda a, chunks: _fit_and_write(a, outputs, chunks), "the fit", outputs.lost
        )


def _here_or_on_dask(
    args: argparse.Namespace,
    work: Callable[[argparse.Namespace, Any], int],
    what: str,
    lost: Callable[[], str],
) -> int:
    """Runs ``work(args, chunks)`` in this process (chunks None), or with
    --scheduler on the Dask cluster it names, with the blocks of --chunks; a
    cluster that fails or a scheduler lost during ``what`` is one line that
    ends with ``lost()`` (what was not written)."""
    if args.scheduler is None:
        return work(args, None)
    import dask

    from ..basics.lazy import cluster_failures
    from ..work.dask import SchedulerError, connect, scheduler_failures

    timeout = {"quillet.worker-timeout": args.worker_timeout}
    with (
        dask.config.set(timeout),
        connect(args.scheduler, timeout=args.connect_timeout, quiet=True) as client,
    ):
        try:
            with cluster_failures():
                return work(args, args.chunks or "auto")
        except ClusterError as error:
            raise ClusterError(f"{error}; {lost()}") from None
        except (KeyboardInterrupt, QuilletError):
            raise
        except scheduler_failures() as error:
            if not _scheduler_lost(client, error):
                raise
            reason = str(error) or type(error).__name__
            raise SchedulerError(
                f"lost the Dask scheduler at {args.scheduler} during {what} ({reason}); {lost()}"
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


def _fit_and_write(args: argparse.Namespace, outputs: _Outputs, chunks: Any) -> int:
    """The fit and its outputs: in this process (``chunks`` None), or on the
    Dask cluster the default client reaches, whose results stay on its
    workers until they are written."""
    from ..basics.settings import LineSettings
    from ..front.cube_fit import fit_cube

    def say(text: str) -> None:
        if not args.quiet:
            print(text, flush=True)

    assert outputs.maps is not None
    cube = _read(args, chunks)
    _check_some_finite(cube, args.cube)
    if not outputs.maps.folder:
        from ..basics.outputs import check_room
        from ..front.maps_files import maps_bytes

        edges = args.continuum != "none"
        check_room(outputs.maps, maps_bytes(cube.spatial_shape, cube.velocity.size, edges))
    model, components = _line_model(args)
    if args.hyperfine and model is not None:
        _check_hyperfine_in_cube(args.hyperfine, cube.header)
    overrides = _overrides(args)
    settings = LineSettings.for_axis(cube.velocity, line_sigma=args.line_sigma, **overrides)
    guide = _guide(args, cube.spatial_shape)
    noise = _noise(args, cube, chunks)
    mask = None if args.mask is None else _pixel_image(args.mask, "--mask", cube, chunks)
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
    if isinstance(noise, float):
        say(f"noise: constant {noise:g}")
    elif noise is not None:
        say(f"noise: {args.noise}")
    elif cube.noise is not None:
        say(f"noise: {cube.provenance['noise']}")
    else:
        say("noise: estimated from each spectrum (DER_SNR)")
    say(_settings_table(settings, set(overrides), args, cube.velocity))
    say(_trust_lines(args, settings))
    if model is not None:
        say(_describe_model(model, components))

    start = time.perf_counter()
    fit = fit_cube(
        cube,
        noise=noise,
        guide=guide,
        continuum=None if args.continuum == "none" else args.continuum,
        mask=mask,
        settings=settings,
        chunk_rows=args.chunk_rows,
        progress=not args.quiet,
        **_trust_keywords(args),
        **({} if model is None else {"model": model, "components": components}),
    )
    # A Dask fit runs here, block by block, its results kept on the workers.
    fit = fit.persist(progress=not args.quiet)
    elapsed = time.perf_counter() - start
    if outputs.maps.folder and model is not None:
        fit.write_zarr(outputs.maps, overwrite=args.overwrite)
    elif outputs.maps.folder:
        from ..front.maps_files import write_zarr

        write_zarr(fit, outputs.maps, overwrite=args.overwrite)
    else:
        fit.write_fits(outputs.maps, overwrite=args.overwrite)
    outputs.wrote(outputs.maps, say)
    if outputs.plot is not None:
        fit.plot_maps(outputs.plot, overwrite=args.overwrite)
        outputs.wrote(outputs.plot, say)
    if args.diagnostics is not None:
        say(_diagnostics(args, fit.compute(), cube, noise))
    say(_flag_table(fit, elapsed))
    if model is None:
        say(_quality_table(fit))
    else:
        say(_component_table(fit))
    return 0


def _diagnostics(args: argparse.Namespace, fit: Any, cube: Any, noise: Any) -> str:
    """Writes the diagnostic pictures --diagnostics-of asks for; says how
    many, and how many blank spectra (no finite pixel) had none."""
    from ..data.model_results import ModelFit
    from ..front.plots import blank_spectra, write_diagnostics

    blank = blank_spectra(fit, cube.data)
    chosen = {"which": args.diagnostics_of, "limit": args.diagnostics_max,
              "overwrite": args.overwrite, "blank": blank}  # fmt: skip
    if isinstance(fit, ModelFit):
        from ..front.model_plots import write_model_diagnostics

        written = write_model_diagnostics(fit, cube.data, args.diagnostics, **chosen)
    else:
        shared = cube.noise if noise is None else None
        written = write_diagnostics(fit, cube.data, args.diagnostics, noise=shared, **chosen)
    import numpy as np

    plural = "s" if len(written) != 1 else ""
    blanks = int(np.count_nonzero(blank))
    return (
        f"wrote {len(written)} diagnostic picture{plural} ({args.diagnostics_of}) to "
        f"{args.diagnostics}; {blanks} blank spectr{'um' if blanks == 1 else 'a'} "
        "(no finite pixel) drawn in none"
    )


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


def _trust_keywords(args: argparse.Namespace) -> dict[str, Any]:
    """fit_cube's keywords of guides, windows, quality and valid pixels."""
    return {
        "velocity_window": args.velocity_window,
        "adapt_window": not args.fixed_window,
        "window_sigmas": args.window_sigmas,
        "snr_min": args.snr_min,
        "refit_neighbours": args.refit,
        "valid_min": args.valid_min,
        "valid_max": args.valid_max,
    }


def _trust_lines(args: argparse.Namespace, settings: LineSettings) -> str:
    """How the windows follow the lines, how fits are judged, and which
    pixels count as missing (the guide and line_sigma are in the settings)."""
    window = (
        f"fixed, --npix {settings.npix} channels"
        if args.fixed_window
        else f"follows the line, +-{args.window_sigmas:g} sigma"
    )
    valid = ", ".join(
        f"{word} {value:g}"
        for word, value in (("from", args.valid_min), ("to", args.valid_max))
        if value is not None
    )
    lines = [
        f"window: {window}; snr_min {args.snr_min:g}; neighbour refits "
        f"{'on' if args.refit else 'off'}",
    ]
    if args.mask is not None or valid:
        lines.append(f"bad pixels: mask {args.mask or 'none'}; valid {valid or 'any'}")
    return "\n".join(lines)


#: Share of the spectra with data whose fit found no local maximum above
#: which the run is told it probably sought its lines in the wrong place.
_LOST_SHARE = 0.95


def _quality_table(fit: Any) -> str:
    """Good fits, blank spectra (counted apart), each quality bit's count,
    and what to try when nearly every spectrum with data found no line."""
    import numpy as np

    from ..data.quality import Quality

    counts = fit.quality_counts()
    total = math.prod(fit.shape)
    blank = counts[str(Quality.NO_DATA.name)]
    good = int(np.count_nonzero(fit.good))
    with_data = total - blank
    share = 100.0 * good / with_data if with_data else 0.0
    lines = [
        f"{'good fits':<22} {good:>10} {share:>7.1f}% of the {with_data} spectra with data",
        f"{'blank spectra':<22} {blank:>10}",
        f"{'quality bit':<22} {'count':>10}",
    ]
    for bit in Quality:
        if bit == Quality.NO_DATA:
            continue
        lines.append(f"{int(bit):<3} {str(bit.name).lower():<18} {counts[str(bit.name)]:>10}")
    lost = int(np.count_nonzero((np.asarray(fit.flag) == 1) & (np.asarray(fit.quality) & 1 == 0)))
    if with_data and lost >= _LOST_SHARE * with_data:
        lines.append(
            f"no line found in {lost} of the {with_data} spectra with data: give --guide on "
            "the axis, or --velocity-window round the line, and check --rest-wavelength"
        )
    return "\n".join(lines)


def run_moments(args: argparse.Namespace) -> int:
    from ..basics.outputs import refuse_existing

    refuse_existing(args.out, args.overwrite)
    if not args.out.parent.is_dir():
        raise UsageError(
            f"the folder {args.out.parent} of {args.out} does not exist; create it first"
        )
    if args.out.suffix.lower() not in _FITS_SUFFIXES:
        raise UsageError(f"--out {args.out}: write the moments to a .fits file")
    if args.chunks is not None and args.scheduler is None:
        raise UsageError("--chunks sets the blocks of a Dask run: give --scheduler too")
    return _here_or_on_dask(
        args, _moments_and_write, "the moments", lambda: "no moments were written"
    )


def _moments_and_write(args: argparse.Namespace, chunks: Any) -> int:
    from ..front.cube_moments import moments

    cube = _read(args, chunks)
    _check_some_finite(cube, args.cube)
    import numpy as np

    noise: Any = _noise(args, cube, chunks)
    if noise is None and cube.noise is None:
        noise = "estimate"
    start = time.perf_counter()
    maps = moments(
        cube, noise=noise, velocity_range=args.velocity_range, snr_min=args.snr_min
    ).compute(progress=not args.quiet)
    elapsed = time.perf_counter() - start
    maps.write_fits(args.out, overwrite=args.overwrite)
    if not args.quiet:
        blank = int(np.count_nonzero(np.asarray(maps.count) == 0))
        total = math.prod(maps.shape)
        print(f"noise: {maps.provenance['noise']}")
        print(f"moments of {total} spectra in {elapsed:.3g} s; {blank} with no channel to sum")
        print(f"wrote {args.out}")
    return 0


def run_plot(args: argparse.Namespace) -> int:
    from ..basics.outputs import output_lock, resolve_output
    from ..data.fits_files import check_regular_file
    from ..front.maps_files import read_maps
    from ..front.plots import plot_moments_file, save_figure

    check_regular_file(args.maps)
    _check_picture_format(args.out, "--out")
    output = resolve_output(args.out, overwrite=args.overwrite, reads=_reads(args))
    with output_lock(output):
        if _is_moments_file(args.maps):
            figure = plot_moments_file(args.maps)
        else:
            fit = _read_any_maps(args.maps, read_maps)
            shown = {"show": args.show} if hasattr(fit, "quality") else {}
            figure = fit.plot_maps(**shown)
        save_figure(figure, output, overwrite=args.overwrite, reads=_reads(args))
    print(f"wrote {output.shown}")
    return 0


def _is_moments_file(path: Path) -> bool:
    """Whether ``path`` is a file of ``quillet moments`` (its MOMENT0 image)."""
    from astropy.io import fits

    with fits.open(path) as hdul:
        return "MOMENT0" in hdul


def _read_any_maps(path: Path, read_maps: Callable[[Path], Any]) -> Any:
    """A maps file of a Gaussian fit, or of a line model's (MODEL cards)."""
    from astropy.io import fits

    from ..data.model_results import read_model_maps

    with fits.open(path) as hdul:
        is_model = "QUILLET MODEL COMPONENTS" in hdul[0].header
    return read_model_maps(path) if is_model else read_maps(path)


# --- the entry point ------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    catch_termination()
    stderr = _LineEnds(sys.stderr)
    try:
        with contextlib.redirect_stderr(stderr), warnings_in_one_line():
            parser = build_parser()
            try:
                args = parser.parse_args(
                    _ranges_joined(sys.argv[1:] if argv is None else list(argv))
                )
            except SystemExit as stop:  # --help, --version, or a usage error already told
                status = stop.code if isinstance(stop.code, int) else EXIT_USAGE
            else:
                status = args.run(args)
            sys.stdout.flush()  # a reader gone is told here, not at exit
        return status
    except KeyboardInterrupt as stop:  # Ctrl-C, or SIGTERM (`quillet.basics.signals`)
        return stopped(stop, line_open=stderr.in_line)
    except BrokenPipeError:
        return _reader_gone()
    except (QuilletError, OSError) as error:
        with contextlib.suppress(OSError):
            print(f"quillet: error: {_as_options(_one_line(error))}", file=sys.stderr)
        return EXIT_USAGE


def _reader_gone() -> int:
    """Standard output's reader went away (``quillet info ... | head``):
    the run ends quietly, as SIGPIPE ends a Unix tool, and what Python still
    holds for standard output goes nowhere rather than to a message at exit."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    return EXIT_BROKEN_PIPE


def _ranges_joined(argv: list[str]) -> list[str]:
    """The arguments with each value of --velocity-range joined to its
    option: argparse takes a value such as -200,250, which starts with a
    dash but is no plain negative number, for an option of its own."""
    joined: list[str] = []
    waiting = False
    for word in argv:
        if waiting and word.startswith("-") and "," in word:
            joined[-1] = f"{joined[-1]}={word}"
        else:
            joined.append(word)
        waiting = word == "--velocity-range"
    return joined


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

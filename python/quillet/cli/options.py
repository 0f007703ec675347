"""The command line's options: argparse's parser, the parsers of values,
and the groups of options that several commands share.

Every value is checked where it is parsed, so that argparse names the
option in its one-line message. The fit settings' options are made from
`LineSettings`'s own fields (help, unit and default), and every choice
offered is one of the package's own constants, imported when the group is
made.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from .usage import EXIT_USAGE

if TYPE_CHECKING:
    from ..basics.settings import LineSettings

# The kernel's integer settings are 32-bit (npix, npix_slack) or 64-bit
# (sg_xpixels, max_iter) signed integers.
_INTEGER_LIMITS = {"npix": 2**31 - 1, "npix_slack": 2**31 - 1}
_INT64_MAX = 2**63 - 1

# Settings the cube's own axis fixes (its step and channel count): not
# options of the command line.
_AXIS_SETTINGS = frozenset({"dv", "sg_xpixels"})


class Parser(argparse.ArgumentParser):
    """argparse's parser, but a mistake in the arguments is one line on
    standard error, like every other mistake: what is wrong and where the
    usage is, not a usage block that buries the message."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}; see '{self.prog} --help'\n")


def number(text: str, *, positive: bool = False) -> float:
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


def positive(text: str) -> float:
    return number(text, positive=True)


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


def noise_value(text: str) -> str | float:
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

    return GUIDE_AUTO if text == GUIDE_AUTO else number(text)


_guide_value.__name__ = "auto or a number"


def _velocity_window(text: str) -> tuple[float, float]:
    parts = text.split(",")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"{text!r}: give two velocities LO,HI in km/s")
    low, high = (number(part) for part in parts)
    if not low < high:
        raise argparse.ArgumentTypeError(f"{text!r}: LO must be below HI")
    return low, high


def hdu_value(value: str | None) -> int | str | None:
    if value is None:
        return None
    return int(value) if value.lstrip("-").isdigit() else value


class Version(argparse.Action):
    """--version: the package's version, looked up only when asked for
    (finding it imports importlib.metadata, which every other command would
    pay for at start)."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any, **kwargs: Any) -> None:
        from ..basics.version import package_version

        parser._print_message(f"quillet {package_version()}\n", sys.stdout)
        parser.exit()


def reading_options(parser: argparse.ArgumentParser) -> None:
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
        type=number,
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


def line_options(parser: argparse.ArgumentParser) -> None:
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
        type=positive,
        metavar="KM_S",
        help="expected line sigma in km/s (default: two channels)",
    )
    where.add_argument(
        "--noise",
        type=noise_value,
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


def trust_options(parser: argparse.ArgumentParser) -> None:
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
        type=positive,
        default=DEFAULT_WINDOW_SIGMAS,
        metavar="K",
        help="half-width of a window that follows the line, in fitted sigmas "
        f"(default: {DEFAULT_WINDOW_SIGMAS:g})",
    )
    group.add_argument(
        "--snr-min",
        type=number,
        default=DEFAULT_SNR_MIN,
        metavar="X",
        help="a fit whose amplitude over its error is below this is marked low_snr, a pure "
        f"number (default: {DEFAULT_SNR_MIN:g})",
    )
    group.add_argument(
        "--refit",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="refit the spectra whose fit is not good, or strays from its good neighbours, "
        "from their median centre and width (default: --refit for the Gaussian fit; a line "
        "model's fit has no neighbour refits)",
    )
    group.add_argument(
        "--mask",
        metavar="FILE[HDU]",
        help="FITS image of bad pixels (non-zero = bad): a cube of the data's shape, or a "
        "map of one value per spectrum (default: none)",
    )
    group.add_argument(
        "--valid-min",
        type=number,
        metavar="V",
        help="pixels below this, in the data's unit, are missing (default: none)",
    )
    group.add_argument(
        "--valid-max",
        type=number,
        metavar="V",
        help="pixels above this, in the data's unit, are missing (default: none)",
    )


def setting_options(parser: argparse.ArgumentParser) -> None:
    """One option per field of `LineSettings`, with its help, unit and
    default as the settings describe them."""
    from ..basics.settings import LineSettings

    group = parser.add_argument_group("fit settings (default: derived from the axis)")
    for name in setting_names():
        what, unit, derived = LineSettings.describe(name)
        if name in LineSettings.INTEGER_FIELDS:
            kind: Callable[[str], Any] = _whole(0, _INTEGER_LIMITS.get(name, _INT64_MAX))
            metavar = "N"
        else:
            kind, metavar = number, ("KM_S" if unit == "km/s" else "X")
        shown_unit = f"in {unit}; " if unit else ""
        group.add_argument(
            f"--{name.replace('_', '-')}",
            type=kind,
            dest=name,
            metavar=metavar,
            help=f"{what} ({shown_unit}default: {derived})",
        )


def setting_names() -> list[str]:
    """The settings that are options of ``quillet fit``."""
    from ..basics.settings import LineSettings

    return [name for name in LineSettings.names() if name not in _AXIS_SETTINGS]


def dask_options(parser: argparse.ArgumentParser) -> None:
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
        type=positive,
        default=10.0,
        metavar="SECONDS",
        help="how long to wait for the scheduler, and for it to come back if lost (default: 10)",
    )
    dask.add_argument(
        "--worker-timeout",
        type=positive,
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


def output_options(parser: argparse.ArgumentParser) -> None:
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


def setting_overrides(args: argparse.Namespace) -> dict[str, Any]:
    return {
        name: getattr(args, name)
        for name in setting_names()
        if getattr(args, name, None) is not None
    }


def settings_table(
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

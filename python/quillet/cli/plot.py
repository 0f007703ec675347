"""``quillet plot``: the maps of a maps file (a Gaussian's or a line
model's) or of a moments file drawn to a picture.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from pathlib import Path
from typing import Any

from .files import check_picture_format, files_read


def add_plot(commands: Any) -> None:
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


def run_plot(args: argparse.Namespace) -> int:
    from ..basics.outputs import output_lock, resolve_output
    from ..data.fits_files import check_regular_file
    from ..front.maps_files import read_maps
    from ..front.plots import plot_moments_file, save_figure

    check_regular_file(args.maps)
    check_picture_format(args.out, "--out")
    output = resolve_output(args.out, overwrite=args.overwrite, reads=files_read(args))
    with output_lock(output):
        if _is_moments_file(args.maps):
            figure = plot_moments_file(args.maps)
        else:
            fit = _read_any_maps(args.maps, read_maps)
            shown = {"show": args.show} if hasattr(fit, "quality") else {}
            figure = fit.plot_maps(**shown)
        save_figure(figure, output, overwrite=args.overwrite, reads=files_read(args))
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

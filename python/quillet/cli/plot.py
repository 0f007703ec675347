"""``quillet plot``: the maps of a maps file (a Gaussian's or a line
model's) or of a moments file drawn to a picture.
"""

from __future__ import annotations

import argparse
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
    from ..data.results import LineFit
    from ..front.maps_files import read_maps
    from ..front.plots import save_figure

    check_regular_file(args.maps)
    check_picture_format(args.out, "--out")
    output = resolve_output(args.out, overwrite=args.overwrite, reads=files_read(args))
    with output_lock(output):
        maps = read_maps(args.maps)
        # --show chooses among a Gaussian fit's quality; other maps have none.
        figure = maps.plot_maps(**({"show": args.show} if isinstance(maps, LineFit) else {}))
        save_figure(figure, output, overwrite=args.overwrite, reads=files_read(args))
    print(f"wrote {output.shown}")
    return 0

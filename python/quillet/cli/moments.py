"""``quillet moments``: moments 0, 1 and 2 of every spectrum, with their
errors, written to a FITS file, in this process or on a Dask cluster.
"""

from __future__ import annotations

import argparse
import math
import time
from pathlib import Path
from typing import Any

from .cluster import here_or_on_dask
from .files import FITS_SUFFIXES, check_some_finite, given_noise, read_named_cube
from .options import dask_options, noise_value, number, reading_options
from .usage import UsageError


def add_moments(commands: Any) -> None:
    moments = commands.add_parser(
        "moments",
        help="write moment maps (integrated intensity, velocity, dispersion)",
        description="Compute moments 0, 1 and 2 of every spectrum of a FITS cube, with their "
        "errors propagated from the noise, and write them to a FITS file (MOMENT0, MOMENT1, "
        "MOMENT2, their errors and CHANNELS), in this process or on a Dask cluster.",
    )
    moments.add_argument("cube", type=Path, metavar="CUBE.fits")
    moments.add_argument("--out", type=Path, required=True, metavar="MOMENTS.fits")
    reading_options(moments)
    sums = moments.add_argument_group("what enters the sums")
    sums.add_argument(
        "--velocity-range",
        type=_velocity_range,
        metavar="LO,HI",
        help="keep the channels from LO to HI km/s (default: every channel)",
    )
    sums.add_argument(
        "--snr-min",
        type=number,
        metavar="X",
        help="keep only pixels at or above X times their noise (default: every pixel)",
    )
    sums.add_argument(
        "--noise",
        type=noise_value,
        default="auto",
        metavar="auto|VALUE|FILE[HDU]",
        help="noise per pixel, for the errors and --snr-min: auto (the file's noise HDU, else "
        "estimated from each spectrum), one value in the data's unit, or a FITS map or cube "
        "(default: auto)",
    )
    dask_options(moments)
    moments.add_argument("--overwrite", action="store_true", help="replace the output if it exists")
    moments.add_argument("--quiet", action="store_true", help="print nothing but errors")
    moments.set_defaults(run=run_moments)


def _velocity_range(text: str) -> tuple[float, float]:
    parts = text.split(",")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not two velocities LO,HI in km/s")
    low, high = (number(part.strip()) for part in parts)
    if low == high:
        raise argparse.ArgumentTypeError(f"{text!r} is an empty range; give LO < HI")
    return (min(low, high), max(low, high))


def run_moments(args: argparse.Namespace) -> int:
    from ..basics.outputs import refuse_existing

    refuse_existing(args.out, args.overwrite)
    if not args.out.parent.is_dir():
        raise UsageError(
            f"the folder {args.out.parent} of {args.out} does not exist; create it first"
        )
    if args.out.suffix.lower() not in FITS_SUFFIXES:
        raise UsageError(f"--out {args.out}: write the moments to a .fits file")
    if args.chunks is not None and args.scheduler is None:
        raise UsageError("--chunks sets the blocks of a Dask run: give --scheduler too")
    return here_or_on_dask(
        args, _moments_and_write, "the moments", lambda: "no moments were written"
    )


def _moments_and_write(args: argparse.Namespace, chunks: Any) -> int:
    from ..front.cube_moments import moments

    cube = read_named_cube(args, chunks)
    check_some_finite(cube, args.cube)
    import numpy as np

    noise: Any = given_noise(args, cube, chunks)
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

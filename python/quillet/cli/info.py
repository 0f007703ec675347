"""``quillet info``: what would be read from a cube, and the settings a
fit would derive.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from .files import read_named_cube
from .options import line_options, reading_options, settings_table


def add_info(commands: Any) -> None:
    info = commands.add_parser(
        "info",
        help="show what would be read from a cube",
        description="Show what quillet reads from a FITS cube: shape, spectral axis, velocity "
        "range and step, noise, units, and the settings a fit would derive.",
    )
    info.add_argument("cube", type=Path, metavar="CUBE.fits")
    reading_options(info)
    # The fit's own options, so that a command line of quillet fit shows,
    # with info in its place, what that fit would use.
    line_options(info)
    info.set_defaults(run=run_info)


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

    cube = read_named_cube(args)
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
    print(settings_table(settings, set(), args, cube.velocity))
    return 0

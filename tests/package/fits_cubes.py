"""Synthetic FITS cubes with known axes and known lines, written by astropy.

`line_cube` makes spectra of one Gaussian line each on a known velocity
axis; `write_cube` writes any array as a FITS image whose spectral axis is
described by the WCS keywords given, optionally with an error extension.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
from astropy.io import fits

REAL_DATA = Path(__file__).resolve().parent.parent / "data" / "real"


def line_cube(
    velocity: np.ndarray,
    spatial: tuple[int, ...] = (4, 5),
    *,
    amplitude: float = 10.0,
    centre: Any = 0.0,
    sigma: float = 30.0,
    noise: float = 0.2,
    continuum: Any = 0.0,
    seed: int = 1,
) -> np.ndarray:
    """Spectra (spatial shape + channels, float64) of one line each, with
    Gaussian noise; ``centre`` and ``continuum`` may be arrays of the spatial
    shape."""
    rng = np.random.default_rng(seed)
    centre = np.broadcast_to(np.asarray(centre, dtype=np.float64), spatial)[..., None]
    continuum = np.broadcast_to(np.asarray(continuum, dtype=np.float64), spatial)[..., None]
    profile = amplitude * np.exp(-0.5 * ((velocity - centre) / sigma) ** 2)
    return profile + continuum + rng.normal(0.0, noise, (*spatial, velocity.size))


def spectral_cards(
    ctype: str, crval: float, cdelt: float, *, cunit: str | None = None, crpix: float = 1.0
) -> dict[str, Any]:
    """WCS keywords of a linear spectral axis (without the axis number)."""
    cards: dict[str, Any] = {"CTYPE": ctype, "CRVAL": crval, "CDELT": cdelt, "CRPIX": crpix}
    if cunit is not None:
        cards["CUNIT"] = cunit
    return cards


def write_cube(
    path: Path,
    data: np.ndarray,
    spectral: dict[str, Any],
    *,
    spectral_axis: int = -1,
    celestial: bool = True,
    header: dict[str, Any] | None = None,
    error: np.ndarray | None = None,
    error_name: str = "ERR",
    error_header: dict[str, Any] | None = None,
    data_name: str | None = "DATA",
    scaling: dict[str, Any] | None = None,
    error_scaling: dict[str, Any] | None = None,
) -> Path:
    """Writes ``data`` (NumPy order, its ``spectral_axis`` the spectral one)
    as an image HDU with a WCS: the spectral axis from ``spectral`` (see
    `spectral_cards`), the others RA/Dec (tangent plane, 1 arcsec pixels)
    when ``celestial`` and there are two of them, else plain pixel axes.
    With ``data_name`` None the data go in the primary HDU. ``scaling`` (and
    ``error_scaling``) hold BSCALE, BZERO and BLANK cards written as given on
    the data (error) HDU, whose integer array is then stored as it stands:
    astropy would otherwise drop those cards from an array it is handed."""
    ndim = data.ndim
    spec_numpy = spectral_axis % ndim
    spec_fits = ndim - spec_numpy  # FITS axes count from the last NumPy axis, from 1
    hdr = fits.Header()
    spatial_fits = [a for a in range(1, ndim + 1) if a != spec_fits]
    for key, value in spectral.items():
        hdr[f"{key}{spec_fits}"] = value
    if celestial and len(spatial_fits) == 2:
        for axis, (ctype, crval, cdelt) in zip(
            spatial_fits, (("RA---TAN", 150.0, -1 / 3600), ("DEC--TAN", 2.0, 1 / 3600))
        ):
            hdr[f"CTYPE{axis}"] = ctype
            hdr[f"CRVAL{axis}"] = crval
            hdr[f"CDELT{axis}"] = cdelt
            hdr[f"CRPIX{axis}"] = 1.0
            hdr[f"CUNIT{axis}"] = "deg"
    for key, value in (header or {}).items():
        hdr[key] = value
    hdus: list[Any] = []
    if data_name is None:
        hdus.append(_stored(fits.PrimaryHDU, data, hdr, scaling))
    else:
        hdus.append(fits.PrimaryHDU())
        hdus.append(_stored(fits.ImageHDU, data, hdr, scaling, name=data_name))
    if error is not None:
        err_hdr = hdr.copy()
        for key, value in (error_header or {}).items():
            err_hdr[key] = value
        hdus.append(_stored(fits.ImageHDU, error, err_hdr, error_scaling, name=error_name))
    fits.HDUList(hdus).writeto(path)
    return path


def _stored(kind: Any, data: np.ndarray, header: fits.Header, scaling: Any, **kwargs: Any) -> Any:
    """An image HDU of ``data``, with the scaling cards set after astropy has
    taken the array, so that the array is stored raw under them."""
    if not scaling:
        return kind(data=data, header=header, **kwargs)
    item = kind(data=data, header=header, do_not_scale_image_data=True, **kwargs)
    for key, value in scaling.items():
        item.header[key] = value
    return item


def write_tabular_cube(
    path: Path,
    data: np.ndarray,
    coordinates: Any,
    *,
    ctype: str = "WAVE-TAB",
    cunit: str = "nm",
    header: dict[str, Any] | None = None,
) -> Path:
    """Writes ``data`` (spectral axis last) whose spectral axis is tabulated
    (``-TAB``): the coordinate of each channel, in ``cunit``, is read from a
    WCS-TAB binary table, so the axis may be irregular, unsorted or hold NaN,
    as a linear axis cannot."""
    coords = np.asarray(coordinates, dtype=np.float64)
    # Pixel p (from 1) reads entry p of the table: CRVAL + CDELT (p - CRPIX) = p.
    cards = {"CTYPE": ctype, "CUNIT": cunit, "CRPIX": 1.0, "CRVAL": 1.0, "CDELT": 1.0}
    table = {"PS1_0": "WCS-TAB", "PS1_1": "COORDS"}  # FITS axis 1 is the last NumPy axis
    write_cube(path, data, cards, header={**table, **(header or {})})
    column = fits.Column(
        name="COORDS",
        format=f"{coords.size}D",
        dim=f"(1,{coords.size})",
        array=coords.reshape(1, coords.size, 1),
    )
    with fits.open(path, mode="append") as hdul:
        hdul.append(fits.BinTableHDU.from_columns([column], name="WCS-TAB"))
    return path

"""Common optical and UV lines by rest wavelength: the names a line model
gives its members, and air and vacuum wavelengths converted as a cube's
spectral axis converts them.

`KNOWN_LINES` is data: each line's name, its vacuum wavelength and, above
2000 Angstrom, its wavelength in standard air. Vacuum wavelengths are those
of the NIST Atomic Spectra Database (Kramida, Ralchenko, Reader and the NIST
ASD Team), as the SDSS line list tabulates the optical ones; air wavelengths
are the vacuum ones through the IAU standard refraction of air (Edlen 1966,
as given by Morton 1991, ApJS 77, 119), to 0.01 Angstrom. Below 2000
Angstrom (Lyman-alpha, the C II, Si IV and C IV resonance lines) only vacuum
wavelengths are in use, and a wavelength there is read as a vacuum one.

`line_name` names a rest value from the table when it lies within
`NAME_TOLERANCE` of an entry, in air or in vacuum (the two differ by 2.7 to
2.9 parts in 10,000 above 2000 Angstrom, far beyond that tolerance).
`air_to_vacuum` and `vacuum_to_air` convert through wcslib's own refraction
of air, the one it applies to an AWAV axis, so that a line and the axis it
is placed on are converted alike.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

__all__ = [
    "KNOWN_LINES",
    "NAME_TOLERANCE",
    "KnownLine",
    "air_to_vacuum",
    "line_name",
    "vacuum_to_air",
]


@dataclass(frozen=True)
class KnownLine:
    """A line of `KNOWN_LINES`: its name, vacuum wavelength and wavelength
    in standard air (None where only vacuum wavelengths are used), in
    Angstrom."""

    name: str
    vacuum: float
    air: float | None


def _line(name: str, vacuum: float, air: float | None = None) -> KnownLine:
    return KnownLine(name, vacuum, air)


KNOWN_LINES: tuple[KnownLine, ...] = (
    _line("Ly-alpha", 1215.67),
    _line("N V", 1238.82),
    _line("N V", 1242.80),
    _line("C II", 1334.53),
    _line("C II", 1335.71),
    _line("Si IV", 1393.76),
    _line("Si IV", 1402.77),
    _line("C IV", 1548.19),
    _line("C IV", 1550.77),
    _line("He II", 1640.42),
    _line("C III]", 1908.73),
    _line("Mg II k", 2796.35, 2795.53),
    _line("Mg II h", 2803.53, 2802.70),
    _line("[O II]", 3727.09, 3726.03),
    _line("[O II]", 3729.88, 3728.82),
    _line("[Ne III]", 3869.86, 3868.76),
    _line("Ca II K", 3934.78, 3933.66),
    _line("Ca II H", 3969.59, 3968.47),
    _line("H-delta", 4102.89, 4101.74),
    _line("H-gamma", 4341.68, 4340.47),
    _line("He II", 4687.02, 4685.71),
    _line("H-beta", 4862.68, 4861.33),
    _line("[O III]", 4960.30, 4958.91),
    _line("[O III]", 5008.24, 5006.84),
    _line("[N II]", 5756.19, 5754.59),
    _line("He I", 5877.25, 5875.62),
    _line("Na I D2", 5891.58, 5889.95),
    _line("Na I D1", 5897.56, 5895.92),
    _line("[O I]", 6302.05, 6300.30),
    _line("[O I]", 6365.54, 6363.78),
    _line("[N II]", 6549.86, 6548.05),
    _line("H-alpha", 6564.61, 6562.80),
    _line("[N II]", 6585.27, 6583.45),
    _line("He I", 6679.99, 6678.15),
    _line("[S II]", 6718.29, 6716.44),
    _line("[S II]", 6732.67, 6730.82),
    _line("[Ar III]", 7137.77, 7135.79),
    _line("[S III]", 9071.10, 9068.60),
    _line("[S III]", 9533.20, 9530.60),
)
"""Common optical and UV lines, by vacuum wavelength (see the module's text
for the references)."""

#: How close (relative) a rest value must lie to a line of the table to take
#: its name: 15 km/s, room for a value rounded to 0.1 Angstrom in the
#: optical, and a twentieth of the nearest two lines' separation ([O II]
#: 3726 and 3729, 225 km/s).
NAME_TOLERANCE = 5e-5


def line_name(value: float, unit: Any) -> str | None:
    """The name of the line of `KNOWN_LINES` at a rest wavelength (any
    length unit astropy knows, read in air or in vacuum) or frequency (its
    vacuum wavelength c / nu) as "[N II] 6583.45", with the table's
    wavelength in Angstrom in the medium it matched; None for no line of
    the table."""
    import astropy.units as u

    quantity = u.Quantity(value, unit)
    kind = quantity.unit.physical_type
    if kind not in ("length", "frequency"):
        return None
    angstrom = float(quantity.to_value(u.AA, equivalencies=u.spectral()))
    best: tuple[float, str] | None = None
    for line in KNOWN_LINES:
        for wavelength in (line.vacuum, line.air if kind == "length" else None):
            if wavelength is None:
                continue
            distance = abs(angstrom / wavelength - 1.0)
            if distance <= NAME_TOLERANCE and (best is None or distance < best[0]):
                best = (distance, f"{line.name} {wavelength:.2f}")
    return None if best is None else best[1]


def _through_wcslib(wavelength_m: float, source: str, target: str) -> float:
    """A wavelength (m) of one spectral type (WAVE, AWAV) as another, by
    wcslib's spectral translation of a one-pixel axis."""
    from astropy.wcs import WCS

    if not (math.isfinite(wavelength_m) and wavelength_m > 0):
        raise ValueError(f"a wavelength must be positive and finite, not {wavelength_m!r} m")
    probe = WCS(naxis=1)
    probe.wcs.ctype = [source]
    probe.wcs.cunit = ["m"]
    probe.wcs.crval = [wavelength_m]
    probe.wcs.cdelt = [1e-10]
    probe.wcs.sptr(f"{target}-???")
    return float(probe.wcs.crval[0])


def air_to_vacuum(wavelength_m: float) -> float:
    """The vacuum wavelength (m) of a wavelength in standard air (m)."""
    return _through_wcslib(wavelength_m, "AWAV", "WAVE")


def vacuum_to_air(wavelength_m: float) -> float:
    """The wavelength in standard air (m) of a vacuum wavelength (m)."""
    return _through_wcslib(wavelength_m, "WAVE", "AWAV")

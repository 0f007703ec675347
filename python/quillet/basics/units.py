"""Units: the package's velocity unit, the unit cards of FITS headers, and
values given as astropy Quantities.

astropy.units is imported only when a unit is met, so that arrays in plain
km/s never load it.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from .errors import InputError

if TYPE_CHECKING:
    import astropy.units as u

__all__ = [
    "CONVENTION_NAMES",
    "VELOCITY_UNIT",
    "as_number_or_array",
    "fits_unit",
    "header_unit",
]

#: The unit of every velocity the package takes and gives.
VELOCITY_UNIT = "km/s"

#: The Doppler conventions velocities may be in: v = c (l - l0) / l0
#: (optical), c (f0 - f) / f0 (radio), and the relativistic one.
CONVENTION_NAMES = ("optical", "radio", "relativistic")


def header_unit(header: Mapping[str, Any], key: str) -> u.UnitBase | None:
    """The unit a header card (BUNIT, CUNITn) names, or None where it is
    absent, empty or not a unit astropy reads."""
    text = header.get(key)
    if not text or not str(text).strip():
        return None
    import astropy.units as u

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", u.UnitsWarning)
        try:
            return u.Unit(str(text).strip(), parse_strict="raise")
        except ValueError:
            return None


def as_number_or_array(value: Any, name: str, unit: Any) -> Any:
    """A Quantity converted to ``unit`` ("km/s", an astropy unit, or None
    for the value as it stands); anything else as it stands."""
    if hasattr(value, "unit") and hasattr(value, "to_value"):
        if unit is None:
            return value.value
        import astropy.units as u

        try:
            return value.to_value(u.Unit(unit))
        except u.UnitConversionError:
            raise InputError(
                f"{name} is in {value.unit}, which does not convert to {unit}"
            ) from None
    return value


def fits_unit(unit: Any) -> str:
    """A unit as BUNIT: in the FITS standard's spelling where it has one, else
    in astropy's, which read_cube and read_maps read back (DN, electron, or a
    scale that is not a power of ten have none)."""
    import astropy.units as u

    try:
        return str(u.Unit(unit).to_string("fits"))
    except ValueError:
        return str(u.Unit(unit).to_string())

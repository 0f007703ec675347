"""The spectral axis of a WCS as Doppler velocities in km/s.

A FITS cube's spectral axis may hold wavelengths (in air, AWAV, or vacuum,
WAVE), frequencies, energies, wavenumbers or velocities of any convention.
`channel_velocities` turns it into the velocity of each channel, in km/s,
through astropy's units and Doppler equivalencies (optical, radio or
relativistic), relative to a rest value (the caller's, or the header's
RESTFRQ / RESTWAV) shifted to a redshift. It knows nothing of files: it
reads a WCS and a header, and the file's name only for its messages.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import astropy.units as u
import numpy as np
from astropy.wcs import WCS

from ..basics.errors import InputError
from ..basics.settings import velocity_axis
from ..basics.units import CONVENTION_NAMES, header_unit
from .cube import SpectralFrame
from .line_list import air_to_vacuum

__all__ = [
    "CONVENTIONS",
    "SPECTRAL_TYPES",
    "VELOCITY_TYPES",
    "WAVELENGTH_TYPES",
    "channel_velocities",
    "describe_axis_type",
]

#: Doppler conventions by name: v = c (f0 - f) / f0 (radio), c (l - l0) / l0
#: (optical), and the relativistic one.
CONVENTIONS: dict[str, Callable[[u.Quantity], Any]] = dict(
    zip(CONVENTION_NAMES, (u.doppler_optical, u.doppler_radio, u.doppler_relativistic), strict=True)
)

# Spectral axis types (the first four letters of CTYPE) and what they hold.
WAVELENGTH_TYPES = {"WAVE": "vacuum wavelength", "AWAV": "air wavelength"}
SPECTRAL_TYPES = {"FREQ": "frequency", "ENER": "energy", "WAVN": "wavenumber"}
# Velocity-like axes and the convention they are in.
VELOCITY_TYPES = {
    "VRAD": ("radio velocity", "radio"),
    "VOPT": ("optical velocity", "optical"),
    "ZOPT": ("redshift", "optical"),
    "VELO": ("apparent radial velocity", "relativistic"),
    "BETA": ("velocity / c", "relativistic"),
}


def _rest_quantity(rest: Any, axis_unit: u.UnitBase | None) -> u.Quantity:
    if isinstance(rest, u.Quantity):
        quantity = rest
    elif isinstance(rest, str):
        try:
            quantity = u.Quantity(rest)
        except (TypeError, ValueError):
            raise InputError(
                f"cannot read the rest value {rest!r}; write a number and a unit, "
                "such as '6562.8 Angstrom' or '1420.405751 MHz'"
            ) from None
        if quantity.unit == u.dimensionless_unscaled:
            quantity = _rest_quantity(float(quantity.value), axis_unit)
    else:
        if axis_unit is None:
            raise InputError(
                "the header gives the spectral axis no unit, so a bare rest value is "
                "ambiguous; give it with its unit, such as '6562.8 Angstrom'"
            )
        quantity = float(rest) * axis_unit
    if not quantity.isscalar:
        raise InputError(
            f"the rest value must be one wavelength or frequency, not {quantity.size} of "
            "them; read the cube once for each line"
        )
    try:
        quantity.to(u.m, equivalencies=u.spectral())
    except u.UnitConversionError:
        raise InputError(
            f"the rest value {quantity} is not a wavelength, frequency or energy"
        ) from None
    if not (np.isfinite(quantity.value) and quantity.value > 0):
        raise InputError(f"the rest value must be positive and finite, not {quantity}")
    return quantity


def channel_velocities(
    wcs: WCS,
    header: Mapping[str, Any],
    fits_axis: int,
    spec: int,
    channels: int,
    rest_wavelength: Any,
    z: float,
    convention: str | None,
    path: Path,
) -> tuple[np.ndarray, dict[str, str], SpectralFrame]:
    """The channel velocities in km/s, notes on how they were found, and the
    frame they are measured in (what a line's rest value is placed by)."""
    sub = wcs.sub([spec + 1])
    axis_type = str(sub.wcs.ctype[0])  # as the header has it, for messages
    ctype = axis_type[:4].upper()
    if convention is None:
        convention = VELOCITY_TYPES[ctype][1] if ctype in VELOCITY_TYPES else "optical"
    pixels = np.arange(channels, dtype=np.float64)
    axis_unit = header_unit(header, f"CUNIT{fits_axis + 1}")
    given = rest_wavelength is not None
    rest = _rest_quantity(rest_wavelength, axis_unit) if given else _header_rest(sub)
    notes = {
        "spectral_axis": f"{ctype} ({describe_axis_type(ctype)}), FITS axis {fits_axis + 1}",
        "convention": convention,
        "redshift": f"{z:g}",
    }

    stated_rest = rest
    air_axis = ctype == "AWAV"
    air_rest = given and rest is not None and rest.unit.physical_type == "length"
    if ctype == "AWAV" and rest is not None and (not air_rest or z != 0.0):
        # A vacuum rest value: bring the axis to vacuum too. So too for an
        # air rest value at a redshift: a vacuum wavelength is shifted by
        # (1 + z), an air one not quite, as air refracts the observed
        # wavelength less than the rest one (0.15 km/s at H-alpha, z = 0.09).
        sub = _in_vacuum(sub)
        ctype = "WAVE"
        notes["spectral_axis"] += ", converted from air to vacuum"
        if air_rest:
            rest = _air_to_vacuum(rest)

    world = np.asarray(sub.pixel_to_world_values(pixels), dtype=np.float64).reshape(-1)
    # wcslib's own unit of the axis: SI once it has normalised a linear axis,
    # the header's for a tabulated (-TAB) one, which world_axis_units would
    # re-spell in VOUnit, with a warning for Angstrom.
    world_unit = u.Unit(sub.wcs.cunit[0])
    _check_axis(world, axis_type, path)

    if ctype in VELOCITY_TYPES:
        own = VELOCITY_TYPES[ctype][1]
        if ctype == "ZOPT" or ctype == "BETA":
            values = (world * u.dimensionless_unscaled * _c()).to(u.km / u.s)
        else:
            values = (world * world_unit).to(u.km / u.s)
        if own == convention and z == 0.0 and not given:
            notes["rest"] = "not needed: the axis holds velocities"
            frame = SpectralFrame(rest, convention, z, False, air_axis)
            return _checked(values.value, path), notes, frame
        # Velocities go from one convention to another, and to the frame of a
        # redshift, through f / f0 alone: any rest frequency serves, so one
        # is assumed where none is known.
        through = _NOMINAL_REST if rest is None else rest
        frequency = values.to(u.Hz, equivalencies=CONVENTIONS[own](through))
        target = _shifted(through, z, u.Hz)
        velocity = frequency.to(u.km / u.s, equivalencies=CONVENTIONS[convention](target))
        if rest is None:
            notes["rest"] = "not needed: the axis holds velocities"
            return _checked(velocity.value, path), notes, SpectralFrame(None, convention, z)
    else:
        if rest is None:
            medium = " in air" if ctype == "AWAV" else ""
            shown = (world * world_unit).to(axis_unit or world_unit, equivalencies=u.spectral())
            raise InputError(
                f"the spectral axis of {path} holds {describe_axis_type(ctype)}s from "
                f"{shown.min().value:.8g} to {shown.max().value:.8g} {shown.unit} and the "
                "header gives no rest value (RESTFRQ or RESTWAV); give the line's rest "
                f"wavelength{medium} (rest_wavelength=), such as "
                "'6562.8 Angstrom'"
            )
        # Wavelengths stay wavelengths; frequencies, energies and wavenumbers
        # (for which astropy has no Doppler equivalency) become frequencies.
        domain = u.m if ctype in WAVELENGTH_TYPES else u.Hz
        spectral = (world * world_unit).to(domain, equivalencies=u.spectral())
        target = _shifted(rest, z, domain)
        velocity = spectral.to(u.km / u.s, equivalencies=CONVENTIONS[convention](target))
    notes["rest"] = f"{stated_rest:g}{'' if given else ' (from the header)'}"
    frame = SpectralFrame(rest, convention, z, ctype == "AWAV", air_axis)
    return _checked(velocity.value, path), notes, frame


def _in_vacuum(sub: WCS) -> WCS:
    """A one-axis WCS of air wavelengths (AWAV) turned into vacuum ones."""
    vacuum = sub.deepcopy()
    if vacuum.wcs.has_cd():
        # wcslib's sptr rescales CDELT to the vacuum step but leaves a CD
        # matrix as it is, so the step would stay the air one: 27 km/s off
        # in a MUSE cube, whose CD3_3 counts from 1,900 channels away.
        step = float(vacuum.wcs.cd[0, 0])
        del vacuum.wcs.cd
        vacuum.wcs.pc = [[1.0]]
        vacuum.wcs.cdelt = [step]
    vacuum.wcs.sptr("WAVE-???")
    return vacuum


def _air_to_vacuum(wavelength: u.Quantity) -> u.Quantity:
    """The vacuum wavelength of an air wavelength, by wcslib's refraction of
    air, the one it applies to an AWAV axis."""
    return air_to_vacuum(float(wavelength.to_value(u.m))) * u.m


#: A rest frequency for converting velocities whose line is not named: the
#: result does not depend on it.
_NOMINAL_REST = 1.0 * u.GHz


def _c() -> u.Quantity:
    from astropy.constants import c

    return c


def _shifted(rest: u.Quantity, z: float, domain: u.UnitBase) -> u.Quantity:
    """The rest value in ``domain`` (m or Hz), as observed at redshift z."""
    value = rest.to(domain, equivalencies=u.spectral())
    return value * (1.0 + z) if domain.physical_type == "length" else value / (1.0 + z)


def _header_rest(sub: WCS) -> u.Quantity | None:
    if sub.wcs.restfrq > 0:
        return sub.wcs.restfrq * u.Hz
    if sub.wcs.restwav > 0:
        return sub.wcs.restwav * u.m
    return None


def describe_axis_type(ctype: str) -> str:
    if ctype in WAVELENGTH_TYPES:
        return WAVELENGTH_TYPES[ctype]
    if ctype in SPECTRAL_TYPES:
        return SPECTRAL_TYPES[ctype]
    if ctype in VELOCITY_TYPES:
        return VELOCITY_TYPES[ctype][0]
    return "spectral coordinate"


def _check_axis(world: np.ndarray, axis_type: str, path: Path) -> None:
    bad = np.flatnonzero(~np.isfinite(world))
    if bad.size:
        raise InputError(
            f"the spectral axis ({axis_type}) of {path} gives no finite value for "
            f"{bad.size} channel{'s' if bad.size > 1 else ''}, the first channel {bad[0]} "
            "(from 0); check its CRVAL, CDELT (or CD) and CRPIX, or the table of a -TAB axis"
        )


def _checked(velocity: np.ndarray, path: Path) -> np.ndarray:
    try:
        return velocity_axis(velocity)
    except ValueError as error:
        raise InputError(f"{path}: {error}") from None

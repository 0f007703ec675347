"""`Cube`: spectra read from a file, with everything a fit needs to know.

A `Cube` is what `quillet.read_cube` returns and what `quillet.fit_cube`
takes: the data with its spectral axis last, the velocity of each channel,
the noise, the unit, the celestial WCS of the spatial axes, the header, and
a record of how each was found. It holds arrays or array-likes (memory maps,
lazily converted images, Dask arrays) and knows nothing of how they were
read. Its `SpectralFrame` says what the velocities are measured from, so
that a line model's members can be placed on the axis by their rest values.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import astropy.units as u
    from astropy.io import fits
    from astropy.wcs import WCS

__all__ = ["OBSERVATION_KEYS", "Cube", "SpectralFrame", "add_observation", "observation_cards"]

#: Header cards of the input that describe the observation rather than one
#: image of it (the beam, the object, the telescope, the instrument, the
#: date, the line): every map made from a cube carries them on. DATE_OBS is
#: how Hinode and IRIS files spell the date; LINE is the transition a GILDAS
#: or CLASS cube was observed in.
OBSERVATION_KEYS = (
    "BMAJ",
    "BMIN",
    "BPA",
    "OBJECT",
    "LINE",
    "TELESCOP",
    "INSTRUME",
    "DATE-OBS",
    "DATE_OBS",
)


@dataclasses.dataclass(frozen=True)
class SpectralFrame:
    """What the channel velocities of a cube are measured from.

    ``rest`` is the rest value the velocities are relative to (before the
    redshift shifts it), None when the axis holds velocities and no rest
    value is known; ``convention`` the Doppler convention ("optical",
    "radio", "relativistic"); ``redshift`` the source's. ``rest_in_air``
    says the velocities were reckoned from wavelengths in standard air (an
    air axis with an air rest wavelength at redshift 0), ``rest`` then an
    air wavelength; otherwise a wavelength there is a vacuum one.
    ``air_axis`` says the header's axis holds air wavelengths (AWAV): a
    wavelength given for a line of this cube is then read in air, as the
    rest wavelength of the cube itself is.
    """

    rest: u.Quantity | None
    convention: str
    redshift: float = 0.0
    rest_in_air: bool = False
    air_axis: bool = False


@dataclasses.dataclass(frozen=True, eq=False)
class Cube:
    """Spectra read from a FITS file, ready to fit.

    ``data`` has the spectral axis last and the file's other axes before it
    in NumPy order; it is read from the file a block at a time as it is
    sliced (a `LazyImage`, which also scales integer data), so reading a cube
    costs no memory.
    ``velocity`` is the Doppler velocity of each channel in km/s. ``noise``
    is the one-sigma noise of each pixel, laid out like ``data``, or None.
    ``wcs`` is the WCS of the spatial axes (the celestial WCS where there is
    one), ``header`` the data HDU's header, ``unit`` the data's unit (BUNIT)
    and ``provenance`` records what was read and how. ``inherited`` holds the
    observation cards of the file's primary header when the data are in an
    extension: MUSE and IRIS files keep the telescope, instrument and date
    there alone. ``frame`` says what the velocities are measured from
    (None when the cube was not read from a file's spectral axis).
    """

    data: Any
    velocity: np.ndarray
    noise: Any
    wcs: WCS | None
    header: fits.Header
    unit: u.UnitBase | None
    provenance: Mapping[str, str]
    inherited: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    frame: SpectralFrame | None = None

    @property
    def spatial_shape(self) -> tuple[int, ...]:
        return tuple(self.data.shape[:-1])

    @property
    def observation(self) -> dict[str, Any]:
        """The observation cards (`OBSERVATION_KEYS`) that are present, by
        keyword: the data HDU's own, else those it inherits."""
        return observation_cards(self.header, self.inherited)


def observation_cards(*headers: Mapping[str, Any]) -> dict[str, Any]:
    """The observation cards of the first of ``headers`` that has each, in
    the order of `OBSERVATION_KEYS`."""
    cards = {}
    for key in OBSERVATION_KEYS:
        for header in headers:
            if key in header:
                cards[key] = header[key]
                break
    return cards


def add_observation(header: Any, observation: Mapping[str, Any]) -> None:
    """Sets the observation cards of a map's FITS header (or attributes)."""
    for key in OBSERVATION_KEYS:
        if key in observation:
            header[key] = observation[key]

"""Moment maps: `Moments`, what `quillet.moments` returns.

Moments 0, 1 and 2 of every spectrum with their errors and the channels
that entered the sums, as a kind of maps (`quillet.data.maps.Maps`): the
record of one spectrum's moments (`MOMENT_DTYPE`), the images of a moments
file (`MOMENT_IMAGES`), the units of each map, and their xarray dataset.
The computation is `quillet.front.cube_moments`'.
"""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np

from ..basics.arrays import is_dask_array
from ..basics.errors import InputError
from ..basics.units import VELOCITY_UNIT
from .maps import INTENSITY_UNIT, MapImage, Maps

if TYPE_CHECKING:
    import astropy.units as u

__all__ = ["MOMENT_DTYPE", "MOMENT_IMAGES", "Moments"]

#: One spectrum's moments: the three, their errors, and the channels used.
MOMENT_DTYPE = np.dtype(
    [(name, np.float64) for name in ("m0", "m1", "m2", "m0_error", "m1_error", "m2_error")]
    + [("count", np.int64)]
)

_F64 = np.dtype(np.float64)

#: The images of a moments file, in order.
MOMENT_IMAGES: tuple[MapImage, ...] = (
    MapImage("m0", "MOMENT0", _F64, INTENSITY_UNIT, "integrated intensity, moment 0",
             required=True),
    MapImage("m1", "MOMENT1", _F64, VELOCITY_UNIT, "intensity-weighted velocity, moment 1",
             required=True),
    MapImage("m2", "MOMENT2", _F64, VELOCITY_UNIT, "velocity dispersion, moment 2", required=True),
    MapImage("m0_error", "MOMENT0_ERR", _F64, INTENSITY_UNIT, "one-sigma error of moment 0",
             required=True),
    MapImage("m1_error", "MOMENT1_ERR", _F64, VELOCITY_UNIT, "one-sigma error of moment 1",
             required=True),
    MapImage("m2_error", "MOMENT2_ERR", _F64, VELOCITY_UNIT, "one-sigma error of moment 2",
             required=True),
    MapImage("count", "CHANNELS", np.dtype(np.int32), "", "channels that entered the sums",
             required=True),
)  # fmt: skip


@dataclasses.dataclass(frozen=True, eq=False)
class Moments(Maps):
    """Moment maps of the data's spatial shape (float64): ``m0`` integrated
    intensity (the data's unit times km/s), ``m1`` intensity-weighted
    velocity (km/s), ``m2`` dispersion, the square root of the second
    central moment (km/s), and their one-sigma errors (NaN without noise).
    ``count`` is the number of channels that entered each spectrum's sums.
    ``unit`` is the data's unit (None when unknown), ``wcs`` the spatial WCS,
    ``observation`` the input's beam, object, telescope... cards and
    ``provenance`` how the moments were made. Maps of Dask inputs are lazy
    (`compute`)."""

    KIND: ClassVar[str] = "moments"
    ORIGIN: ClassVar[str] = "moment maps"
    TITLE: ClassVar[str] = "moments"
    IMAGES: ClassVar[tuple[MapImage, ...]] = MOMENT_IMAGES
    _SHAPE_FIELD: ClassVar[str] = "m0"

    m0: Any
    m1: Any
    m2: Any
    m0_error: Any
    m1_error: Any
    m2_error: Any
    count: Any

    @classmethod
    def from_records(cls, records: Any, **described: Any) -> Moments:
        """The maps of records (`MOMENT_DTYPE`, or a mapping of its fields),
        lazy for lazy records."""
        lazy = is_dask_array(records)
        fields: dict[str, Any] = {
            name: records[name] if lazy else np.asarray(records[name], order="C")
            for name in MOMENT_DTYPE.names or ()
        }
        return cls(**fields, records=records if lazy else None, **described)

    def record_fields(self) -> dict[str, Any]:
        return {name: np.asarray(getattr(self, name)) for name in MOMENT_DTYPE.names or ()}

    def unit_of(self, field: str) -> u.UnitBase:
        """The astropy unit of a map: moment 0 and its error in the data's
        unit times km/s (km/s for data of no known unit), the others km/s,
        the count none."""
        import astropy.units as u

        image = _image(field)
        if image.unit == "":
            return u.dimensionless_unscaled
        velocity = u.Unit(VELOCITY_UNIT)
        if image.unit == INTENSITY_UNIT:
            return velocity if self.unit is None else u.Unit(self.unit) * velocity
        return velocity

    def quantity(self, field: str) -> u.Quantity:
        """A map (computed, if lazy) as an astropy Quantity in its unit."""
        return np.asarray(getattr(self.compute(), field)) * self.unit_of(field)


def _image(field: str) -> MapImage:
    for image in MOMENT_IMAGES:
        if image.field == field:
            return image
    raise InputError(
        f"{field!r} is not a moment map; the maps are "
        + ", ".join(image.field for image in MOMENT_IMAGES)
    )

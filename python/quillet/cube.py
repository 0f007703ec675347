"""`Cube`: spectra read from a file, with everything a fit needs to know.

A `Cube` is what `quillet.read_cube` returns and what `quillet.fit_cube`
takes: the data with its spectral axis last, the velocity of each channel,
the noise, the unit, the celestial WCS of the spatial axes, the header, and
a record of how each was found. It holds arrays or array-likes (memory maps,
lazily converted images, Dask arrays) and knows nothing of how they were
read.
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

__all__ = ["Cube"]


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
    and ``provenance`` records what was read and how.
    """

    data: Any
    velocity: np.ndarray
    noise: Any
    wcs: WCS | None
    header: fits.Header
    unit: u.UnitBase | None
    provenance: Mapping[str, str]

    @property
    def spatial_shape(self) -> tuple[int, ...]:
        return tuple(self.data.shape[:-1])

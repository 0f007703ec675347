"""Maps of fitted line parameters: `LineFit`, what `fit_cube` returns.

The kernel gives each spectrum a row of eight float32 values and a window;
`LineFit` holds them as named maps of the cube's spatial shape, with the
flag as a small integer, and knows how to describe them to other tools
(xarray with CF attributes, FITS with WCS and units).
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

import _quillet

from ..basics.arrays import is_dask_array
from ..basics.errors import MissingDependency
from ..basics.lazy import compute_records, persist_records
from ..basics.settings import LineSettings
from ..basics.units import VELOCITY_UNIT
from .quality import GOOD_MASK, Quality, bit_counts, cf_attributes

if TYPE_CHECKING:
    import astropy.units as u
    import xarray
    from astropy.wcs import WCS
    from matplotlib.figure import Figure

__all__ = [
    "FLAG_MEANINGS",
    "FLAG_NO_CONVERGENCE",
    "FLAG_NO_LOCAL_MAX",
    "FLAG_SUCCESS",
    "QUANTITIES",
    "RECORD_DTYPE",
    "FitRow",
    "LineFit",
    "Quantity",
]

#: The kernel's flags, as floats in its result rows.
FLAG_SUCCESS: float = _quillet.FLAG_SUCCESS
FLAG_NO_LOCAL_MAX: float = _quillet.FLAG_NO_LOCAL_MAX
FLAG_NO_CONVERGENCE: float = _quillet.FLAG_NO_CONVERGENCE

#: Name of each flag value, in the words of CF's flag_meanings.
FLAG_MEANINGS: dict[int, str] = {
    int(FLAG_SUCCESS): "success",
    int(FLAG_NO_LOCAL_MAX): "no_local_maximum",
    int(FLAG_NO_CONVERGENCE): "no_convergence",
}


class Quantity(NamedTuple):
    """One fitted quantity: its field, its FITS extension, its unit ("data"
    for the unit of the data, "km/s", or "" for a pure number) and what it is."""

    name: str
    extname: str
    unit: str
    description: str


#: The seven float maps, in the order of the kernel's result row.
QUANTITIES: tuple[Quantity, ...] = (
    Quantity("amplitude", "AMPLITUDE", "data", "fitted line amplitude"),
    Quantity("centre", "CENTRE", VELOCITY_UNIT, "fitted line centre, Doppler velocity"),
    Quantity("sigma", "SIGMA", VELOCITY_UNIT, "fitted line width, Gaussian standard deviation"),
    Quantity("amplitude_error", "AMPLITUDE_ERR", "data", "one-sigma error of the amplitude"),
    Quantity("centre_error", "CENTRE_ERR", VELOCITY_UNIT, "one-sigma error of the centre"),
    Quantity("sigma_error", "SIGMA_ERR", VELOCITY_UNIT, "one-sigma error of the sigma"),
    Quantity("reduced_chi2", "REDUCED_CHI2", "", "reduced chi-square of the fit"),
)


#: One fit per record: the seven float maps, the flag, the window's two
#: ends, the continuum subtracted (NaN when none was), the quality bits
#: (`quillet.data.quality.Quality`) and the guide the fit used (km/s, on the
#: spectrum's own axis; NaN for a blank spectrum).
RECORD_DTYPE = np.dtype(
    [(q.name, np.float32) for q in QUANTITIES]
    + [
        ("flag", np.int8),
        ("window_left", np.int32),
        ("window_right", np.int32),
        ("continuum", np.float32),
        ("quality", np.uint16),
        ("guide", np.float32),
    ]
)


_SQRT_2PI = float(np.sqrt(2.0 * np.pi))
# The correlation of a Gaussian's fitted amplitude and sigma when the
# samples are dense across the line and the noise is even: -1/sqrt(3).
_RHO_AMPLITUDE_SIGMA = -1.0 / float(np.sqrt(3.0))


class FitRow(NamedTuple):
    """The result of one spectrum: the kernel's eight values and its window,
    the half-open range of channels [left, right) offered to the fit."""

    amplitude: float
    centre: float
    sigma: float
    amplitude_error: float
    centre_error: float
    sigma_error: float
    reduced_chi2: float
    flag: int
    window: tuple[int, int]


@dataclasses.dataclass(frozen=True, eq=False)
class LineFit:
    """Fitted line parameters, one value per spectrum, as maps of the data's
    spatial shape (the data's shape without its spectral axis).

    The seven float32 maps hold exactly the kernel's results; where ``flag``
    is not 0 they are NaN. ``flag`` is 0 (success), 1 (no local maximum near
    the guide, or fewer than three valid samples in the window) or 2 (no
    convergence). ``window`` holds the half-open channel range of each fit
    along its last axis of 2, (0, 0) where no peak was accepted.
    ``continuum`` is what was subtracted from each spectrum before its fit,
    or None. ``velocity`` is the shared velocity axis of the fits (km/s).
    ``unit`` is the data's unit, if known, and ``wcs`` the celestial WCS of
    the spatial axes, if known. ``provenance`` records where the inputs came
    from and how noise, guide and continuum were set; ``observation`` holds
    the input's beam, object, telescope, instrument and date cards
    (`quillet.data.cube.OBSERVATION_KEYS`), which every output carries on.
    ``quality`` (uint16) holds each fit's quality bits
    (`quillet.data.quality.Quality`; 0: nothing to doubt) and ``guide`` the guide
    velocity each fit used (km/s, NaN for a blank spectrum); both are None
    for maps written before they existed.
    """

    amplitude: np.ndarray
    centre: np.ndarray
    sigma: np.ndarray
    amplitude_error: np.ndarray
    centre_error: np.ndarray
    sigma_error: np.ndarray
    reduced_chi2: np.ndarray
    flag: np.ndarray
    window: np.ndarray
    settings: LineSettings
    velocity: np.ndarray
    continuum: np.ndarray | None = None
    quality: np.ndarray | None = None
    guide: np.ndarray | None = None
    unit: u.UnitBase | None = None
    wcs: WCS | None = None
    provenance: Mapping[str, str] = dataclasses.field(default_factory=dict)
    observation: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    #: For maps that are lazy Dask arrays: the records they are fields of,
    #: one per spectrum, so that computing them fits each block once.
    records: Any = dataclasses.field(default=None, repr=False)

    @classmethod
    def from_records(cls, records: Any, with_continuum: bool, **described: Any) -> LineFit:
        """A `LineFit` of records (`RECORD_DTYPE`, one per spectrum): lazy
        fields of lazy records, so that computing them fits each block once,
        or contiguous maps of records in memory. ``described`` gives the
        settings, velocity, unit, WCS and provenance."""
        if is_dask_array(records):
            import dask.array as da

            window = da.stack([records["window_left"], records["window_right"]], axis=-1)
            window = window.rechunk({window.ndim - 1: 2})
            fields = {name: records[name] for name in RECORD_DTYPE.names or ()}
            kept = records
        else:
            window = np.stack([records["window_left"], records["window_right"]], axis=-1)
            # asarray keeps the no axes of a single spectrum's maps, which
            # ascontiguousarray would turn into one.
            fields = {
                name: np.asarray(records[name], order="C") for name in RECORD_DTYPE.names or ()
            }
            kept = None
        return cls(
            **{q.name: fields[q.name] for q in QUANTITIES},
            flag=fields["flag"],
            window=window,
            continuum=fields["continuum"] if with_continuum else None,
            quality=fields["quality"],
            guide=fields["guide"],
            records=kept,
            **described,
        )

    @property
    def shape(self) -> tuple[int, ...]:
        """The spatial shape of the maps."""
        return tuple(self.flag.shape)

    @property
    def lazy(self) -> bool:
        """True when the maps are Dask arrays, not yet computed."""
        return self.records is not None

    @property
    def success(self) -> Any:
        """True where the fit succeeded (lazy for lazy maps)."""
        return self.flag == int(FLAG_SUCCESS)

    @property
    def good(self) -> Any:
        """True where the fit succeeded and no quality bit but REFITTED is
        set: the fits to believe (lazy for lazy maps). Maps with no quality
        bits (written before they existed) count every success."""
        if self.quality is None:
            return self.success
        return self.success & ((self.quality & np.uint16(~GOOD_MASK & 0xFFFF)) == 0)

    @property
    def blank_count(self) -> int:
        """How many spectra have no finite pixel (counted apart from the
        fits that failed); 0 for maps with no quality bits."""
        if self.quality is None:
            return 0
        return self.quality_counts()["NO_DATA"]

    def quality_counts(self) -> dict[str, int]:
        """How many fits have each quality bit set, by the bit's name
        (computed for lazy maps); every count 0 for maps with no quality bits."""
        if self.quality is None:
            return dict.fromkeys((str(bit.name) for bit in Quality), 0)
        if self.lazy:
            import dask

            counts = [(self.quality & np.uint16(bit)) != 0 for bit in Quality]
            totals = dask.compute(*[c.sum() for c in counts])
            return {str(bit.name): int(n) for bit, n in zip(Quality, totals, strict=True)}
        return bit_counts(self.quality)

    @property
    def snr(self) -> Any:
        """Amplitude over its error: how clearly each line stands out."""
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.amplitude / self.amplitude_error

    @property
    def flux(self) -> Any:
        """The line's integrated flux, sqrt(2 pi) amplitude sigma, in the
        data's unit times km/s (float64; lazy for lazy maps)."""
        return _SQRT_2PI * self.amplitude.astype(np.float64) * self.sigma

    @property
    def flux_error(self) -> Any:
        """One-sigma error of `flux`, from the amplitude's and the sigma's
        errors and their correlation. The kernel gives no covariance; the
        correlation of amplitude and sigma of a Gaussian whose samples are
        dense across it, with noise of one level, is -1/sqrt(3) whatever its
        width and height (the Fisher matrix's off-diagonal term over the
        root of its diagonal ones), and that is the value taken."""
        relative_a = self.amplitude_error.astype(np.float64) / self.amplitude
        relative_s = self.sigma_error.astype(np.float64) / self.sigma
        variance = (
            relative_a**2 + relative_s**2 + 2.0 * _RHO_AMPLITUDE_SIGMA * relative_a * relative_s
        )
        with np.errstate(invalid="ignore"):
            return np.abs(self.flux) * np.sqrt(np.maximum(variance, 0.0))

    def flag_counts(self) -> dict[str, int]:
        """How many fits ended with each flag, by flag meaning (computed
        for lazy maps)."""
        counts = [(self.flag == value).sum() for value in FLAG_MEANINGS]
        if self.lazy:
            import dask

            counts = list(dask.compute(*counts))
        return {meaning: int(count) for meaning, count in zip(FLAG_MEANINGS.values(), counts)}

    def compute(self, *, progress: bool | None = False) -> LineFit:
        """The maps as NumPy arrays: lazy maps are computed block by block
        (each block once, with a progress bar if asked); maps in memory are
        returned as they are."""
        if not self.lazy:
            return self
        records = compute_records(self.records, progress=progress)
        return LineFit.from_records(records, self.continuum is not None, **self._description())

    def persist(self, *, progress: bool | None = False) -> LineFit:
        """Lazy maps computed and kept where they are: on the workers of a
        distributed cluster, in memory for a local scheduler; the result is
        still lazy, and cheap to compute, write or draw."""
        if not self.lazy:
            return self
        records = persist_records(self.records, progress=progress)
        return LineFit.from_records(records, self.continuum is not None, **self._description())

    def _description(self) -> dict[str, Any]:
        return {
            "settings": self.settings,
            "velocity": self.velocity,
            "unit": self.unit,
            "wcs": self.wcs,
            "provenance": self.provenance,
            "observation": self.observation,
        }

    def at(self, index: int | tuple[int, ...]) -> FitRow:
        """The result of the spectrum at a spatial index."""
        if self.lazy:
            record = np.asarray(self.records[index].compute())
            values = [float(record[q.name]) for q in QUANTITIES]
            flag = int(record["flag"])
            left, right = int(record["window_left"]), int(record["window_right"])
        else:
            values = [float(getattr(self, q.name)[index]) for q in QUANTITIES]
            flag = int(self.flag[index])
            left, right = (int(v) for v in self.window[index])
        return FitRow(
            amplitude=values[0],
            centre=values[1],
            sigma=values[2],
            amplitude_error=values[3],
            centre_error=values[4],
            sigma_error=values[5],
            reduced_chi2=values[6],
            flag=flag,
            window=(left, right),
        )

    def unit_of(self, quantity: Quantity) -> str:
        """The unit of a quantity as a string ("" for a pure number or an
        amplitude of data with no unit)."""
        if quantity.unit == "data":
            return "" if self.unit is None else self.unit.to_string()
        return quantity.unit

    def to_xarray(self) -> xarray.Dataset:
        """The maps as an xarray Dataset with CF attributes (``units``,
        ``long_name``, ``flag_values``, ``flag_meanings``) and the settings
        and provenance as global attributes."""
        try:
            import xarray
        except ImportError:
            raise MissingDependency(
                "LineFit.to_xarray needs xarray: pip install 'quillet[xarray]'"
            ) from None
        dims = spatial_dims(len(self.shape))
        variables: dict[str, Any] = {}
        for quantity in QUANTITIES:
            units = _cf_units(self.unit_of(quantity))
            variables[quantity.name] = (
                dims,
                getattr(self, quantity.name),
                {"long_name": quantity.description, "units": units},
            )
        variables["flag"] = (
            dims,
            self.flag,
            {
                "long_name": "outcome of the fit",
                "flag_values": np.array(list(FLAG_MEANINGS), dtype=np.int8),
                "flag_meanings": " ".join(FLAG_MEANINGS.values()),
            },
        )
        variables["window"] = (
            (*dims, "edge"),
            self.window,
            {
                "long_name": "half-open range [left, right) of the channels fitted: "
                "edge 0 the first channel, edge 1 the channel after the last",
                "units": "1",
            },
        )
        if self.quality is not None:
            variables["quality"] = (dims, self.quality, cf_attributes())
        if self.guide is not None:
            variables["guide"] = (
                dims,
                self.guide,
                {"long_name": "guide velocity the line was sought near", "units": "km s-1"},
            )
        if self.continuum is not None:
            variables["continuum"] = (
                dims,
                self.continuum,
                {
                    "long_name": "continuum subtracted before the fit",
                    "units": _cf_units(self.unit_of(QUANTITIES[0])),
                },
            )
        attrs: dict[str, Any] = {"Conventions": "CF-1.10", "title": "quillet line fit"}
        attrs.update({f"quillet_{k}": v for k, v in self.settings.as_kwargs().items()})
        attrs.update({f"quillet_{k}": v for k, v in self.provenance.items()})
        attrs.update(self.observation)
        if self.wcs is not None:
            attrs["wcs_header"] = self.wcs.to_header().tostring()
        # No coordinate of strings for the window's edges: Zarr v3 has no
        # stable type for them; the long name says which edge is which.
        coords = sky_coordinates(self.wcs, self.shape, dims)
        return xarray.Dataset(variables, coords=coords, attrs=attrs)

    def write_fits(
        self,
        path: str | os.PathLike[str],
        *,
        overwrite: bool = False,
        progress: bool | None = False,
    ) -> Path:
        """Writes the maps to a FITS file, lazy maps block by block as they
        are computed; see `quillet.front.maps_files.write_maps`."""
        from ..front.maps_files import write_maps

        return write_maps(self, path, overwrite=overwrite, progress=progress)

    @classmethod
    def read_fits(cls, path: str | Path) -> LineFit:
        """Reads maps written by `write_fits`; see `quillet.front.maps_files.read_maps`."""
        from ..front.maps_files import read_maps

        return read_maps(path)

    def plot_maps(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        show: str = "good",
        overwrite: bool = False,
    ) -> Figure:
        """Amplitude, centre, sigma and quality (or flag) maps in one figure,
        of the good fits (``show="all"``: of every success), saved to
        ``path`` if given; see `quillet.front.plots.plot_maps`."""
        from ..front.plots import plot_maps

        return plot_maps(self.compute(), path, show=show, overwrite=overwrite)


# Coordinate names and CF attributes of the celestial axes, by the physical
# type astropy gives each world axis.
_SKY_AXES = {
    "pos.eq.ra": ("ra", "right ascension"),
    "pos.eq.dec": ("dec", "declination"),
    "pos.galactic.lon": ("glon", "galactic longitude"),
    "pos.galactic.lat": ("glat", "galactic latitude"),
    "custom:pos.helioprojective.lon": ("hplon", "helioprojective longitude"),
    "custom:pos.helioprojective.lat": ("hplat", "helioprojective latitude"),
}

# World coordinates that change by less than this fraction of a pixel
# along a pixel axis are taken not to change along it: a plate carree grid
# with no rotation is exact to rounding, while any projection that bends
# its grid lines (TAN, SIN...) departs by far more across a map.
_SEPARABLE_PIXELS = 1e-6


def sky_coordinates(
    wcs: WCS | None, shape: tuple[int, ...], dims: tuple[str, ...]
) -> dict[str, Any]:
    """xarray coordinates of maps on a celestial WCS of two axes: the
    world coordinates of each pixel centre in degrees, 1-D (``ra`` along x,
    ``dec`` along y) where each depends on one pixel axis alone, else 2-D
    of (y, x). None for maps with no celestial WCS of two axes."""
    if wcs is None or len(shape) != 2 or wcs.naxis != 2 or not wcs.has_celestial:
        return {}
    kinds = list(wcs.world_axis_physical_types)
    fallback = (("lon", "longitude"), ("lat", "latitude"))
    named = [_SKY_AXES.get(kind, fallback[i]) for i, kind in enumerate(kinds)]
    ny, nx = shape
    y, x = np.mgrid[0:ny, 0:nx]
    world = wcs.pixel_to_world_values(x, y)
    from astropy.wcs.utils import proj_plane_pixel_scales

    limit = _SEPARABLE_PIXELS * float(np.abs(proj_plane_pixel_scales(wcs)).min())
    coords: dict[str, Any] = {}
    # Which pixel axis each world axis follows (x for the first, as FITS
    # orders them), if it follows one alone.
    along: list[str | None] = []
    for values in world:
        values = np.asarray(values, dtype=np.float64)
        if ny == 0 or nx == 0:
            along.append(None)
        elif np.all(np.abs(values - values[:1, :]) <= limit):
            along.append("x")
        elif np.all(np.abs(values - values[:, :1]) <= limit):
            along.append("y")
        else:
            along.append(None)
    separable = None not in along and along[0] != along[1]
    for values, (name, long_name), axis in zip(world, named, along, strict=True):
        attrs = {"long_name": long_name, "units": "deg"}
        values = np.asarray(values, dtype=np.float64)
        if separable and axis == "x":
            coords[name] = ((dims[1],), values[0, :], attrs)
        elif separable and axis == "y":
            coords[name] = ((dims[0],), values[:, 0], attrs)
        else:
            coords[name] = (dims, values, attrs)
    return coords


def spatial_dims(ndim: int) -> tuple[str, ...]:
    """Names of the spatial dimensions of maps of ``ndim`` axes, last fastest."""
    named = {0: (), 1: ("x",), 2: ("y", "x"), 3: ("z", "y", "x")}
    return named.get(ndim, tuple(f"dim_{i}" for i in range(ndim)))


def _cf_units(unit: str) -> str:
    """A unit in the words udunits reads (CF's convention): "km s-1", "1"."""
    if unit == "":
        return "1"
    if unit == VELOCITY_UNIT:
        return "km s-1"
    return unit

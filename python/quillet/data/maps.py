"""Maps: what every result of the package is, one value (or a few) per
spectrum, in memory or lazy.

This module owns `Maps`, the base of the package's results (`LineFit`,
`ModelFit`, `Moments`): maps of the data's spatial shape made from records
(one per spectrum) that a fit or a moment computation gives a block at a
time, lazy while those records are a Dask array; their description (unit,
WCS, provenance, observation cards); how they are computed or persisted;
and how each kind lays itself out as images (`MapImage`) and header cards,
the one description that every maps file, store and reader works from.
Writing, reading and drawing go through `quillet.data.formats`, so that
nothing here imports the files or pictures above.

It also owns what every kind of maps describes alike: the escaping of text
for FITS headers (`header_text`, `header_value`), the names of the spatial
dimensions and the sky coordinates of xarray datasets, and CF's spelling of
units.
"""

from __future__ import annotations

import dataclasses
import os
import urllib.parse
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, ClassVar, NamedTuple, Self

import numpy as np

from ..basics.errors import InputError, MissingDependency
from ..basics.lazy import compute_records, persist_records
from ..basics.settings import LineSettings
from ..basics.units import VELOCITY_UNIT
from ..basics.version import package_version
from .formats import format_named, format_of_path, plotter_of

if TYPE_CHECKING:
    import astropy.units as u
    import xarray
    from astropy.wcs import WCS
    from matplotlib.figure import Figure

__all__ = [
    "DATA_UNIT",
    "INTENSITY_UNIT",
    "MapImage",
    "Maps",
    "cf_units",
    "header_text",
    "header_value",
    "settings_cards",
    "settings_from_cards",
    "sky_coordinates",
    "spatial_dims",
]

#: A map's unit when it is the data's, and when it is the data's times km/s.
DATA_UNIT = "data"
INTENSITY_UNIT = f"data {VELOCITY_UNIT}"


class MapImage(NamedTuple):
    """One map of a kind of maps, as files and datasets hold it: the field
    of the records that fills it, its image's name (a FITS extension), the
    type of its values, its unit (`DATA_UNIT`, `INTENSITY_UNIT`, "km/s", or
    "" for a pure number; resolved to the data's own by `Maps.images`), what
    it is, the name of a leading axis before the spatial ones (a model's
    "component", "baseline_term"; the records hold it as their field's last
    axis) with its length, whether a file of its kind must have it, and
    header cards of its own (key, value, comment)."""

    field: str
    extname: str
    dtype: np.dtype[Any]
    unit: str
    description: str
    axis: str | None = None
    length: int | None = None
    required: bool = False
    cards: tuple[tuple[str, Any, str], ...] = ()

    def shape(self, spatial: tuple[int, ...]) -> tuple[int, ...]:
        """The image's shape for maps of the spatial shape ``spatial``."""
        return spatial if self.length is None else (self.length, *spatial)

    def values(self, block: Any) -> Any:
        """This image's values of a block of records (the leading axis first)."""
        values = block[self.field]
        if self.axis is not None:
            values = np.moveaxis(np.asarray(values), -1, 0)
        return values


@dataclasses.dataclass(frozen=True, eq=False, kw_only=True)
class Maps:
    """Maps of the data's spatial shape, one record per spectrum.

    ``unit`` is the data's unit (None when unknown), ``wcs`` the celestial
    WCS of the spatial axes (None when unknown), ``provenance`` how the
    maps were made (the inputs, the noise, the guides...), ``observation``
    the input's beam, object, telescope, instrument and date cards
    (`quillet.data.cube.OBSERVATION_KEYS`), which every output carries on.
    ``records`` are the lazy records (a Dask array) the maps are fields of,
    so that computing them computes each block once; None for maps in
    memory.

    A kind of maps says what it is (`KIND`, `ORIGIN`, `TITLE`), the images
    it is written as (`IMAGES`, with `images` for one set of maps), the
    header cards of its settings (`header_cards`, read back by
    `described_by`), and how it is made of records (`from_records`,
    `description`) and turned back into them (`record_fields`).
    """

    #: The kind of maps: what a file records, and what the pictures are registered by.
    KIND: ClassVar[str] = ""
    #: What a maps file of this kind holds, in a few words (its ORIGIN card's comment).
    ORIGIN: ClassVar[str] = ""
    #: The title of its datasets.
    TITLE: ClassVar[str] = ""
    #: Every image a file of this kind may hold, in the order they are written.
    IMAGES: ClassVar[tuple[MapImage, ...]] = ()
    #: The meaning of each value of the ``flag`` map; None for maps with no flag.
    FLAG_MEANINGS: ClassVar[Mapping[int, str] | None] = None
    # The field whose map gives the spatial shape of maps in memory.
    _SHAPE_FIELD: ClassVar[str] = "flag"

    unit: u.UnitBase | None = None
    wcs: WCS | None = None
    provenance: Mapping[str, str] = dataclasses.field(default_factory=dict)
    observation: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    records: Any = dataclasses.field(default=None, repr=False)

    # --- made of records, and back ----------------------------------------------

    @classmethod
    def from_records(cls, records: Any, **described: Any) -> Self:
        """Maps of records (an array of records, lazy or not, or a mapping
        of one array per field); ``described`` as `description` gives."""
        raise NotImplementedError

    def description(self) -> dict[str, Any]:
        """What `from_records` takes beside the records to make these maps again."""
        return {
            "unit": self.unit,
            "wcs": self.wcs,
            "provenance": self.provenance,
            "observation": self.observation,
        }

    def record_fields(self) -> dict[str, Any]:
        """Maps in memory as the fields of their records: one array per
        field, of the spatial shape (with a leading axis moved last), for
        every image the maps have."""
        raise NotImplementedError

    @property
    def lazy(self) -> bool:
        """True when the maps are Dask arrays, not yet computed."""
        return self.records is not None

    @property
    def shape(self) -> tuple[int, ...]:
        """The spatial shape of the maps."""
        if self.lazy:
            return tuple(self.records.shape)
        return tuple(np.shape(getattr(self, self._SHAPE_FIELD)))

    def compute(self, *, progress: bool | None = False) -> Self:
        """The maps as NumPy arrays: lazy maps are computed block by block
        (each block once, with a progress bar if asked); maps in memory are
        returned as they are."""
        if not self.lazy:
            return self
        records = compute_records(self.records, progress=progress)
        return self.from_records(records, **self.description())

    def persist(self, *, progress: bool | None = False) -> Self:
        """Lazy maps computed and kept where they are: on the workers of a
        distributed cluster, in memory for a local scheduler; the result is
        still lazy, and cheap to compute, write or draw."""
        if not self.lazy:
            return self
        records = persist_records(self.records, progress=progress)
        return self.from_records(records, **self.description())

    def flag_counts(self) -> dict[str, int]:
        """How many spectra ended with each flag, by flag meaning (computed
        for lazy maps); empty for maps with no flag."""
        meanings = self.FLAG_MEANINGS or {}
        flag: Any = getattr(self, "flag", None)
        counts = [(flag == value).sum() for value in meanings]
        if self.lazy and counts:
            import dask

            counts = list(dask.compute(*counts))
        return {meaning: int(count) for meaning, count in zip(meanings.values(), counts)}

    # --- described to files and datasets -------------------------------------------

    def unit_text(self, unit: str) -> str:
        """A map's unit as text: `DATA_UNIT` and `INTENSITY_UNIT` resolved
        to the data's own ("" for data of no known unit)."""
        if unit == DATA_UNIT:
            return "" if self.unit is None else self.unit.to_string()
        if unit == INTENSITY_UNIT:
            if self.unit is None:
                return ""
            import astropy.units as u

            return str((u.Unit(self.unit) * u.Unit(VELOCITY_UNIT)).to_string())
        return unit

    def images(self) -> list[MapImage]:
        """The images these maps are written as: those of `IMAGES` that the
        maps have (a map that is None is left out), units resolved, leading
        axes with their length. A map in the data's unit times km/s, of data
        of no known unit, says so in its description."""
        out = []
        for image in self.IMAGES:
            if getattr(self, image.field, "") is None:
                continue
            description = image.description
            if image.unit == INTENSITY_UNIT and self.unit is None:
                description += ", in km/s times the data's unit"
            length = None if image.axis is None else self.axis_length(image.axis)
            out.append(
                image._replace(
                    unit=self.unit_text(image.unit), description=description, length=length
                )
            )
        return out

    def axis_length(self, axis: str) -> int:
        """The length of a leading axis of the maps' images."""
        raise InputError(f"{type(self).__name__} has no {axis} axis")

    def channel_velocity(self) -> np.ndarray | None:
        """The velocity (km/s) of each channel the maps were made from, for
        maps that keep it; None for the others."""
        return None

    def header_cards(self) -> list[tuple[str, Any]]:
        """The maps' own header cards (key, value): their settings, and what
        else describes how they were made; the provenance is apart."""
        return []

    @classmethod
    def described_by(cls, cards: dict[str, Any], source: str) -> dict[str, Any]:
        """What a file's header cards (key, value; text unescaped) say of
        maps of this kind, as `from_records` takes it; takes the cards it
        reads out of ``cards``. ``source`` names the file in messages."""
        return {}

    def attributes(self) -> dict[str, Any]:
        """The global attributes of the maps' datasets: CF's, every header
        card and the provenance as ``quillet_<name>``, the observation
        cards and the WCS's header."""
        attrs: dict[str, Any] = {"Conventions": "CF-1.10", "title": f"quillet {self.TITLE}"}
        cards = [("VERSION", package_version()), *self.header_cards()]
        cards += [(key.upper(), value) for key, value in self.provenance.items()]
        attrs.update({f"quillet_{key.lower().replace(' ', '_')}": v for key, v in cards})
        attrs.update(self.observation)
        if self.wcs is not None:
            attrs["wcs_header"] = self.wcs.to_header().tostring()
        return attrs

    def image_variables(self) -> dict[str, Any]:
        """The maps' images as xarray variables with CF attributes (a
        leading axis as a dimension of its own name), but the window's two
        ends, which a dataset holds as one ``window`` variable."""
        from .quality import cf_attributes

        dims = spatial_dims(len(self.shape))
        variables: dict[str, Any] = {}
        for image in self.images():
            if image.field.startswith("window_"):
                continue
            attrs: dict[str, Any] = {"long_name": image.description, "units": cf_units(image.unit)}
            if image.field == "flag" and self.FLAG_MEANINGS is not None:
                attrs = {
                    "long_name": "outcome of the fit",
                    "flag_values": np.array(list(self.FLAG_MEANINGS), dtype=np.int8),
                    "flag_meanings": " ".join(self.FLAG_MEANINGS.values()),
                }
            elif image.field.endswith("quality"):
                attrs = cf_attributes()
            lead = () if image.axis is None else (image.axis,)
            variables[image.field] = ((*lead, *dims), getattr(self, image.field), attrs)
        window = getattr(self, "window", None)
        if window is not None:
            variables["window"] = (
                (*dims, "edge"),
                window,
                {
                    "long_name": "half-open range [left, right) of the channels fitted: "
                    "edge 0 the first channel, edge 1 the channel after the last",
                    "units": "1",
                },
            )
        return variables

    # --- written, read and drawn through the registry --------------------------------

    def write(
        self,
        path: str | os.PathLike[str],
        *,
        format: str | None = None,
        overwrite: bool = False,
        progress: bool | None = False,
    ) -> Path:
        """Writes the maps in a format (``format``, or the one the path's
        ending names: ``.fits``, ``.zarr``), lazy maps block by block as
        they are computed, whole or not at all; an existing output is
        replaced only with ``overwrite``."""
        fmt = format_of_path(path) if format is None else format_named(format)
        return fmt.write(self, path, overwrite=overwrite, progress=progress)

    def write_fits(
        self,
        path: str | os.PathLike[str],
        *,
        overwrite: bool = False,
        progress: bool | None = False,
    ) -> Path:
        """Writes the maps to a FITS file: a primary header with the package
        version, every setting, the provenance and the observation cards,
        then one image extension per map (a leading axis as a third axis
        after the sky's), each with the spatial WCS and its BUNIT, and for
        fits the velocity axis (VELOCITY); see
        `quillet.front.maps_files.write_maps`."""
        return self.write(path, format="fits", overwrite=overwrite, progress=progress)

    def write_zarr(
        self,
        path: str | os.PathLike[str],
        *,
        overwrite: bool = False,
        progress: bool | None = False,
    ) -> Path:
        """Writes `to_xarray`'s dataset as a consolidated Zarr store (lazy
        maps by whoever computes their blocks, with no progress bar)."""
        return self.write(path, format="zarr", overwrite=overwrite, progress=progress)

    def coordinates(self) -> dict[str, Any]:
        """The coordinates of the maps' datasets beside the sky's: those of
        a leading axis."""
        return {}

    def to_xarray(self) -> xarray.Dataset:
        """The maps as an xarray Dataset: every image a variable with CF
        attributes (``units``, ``long_name``, ``flag_values`` and
        ``flag_meanings``...), a leading axis a dimension, the window's ends
        one ``window`` variable, sky coordinates in degrees where the WCS is
        celestial (`sky_coordinates`), and `attributes` as its own."""
        try:
            import xarray
        except ImportError:
            raise MissingDependency(
                f"{type(self).__name__}.to_xarray needs xarray: pip install 'quillet[xarray]'"
            ) from None
        dims = spatial_dims(len(self.shape))
        # No coordinate of strings (for the window's edges, a model's
        # components): Zarr v3 has no stable type for them; long names and
        # attributes name them.
        coords = {**self.coordinates(), **sky_coordinates(self.wcs, self.shape, dims)}
        return xarray.Dataset(self.image_variables(), coords=coords, attrs=self.attributes())

    @classmethod
    def read(cls, path: str | os.PathLike[str], *, format: str | None = None) -> Self:
        """Reads maps of this kind back from a file (of ``format``, or the
        one its ending names)."""
        fmt = format_of_path(path) if format is None else format_named(format)
        if fmt.read is None:
            raise InputError(f"maps in the {fmt.name} format are written, not read, by quillet")
        maps = fmt.read(Path(os.fspath(path)))
        if not isinstance(maps, cls):
            raise InputError(
                f"{os.fspath(path)} holds {type(maps).__name__} maps, not {cls.__name__}; "
                "quillet.read_maps reads any maps file as what it holds"
            )
        return maps

    @classmethod
    def read_fits(cls, path: str | os.PathLike[str]) -> Self:
        """Reads maps written by `write_fits` back, bit for bit; see
        `quillet.front.maps_files.read_maps`."""
        return cls.read(path, format="fits")

    def plot_maps(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        overwrite: bool = False,
        **options: Any,
    ) -> Figure:
        """The maps in one figure (computed first, if lazy), saved to
        ``path`` if given; what each kind draws, and the ``options`` it
        takes, are its picture's (`quillet.front.plots`,
        `quillet.front.model_plots`)."""
        figure: Figure = plotter_of(self.KIND)(self.compute(), path, overwrite=overwrite, **options)
        return figure


# FITS headers hold printable ASCII only: any other character of a text
# (an input path in données/, say) is written %-escaped, as is % itself, and
# so is any byte of a file name that is no UTF-8 (kept by Python as a
# surrogate), as the byte it is.
_HEADER_SAFE = "".join(chr(c) for c in range(32, 127) if chr(c) != "%")


def header_text(value: Any) -> str:
    """A text as a FITS header holds it: printable ASCII, anything else
    %-escaped as in a URL, undone by `header_value`."""
    return urllib.parse.quote(str(value).encode("utf-8", "surrogateescape"), safe=_HEADER_SAFE)


def header_value(text: str) -> str:
    """A text written by `header_text`, as it was."""
    return urllib.parse.unquote(text, errors="surrogateescape")


def settings_cards(settings: LineSettings) -> list[tuple[str, Any]]:
    """The fit's settings as header cards, one per setting by its name."""
    return [(name.upper(), value) for name, value in settings.as_kwargs().items()]


def settings_from_cards(cards: dict[str, Any], source: str) -> LineSettings:
    """The settings `settings_cards` wrote, taken out of ``cards``; an
    `InputError` naming those missing."""
    names = LineSettings.names()
    absent = [name for name in names if name.upper() not in cards]
    if absent:
        raise InputError(
            f"{source} is not a maps file written by quillet: its primary header records "
            f"no setting {', '.join(absent)}"
        )
    return LineSettings.from_mapping({name: cards.pop(name.upper()) for name in names})


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


def cf_units(unit: str) -> str:
    """A unit in the words udunits reads (CF's convention): "km s-1", "1"."""
    if unit == "":
        return "1"
    if unit == VELOCITY_UNIT:
        return "km s-1"
    return unit

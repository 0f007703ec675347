"""What a cube fit is given, checked once and put in the form its blocks take.

`fit_cube` accepts many kinds of input: a `Cube`, arrays of any dtype and
memory order with the spectral axis anywhere, astropy Quantities, masked
arrays, Dask arrays; noise, guides, offsets and a continuum as one value, a
map or a cube. `cube_inputs` checks all of it before any work, with a
message for each mistake, and returns a `CubeInputs`: the one record of a
fit's inputs that the in-process loop and every Dask task read alike, with
a `Description` of the maps to come (settings, axis, unit, WCS, provenance).
"""

from __future__ import annotations

import dataclasses
import math
import operator
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from .arrays import check_shape, is_dask_array
from .cube import Cube
from .errors import InputError, InputTypeError
from .settings import LineSettings, velocity_axis
from .units import VELOCITY_UNIT, as_number_or_array

if TYPE_CHECKING:
    from astropy.wcs import WCS

__all__ = [
    "CONTINUUM_MODES",
    "CubeInputs",
    "Description",
    "NoiseSource",
    "Spectra",
    "cube_inputs",
    "observation_of",
    "spectra_inputs",
]

#: What may be subtracted before the fit, by name (or a number or a map).
CONTINUUM_MODES = ("none", "edges")


@dataclasses.dataclass(frozen=True)
class NoiseSource:
    """How the noise of each pixel is had: "estimate"d from each spectrum, a
    "constant", an "array" of the data's shape (NumPy, array-like or Dask)
    or a "map" of the spatial shape (one value per spectrum), with a few
    words for the provenance."""

    kind: str
    value: Any = None
    description: str = ""


@dataclasses.dataclass(frozen=True)
class CubeInputs:
    """What a fit of a cube reads, checked: the data and its spectral axis,
    the shared axis as the kernel takes it, the settings, and the noise,
    mask, guides, offsets and continuum (each None, one value, or one per
    pixel or spectrum, as NumPy, array-like or Dask arrays)."""

    data: Any
    axis: int
    velocity32: np.ndarray
    settings: LineSettings
    noise: NoiseSource
    mask: Any = None
    guides: Any = 0.0
    offsets: Any = None
    continuum_mode: str = "none"
    continuum_values: Any = None

    @property
    def spatial(self) -> tuple[int, ...]:
        """The shape of the maps: the data's without its spectral axis."""
        shape = tuple(int(n) for n in self.data.shape)
        return shape[: self.axis] + shape[self.axis + 1 :]

    @property
    def channels(self) -> int:
        return int(self.data.shape[self.axis])

    @property
    def lazy(self) -> bool:
        """True when any input is a Dask array: the fit is then a graph."""
        arrays = (self.data, self.noise.value, self.mask, self.guides, self.offsets)
        return any(is_dask_array(value) for value in (*arrays, self.continuum_values))


@dataclasses.dataclass(frozen=True)
class Description:
    """What the maps of a fit carry besides the fits: the settings, the
    shared velocity axis (km/s), the data's unit, the spatial WCS and the
    provenance of every input."""

    settings: LineSettings
    velocity: np.ndarray
    unit: Any = None
    wcs: WCS | None = None
    provenance: Mapping[str, str] = dataclasses.field(default_factory=dict)
    observation: Mapping[str, Any] = dataclasses.field(default_factory=dict)

    def as_kwargs(self) -> dict[str, Any]:
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}


def cube_inputs(
    data: Any,
    velocity: Any = None,
    *,
    noise: Any = None,
    guide: Any = 0.0,
    velocity_offset: Any = None,
    continuum: Any = None,
    mask: Any = None,
    spectral_axis: int = -1,
    settings: LineSettings | None = None,
    overrides: Mapping[str, Any] | None = None,
) -> tuple[CubeInputs, Description]:
    """The inputs of `quillet.fit_cube`, checked (see its parameters), as
    one `CubeInputs` and the `Description` of the maps it will give."""
    given = _unpacked(data, velocity, noise, spectral_axis)
    data, noise, unit, wcs, provenance, data_mask, shape, axis, axis_values, spatial = given[:10]
    settings = _settings(axis_values, shape[axis], settings, dict(overrides or {}))

    noise_source = _noise_source(noise, shape, spatial, unit)
    mask = _broadcast_mask(mask, data_mask, shape)
    guides = _per_spectrum(guide, "guide", spatial, VELOCITY_UNIT)
    offsets = _per_spectrum(velocity_offset, "velocity_offset", spatial, VELOCITY_UNIT)
    continuum_mode, continuum_values = _continuum_source(continuum, spatial, unit)
    if continuum_mode == "edges":
        _check_edges_exist(axis_values, settings, guides, offsets)
    provenance.update(
        noise=noise_source.description,
        guide=_describe(guide, VELOCITY_UNIT),
        velocity_offset="none"
        if velocity_offset is None
        else _describe(velocity_offset, VELOCITY_UNIT),
        continuum=continuum_mode
        if continuum_mode in ("none", "edges")
        else _describe(continuum, "", "constant "),
        mask="none" if mask is None else "given",
    )
    inputs = CubeInputs(
        data=data,
        axis=axis,
        velocity32=axis_values.astype(np.float32),
        settings=settings,
        noise=noise_source,
        mask=mask,
        guides=guides,
        offsets=offsets,
        continuum_mode=continuum_mode,
        continuum_values=continuum_values,
    )
    description = Description(settings, axis_values, unit, wcs, provenance, given.observation)
    return inputs, description


def _unpack_cube(
    data: Any, velocity: Any, noise: Any, spectral_axis: int
) -> tuple[Any, Any, Any, int, Any, Any, dict[str, str]]:
    """A `Cube`'s data, velocity, noise (unless given), unit, WCS and
    provenance; other data as they are. A cube's own noise is marked as
    NoiseSource kind "cube" so that its provenance is the file's."""
    if not isinstance(data, Cube):
        if velocity is None:
            raise InputTypeError(
                "fit_cube needs the velocity axis (km/s) of the data's spectral axis"
            )
        return data, velocity, noise, spectral_axis, None, None, {}
    cube = data
    if operator.index(spectral_axis) != -1:
        raise InputError("a Cube has its spectral axis last; leave spectral_axis unset")
    if noise is None and cube.noise is not None:
        noise = _CubeNoise(cube.noise, cube.provenance.get("noise", "from the file"))
    velocity = cube.velocity if velocity is None else velocity
    return cube.data, velocity, noise, -1, cube.unit, cube.wcs, dict(cube.provenance)


@dataclasses.dataclass(frozen=True)
class _CubeNoise:
    """The noise a `Cube` brought from its file, and where it was found."""

    value: Any
    note: str


def _unwrap_data(data: Any, unit: Any) -> tuple[Any, Any, Any]:
    """The data as an array-like of real numbers, its unit, and the mask of
    a masked array."""
    data_mask = None
    if isinstance(data, np.ma.MaskedArray):
        data_mask = np.ma.getmask(data)
        data = np.ma.getdata(data)
        if data_mask is np.ma.nomask:
            data_mask = None
    if hasattr(data, "unit") and hasattr(data, "value"):
        unit = data.unit
        data = data.value
    if not (hasattr(data, "shape") and hasattr(data, "dtype") and hasattr(data, "__getitem__")):
        data = np.asarray(data)
    if len(data.shape) == 0:
        raise InputError("data must have at least one axis, the spectral axis")
    if np.dtype(data.dtype).kind not in "fiu":
        raise InputError(
            f"data must hold real numbers (floating point or integers), not {data.dtype}"
        )
    return data, unit, data_mask


def _spectral_axis(spectral_axis: int, ndim: int) -> int:
    axis = operator.index(spectral_axis)
    if not -ndim <= axis < ndim:
        raise InputError(
            f"spectral_axis {axis} is out of range for data of {ndim} dimension"
            f"{'s' if ndim > 1 else ''}"
        )
    return axis % ndim


def _checked_axis(velocity: Any, channels: int, axis: int) -> np.ndarray:
    try:
        axis_values = velocity_axis(velocity)
    except InputError:
        raise
    except ValueError as error:
        raise InputError(str(error)) from None
    if axis_values.size != channels:
        raise InputError(
            f"the velocity axis has {axis_values.size} values but the spectral axis "
            f"(axis {axis}) of the data has {channels} channels"
        )
    return axis_values


def _settings(
    axis_values: np.ndarray,
    channels: int,
    settings: LineSettings | None,
    overrides: dict[str, Any],
) -> LineSettings:
    """The settings given (with any overrides), or those derived from the
    axis and ``line_sigma``; checked against the channel count."""
    line_sigma = overrides.pop("line_sigma", None)
    if settings is None:
        settings = LineSettings.for_axis(axis_values, line_sigma=line_sigma, **overrides)
    else:
        if line_sigma is not None:
            raise InputTypeError(
                "line_sigma only shapes derived settings; give it without settings"
            )
        settings = settings.replace(**overrides) if overrides else settings
    if settings.sg_xpixels > channels:
        raise InputError(
            f"sg_xpixels ({settings.sg_xpixels}) exceeds the {channels} channels of the "
            "spectral axis; use at most every channel"
        )
    return settings


def _per_spectrum(value: Any, name: str, spatial: tuple[int, ...], unit: Any) -> Any:
    """None, a float, or an array of the spatial shape (a broadcast view, or
    a lazy Dask array) with one float value per spectrum."""
    if value is None:
        return None
    value = as_number_or_array(value, name, unit)
    if is_dask_array(value):
        check_shape(value.shape, spatial, name, "the spatial shape", _PER_SPECTRUM_HINT)
        return value.astype(np.float64)
    array = np.asarray(value, dtype=np.float64)
    if array.ndim == 0:
        return float(array)
    check_shape(array.shape, spatial, name, "the spatial shape", _PER_SPECTRUM_HINT)
    return np.broadcast_to(array, spatial)


_PER_SPECTRUM_HINT = (
    " of the data (the data's shape without its spectral axis); give one value or one per spectrum"
)


def _noise_source(
    noise: Any, shape: tuple[int, ...], spatial: tuple[int, ...], unit: Any
) -> NoiseSource:
    """Noise as one value, a map of the spatial shape (one value for each
    spectrum, as a guide map is: an array of exactly the spatial shape is
    read so), an array of the data's shape (or one that broadcasts to it),
    or None to estimate it."""
    if noise is None:
        return NoiseSource("estimate", None, "estimated from each spectrum (DER_SNR)")
    if isinstance(noise, _CubeNoise):
        return NoiseSource("array", noise.value, noise.note)
    noise = as_number_or_array(noise, "noise", unit)
    if np.ndim(noise) == 0 and not is_dask_array(noise):
        level = float(noise)
        if not (math.isfinite(level) and level > 0.0):
            raise InputError(f"noise must be positive and finite, not {level!r}")
        return NoiseSource("constant", level, f"constant {level:g}")
    if not hasattr(noise, "shape"):
        noise = np.asarray(noise)
    if np.dtype(noise.dtype).kind not in "fiu":
        raise InputError(f"noise must hold real numbers, not {noise.dtype}")
    noise_shape = tuple(int(n) for n in noise.shape)
    if noise_shape == spatial and spatial != shape:
        return NoiseSource("map", noise, "one value per spectrum")
    hint = (
        "; give one noise value per pixel, one per spectrum (a map of the spatial shape), "
        "one value for all, or None to estimate it"
    )
    check_shape(noise_shape, shape, "noise", "the data's shape", hint)
    if noise_shape != shape:
        noise = np.broadcast_to(noise, shape)  # works on Dask arrays too
    return NoiseSource("array", noise, "given per pixel")


def _broadcast_mask(mask: Any, data_mask: Any, shape: tuple[int, ...]) -> Any:
    """The union of the masks given, broadcast to the data's shape (lazily
    when one is a Dask array), or None."""
    combined = None
    for m in (mask, data_mask):
        if m is None:
            continue
        if not is_dask_array(m):
            m = np.asarray(m, dtype=bool)
        check_shape(m.shape, shape, "mask", "the data's shape", "")
        m = np.broadcast_to(m.astype(bool), shape)
        combined = m if combined is None else combined | m
    return combined


def _continuum_source(continuum: Any, spatial: tuple[int, ...], unit: Any) -> tuple[str, Any]:
    if continuum is None:
        return "none", None
    if isinstance(continuum, str):
        if continuum not in CONTINUUM_MODES:
            raise InputError(
                f"continuum must be None, a number, an array or 'edges', not {continuum!r}"
            )
        return continuum, None
    values = _per_spectrum(continuum, "continuum", spatial, unit)
    return ("constant" if isinstance(values, float) else "map"), values


def _check_edges_exist(axis: np.ndarray, settings: LineSettings, guides: Any, offsets: Any) -> None:
    """With one guide for all, a search radius that covers the whole axis
    leaves no channel to measure the continuum on: say so before any work."""
    if not isinstance(guides, float) or not (offsets is None or isinstance(offsets, float)):
        return
    centre = guides - (offsets or 0.0)
    if not np.any(np.abs(axis - centre) > settings.search_radius):
        raise InputError(
            "continuum='edges' needs channels farther from the guide than the search radius "
            f"({settings.search_radius:g} km/s = velocity_range + npix_slack * dv), but the "
            f"axis runs from {axis.min():g} to {axis.max():g} km/s; give a smaller "
            "velocity_range=, or the continuum itself"
        )


def _describe(value: Any, unit: str, prefix: str = "") -> str:
    """A setting given as one value or one per spectrum, in a few words."""
    if np.ndim(value) != 0:
        return f"per spectrum, shape {np.shape(value)}"
    if hasattr(value, "unit"):
        return f"{prefix}{value}"
    return f"{prefix}{float(value):g} {unit}".strip()


def observation_of(data: Any) -> dict[str, Any]:
    """The observation cards (beam, object, telescope...) of a `Cube`; none
    for other data."""
    return data.observation if isinstance(data, Cube) else {}


@dataclasses.dataclass(frozen=True)
class Spectra:
    """Spectra with what describes them, checked, for work other than the
    fit (moments): the data (NumPy, array-like or Dask), its spectral axis,
    the velocity axis (float64 km/s), the noise ("none" when not given and
    the cube has none), the mask, and the unit, WCS, provenance and
    observation cards of a `Cube`."""

    data: Any
    axis: int
    velocity: np.ndarray
    noise: NoiseSource
    mask: Any
    unit: Any
    wcs: WCS | None
    provenance: dict[str, str]
    observation: dict[str, Any]

    @property
    def spatial(self) -> tuple[int, ...]:
        shape = tuple(int(n) for n in self.data.shape)
        return shape[: self.axis] + shape[self.axis + 1 :]

    @property
    def lazy(self) -> bool:
        return any(is_dask_array(v) for v in (self.data, self.noise.value, self.mask))


def spectra_inputs(
    data: Any, velocity: Any, *, noise: Any, mask: Any, spectral_axis: int, what: str
) -> Spectra:
    """Data, axis, noise and mask taken in every form `fit_cube` takes them
    (a `Cube`, Quantities, masked arrays, Dask arrays), checked; ``noise``
    None is no noise (a `Cube`'s own, if it has one), "estimate" each
    spectrum's DER_SNR. ``what`` names the caller in messages."""
    if velocity is None and not isinstance(data, Cube):
        raise InputTypeError(f"{what} needs the velocity axis (km/s) of the data's spectral axis")
    given = _unpacked(data, velocity, noise, spectral_axis)
    data, noise, unit, wcs, provenance, data_mask, shape, axis, axis_values, spatial = given[:10]
    if noise is None:
        source = NoiseSource("none", None, "none")
    elif isinstance(noise, str) and noise == "estimate":
        source = NoiseSource("estimate", None, "estimated from each spectrum (DER_SNR)")
    else:
        source = _noise_source(noise, shape, spatial, unit)
    mask = _broadcast_mask(mask, data_mask, shape)
    provenance.update(noise=source.description, mask="none" if mask is None else "given")
    return Spectra(data, axis, axis_values, source, mask, unit, wcs, provenance, given.observation)


class _Unpacked(NamedTuple):
    """The data as an array-like, its noise as given (or its `Cube`'s), unit,
    WCS, provenance, a masked array's mask, its shape, spectral axis,
    checked velocity axis, spatial shape and observation cards."""

    data: Any
    noise: Any
    unit: Any
    wcs: Any
    provenance: dict[str, str]
    data_mask: Any
    shape: tuple[int, ...]
    axis: int
    velocity: np.ndarray
    spatial: tuple[int, ...]
    observation: dict[str, Any]


def _unpacked(data: Any, velocity: Any, noise: Any, spectral_axis: int) -> _Unpacked:
    observation = observation_of(data)
    data, velocity, noise, spectral_axis, unit, wcs, provenance = _unpack_cube(
        data, velocity, noise, spectral_axis
    )
    data, unit, data_mask = _unwrap_data(data, unit)
    shape = tuple(int(n) for n in data.shape)
    axis = _spectral_axis(spectral_axis, len(shape))
    velocity = _checked_axis(velocity, shape[axis], axis)
    spatial = shape[:axis] + shape[axis + 1 :]
    return _Unpacked(
        data, noise, unit, wcs, provenance, data_mask, shape, axis, velocity, spatial, observation
    )

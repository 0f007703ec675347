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
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from ..basics.arrays import check_shape, is_dask_array
from ..basics.errors import InputError, InputTypeError
from ..basics.settings import LineSettings, velocity_axis
from ..basics.units import VELOCITY_UNIT, as_number_or_array
from .cube import Cube
from .guides import check_guide_on_axis
from .quality import DEFAULT_SNR_MIN, DEFAULT_WINDOW_SIGMAS

if TYPE_CHECKING:
    from astropy.wcs import WCS

__all__ = [
    "CONTINUUM_MODES",
    "GUIDE_AUTO",
    "CubeInputs",
    "Description",
    "NoiseSource",
    "Spectra",
    "TrustOptions",
    "cube_inputs",
    "default_guide_window",
    "observation_of",
    "spectra_inputs",
]

#: What may be subtracted before the fit, by name (or a number or a map).
CONTINUUM_MODES = ("none", "edges")

#: The guide that is found from each spectrum itself (`quillet.data.guides`).
GUIDE_AUTO = "auto"


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
class TrustOptions:
    """How far each fit is helped and judged: the window within which
    guides are sought (``velocity_window``, km/s), windows that follow the
    line (``adapt_window``, to ``window_sigmas`` fitted sigmas each side),
    the S/N below which a fit is doubted (``snr_min``), the refits from
    good neighbours (``refit_neighbours``), and the range outside which a
    pixel is missing (``valid_min``, ``valid_max``, in the data's unit)."""

    velocity_window: tuple[float, float] | None = None
    adapt_window: bool = True
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS
    snr_min: float = DEFAULT_SNR_MIN
    refit_neighbours: bool = True
    valid_min: float | None = None
    valid_max: float | None = None

    def provenance(self) -> dict[str, str]:
        """The options in a few words each, for the maps' provenance."""
        valid = [
            f"{word} {value:g}"
            for word, value in (("from", self.valid_min), ("to", self.valid_max))
            if value is not None
        ]
        return {
            "window": f"follows the line, +-{self.window_sigmas:g} sigma"
            if self.adapt_window
            else "fixed (npix)",
            "snr_min": f"{self.snr_min:g}",
            "refit_neighbours": "yes" if self.refit_neighbours else "no",
            "valid_range": " ".join(valid) if valid else "any",
        }


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
    #: How each fit is helped and judged, and which pixels are valid.
    trust: TrustOptions = dataclasses.field(default_factory=TrustOptions)

    @property
    def auto_guides(self) -> bool:
        """True when each spectrum's guide is found from the spectrum."""
        return isinstance(self.guides, str)

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
    guide: Any = GUIDE_AUTO,
    velocity_offset: Any = None,
    continuum: Any = None,
    mask: Any = None,
    spectral_axis: int = -1,
    settings: LineSettings | None = None,
    overrides: Mapping[str, Any] | None = None,
    trust: TrustOptions | None = None,
) -> tuple[CubeInputs, Description]:
    """The inputs of `quillet.fit_cube`, checked (see its parameters), as
    one `CubeInputs` and the `Description` of the maps it will give."""
    given = _unpacked(data, velocity, noise, spectral_axis)
    data, noise, unit, wcs, provenance, data_mask, shape, axis, axis_values, spatial = given[:10]
    settings = _settings(axis_values, shape[axis], settings, dict(overrides or {}))

    trust = _checked_trust(trust or TrustOptions(), axis_values, guide)
    noise_source = _noise_source(noise, shape, spatial, unit)
    mask = _broadcast_mask(mask, data_mask, shape)
    auto = _is_auto(guide)
    guides = GUIDE_AUTO if auto else _per_spectrum(guide, "guide", spatial, VELOCITY_UNIT)
    offsets = _per_spectrum(velocity_offset, "velocity_offset", spatial, VELOCITY_UNIT)
    if not auto:
        _check_guides_reach_axis(guides, offsets, axis_values, settings)
    continuum_mode, continuum_values = _continuum_source(continuum, spatial, unit)
    if continuum_mode == "edges":
        _check_edges_exist(axis_values, settings, None if auto else guides, offsets)
    provenance.update(
        noise=noise_source.description,
        guide=_describe_guide(guide, trust, settings) if auto else _describe(guide, VELOCITY_UNIT),
        velocity_offset="none"
        if velocity_offset is None
        else _describe(velocity_offset, VELOCITY_UNIT),
        continuum=continuum_mode
        if continuum_mode in ("none", "edges")
        else _describe(continuum, "", "constant "),
        mask="none" if mask is None else "given",
        **trust.provenance(),
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
        trust=trust,
    )
    description = Description(settings, axis_values, unit, wcs, provenance, given.observation)
    return inputs, description


def _check_spectra_given(data: Any, velocity: Any, what: str) -> None:
    """Refuses a file name in place of spectra (it is read_cube's to read),
    and spectra with no velocity axis beside them; ``what`` names the caller."""
    if isinstance(data, str | os.PathLike):
        raise InputTypeError(
            f"the spectra are an array or a Cube, not the file name {os.fspath(data)!r}: "
            "read the file with quillet.read_cube and pass the Cube it returns"
        )
    if velocity is None and not isinstance(data, Cube):
        raise InputTypeError(f"{what} needs the velocity axis (km/s) of the data's spectral axis")


def _unpack_cube(
    data: Any, velocity: Any, noise: Any, spectral_axis: int
) -> tuple[Any, Any, Any, int, Any, Any, dict[str, str]]:
    """A `Cube`'s data, velocity, noise (unless given), unit, WCS and
    provenance; other data as they are. A cube's own noise is marked as
    NoiseSource kind "cube" so that its provenance is the file's."""
    _check_spectra_given(data, velocity, "fit_cube")
    if not isinstance(data, Cube):
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
    when one is a Dask array), or None. A single mask of exactly the data's
    shape is kept as it is and read a block at a time (a memory map, or an
    image of a file; non-zero = bad)."""
    if data_mask is None and _whole_array_like(mask, shape):
        return mask
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


def _whole_array_like(value: Any, shape: tuple[int, ...]) -> bool:
    """An array or array-like (not Dask) of exactly ``shape``, whose blocks
    `quillet.basics.rows.take_rows` reads and converts one at a time."""
    return (
        value is not None
        and not is_dask_array(value)
        and all(hasattr(value, a) for a in ("shape", "dtype", "__getitem__"))
        and tuple(int(n) for n in value.shape) == shape
        and np.dtype(value.dtype).kind in "biuf"
    )


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
    leaves no channel to measure the continuum on: say so before any work.
    Guides found from the data (``guides`` None) lie on the axis, so a
    radius at least the axis's span leaves no channel for any of them."""
    if guides is None:
        if np.ptp(axis) > settings.search_radius:
            return
        centre = float(axis[0])
    elif not isinstance(guides, float) or not (offsets is None or isinstance(offsets, float)):
        return
    else:
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
    _check_spectra_given(data, velocity, what)
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


def _is_auto(guide: Any) -> bool:
    if isinstance(guide, str):
        if guide != GUIDE_AUTO:
            raise InputError(
                f"guide must be 'auto', a velocity (km/s) or a map of them, not {guide!r}"
            )
        return True
    return False


#: How far from 0 km/s guides are sought from the data, unless told, when
#: the axis runs through 0: see `default_guide_window`.
GUIDE_REACH = 500.0


def default_guide_window(axis: np.ndarray) -> tuple[float, float] | None:
    """Where guides are sought from the data unless ``velocity_window`` says:
    within `GUIDE_REACH` (500 km/s) of 0 when the axis runs through 0, for
    the line its rest value names lies near 0 (a galaxy's rotation, a solar
    flow, a cloud's motion are a few hundred km/s at most), and a brighter
    line beside it in the same spectrum (the [N II] lines 675 and 940 km/s
    either side of H-alpha) must not be taken for it; the whole axis (None)
    when 0 is off the axis, where the rest value says nothing of where the
    line is (an HI cube of a galaxy at 326 to 789 km/s)."""
    low, high = float(np.min(axis)), float(np.max(axis))
    if low < 0.0 < high:
        return max(low, -GUIDE_REACH), min(high, GUIDE_REACH)
    return None


def _checked_trust(trust: TrustOptions, axis: np.ndarray, guide: Any) -> TrustOptions:
    """The options checked against the axis: every mistake told before any work."""
    window = trust.velocity_window
    if window is not None:
        if not isinstance(guide, str):
            raise InputError(
                "velocity_window= bounds where guides are sought from the data; give it "
                "with guide='auto', or leave it out with a guide of your own"
            )
        try:
            lo, hi = sorted(float(v) for v in window)
        except (TypeError, ValueError):
            raise InputError(
                f"velocity_window= takes two velocities (lo, hi) in km/s, not {window!r}"
            ) from None
        if not (math.isfinite(lo) and math.isfinite(hi)):
            raise InputError(f"velocity_window= must be finite, not {window!r}")
        if not np.any((axis >= lo) & (axis <= hi)):
            raise InputError(
                f"velocity_window= {lo:g} to {hi:g} km/s holds no channel of the axis "
                f"({axis.min():g} to {axis.max():g} km/s); give a window on the axis"
            )
        window = (lo, hi)
    elif _is_auto(guide):
        window = default_guide_window(axis)
    if not (math.isfinite(trust.window_sigmas) and trust.window_sigmas > 0.0):
        raise InputError(
            f"window_sigmas= must be a positive number of sigmas, not {trust.window_sigmas!r}"
        )
    if not math.isfinite(trust.snr_min):
        raise InputError(f"snr_min= must be a finite number, not {trust.snr_min!r}")
    for name in ("valid_min", "valid_max"):
        value = getattr(trust, name)
        if value is not None and math.isnan(float(value)):
            raise InputError(f"{name}= must be a number, not NaN")
    if (
        trust.valid_min is not None
        and trust.valid_max is not None
        and not trust.valid_min < trust.valid_max
    ):
        raise InputError(
            f"valid_min= ({trust.valid_min:g}) must be below valid_max= ({trust.valid_max:g})"
        )
    return dataclasses.replace(trust, velocity_window=window)


def _check_guides_reach_axis(
    guides: Any, offsets: Any, axis: np.ndarray, settings: LineSettings
) -> None:
    """A guide farther than the search radius from every channel finds no
    line: say so before any work. A guide map on Dask is checked by its
    extremes, which are the guides farthest from the axis."""
    if is_dask_array(guides) or is_dask_array(offsets):
        import dask
        import dask.array as da

        shared = guides if offsets is None else guides - offsets
        shared = da.asarray(shared)
        low, high = dask.compute(da.nanmin(shared), da.nanmax(shared))
        values: Any = np.array([low, high], dtype=np.float64)
    else:
        values = np.asarray(guides, dtype=np.float64)
        if offsets is not None:
            values = values - np.asarray(offsets, dtype=np.float64)
    check_guide_on_axis(values, axis, settings.search_radius)


def _describe_guide(guide: Any, trust: TrustOptions, settings: LineSettings) -> str:
    where = (
        "the whole axis"
        if trust.velocity_window is None
        else f"{trust.velocity_window[0]:g} to {trust.velocity_window[1]:g} km/s"
    )
    return (
        f"auto: each spectrum's peak smoothed over line_sigma {settings.width_guess:g} km/s, "
        f"within {where}"
    )

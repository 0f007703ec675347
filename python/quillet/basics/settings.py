"""The settings of a line fit: what the kernel needs to find and fit a line.

`LineSettings` holds the ten spectrum settings and the four solver settings
under the names the kernel gives them, so that a `LineSettings` can be handed
to `_quillet` as keywords, recorded in a FITS header and read back without a
table of aliases. `LineSettings.for_axis` derives every setting a user did
not give from the velocity axis and the line's expected width.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike

import _quillet_kernels

from .errors import InputError, InputOverflowError, InputTypeError

__all__ = ["LineSettings", "velocity_axis"]

# The kernel's own defaults of its four solver settings.
DEFAULT_XTOL = 1e-6
DEFAULT_FTOL = 1e-6
DEFAULT_GTOL = 1e-6
DEFAULT_MAX_ITER = 2000
#: The expected line sigma when none is given, in channels.
DEFAULT_LINE_SIGMA_CHANNELS = 2.0


_MISSING: Any = dataclasses.MISSING


def _setting(help: str, unit: str, derived: str, default: Any = _MISSING) -> Any:
    """A field of `LineSettings` with what a user is told of it: what it
    does, its unit ("" for a pure number) and its default when derived by
    `LineSettings.for_axis`. The command line makes its options of these."""
    metadata = {"help": help, "unit": unit, "derived": derived}
    return dataclasses.field(default=default, metadata=metadata)


@dataclasses.dataclass(frozen=True)
class LineSettings:
    """How a line is found in each spectrum and fitted; velocities in km/s.

    The fields are the kernel's own settings, in its order:

    velocity_range
        The brightest pixel must lie within this distance of the guide.
    npix
        Half-width in pixels of the window fitted round the brightest pixel;
        the centre may move at most ``npix * dv`` from that pixel.
    npix_slack
        How many pixels further than ``velocity_range`` the search for the
        brightest pixel reaches on each side; a brighter pixel in that margin
        rejects the spectrum (the line is not a local maximum).
    dv
        Velocity step of one pixel.
    width_min, width_max
        Bounds of the fitted sigma.
    sg_xpixels
        Number of leading channels of each spectrum that are used.
    amplitude_rel_min, amplitude_rel_max
        Bounds of the amplitude relative to the brightest pixel.
    width_guess
        Starting sigma.
    xtol, ftol, gtol, max_iter
        Solver tolerances and iteration limit.

    Building a `LineSettings` checks it with the kernel's own checks, in the
    kernel's order, and raises the kernel's `ValueError` (or `TypeError`,
    `OverflowError` for values it cannot convert) before any work.
    """

    velocity_range: float = _setting(
        "the brightest pixel must lie within this distance of the guide", "km/s", "4 x line sigma"
    )
    npix: int = _setting(
        "half-width of the window fitted round the brightest pixel", "channels",
        "ceil(3 x line sigma / dv), at least 2",
    )  # fmt: skip
    npix_slack: int = _setting(
        "channels beyond velocity_range that the peak search also reaches", "channels", "2"
    )
    dv: float = _setting("velocity step of one channel", "km/s", "the median channel width")
    width_min: float = _setting("lower bound of the fitted sigma", "km/s", "dv")
    sg_xpixels: int = _setting(
        "leading channels of each spectrum that are used", "channels", "every channel"
    )
    amplitude_rel_min: float = _setting(
        "lower bound of the amplitude, relative to the brightest pixel", "", "0.2"
    )
    amplitude_rel_max: float = _setting(
        "upper bound of the amplitude, relative to the brightest pixel", "", "3"
    )
    width_max: float = _setting(
        "upper bound of the fitted sigma", "km/s", "a quarter of the axis span, at least 2 dv"
    )
    width_guess: float = _setting("starting sigma", "km/s", "line sigma")
    xtol: float = _setting("solver's relative tolerance on the parameters", "", "1e-6",
                           DEFAULT_XTOL)  # fmt: skip
    ftol: float = _setting("solver's relative tolerance on chi-square", "", "1e-6", DEFAULT_FTOL)
    gtol: float = _setting("solver's tolerance on the gradient's angle", "", "1e-6", DEFAULT_GTOL)
    max_iter: int = _setting("solver's iteration limit", "", "2000", DEFAULT_MAX_ITER)

    #: Settings whose values are whole numbers.
    INTEGER_FIELDS: ClassVar[frozenset[str]] = frozenset(
        {"npix", "npix_slack", "sg_xpixels", "max_iter"}
    )

    def __post_init__(self) -> None:
        # Plain Python numbers, whatever the caller gave (NumPy scalars, say),
        # so that headers and reprs show the values and nothing else.
        for name in self.names():
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float, np.number)):
                raise InputTypeError(f"setting {name} must be a number, not {type(value).__name__}")
            if name in self.INTEGER_FIELDS:
                if not float(value).is_integer():
                    raise InputTypeError(f"setting {name} must be a whole number, not {value!r}")
                object.__setattr__(self, name, int(value))
            else:
                object.__setattr__(self, name, float(value))
        _check_with_kernel(self)

    @classmethod
    def describe(cls, name: str) -> tuple[str, str, str]:
        """What the setting ``name`` does, its unit ("" for a pure number)
        and its default when derived from the axis."""
        meta = next(f.metadata for f in dataclasses.fields(cls) if f.name == name)
        return meta["help"], meta["unit"], meta["derived"]

    @classmethod
    def names(cls) -> tuple[str, ...]:
        """The fourteen setting names, in the kernel's order."""
        return tuple(f.name for f in dataclasses.fields(cls))

    def as_kwargs(self) -> dict[str, Any]:
        """The settings as keywords of the kernel's spectrum functions."""
        return {name: getattr(self, name) for name in self.names()}

    def replace(self, **changes: Any) -> LineSettings:
        """A copy with some settings changed, checked again."""
        _reject_unknown(changes)
        return dataclasses.replace(self, **changes)

    @classmethod
    def from_mapping(cls, values: Mapping[str, Any]) -> LineSettings:
        """Settings from a mapping of names to values (a FITS header's, say)."""
        _reject_unknown(values)
        return cls(**dict(values))

    @property
    def search_radius(self) -> float:
        """How far from the guide the search for the brightest pixel reaches."""
        return self.npix_slack * self.dv + self.velocity_range

    @classmethod
    def for_axis(
        cls, velocity: ArrayLike, *, line_sigma: float | None = None, **overrides: Any
    ) -> LineSettings:
        """Settings for a velocity axis (km/s) and a line of the expected sigma.

        ``line_sigma`` is the line's expected standard deviation in km/s (not
        its FWHM, which is 2.3548 sigma). Without it the line is taken to be
        two channels wide: the three sets of real observations this package
        is tested on (a solar slit raster, an integral-field cube, a solar
        raster) all have lines of 1.4 to 2 channels, since instruments sample
        their resolution element with two or three pixels.

        Every setting not given in ``overrides`` is derived, with dv the
        median channel width and s the line sigma:

        - ``dv``: the median channel width, so a few irregular channels do
          not skew it.
        - ``sg_xpixels``: the channel count: every channel is used.
        - ``width_guess``: s.
        - ``npix``: ceil(3 s / dv), at least 2: a window of about ±3 sigma,
          which holds 99.7 % of the line and little else.
        - ``velocity_range``: 4 s: the line may lie a few widths from the
          guide, as the guide of a map is rarely better than that.
        - ``npix_slack``: 2: the brightest pixel must beat its neighbours for
          two channels beyond the range, so a rising wing of a brighter line
          next door is not taken for a line.
        - ``width_min``: dv: a line narrower than one channel is not resolved
          and its width cannot be measured.
        - ``width_max``: a quarter of the axis span (at least 2 dv): a broader
          line would not come back to its base within the axis.
        - ``amplitude_rel_min``, ``amplitude_rel_max``: 0.2 and 3: the apex
          of a line sampled at two or more channels per sigma lies at most
          13 % above its brightest pixel, while noise may lift that pixel well
          above the apex of a faint line.
        - ``xtol``, ``ftol``, ``gtol``, ``max_iter``: the kernel's defaults,
          1e-6 and 2000.
        """
        axis = velocity_axis(velocity)
        steps = np.abs(np.diff(axis))
        dv = float(np.median(steps))
        span = float(abs(axis[-1] - axis[0]))
        sigma = DEFAULT_LINE_SIGMA_CHANNELS * dv if line_sigma is None else float(line_sigma)
        if not (math.isfinite(sigma) and sigma > 0.0):
            raise InputError(f"line_sigma must be a positive number of km/s, not {line_sigma!r}")
        _reject_unknown(overrides)
        derived: dict[str, Any] = dict(
            velocity_range=4.0 * sigma,
            npix=max(2, math.ceil(3.0 * sigma / dv)),
            npix_slack=2,
            dv=dv,
            width_min=dv,
            sg_xpixels=axis.size,
            amplitude_rel_min=0.2,
            amplitude_rel_max=3.0,
            width_max=max(span / 4.0, 2.0 * dv),
            width_guess=sigma,
        )
        return cls(**{**derived, **overrides})


def velocity_axis(velocity: ArrayLike) -> np.ndarray:
    """A velocity axis as float64 km/s, checked: 1-D, finite, at least three
    channels, strictly increasing or decreasing. An astropy Quantity is
    converted from its own unit."""
    values = velocity
    unit = getattr(velocity, "unit", None)
    if unit is not None:
        import astropy.units as u

        try:
            values = velocity.to_value(u.km / u.s)  # type: ignore[union-attr]
        except u.UnitConversionError:
            raise InputError(
                f"the velocity axis is in {unit}, which is not a velocity; "
                "convert it to km/s (quillet.read_cube does this for FITS files)"
            ) from None
    axis = np.asarray(values, dtype=np.float64)
    if axis.ndim != 1:
        raise InputError(f"the velocity axis must be 1-D, not of shape {axis.shape}")
    if axis.size < 3:
        raise InputError(f"the velocity axis has {axis.size} channels; a line fit needs at least 3")
    if not np.all(np.isfinite(axis)):
        bad = int(np.flatnonzero(~np.isfinite(axis))[0])
        raise InputError(
            f"the velocity axis holds a non-finite value at channel {bad}; "
            "every channel needs a finite velocity"
        )
    steps = np.diff(axis)
    if not (np.all(steps > 0) or np.all(steps < 0)):
        raise InputError(
            "the velocity axis is not strictly monotonic (it must increase or decrease "
            "at every channel); sort the channels, or check the spectral WCS"
        )
    return axis


def _reject_unknown(names: Mapping[str, Any]) -> None:
    unknown = sorted(set(names) - set(LineSettings.names()))
    if unknown:
        raise InputTypeError(
            f"unknown setting {', '.join(map(repr, unknown))}; "
            f"the settings are {', '.join(LineSettings.names())}"
        )


def _check_with_kernel(settings: LineSettings) -> None:
    """Runs the kernel's own conversions and checks on the settings, its
    errors raised as the package's own (of the same built-in types)."""
    try:
        _quillet_kernels.check_spectrum_settings(**settings.as_kwargs())
    except ValueError as error:
        raise InputError(str(error)) from None
    except OverflowError as error:  # a whole number too large for the kernel's integers
        raise InputOverflowError(str(error)) from None
    except TypeError as error:
        raise InputTypeError(str(error)) from None

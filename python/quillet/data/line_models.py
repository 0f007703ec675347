"""Line models: several Gaussian components and a polynomial baseline, with
fixed parameters and ties, fitted by the kernel's ``fit_lines_batch``.

A model's parameters, the order of every array a fit takes or returns: per
component (amplitude, centre, sigma), then the baseline's c0, c1, c2 (as many
as its order). The baseline is c0 + c1 t + c2 t^2 with t = v - v_ref, v_ref
the midpoint of the velocities of a window's first and last fitted samples.
Velocities are in km/s.

A tie makes one attribute of a component follow its reference component:
centre = reference centre + offset, amplitude = ratio x reference amplitude,
sigma = reference sigma. Ties are one level deep. A tied parameter is no
parameter of the solver; its start and bounds are not read, and its error is
its reference's (times |ratio| for an amplitude).

``LineModel.lines`` builds multiplets from rest wavelengths or frequencies,
``LineModel.hyperfine`` hyperfine groups from the table ``HYPERFINE``;
``model_a + model_b`` composes two models, as astropy's compound models do.
A component that is a line carries its rest value; where it sits on a
velocity axis (its line velocity) and which line the first pass finds (the
reference) are set when the model is placed: by a preset, on its first
line's own axis; by `quillet.data.line_placement`, on a cube's. Every
component may carry bounds of its amplitude (in the data's unit), of its
own velocity and of its sigma (km/s), which the starts and bounds of every
fit respect (`LineModel.bounded`).

On an axis a tied member sits at a constant offset from its reference: the
offset their rest values give at velocity 0. For a source at V km/s from
the cube's rest frame the true offset differs by (lambda_i / lambda_0 - 1)
V (0.6 km/s for [N II] 6583 beside H-alpha at 200 km/s), and the widths
likewise by that fraction: read a cube at its source's redshift so that V
stays small.

astropy is imported only when a rest value comes as a Quantity or with a
unit, so that ``import quillet`` stays light.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..basics.errors import InputError, InputTypeError
from ..basics.units import CONVENTION_NAMES
from .line_list import air_to_vacuum, line_name, vacuum_to_air

C_KM_S = 299792.458
"""The speed of light in km/s."""

Convention = Literal["optical", "radio", "relativistic"]

FLAG_SUCCESS = 0.0
FLAG_NO_CONVERGENCE = 2.0
FLAG_TOO_FEW_SAMPLES = 3.0
"""Flags of a model fit's rows: 0 success, 2 the solver did not converge, 3
the window held fewer valid samples than the model has free parameters."""


@dataclass(frozen=True)
class HyperfineTransition:
    """A transition's hyperfine components: rest frequencies in MHz and
    relative strengths in the optically thin limit (summing to 1), the main
    component first; ``source`` says where the numbers come from."""

    name: str
    frequencies_mhz: tuple[float, ...]
    strengths: tuple[float, ...]
    labels: tuple[str, ...]
    source: str

    def offsets(self) -> tuple[float, ...]:
        """Velocity of each component relative to the first, radio convention
        (km/s): c (1 - f_i / f_0)."""
        f0 = self.frequencies_mhz[0]
        return tuple(C_KM_S * (1.0 - f / f0) for f in self.frequencies_mhz)


_LOVAS = (
    "rest frequencies: Lovas (2004), J. Phys. Chem. Ref. Data 33, 177, "
    "'Recommended Rest Frequencies for Observed Interstellar Molecular Microwave "
    "Transitions'"
)

HYPERFINE: Mapping[str, HyperfineTransition] = {
    "HCN 1-0": HyperfineTransition(
        name="HCN 1-0",
        frequencies_mhz=(88631.8473, 88630.4157, 88633.9360),
        # Upper levels F' = 2, 1, 0 to F = 1: strengths (2F' + 1) / 9.
        strengths=(5.0 / 9.0, 3.0 / 9.0, 1.0 / 9.0),
        labels=("F=2-1", "F=1-1", "F=0-1"),
        source=_LOVAS + "; strengths (2F'+1)/9 of the upper hyperfine levels (thin LTE)",
    ),
    "N2H+ 1-0": HyperfineTransition(
        name="N2H+ 1-0",
        frequencies_mhz=(
            93173.809,
            93173.505,
            93174.016,
            93171.947,
            93172.098,
            93171.619,
            93176.310,
        ),
        # Upper levels (F1', F') to J = 0: strengths (2F' + 1) / 27, the seven
        # groups' relative intensities of Caselli, Myers & Thaddeus (1995),
        # ApJ 455, L77 (7, 5, 3, 5, 3, 1, 3 in 27ths).
        strengths=(7 / 27, 5 / 27, 3 / 27, 5 / 27, 3 / 27, 1 / 27, 3 / 27),
        labels=(
            "F1=2-1 F=3-2",
            "F1=2-1 F=2-1",
            "F1=2-1 F=1-1",
            "F1=1-1 F=2-2",
            "F1=1-1 F=1-0",
            "F1=1-1 F=0-1",
            "F1=0-1 F=1-2",
        ),
        source=_LOVAS
        + "; thin-limit strengths (2F'+1)/27 as in Caselli, Myers & Thaddeus (1995), ApJ 455, L77",
    ),
}
"""Hyperfine transitions ``LineModel.hyperfine`` knows, by name."""


class WidthSettings(Protocol):
    """What `LineModel.starts_from_settings` reads of a `quillet.LineSettings`."""

    width_min: float
    width_max: float
    width_guess: float
    npix: int
    dv: float
    amplitude_rel_min: float
    amplitude_rel_max: float


Bounds = tuple[float, float]
#: No bound on either side.
UNBOUNDED: Bounds = (-math.inf, math.inf)


def _per_component(values: Sequence[Any] | None, k: int, default: Any) -> tuple[Any, ...]:
    if values is None or len(values) == 0:
        return (default,) * k
    if len(values) != k:
        raise ValueError(
            f"a tie array holds {len(values)} values for {k} components; give one each"
        )
    return tuple(values)


def _bound_side(value: Any, name: str, infinite: float) -> float:
    if value is None:
        return infinite
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise InputTypeError(f"{name}= takes numbers or None for its ends, not {value!r}")
    side = float(value)
    if math.isnan(side):
        raise InputError(f"{name}= must not hold NaN; give None for no bound")
    return side


def _is_pair(value: Any) -> bool:
    """One (lo, hi) pair, rather than one entry per component."""
    return (
        isinstance(value, (tuple, list, np.ndarray))
        and len(value) == 2
        and not any(isinstance(v, (tuple, list, np.ndarray)) for v in value)
    )


def _bounds(value: Any, k: int, name: str, *, positive: bool = False) -> tuple[Bounds, ...]:
    """Bounds of one attribute of every component: None for none, one
    (lo, hi) pair for all, or one pair (or None) per component; an end None
    is no bound on that side."""
    if value is None or (isinstance(value, (tuple, list)) and len(value) == 0):
        return (UNBOUNDED,) * k
    if isinstance(value, str) or not isinstance(value, (tuple, list, np.ndarray)):
        raise InputTypeError(
            f"{name}= takes (lo, hi), or one (lo, hi) per component, not {value!r}"
        )
    entries = [value] * k if _is_pair(value) else list(value)
    if len(entries) != k:
        raise InputError(
            f"{name}= holds {len(entries)} entries for {k} components; give one (lo, hi) "
            "for all, or one per component"
        )
    out = []
    for entry in entries:
        if entry is None:
            out.append(UNBOUNDED)
            continue
        if not _is_pair(entry):
            raise InputTypeError(f"{name}= takes (lo, hi) pairs, not {entry!r}")
        lo = _bound_side(entry[0], name, -math.inf)
        hi = _bound_side(entry[1], name, math.inf)
        if not lo < hi:
            raise InputError(
                f"{name}= ({entry[0]}, {entry[1]}): the lower end must lie below the upper"
            )
        if positive and hi <= 0.0:
            raise InputError(f"{name}= ({entry[0]}, {entry[1]}): a width is positive")
        out.append((lo, hi))
    return tuple(out)


def _bounds_text(bounds: Bounds) -> str:
    return f"{bounds[0]!r} {bounds[1]!r}"


def _bounds_from_text(text: str) -> Bounds:
    lo, hi = (float(v) for v in text.split())
    return lo, hi


@dataclass(frozen=True)
class LineModel:
    """K Gaussian components, a baseline of order 0, 1, 2 or none, fixed
    parameters and ties (one entry per component; -1 for untied), the rest
    value of each component that is a line, and bounds per component.

    ``centre_offset`` of an untied component serves as its starting offset
    from the reference line (the line the first pass finds, the component
    ``reference``); ``names`` label the components.

    ``rest`` and ``rest_unit`` hold each component's rest wavelength or
    frequency (NaN and "" for a component that is no particular line);
    ``convention`` the Doppler convention its offsets are reckoned in (None:
    the cube's, or optical for wavelengths and radio for frequencies).
    ``line_velocity`` is where each line sits on the velocity axis it is
    placed on when its source is at rest (0 for components without a rest
    value), and ``reference`` the component whose line the first pass finds
    (-1: none; the first component stands in). A model from a preset is
    placed on its first line's own axis; `quillet.data.line_placement`
    places it on a cube's.

    ``amplitude_bounds`` (in the data's unit), ``velocity_bounds`` (km/s, of
    each component's own velocity: its centre less its ``line_velocity``)
    and ``sigma_bounds`` (km/s) hold one (lo, hi) per component, infinite
    for none. A bound on a tied component binds its reference: tied members
    share one velocity, one width, or amplitudes in a fixed ratio."""

    components: int = 1
    baseline: int | None = None
    fixed: tuple[bool, ...] = ()
    centre_ref: tuple[int, ...] = ()
    centre_offset: tuple[float, ...] = ()
    amplitude_ref: tuple[int, ...] = ()
    amplitude_ratio: tuple[float, ...] = ()
    sigma_ref: tuple[int, ...] = ()
    names: tuple[str, ...] = field(default=())
    rest: tuple[float | None, ...] = ()
    rest_unit: tuple[str, ...] = ()
    convention: Convention | None = None
    line_velocity: tuple[float, ...] = ()
    reference: int = -1
    amplitude_bounds: Any = ()
    velocity_bounds: Any = ()
    sigma_bounds: Any = ()

    def __post_init__(self) -> None:
        k = self.components
        if not 1 <= k <= 8:
            raise ValueError(f"components must be between 1 and 8, not {k}")
        if self.baseline not in (None, 0, 1, 2):
            raise ValueError(f"baseline must be None, 0, 1 or 2, not {self.baseline!r}")
        set_ = object.__setattr__
        set_(self, "centre_ref", tuple(int(r) for r in _per_component(self.centre_ref, k, -1)))
        set_(
            self, "amplitude_ref", tuple(int(r) for r in _per_component(self.amplitude_ref, k, -1))
        )
        set_(self, "sigma_ref", tuple(int(r) for r in _per_component(self.sigma_ref, k, -1)))
        set_(
            self,
            "centre_offset",
            tuple(float(v) for v in _per_component(self.centre_offset, k, 0.0)),
        )
        set_(
            self,
            "amplitude_ratio",
            tuple(float(v) for v in _per_component(self.amplitude_ratio, k, 1.0)),
        )
        names = self.names or tuple(f"line{i}" for i in range(k))
        set_(self, "names", tuple(_per_component(names, k, "")))
        fixed = tuple(bool(f) for f in self.fixed) or (False,) * self.parameter_count
        if len(fixed) != self.parameter_count:
            raise ValueError(
                f"fixed holds {len(fixed)} flags for {self.parameter_count} parameters; "
                "give one each"
            )
        set_(self, "fixed", fixed)
        self._normalise_lines(k)
        set_(self, "amplitude_bounds", _bounds(self.amplitude_bounds, k, "amplitude"))
        set_(self, "velocity_bounds", _bounds(self.velocity_bounds, k, "velocity"))
        set_(self, "sigma_bounds", _bounds(self.sigma_bounds, k, "sigma", positive=True))

    def _normalise_lines(self, k: int) -> None:
        """The rest values, their units, the convention, the line
        velocities and the reference, checked."""
        set_ = object.__setattr__
        rest = tuple(None if v is None else float(v) for v in _per_component(self.rest, k, None))
        units = tuple(str(v) for v in _per_component(self.rest_unit, k, ""))
        for value, unit in zip(rest, units, strict=True):
            if value is None:
                continue
            if not (math.isfinite(value) and value > 0):
                raise InputError(f"rest values must be positive and finite, not {value!r}")
            _rest_kind(value, unit)
        set_(self, "rest", rest)
        set_(self, "rest_unit", tuple(u if r is not None else "" for r, u in zip(rest, units)))
        if self.convention is not None and self.convention not in CONVENTION_NAMES:
            raise InputError(
                f"convention must be None or one of {', '.join(CONVENTION_NAMES)}, "
                f"not {self.convention!r}"
            )
        set_(
            self,
            "line_velocity",
            tuple(float(v) for v in _per_component(self.line_velocity, k, 0.0)),
        )
        if not -1 <= int(self.reference) < k:
            raise InputError(
                f"reference must be -1 or a component (0 to {k - 1}), not {self.reference!r}"
            )
        set_(self, "reference", int(self.reference))

    # Presets.

    @classmethod
    def gaussian(
        cls,
        baseline: int | None = None,
        *,
        amplitude: Any = None,
        velocity: Any = None,
        sigma: Any = None,
        name: str | None = None,
    ) -> LineModel:
        """One free Gaussian, with a baseline of that order (None: none),
        within the bounds given (see `LineModel`): ``sigma=(300, 3000)``
        for a broad component."""
        return cls(
            components=1,
            baseline=baseline,
            names=() if name is None else (str(name),),
            amplitude_bounds=amplitude,
            velocity_bounds=velocity,
            sigma_bounds=sigma,
        )

    @classmethod
    def free(
        cls,
        components: int,
        baseline: int | None = None,
        *,
        amplitude: Any = None,
        velocity: Any = None,
        sigma: Any = None,
    ) -> LineModel:
        """``components`` independent Gaussians, within the bounds given
        (one (lo, hi) for all, or one per component)."""
        return cls(
            components=components,
            baseline=baseline,
            amplitude_bounds=amplitude,
            velocity_bounds=velocity,
            sigma_bounds=sigma,
        )

    @classmethod
    def lines(
        cls,
        rest: Any,
        ratios: Sequence[float] | None = None,
        *,
        unit: str | None = None,
        convention: Convention | None = None,
        shared_velocity: bool = True,
        shared_width: bool = True,
        baseline: int | None = None,
        names: Sequence[str] | None = None,
        amplitude: Any = None,
        velocity: Any = None,
        sigma: Any = None,
    ) -> LineModel:
        """A multiplet from its rest wavelengths or frequencies: an astropy
        Quantity, a sequence of Quantities (wavelengths and frequencies may
        be mixed), or numbers with ``unit`` (any length or frequency unit
        astropy knows), in any order.

        On a cube the lines are placed by their rest values relative to the
        cube's (`quillet.data.line_placement`), in the cube's convention;
        until then, on the first line's own axis: each line's offset is the
        Doppler velocity of its rest value there, optical c (lambda_i /
        lambda_0 - 1), radio c (1 - f_i / f_0), or relativistic, by default
        optical for wavelengths and radio for frequencies.
        ``shared_velocity`` gives every line one velocity (centres tied to
        the first's at their offsets), ``shared_width`` one width;
        ``ratios`` (one per line) ties every amplitude to the first's at
        ratio ratios[i] / ratios[0]. Lines are named from
        `quillet.data.line_list` ("[N II] 6583.45"), or by their rest value
        and unit, unless ``names`` says. ``amplitude``, ``velocity`` and
        ``sigma`` bound the lines (see `LineModel`)."""
        values, units = _rest_values(rest, unit)
        k = len(values)
        if not 1 <= k <= 8:
            raise InputError(f"a multiplet holds 1 to 8 lines, not {k}")
        untied = (-1,) + (0,) * (k - 1)
        amplitude_ref: tuple[int, ...] = (-1,) * k
        amplitude_ratio: tuple[float, ...] = (1.0,) * k
        if ratios is not None:
            if len(ratios) != k:
                raise ValueError(f"ratios holds {len(ratios)} values for {k} lines; give one each")
            if ratios[0] == 0:
                raise ValueError(
                    "the first line's ratio must not be 0: the others are relative to it"
                )
            amplitude_ref = untied
            amplitude_ratio = tuple(float(r) / float(ratios[0]) for r in ratios)
        if names is None:
            names = [default_line_name(v, un) for v, un in zip(values, units, strict=True)]
        model = cls(
            components=k,
            baseline=baseline,
            centre_ref=untied if shared_velocity else (-1,) * k,
            amplitude_ref=amplitude_ref,
            amplitude_ratio=amplitude_ratio,
            sigma_ref=untied if shared_width else (-1,) * k,
            names=tuple(str(n) for n in names),
            rest=tuple(values),
            rest_unit=tuple(units),
            convention=convention,
            amplitude_bounds=amplitude,
            velocity_bounds=velocity,
            sigma_bounds=sigma,
        )
        return model.on_own_axis()

    @classmethod
    def hyperfine(
        cls,
        name_or_table: str | HyperfineTransition,
        baseline: int | None = None,
        *,
        amplitude: Any = None,
        velocity: Any = None,
        sigma: Any = None,
    ) -> LineModel:
        """The hyperfine components of a transition (a name of `HYPERFINE`, or
        a `HyperfineTransition`) with one velocity, one width and the
        thin-limit strengths as amplitude ratios to the main component,
        within the bounds given (see `LineModel`)."""
        if isinstance(name_or_table, str):
            if name_or_table not in HYPERFINE:
                known = ", ".join(sorted(HYPERFINE))
                raise ValueError(f"unknown hyperfine transition {name_or_table!r}; known: {known}")
            table = HYPERFINE[name_or_table]
        elif isinstance(name_or_table, HyperfineTransition):
            table = name_or_table
        else:
            raise InputTypeError(
                "hyperfine takes a name of HYPERFINE or a HyperfineTransition, "
                f"not {type(name_or_table).__name__}"
            )
        return cls.lines(
            np.asarray(table.frequencies_mhz),
            ratios=table.strengths,
            unit="MHz",
            convention="radio",
            baseline=baseline,
            names=table.labels,
            amplitude=amplitude,
            velocity=velocity,
            sigma=sigma,
        )

    def with_amplitude_ratios(self, ratios: Sequence[float | None]) -> LineModel:
        """This model with the amplitude of each component given a ratio
        (one entry per component; None for a free amplitude) tied to the
        first such component at the ratio of their values: ``[None, 1, 3.05]``
        keeps the first free and makes the third 3.05 times the second."""
        k = self.components
        if len(ratios) != k:
            raise ValueError(f"ratios holds {len(ratios)} values for {k} components; give one each")
        if any(not math.isfinite(r) or r <= 0 for r in ratios if r is not None):
            raise ValueError(f"the ratios must be positive numbers, not {list(ratios)}")
        given = [(i, float(r)) for i, r in enumerate(ratios) if r is not None]
        refs, values = [-1] * k, [1.0] * k
        for i, r in given[1:]:
            refs[i] = given[0][0]
            values[i] = r / given[0][1]
        return dataclasses.replace(self, amplitude_ref=tuple(refs), amplitude_ratio=tuple(values))

    def with_baseline(self, baseline: int | None) -> LineModel:
        """This model with a baseline of another order (its flags free)."""
        fixed = self.fixed[: 3 * self.components]
        terms = 0 if baseline is None else baseline + 1
        return dataclasses.replace(self, baseline=baseline, fixed=fixed + (False,) * terms)

    # Composition.

    def __add__(self, other: LineModel) -> LineModel:
        """Both models' components, this one's first, with ties as each had
        them (the other's renumbered) and one baseline: the higher order of
        the two, with its fixed flags. The sum is placed on the axis of its
        first line, as a preset is."""
        if not isinstance(other, LineModel):
            return NotImplemented
        a, b = self, other
        ka = a.components
        if a.convention is not None and b.convention is not None and a.convention != b.convention:
            raise InputError(
                f"the models are in different conventions ({a.convention}, {b.convention}); "
                "give the lines of both in one"
            )
        if ka + b.components > 8:
            raise InputError(
                f"a model holds at most 8 components; these two hold {ka} and {b.components}"
            )

        def shifted(refs: tuple[int, ...]) -> tuple[int, ...]:
            return tuple(r + ka if r >= 0 else -1 for r in refs)

        order = (-1 if a.baseline is None else a.baseline, -1 if b.baseline is None else b.baseline)
        base = a if order[0] >= order[1] else b
        names = list(a.names)
        for i, name in enumerate(b.names):
            if name == f"line{i}":
                name = f"line{i + ka}"
            while name in names:
                name = f"{name} ({len(names)})"
            names.append(name)
        total = LineModel(
            components=ka + b.components,
            baseline=base.baseline,
            fixed=a.fixed[: 3 * ka]
            + b.fixed[: 3 * b.components]
            + base.fixed[3 * base.components :],
            centre_ref=a.centre_ref + shifted(b.centre_ref),
            centre_offset=a.centre_offset + b.centre_offset,
            amplitude_ref=a.amplitude_ref + shifted(b.amplitude_ref),
            amplitude_ratio=a.amplitude_ratio + b.amplitude_ratio,
            sigma_ref=a.sigma_ref + shifted(b.sigma_ref),
            names=tuple(names),
            rest=a.rest + b.rest,
            rest_unit=a.rest_unit + b.rest_unit,
            convention=a.convention or b.convention,
            amplitude_bounds=a.amplitude_bounds + b.amplitude_bounds,
            velocity_bounds=a.velocity_bounds + b.velocity_bounds,
            sigma_bounds=a.sigma_bounds + b.sigma_bounds,
        )
        return total.on_own_axis()

    # The lines on a velocity axis.

    @property
    def line_components(self) -> tuple[int, ...]:
        """The components that have a rest value."""
        return tuple(k for k, r in enumerate(self.rest) if r is not None)

    def rest_quantity(self, k: int) -> Any:
        """Component k's rest value as an astropy Quantity (None without one)."""
        if self.rest[k] is None:
            return None
        import astropy.units as u

        return u.Quantity(self.rest[k], self.rest_unit[k])

    def rest_text(self, k: int) -> str:
        """Component k's rest value and unit, as a name of it."""
        value = self.rest[k]
        return "" if value is None else rest_text(value, self.rest_unit[k])

    def on_axis(self, velocities: Sequence[float], reference: int) -> LineModel:
        """This model with its lines at ``velocities`` (one per component;
        read for the components with a rest value) and the first pass
        finding the line of component ``reference``: a tied line's offset
        is its velocity less its reference's, an untied one starts its
        velocity less the reference line's from the line found."""
        lv = [float(velocities[k]) if self.rest[k] is not None else 0.0
              for k in range(self.components)]  # fmt: skip
        lines = set(self.line_components)
        offsets = list(self.centre_offset)
        for k in lines:
            r = self.centre_ref[k]
            if r < 0:
                offsets[k] = lv[k] - lv[reference]
            elif r in lines:
                offsets[k] = lv[k] - lv[r]
        return dataclasses.replace(
            self, line_velocity=tuple(lv), centre_offset=tuple(offsets), reference=reference
        )

    def on_own_axis(self) -> LineModel:
        """This model placed on the axis of its first line (the first
        component with a rest value), in its convention: what a preset
        gives, before a cube places it on its own axis."""
        lines = self.line_components
        if not lines:
            return self
        origin = lines[0]
        wavelengths = member_wavelengths(self, in_air=False, air_lines=False)
        convention = self.convention or default_convention(self.rest_unit[origin])
        velocities = [
            doppler(w / wavelengths[origin], convention) if math.isfinite(w) else 0.0
            for w in wavelengths
        ]
        return self.on_axis(velocities, origin)

    def start_offsets(self) -> NDArray[np.float64]:
        """Where each component starts relative to the line the first pass
        finds (km/s): an untied one at its ``centre_offset``, a tied one at
        its reference's start plus its offset."""
        out = np.zeros(self.components)
        for k in range(self.components):
            if self.centre_ref[k] < 0:
                out[k] = self.centre_offset[k]
        for k in range(self.components):
            r = self.centre_ref[k]
            if r >= 0:
                out[k] = out[r] + self.centre_offset[k]
        return out

    def shares_velocity(self, k: int) -> int | None:
        """The component whose velocity component k shares (a line tied to
        another line), or None: its velocity map is then that one's."""
        r = self.centre_ref[k]
        if r >= 0 and self.rest[k] is not None and self.rest[r] is not None:
            return r
        return None

    # Bounds.

    def parameter_bounds(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """The model's own bounds of each parameter the solver sees (P,):
        amplitudes in the data's unit, centres on the axis (each
        component's velocity bound shifted by its line velocity), sigmas in
        km/s; a tied component's bounds folded into its reference's; the
        baseline and tied parameters unbounded."""
        p = self.parameter_count
        lower = np.full(p, -np.inf)
        upper = np.full(p, np.inf)
        for k in range(self.components):
            for j, (lo, hi) in self._folded(k):
                lower[j] = max(lower[j], lo)
                upper[j] = min(upper[j], hi)
        return lower, upper

    def _folded(self, k: int) -> list[tuple[int, Bounds]]:
        """Component k's bounds as bounds of the solver's parameters."""
        out: list[tuple[int, Bounds]] = []
        lo, hi = self.amplitude_bounds[k]
        r = self.amplitude_ref[k]
        ratio = self.amplitude_ratio[k] if r >= 0 else 1.0
        if ratio != 0.0:
            ends = sorted((lo / ratio, hi / ratio))
            out.append((3 * (r if r >= 0 else k), (ends[0], ends[1])))
        lo, hi = self.velocity_bounds[k]
        r = self.centre_ref[k]
        shift = self.line_velocity[k] - (self.centre_offset[k] if r >= 0 else 0.0)
        out.append((3 * (r if r >= 0 else k) + 1, (lo + shift, hi + shift)))
        r = self.sigma_ref[k]
        out.append((3 * (r if r >= 0 else k) + 2, self.sigma_bounds[k]))
        return out

    def check_bounds(self, width_range: tuple[float, float], axis: ArrayLike) -> None:
        """Refuses, before any work, bounds that leave a parameter no room:
        tied members' bounds that do not meet, a sigma bound outside the
        settings' ``width_range`` (width_min, width_max), a velocity bound
        that puts its line off the ``axis`` (km/s)."""
        lower, upper = self.parameter_bounds()
        values = np.asarray(axis, dtype=np.float64)
        low, high = float(values.min()), float(values.max())
        what = ("amplitude", "velocity", "sigma")
        folded = [[j for j, _ in self._folded(i)] for i in range(self.components)]
        for k in range(self.components):
            for j in range(3 * k, 3 * k + 3):
                if self.tied()[j] or self.fixed[j]:
                    continue
                names = ", ".join(self.names[i] for i in range(self.components) if j in folded[i])
                if not lower[j] < upper[j]:
                    raise InputError(
                        f"the {what[j % 3]} bounds of {names} (tied together) leave no room; "
                        "give bounds that meet"
                    )
                if j % 3 == 2 and not (
                    max(lower[j], width_range[0]) < min(upper[j], width_range[1])
                ):
                    raise InputError(
                        f"sigma bounds {lower[j]:g} to {upper[j]:g} km/s of {names} lie outside "
                        f"the settings' widths {width_range[0]:g} to {width_range[1]:g} km/s "
                        "(width_min, width_max); give bounds within them, or widen those "
                        "settings"
                    )
                if j % 3 == 1 and not (max(lower[j], low) <= min(upper[j], high)):
                    shift = self.line_velocity[k]
                    raise InputError(
                        f"the velocity bounds {lower[j] - shift:g} to {upper[j] - shift:g} km/s "
                        f"of {names} put it off the axis ({low - shift:g} to {high - shift:g} "
                        "km/s for that line); give bounds on the axis"
                    )

    def bounded(
        self,
        initial: NDArray[np.float64],
        lower: NDArray[np.float64],
        upper: NDArray[np.float64],
        scale: ArrayLike | None = None,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        """Rows of starts and bounds (N, P; amplitudes in units of the data
        divided by ``scale``, one per row) within the model's own bounds: a
        centre or sigma bound intersected with the row's (the model's alone
        where they do not meet), an amplitude bound in place of the row's on
        its side; each start clamped within."""
        own_lower, own_upper = self.parameter_bounds()
        rows = initial.shape[0]
        divide = np.ones(rows) if scale is None else np.broadcast_to(
            np.asarray(scale, dtype=np.float64), (rows,)
        )  # fmt: skip
        lower = np.array(lower, dtype=np.float64)
        upper = np.array(upper, dtype=np.float64)
        for j in range(3 * self.components):
            lo, hi = own_lower[j], own_upper[j]
            if lo == -np.inf and hi == np.inf:
                continue
            if j % 3 == 0:
                if math.isfinite(lo):
                    lower[:, j] = lo / divide
                    upper[:, j] = np.where(upper[:, j] < lower[:, j], np.inf, upper[:, j])
                if math.isfinite(hi):
                    upper[:, j] = hi / divide
                    lower[:, j] = np.where(lower[:, j] > upper[:, j], -np.inf, lower[:, j])
                continue
            low = np.maximum(lower[:, j], lo)
            high = np.minimum(upper[:, j], hi)
            meet = low <= high
            lower[:, j] = np.where(meet, low, lo)
            upper[:, j] = np.where(meet, high, hi)
        return np.clip(initial, lower, upper), lower, upper

    # What the kernel takes.

    @property
    def baseline_terms(self) -> int:
        return 0 if self.baseline is None else self.baseline + 1

    @property
    def parameter_count(self) -> int:
        return 3 * self.components + self.baseline_terms

    @property
    def parameter_names(self) -> tuple[str, ...]:
        names = [f"{a}_{n}" for n in self.names for a in ("amplitude", "centre", "sigma")]
        return tuple(names + [f"c{j}" for j in range(self.baseline_terms)])

    def tied(self) -> NDArray[np.bool_]:
        """Which parameters follow a reference (their starts and bounds are not read)."""
        out = np.zeros(self.parameter_count, dtype=bool)
        for k in range(self.components):
            out[3 * k] = self.amplitude_ref[k] >= 0
            out[3 * k + 1] = self.centre_ref[k] >= 0
            out[3 * k + 2] = self.sigma_ref[k] >= 0
        return out

    def kernel_arguments(self) -> dict[str, Any]:
        """The model's arguments of ``_quillet_kernels.fit_lines_batch``."""
        return {
            "ncomponents": self.components,
            "baseline": -1 if self.baseline is None else self.baseline,
            "fixed": np.asarray(self.fixed, dtype=np.bool_),
            "centre_ref": np.asarray(self.centre_ref, dtype=np.int32),
            "centre_offset": np.asarray(self.centre_offset, dtype=np.float32),
            "amplitude_ref": np.asarray(self.amplitude_ref, dtype=np.int32),
            "amplitude_ratio": np.asarray(self.amplitude_ratio, dtype=np.float32),
            "sigma_ref": np.asarray(self.sigma_ref, dtype=np.int32),
        }

    def starts(
        self,
        centre: ArrayLike,
        *,
        amplitude: ArrayLike = 1.0,
        width_guess: float,
        width_range: tuple[float, float],
        centre_range: float,
        amplitude_range: tuple[float, float] = (0.0, 3.0),
        scale: ArrayLike | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.float32]]:
        """Starting values and bounds (N, P) for rows whose reference line
        lies near ``centre`` (one value per row) with amplitude near
        ``amplitude`` (in the units of spectra / scale): each component
        starts at that centre plus its start offset and within
        ``centre_range`` of it, at that amplitude times its ratio with bounds
        ``amplitude_range`` times the amplitude, at sigma ``width_guess``
        within ``width_range``; the baseline starts at 0, unbounded. The
        model's own bounds apply (`bounded`, with ``scale``, one per row,
        the spectra will be divided by)."""
        centre_row = np.atleast_1d(np.asarray(centre, dtype=np.float64))
        rows = centre_row.shape[0]
        amp = np.broadcast_to(np.asarray(amplitude, dtype=np.float64), (rows,))
        p = self.parameter_count
        initial = np.zeros((rows, p))
        lower = np.full((rows, p), -np.inf)
        upper = np.full((rows, p), np.inf)
        offsets = self.start_offsets()
        for k in range(self.components):
            a, c, s = 3 * k, 3 * k + 1, 3 * k + 2
            at = centre_row + offsets[k]
            initial[:, a] = amp * self.amplitude_ratio[k]
            lower[:, a] = amp * amplitude_range[0]
            upper[:, a] = amp * amplitude_range[1]
            initial[:, c] = at
            lower[:, c] = at - centre_range
            upper[:, c] = at + centre_range
            initial[:, s] = width_guess
            lower[:, s], upper[:, s] = width_range
        initial, lower, upper = self.bounded(initial, lower, upper, scale)
        return (
            initial.astype(np.float32),
            lower.astype(np.float32),
            upper.astype(np.float32),
        )

    def starts_from_settings(
        self, settings: WidthSettings, centre: ArrayLike, amplitude: ArrayLike = 1.0
    ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.float32]]:
        """`starts` with the widths, centre reach (npix x dv) and amplitude
        range of a `quillet.LineSettings`."""
        return self.starts(
            centre,
            amplitude=amplitude,
            width_guess=settings.width_guess,
            width_range=(settings.width_min, settings.width_max),
            centre_range=settings.npix * settings.dv,
            amplitude_range=(settings.amplitude_rel_min, settings.amplitude_rel_max),
        )

    # The model in a header.

    def cards(self) -> list[tuple[str, Any]]:
        """The model as (key, value) cards of a maps file's header; bounds
        and rest values only where a component has them."""
        cards: list[tuple[str, Any]] = [
            ("MODEL COMPONENTS", self.components),
            ("MODEL BASELINE", -1 if self.baseline is None else self.baseline),
            ("MODEL FIXED", "".join("1" if f else "0" for f in self.fixed)),
            ("MODEL REFERENCE", self.reference),
        ]
        if self.convention is not None:
            cards.append(("MODEL CONVENTION", self.convention))
        for k in range(self.components):
            cards += [
                (f"MODEL NAME{k}", self.names[k]),
                (f"MODEL CREF{k}", self.centre_ref[k]),
                (f"MODEL COFF{k}", self.centre_offset[k]),
                (f"MODEL AREF{k}", self.amplitude_ref[k]),
                (f"MODEL ARAT{k}", self.amplitude_ratio[k]),
                (f"MODEL SREF{k}", self.sigma_ref[k]),
                (f"MODEL LVEL{k}", self.line_velocity[k]),
            ]
            if self.rest[k] is not None:
                cards += [(f"MODEL REST{k}", self.rest[k]), (f"MODEL RUNIT{k}", self.rest_unit[k])]
            for key, bounds in (
                ("ABND", self.amplitude_bounds[k]),
                ("VBND", self.velocity_bounds[k]),
                ("SBND", self.sigma_bounds[k]),
            ):
                if bounds != UNBOUNDED:
                    cards.append((f"MODEL {key}{k}", _bounds_text(bounds)))  # fmt: skip
        return cards

    @classmethod
    def from_cards(cls, card: Callable[[str], Any]) -> LineModel:
        """The model of `cards`, read back by ``card(key)`` (None for a
        card that is absent)."""
        k = int(card("MODEL COMPONENTS"))
        baseline = int(card("MODEL BASELINE"))

        def each(key: str, kind: Callable[[Any], Any], default: Any) -> tuple[Any, ...]:
            values = [card(f"MODEL {key}{i}") for i in range(k)]
            return tuple(default if v is None else kind(v) for v in values)

        def bounds(key: str) -> tuple[Bounds, ...]:
            return each(key, lambda text: _bounds_from_text(str(text)), UNBOUNDED)

        reference = card("MODEL REFERENCE")
        return cls(
            components=k,
            baseline=None if baseline < 0 else baseline,
            fixed=tuple(c == "1" for c in str(card("MODEL FIXED"))),
            centre_ref=each("CREF", int, -1),
            centre_offset=each("COFF", float, 0.0),
            amplitude_ref=each("AREF", int, -1),
            amplitude_ratio=each("ARAT", float, 1.0),
            sigma_ref=each("SREF", int, -1),
            names=each("NAME", str, ""),
            rest=each("REST", float, None),
            rest_unit=each("RUNIT", str, ""),
            convention=card("MODEL CONVENTION"),
            line_velocity=each("LVEL", float, 0.0),
            reference=-1 if reference is None else int(reference),
            amplitude_bounds=bounds("ABND"),
            velocity_bounds=bounds("VBND"),
            sigma_bounds=bounds("SBND"),
        )


def model_for(
    kind: Literal["gaussian", "lines", "hyperfine"],
    *,
    components: int = 1,
    rest: Any = None,
    amplitude_ratios: Sequence[float | None] | None = None,
    convention: Convention | None = None,
    shared_velocity: bool = True,
    shared_width: bool = True,
    hyperfine: str | HyperfineTransition | None = None,
    baseline: int | None = None,
    amplitude: Any = None,
    velocity: Any = None,
    sigma: Any = None,
    name: str | None = None,
) -> LineModel:
    """The model of one kind, made from values already read (the line-model
    options of the command line): ``components`` free Gaussians
    (``"gaussian"``; one of them named ``name``); a multiplet of the
    ``rest`` values (a Quantity, or a sequence of them), its amplitudes tied
    as `LineModel.with_amplitude_ratios` ties them (``"lines"``); or the
    hyperfine group ``hyperfine`` (``"hyperfine"``); each with a baseline of
    order ``baseline`` (None: none) and the bounds ``amplitude``,
    ``velocity`` and ``sigma`` (see `LineModel`)."""
    bounds = {"amplitude": amplitude, "velocity": velocity, "sigma": sigma}
    if kind == "gaussian":
        if components == 1:
            return LineModel.gaussian(baseline, name=name, **bounds)
        return LineModel.free(components, baseline, **bounds)
    if kind == "lines":
        model = LineModel.lines(
            rest,
            convention=convention,
            shared_velocity=shared_velocity,
            shared_width=shared_width,
            baseline=baseline,
            **bounds,
        )
        return model if amplitude_ratios is None else model.with_amplitude_ratios(amplitude_ratios)
    if kind == "hyperfine":
        if hyperfine is None:
            raise ValueError("a hyperfine model needs hyperfine=NAME, one of HYPERFINE")
        return LineModel.hyperfine(hyperfine, baseline, **bounds)
    raise ValueError(f"kind must be 'gaussian', 'lines' or 'hyperfine', not {kind!r}")


def doppler(wavelength_ratio: float, convention: str) -> float:
    """The Doppler velocity (km/s) of a wavelength lambda relative to a rest
    wavelength lambda_0, from r = lambda / lambda_0: optical c (r - 1),
    radio c (1 - 1 / r) (= c (1 - f / f_0)), relativistic c (r^2 - 1) /
    (r^2 + 1)."""
    r = wavelength_ratio
    if convention == "optical":
        return C_KM_S * (r - 1.0)
    if convention == "radio":
        return C_KM_S * (1.0 - 1.0 / r)
    if convention == "relativistic":
        return C_KM_S * (r * r - 1.0) / (r * r + 1.0)
    raise ValueError(f"convention must be 'optical', 'radio' or 'relativistic', not {convention!r}")


def inverse_doppler(velocity: float, convention: str) -> float:
    """The wavelength ratio lambda / lambda_0 of a Doppler velocity (km/s)."""
    beta = velocity / C_KM_S
    if convention == "optical":
        return 1.0 + beta
    if convention == "radio":
        return 1.0 / (1.0 - beta)
    if convention == "relativistic":
        return math.sqrt((1.0 + beta) / (1.0 - beta))
    raise ValueError(f"convention must be 'optical', 'radio' or 'relativistic', not {convention!r}")


def default_convention(unit: str) -> Convention:
    """Radio for a rest frequency, optical for a rest wavelength."""
    return "radio" if _rest_kind(1.0, unit) == "frequency" else "optical"


def rest_text(value: float, unit: str) -> str:
    """A rest value and its unit, to ten digits: "88631.8473 MHz"."""
    return f"{value:.10g} {unit}"


def default_line_name(value: float, unit: str) -> str:
    """A line's name from `quillet.data.line_list`, or its rest value and unit."""
    return line_name(value, unit) or rest_text(value, unit)


def member_wavelengths(model: LineModel, *, in_air: bool, air_lines: bool) -> list[float]:
    """Each component's rest wavelength (m; NaN without one) as an axis
    reckons it: in air when ``in_air`` (the axis's velocities reckoned from
    air wavelengths), else in vacuum; a wavelength read as given in air
    when ``air_lines`` (the axis's header holds air wavelengths), a
    frequency through lambda = c / nu in vacuum."""
    import astropy.units as u

    out = []
    for k in range(model.components):
        quantity = model.rest_quantity(k)
        if quantity is None:
            out.append(math.nan)
            continue
        wavelength = float(quantity.to_value(u.m, equivalencies=u.spectral()))
        given_in_air = air_lines and quantity.unit.physical_type == "length"
        if given_in_air and not in_air:
            wavelength = air_to_vacuum(wavelength)
        elif in_air and not given_in_air:
            wavelength = vacuum_to_air(wavelength)
        out.append(wavelength)
    return out


def _rest_kind(value: float, unit: str) -> str:
    """ "length" or "frequency": the kind of a rest value, checked."""
    import astropy.units as u

    try:
        kind = u.Unit(unit).physical_type
    except (ValueError, TypeError):
        raise InputError(f"{unit!r} is not a unit astropy reads") from None
    if kind not in ("length", "frequency"):
        raise InputError(f"rest values must be wavelengths or frequencies, not {value:g} {unit}")
    return str(kind)


def _rest_values(rest: Any, unit: str | None) -> tuple[list[float], list[str]]:
    """Each rest value and its unit's name, checked: wavelengths or
    frequencies, positive and finite."""
    import astropy.units as u

    if unit is not None:
        try:
            given: Any = u.Quantity(rest, unit)
        except (TypeError, ValueError):
            raise InputError(
                f"rest values must be numbers with unit={unit!r}, not {rest!r}"
            ) from None
    elif isinstance(rest, u.Quantity):
        given = rest
    elif isinstance(rest, (list, tuple)) and rest and all(isinstance(r, u.Quantity) for r in rest):
        given = list(rest)
    else:
        raise ValueError(
            "rest values need a unit: give a Quantity, or numbers with unit='Angstrom'"
        )
    quantities = list(np.atleast_1d(given)) if isinstance(given, u.Quantity) else given
    values, units = [], []
    for quantity in quantities:
        if not quantity.isscalar:
            raise InputError("give rest values as one Quantity array or a list of scalars")
        name = quantity.unit.to_string()
        value = float(quantity.value)
        if quantity.unit.physical_type not in ("length", "frequency"):
            raise ValueError(f"rest values must be wavelengths or frequencies, not {quantity.unit}")
        if not (math.isfinite(value) and value > 0):
            raise InputError(f"rest values must be positive and finite, not {quantity}")
        values.append(value)
        units.append(name)
    return values, units


@dataclass(frozen=True)
class ModelFit:
    """What `fit_model_rows` returns: parameters and errors (N, P) in the
    order of ``model.parameter_names``, and the kernel's statistics."""

    model: LineModel
    params: NDArray[np.float32]
    errors: NDArray[np.float32]
    stats: NDArray[np.float32]

    @property
    def chi2(self) -> NDArray[np.float32]:
        return self.stats[:, 0]

    @property
    def reduced_chi2(self) -> NDArray[np.float32]:
        return self.stats[:, 1]

    @property
    def samples(self) -> NDArray[np.float32]:
        return self.stats[:, 2]

    @property
    def free_parameters(self) -> NDArray[np.float32]:
        return self.stats[:, 3]

    @property
    def flag(self) -> NDArray[np.float32]:
        return self.stats[:, 4]

    def parameter(self, name: str) -> NDArray[np.float32]:
        """One parameter's column, by its name in ``model.parameter_names``."""
        return self.params[:, self.model.parameter_names.index(name)]

    def aic(self) -> NDArray[np.float64]:
        """Akaike's criterion chi2 + 2 k per row, k the free parameters."""
        return self.chi2.astype(np.float64) + 2.0 * self.free_parameters

    def bic(self) -> NDArray[np.float64]:
        """The Bayesian criterion chi2 + k ln n per row, n the samples."""
        n = np.maximum(self.samples.astype(np.float64), 1.0)
        return self.chi2.astype(np.float64) + self.free_parameters * np.log(n)


def fit_model_rows(
    spectra: ArrayLike,
    velocity: ArrayLike,
    noise: ArrayLike,
    windows: ArrayLike,
    model: LineModel,
    initial: ArrayLike,
    lower: ArrayLike,
    upper: ArrayLike,
    scale: ArrayLike | None = None,
    *,
    xtol: float = 1e-6,
    ftol: float = 1e-6,
    gtol: float = 1e-6,
    max_iter: int = 2000,
) -> ModelFit:
    """Fits ``model`` to each row of ``spectra`` over its window (N, 2) of
    channels [lo, hi), from ``initial`` within [``lower``, ``upper``] (N, P),
    with ``_quillet_kernels.fit_lines_batch`` (whose docstring has the
    details), with its solver settings xtol, ftol, gtol and max_iter. Arrays are
    converted to float32 (windows to int32) and made C-contiguous, which
    copies only those that are not already."""
    import _quillet_kernels

    def f32(a: ArrayLike) -> NDArray[np.float32]:
        return np.ascontiguousarray(a, dtype=np.float32)

    params, errors, stats = _quillet_kernels.fit_lines_batch(
        f32(spectra),
        f32(velocity),
        f32(noise),
        np.ascontiguousarray(windows, dtype=np.int32),
        f32(initial),
        f32(lower),
        f32(upper),
        scale=None if scale is None else f32(scale),
        xtol=xtol,
        ftol=ftol,
        gtol=gtol,
        max_iter=max_iter,
        **model.kernel_arguments(),
    )
    return ModelFit(model, params, errors, stats)

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
``LineModel.hyperfine`` hyperfine groups from the table ``HYPERFINE``.
astropy is imported only when a rest value comes as a Quantity or with a
unit, so that ``import quillet`` stays light.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

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


def _per_component(values: Sequence[Any] | None, k: int, default: Any) -> tuple[Any, ...]:
    if values is None or len(values) == 0:
        return (default,) * k
    if len(values) != k:
        raise ValueError(
            f"a tie array holds {len(values)} values for {k} components; give one each"
        )
    return tuple(values)


@dataclass(frozen=True)
class LineModel:
    """K Gaussian components, a baseline of order 0, 1, 2 or none, fixed
    parameters and ties (one entry per component; -1 for untied).

    ``centre_offset`` of an untied component still serves as its starting
    offset from the reference centre in `starts`; ``names`` label the
    components."""

    components: int = 1
    baseline: int | None = None
    fixed: tuple[bool, ...] = ()
    centre_ref: tuple[int, ...] = ()
    centre_offset: tuple[float, ...] = ()
    amplitude_ref: tuple[int, ...] = ()
    amplitude_ratio: tuple[float, ...] = ()
    sigma_ref: tuple[int, ...] = ()
    names: tuple[str, ...] = field(default=())

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

    # Presets.

    @classmethod
    def gaussian(cls, baseline: int | None = None) -> LineModel:
        """One free Gaussian, with a baseline of that order (None: none)."""
        return cls(components=1, baseline=baseline)

    @classmethod
    def free(cls, components: int, baseline: int | None = None) -> LineModel:
        """``components`` independent Gaussians."""
        return cls(components=components, baseline=baseline)

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
    ) -> LineModel:
        """A multiplet from its rest wavelengths or frequencies, the first line
        the reference: an astropy Quantity, or numbers with ``unit`` (any
        length or frequency unit astropy knows).

        Each line's offset from the first is the Doppler velocity of its rest
        value on the first line's axis: optical c (lambda_i / lambda_0 - 1),
        radio c (1 - f_i / f_0), or relativistic; by default optical for
        wavelengths and radio for frequencies. ``shared_velocity`` ties every
        centre to the first at that offset, ``shared_width`` every sigma to
        the first's; ``ratios`` (one per line) ties every amplitude to the
        first's at ratio ratios[i] / ratios[0]."""
        wavelength_ratio, is_frequency = _wavelength_ratios(rest, unit)
        if convention is None:
            convention = "radio" if is_frequency else "optical"
        offsets = tuple(_doppler(r, convention) for r in wavelength_ratio)
        k = len(offsets)
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
        return cls(
            components=k,
            baseline=baseline,
            centre_ref=untied if shared_velocity else (-1,) * k,
            centre_offset=offsets,
            amplitude_ref=amplitude_ref,
            amplitude_ratio=amplitude_ratio,
            sigma_ref=untied if shared_width else (-1,) * k,
            names=tuple(names) if names is not None else (),
        )

    @classmethod
    def hyperfine(
        cls, name_or_table: str | HyperfineTransition, baseline: int | None = None
    ) -> LineModel:
        """The hyperfine components of a transition (a name of `HYPERFINE`, or
        a `HyperfineTransition`) with one velocity, one width and the
        thin-limit strengths as amplitude ratios to the main component."""
        if isinstance(name_or_table, str):
            if name_or_table not in HYPERFINE:
                known = ", ".join(sorted(HYPERFINE))
                raise ValueError(f"unknown hyperfine transition {name_or_table!r}; known: {known}")
            table = HYPERFINE[name_or_table]
        else:
            table = name_or_table
        return cls.lines(
            np.asarray(table.frequencies_mhz),
            ratios=table.strengths,
            unit="MHz",
            convention="radio",
            baseline=baseline,
            names=table.labels,
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
    ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.float32]]:
        """Starting values and bounds (N, P) for rows whose first line lies
        near ``centre`` (one value per row) with amplitude near ``amplitude``
        (in the units of spectra / scale): each component starts at that
        centre plus its offset and within ``centre_range`` of it, at that
        amplitude times its ratio with bounds ``amplitude_range`` times the
        amplitude, at sigma ``width_guess`` within ``width_range``; the
        baseline starts at 0, unbounded."""
        centre_row = np.atleast_1d(np.asarray(centre, dtype=np.float64))
        rows = centre_row.shape[0]
        amp = np.broadcast_to(np.asarray(amplitude, dtype=np.float64), (rows,))
        p = self.parameter_count
        initial = np.zeros((rows, p))
        lower = np.full((rows, p), -np.inf)
        upper = np.full((rows, p), np.inf)
        for k in range(self.components):
            a, c, s = 3 * k, 3 * k + 1, 3 * k + 2
            at = centre_row + self.centre_offset[k]
            initial[:, a] = amp * self.amplitude_ratio[k]
            lower[:, a] = amp * amplitude_range[0]
            upper[:, a] = amp * amplitude_range[1]
            initial[:, c] = at
            lower[:, c] = at - centre_range
            upper[:, c] = at + centre_range
            initial[:, s] = width_guess
            lower[:, s], upper[:, s] = width_range
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
) -> LineModel:
    """The model of one kind, made from values already read (the line-model
    options of the command line): ``components`` free Gaussians
    (``"gaussian"``); a multiplet of the ``rest`` values (a Quantity), each
    line named by its rest value, its amplitudes tied as
    `LineModel.with_amplitude_ratios` ties them (``"lines"``); or the
    hyperfine group ``hyperfine`` (``"hyperfine"``); each with a baseline of
    order ``baseline`` (None: none)."""
    if kind == "gaussian":
        return LineModel.free(components, baseline)
    if kind == "lines":
        names = [f"{value:g}" for value in np.atleast_1d(getattr(rest, "value", rest))]
        model = LineModel.lines(
            rest,
            convention=convention,
            shared_velocity=shared_velocity,
            shared_width=shared_width,
            baseline=baseline,
            names=names,
        )
        return model if amplitude_ratios is None else model.with_amplitude_ratios(amplitude_ratios)
    if kind == "hyperfine":
        if hyperfine is None:
            raise ValueError("a hyperfine model needs hyperfine=NAME, one of HYPERFINE")
        return LineModel.hyperfine(hyperfine, baseline)
    raise ValueError(f"kind must be 'gaussian', 'lines' or 'hyperfine', not {kind!r}")


def _doppler(wavelength_ratio: float, convention: Convention) -> float:
    r = wavelength_ratio
    if convention == "optical":
        return C_KM_S * (r - 1.0)
    if convention == "radio":
        return C_KM_S * (1.0 - 1.0 / r)
    if convention == "relativistic":
        return C_KM_S * (r * r - 1.0) / (r * r + 1.0)
    raise ValueError(f"convention must be 'optical', 'radio' or 'relativistic', not {convention!r}")


def _wavelength_ratios(rest: Any, unit: str | None) -> tuple[list[float], bool]:
    """lambda_i / lambda_0 of each rest value, and whether they were frequencies."""
    import astropy.units as u

    given: Any = u.Quantity(rest, unit) if unit is not None else rest
    if not isinstance(given, u.Quantity):
        raise ValueError(
            "rest values need a unit: give a Quantity, or numbers with unit='Angstrom'"
        )
    quantity: Any = np.atleast_1d(given)
    if quantity.unit.physical_type == "frequency":
        f = quantity.to_value(u.Hz)
        return [float(f[0] / fi) for fi in f], True
    if quantity.unit.physical_type == "length":
        lam = quantity.to_value(u.m)
        return [float(li / lam[0]) for li in lam], False
    raise ValueError(f"rest values must be wavelengths or frequencies, not {quantity.unit}")


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

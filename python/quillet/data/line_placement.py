"""A line model placed on a cube's velocity axis by its lines' rest values.

A cube's velocities are measured from its rest value (`SpectralFrame`), and
the peak search that starts a model fit looks for that line near 0 km/s.
`place_model` puts every line of a model where its rest value puts it on
that axis, whatever order the lines were given in:

- each line's velocity is the Doppler velocity of its rest value against
  the cube's, in the cube's convention, a wavelength read in air or vacuum
  as the cube's axis is and a frequency turned into a wavelength by
  lambda = c / nu (so a line given in Hz lands right on a wavelength axis);
- the components are put in one order, the lines by their velocity there
  (blue to red), then the components that are no particular line, as
  given; each tie group is tied to its first member in that order, so that
  the fit sees one problem, and gives the same bits, for any order given;
- the reference, the line the peak search finds, is the line nearest the
  cube's rest value; it must lie within ``reach`` (km/s) of it, for the
  search looks there: a cube whose rest value is none of the model's lines
  (H-alpha for a model of [N II] alone, HDO for HCN) is refused;
- a line farther from the reference than the whole axis spans can never be
  on the axis with it, and is refused, named with the axis's range.

Spectra that come with no rest value (plain arrays, or an axis of
velocities with none in its header) have no such frame: their 0 km/s is
taken to be the model's principal line, the one its tied amplitudes make
the brightest (a hyperfine group's main component); where nothing makes one
line the brightest, nothing says which line sits at 0 km/s, and the model
is refused with the ways to say it.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from ..basics.errors import InputError
from .cube import SpectralFrame
from .line_list import vacuum_to_air
from .line_models import (
    LineModel,
    default_convention,
    default_line_name,
    doppler,
    inverse_doppler,
    member_wavelengths,
)

__all__ = ["frame_of_rest_value", "place_model"]


def place_model(
    model: LineModel, frame: SpectralFrame | None, axis: ArrayLike, *, reach: float | None
) -> LineModel:
    """``model`` with its lines placed on a velocity ``axis`` (km/s)
    measured in ``frame`` (None, or a frame with no rest value, for spectra
    whose rest value is not known), in the order the module's text states;
    a model with no lines as it is. Raises `InputError` for a model the
    axis cannot hold."""
    lines = model.line_components
    if not lines:
        return model
    values = np.asarray(axis, dtype=np.float64)
    if frame is None or frame.rest is None:
        origin = _principal(model)
        wavelengths = member_wavelengths(model, in_air=False, air_lines=False)
        rest_m = wavelengths[origin]
        convention: str = model.convention or default_convention(model.rest_unit[origin])
        reach = None
    else:
        import astropy.units as u

        wavelengths = member_wavelengths(model, in_air=frame.rest_in_air, air_lines=frame.air_axis)
        rest_m = float(frame.rest.to_value(u.m, equivalencies=u.spectral()))
        convention = frame.convention
    velocities = [doppler(w / rest_m, convention) if math.isfinite(w) else 0.0
                  for w in wavelengths]  # fmt: skip
    model, velocities, reference = _in_order(model, velocities)
    if reach is not None and abs(velocities[reference]) > reach:
        assert frame is not None and frame.rest is not None
        raise InputError(
            f"no line of the model lies within {reach:g} km/s of the cube's rest value "
            f"({_shown(frame)}); the nearest, {_named(model, reference)}, is at "
            f"{velocities[reference]:.6g} km/s. The peak search looks for the cube's own "
            "line near 0 km/s, which the model does not hold: read the cube at one of the "
            "model's lines (rest_wavelength=), or add the cube's line to the model"
        )
    span = float(np.ptp(values))
    for k in lines:
        apart = velocities[k] - velocities[reference]
        if abs(apart) > span:
            air = frame is not None and frame.air_axis and _is_length(model, k)
            to_air = air and frame is not None and not frame.rest_in_air
            low, high = _axis_range(model, k, values, rest_m, convention, to_air)
            medium = " (in air)" if air else ""
            raise InputError(
                f"the line {_named(model, k)} lies {apart:.6g} km/s from "
                f"{_named(model, reference)}, beyond the axis, which runs from {low:.7g} to "
                f"{high:.7g} {model.rest_unit[k]}{medium} at rest ({values.min():.6g} to "
                f"{values.max():.6g} km/s): it can never be on the axis with "
                f"{model.names[reference]}; leave it out, or fit a cube that covers it"
            )
    return model.on_axis(velocities, reference)


def frame_of_rest_value(rest: Any, convention: str | None) -> SpectralFrame:
    """The frame of spectra whose velocities are measured from ``rest`` (an
    astropy Quantity, or a string such as "6562.8 Angstrom"), in
    ``convention`` (None: optical for a wavelength, radio for a frequency);
    a wavelength is compared with the lines' as they are given."""
    import astropy.units as u

    try:
        quantity = u.Quantity(rest)
    except (TypeError, ValueError):
        raise InputError(
            f"rest_value= takes a wavelength or frequency with its unit, such as "
            f"'6562.8 Angstrom', not {rest!r}"
        ) from None
    if not quantity.isscalar or quantity.unit.physical_type not in ("length", "frequency"):
        raise InputError(f"rest_value= must be one wavelength or frequency, not {rest!r}")
    if not (math.isfinite(float(quantity.value)) and quantity.value > 0):
        raise InputError(f"rest_value= must be positive and finite, not {rest!r}")
    return SpectralFrame(quantity, convention or default_convention(quantity.unit.to_string()))


def _named(model: LineModel, k: int) -> str:
    """A line's name, with its rest value where the name does not hold it."""
    name = model.names[k]
    value, unit = model.rest[k], model.rest_unit[k]
    assert value is not None
    if name in (model.rest_text(k), default_line_name(value, unit)):
        return name
    return f"{name} ({model.rest_text(k)})"


def _is_length(model: LineModel, k: int) -> bool:
    quantity = model.rest_quantity(k)
    return quantity is not None and quantity.unit.physical_type == "length"


def _shown(frame: SpectralFrame) -> str:
    """A cube's rest value in Angstrom or MHz, with its medium."""
    import astropy.units as u

    assert frame.rest is not None
    if frame.rest.unit.physical_type == "length":
        medium = "in air" if frame.rest_in_air else "in vacuum"
        return f"{frame.rest.to_value(u.AA):.7g} Angstrom {medium}"
    return f"{frame.rest.to_value(u.MHz, equivalencies=u.spectral()):.10g} MHz"


def _axis_range(
    model: LineModel, k: int, axis: np.ndarray, rest_m: float, convention: str, to_air: bool
) -> tuple[float, float]:
    """The axis's ends as rest values in component k's unit, vacuum
    wavelengths turned into air ones when ``to_air``."""
    import astropy.units as u

    ends = [rest_m * inverse_doppler(float(v), convention) for v in (axis.min(), axis.max())]
    if to_air:
        ends = [vacuum_to_air(e) for e in ends]
    values = (np.array(ends) * u.m).to_value(model.rest_unit[k], equivalencies=u.spectral())
    return float(values.min()), float(values.max())


def _principal(model: LineModel) -> int:
    """The line at 0 km/s of spectra with no rest value: the one line, or
    the one the tied amplitudes make the brightest."""
    lines = model.line_components
    wavelengths = member_wavelengths(model, in_air=False, air_lines=False)
    if len({wavelengths[k] for k in lines}) == 1:
        return lines[0]
    roots = {model.amplitude_ref[k] if model.amplitude_ref[k] >= 0 else k for k in lines}
    if len(roots) == 1:
        ratio = {k: abs(model.amplitude_ratio[k]) if model.amplitude_ref[k] >= 0 else 1.0
                 for k in lines}  # fmt: skip
        brightest = max(ratio.values())
        top = [k for k in lines if ratio[k] == brightest]
        if len(top) == 1:
            return top[0]
    listed = ", ".join(_named(model, k) for k in lines)
    raise InputError(
        f"the spectra come with no rest value, so nothing says which of the lines "
        f"({listed}) sits at 0 km/s of their axis: read them with quillet.read_cube and a "
        "rest value (rest_wavelength=), pass rest_value= (the rest value of 0 km/s), or "
        "tie the lines' amplitudes so that one is the brightest"
    )


def _in_order(model: LineModel, velocities: list[float]) -> tuple[LineModel, list[float], int]:
    """The model's components in the order the module's text states (lines
    by velocity, then the others as given), the velocities in that order
    too, and the reference: the line nearest 0 km/s, the first in that
    order of the nearest. Each tie group is tied to the reference when it
    holds it (the line the peak search finds carries the group's
    parameters), else to its first member in that order."""
    k = model.components

    def key(i: int) -> tuple[Any, ...]:
        if model.rest[i] is None:
            return (1, i)
        bounds = (model.amplitude_bounds[i], model.velocity_bounds[i], model.sigma_bounds[i])
        return (0, velocities[i], model.names[i], bounds, i)

    order = sorted(range(k), key=key)
    position = {old: new for new, old in enumerate(order)}
    lines = [position[old] for old in model.line_components]
    reference = min(sorted(lines), key=lambda new: abs(velocities[order[new]]))

    def moved(values: tuple[Any, ...]) -> tuple[Any, ...]:
        return tuple(values[old] for old in order)

    def refs(values: tuple[int, ...]) -> list[int]:
        return [position[values[old]] if values[old] >= 0 else -1 for old in order]

    starts = model.start_offsets()
    fixed = [list(model.fixed[3 * old : 3 * old + 3]) for old in order]
    centre_ref, amplitude_ref, sigma_ref = (
        refs(model.centre_ref),
        refs(model.amplitude_ref),
        refs(model.sigma_ref),
    )
    offsets = list(moved(model.centre_offset))
    ratios = list(moved(model.amplitude_ratio))
    for attribute, ref in enumerate((amplitude_ref, centre_ref, sigma_ref)):
        for root in range(k):
            group = [root] + [i for i in range(k) if ref[i] == root]
            if ref[root] >= 0 or len(group) == 1:
                continue
            if attribute == 0:
                group = [i for i in group if i == root or ratios[i] != 0.0]
            first = reference if reference in group else min(group)
            if first == root:
                continue
            for i in group:
                ref[i] = first if i != first else -1
            fixed[root][attribute], fixed[first][attribute] = (
                fixed[first][attribute],
                fixed[root][attribute],
            )
            if attribute == 0:
                by = ratios[first]
                for i in group:
                    ratios[i] = 1.0 if i == first else (1.0 if i == root else ratios[i]) / by
            elif attribute == 1:
                shift = offsets[first]
                for i in group:
                    offsets[i] = (0.0 if i == root else offsets[i]) - shift
                offsets[first] = float(starts[order[first]])
    ordered = dataclasses.replace(
        model,
        fixed=tuple(f for triple in fixed for f in triple) + model.fixed[3 * k :],
        centre_ref=tuple(centre_ref),
        centre_offset=tuple(offsets),
        amplitude_ref=tuple(amplitude_ref),
        amplitude_ratio=tuple(ratios),
        sigma_ref=tuple(sigma_ref),
        names=moved(model.names),
        rest=moved(model.rest),
        rest_unit=moved(model.rest_unit),
        line_velocity=moved(model.line_velocity),
        reference=reference,
        amplitude_bounds=moved(model.amplitude_bounds),
        velocity_bounds=moved(model.velocity_bounds),
        sigma_bounds=moved(model.sigma_bounds),
    )
    return ordered, [velocities[old] for old in order], reference

"""`fit_cube`: one call from an N-d array of spectra to maps of line parameters.

Its inputs are checked and gathered by `quillet.data.fit_inputs`; a block
fitter is chosen (the Gaussian's, `quillet.work.gaussian_fit`, or a line
model's, `quillet.work.model_fit`), and the cube is fitted a block of rows
at a time by the block driver (`quillet.work.blocks`) in this process, or as
one Dask task per block (`quillet.work.dask`) when any input is a Dask
array. The records are returned as the maps of the fitter's kind (a
`LineFit`, a `ModelFit`). Extra memory is a few blocks, whatever the cube's
size; a float32 cube whose spectra are contiguous is not copied at all.
"""

from __future__ import annotations

import dataclasses
from typing import Any, overload

from ..basics.errors import InputError
from ..basics.rows import default_chunk_rows
from ..basics.settings import LineSettings
from ..data.cube import Cube
from ..data.fit_inputs import GUIDE_AUTO, GUIDE_REACH, TrustOptions, cube_inputs
from ..data.line_models import LineModel
from ..data.line_placement import frame_of_rest_value, place_model
from ..data.model_results import ModelFit
from ..data.quality import DEFAULT_SNR_MIN, DEFAULT_WINDOW_SIGMAS
from ..data.results import LineFit
from ..work.blocks import fit_records
from ..work.dask import fit_lazily
from ..work.gaussian_fit import GaussianFitter
from ..work.model_fit import (
    DEFAULT_MAX_COMPONENTS,
    DEFAULT_MODEL_WINDOW_SIGMAS,
    ModelFitter,
    ModelSpec,
)

__all__ = ["fit_cube", "placed_model"]


@overload
def fit_cube(
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
    velocity_window: tuple[float, float] | None = None,
    adapt_window: bool = True,
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS,
    snr_min: float = DEFAULT_SNR_MIN,
    refit_neighbours: bool | None = None,
    valid_min: float | None = None,
    valid_max: float | None = None,
    chunk_rows: int | None = None,
    progress: bool | None = None,
    model: None = None,
    components: None = None,
    model_window_sigmas: float = DEFAULT_MODEL_WINDOW_SIGMAS,
    max_components: int | None = None,
    component_order: str = "velocity",
    rest_value: Any = None,
    **overrides: Any,
) -> LineFit: ...


@overload
def fit_cube(
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
    velocity_window: tuple[float, float] | None = None,
    adapt_window: bool = True,
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS,
    snr_min: float = DEFAULT_SNR_MIN,
    refit_neighbours: bool | None = None,
    valid_min: float | None = None,
    valid_max: float | None = None,
    chunk_rows: int | None = None,
    progress: bool | None = None,
    model: LineModel | None = None,
    components: int | str,
    model_window_sigmas: float = DEFAULT_MODEL_WINDOW_SIGMAS,
    max_components: int | None = None,
    component_order: str = "velocity",
    rest_value: Any = None,
    **overrides: Any,
) -> ModelFit: ...


@overload
def fit_cube(
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
    velocity_window: tuple[float, float] | None = None,
    adapt_window: bool = True,
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS,
    snr_min: float = DEFAULT_SNR_MIN,
    refit_neighbours: bool | None = None,
    valid_min: float | None = None,
    valid_max: float | None = None,
    chunk_rows: int | None = None,
    progress: bool | None = None,
    model: LineModel,
    components: None = None,
    model_window_sigmas: float = DEFAULT_MODEL_WINDOW_SIGMAS,
    max_components: int | None = None,
    component_order: str = "velocity",
    rest_value: Any = None,
    **overrides: Any,
) -> LineFit | ModelFit: ...


def fit_cube(
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
    velocity_window: tuple[float, float] | None = None,
    adapt_window: bool = True,
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS,
    snr_min: float = DEFAULT_SNR_MIN,
    refit_neighbours: bool | None = None,
    valid_min: float | None = None,
    valid_max: float | None = None,
    chunk_rows: int | None = None,
    progress: bool | None = None,
    model: LineModel | None = None,
    components: int | str | None = None,
    model_window_sigmas: float = DEFAULT_MODEL_WINDOW_SIGMAS,
    max_components: int | None = None,
    component_order: str = "velocity",
    rest_value: Any = None,
    **overrides: Any,
) -> LineFit | ModelFit:
    """Fit a Gaussian line to every spectrum of an array; return its maps.

    Parameters
    ----------
    data
        Spectra: an array of any number of dimensions (1 for one spectrum, 2
        for a slit, 3 for a raster or cube...), any float or integer dtype,
        any memory order; a NumPy memmap, an astropy Quantity, a masked
        array, or any array-like with ``shape``, ``dtype`` and basic slicing
        (h5py, zarr). A `quillet.Cube` brings its own velocity axis, noise,
        unit and WCS. NaN marks a missing pixel.
    velocity
        Velocity of each channel of the spectral axis, in km/s (or an astropy
        Quantity in any velocity unit): 1-D, finite, strictly monotonic.
    noise
        One-sigma noise: an array broadcastable to the data's shape, a map of
        the spatial shape (one value for each spectrum, constant along it, as
        a guide map is), one value for every pixel, or None to estimate each
        spectrum's noise from the spectrum itself (`quillet.estimate_noise`,
        constant along the spectrum).
    guide
        Velocity (km/s) near which each line is sought: ``"auto"`` (the
        default) to find each spectrum's from the spectrum itself, after
        its mask and valid range (`quillet.data.guides.find_guides`: the peak
        of the spectrum smoothed over ``line_sigma``, the settings'
        ``width_guess``), one value, or an array of the spatial shape. A
        guide given farther than the search radius from every channel is
        refused before any work.
    velocity_offset
        Correction (km/s) of the shared axis for each spectrum (orbital drift,
        slit tilt): the true axis of spectrum i is ``velocity + offset[i]``.
        The fit runs on the shared axis with the guide ``guide[i] - offset[i]``
        and ``offset[i]`` is added to its centre. This is the fit of the
        spectrum on its true axis in every respect but one: the window and the
        centre bounds are set in channels round the brightest pixel, which is
        the same pixel on either axis, so nothing but the reported centre
        moves; refitting on a shifted axis would give the same window too,
        but would round every channel velocity again.
    continuum
        What to subtract from each spectrum before its fit (the model has no
        continuum term): None, one value, an array of the spatial shape, or
        ``"edges"``: the median of each spectrum's channels farther from its
        guide than the search radius (``velocity_range + npix_slack * dv``).
        A spectrum with no such channel gets a NaN continuum and the flag 1.
    mask
        True where a pixel is bad; broadcastable to the data's shape. Masked
        pixels are treated as missing (NaN), as are the masked pixels of a
        masked array.
    spectral_axis
        The axis of ``data`` that runs along each spectrum.
    settings
        The fit's settings; by default `LineSettings.for_axis` derives them
        from the velocity axis (pass ``line_sigma=`` among the overrides to
        set the expected line width).
    velocity_window
        ``(lo, hi)`` km/s: with ``guide="auto"``, lines are sought only
        within it (a second line, or a sky residual, outside it is left
        alone).
    adapt_window
        Fit again, on a window of ``window_sigmas`` fitted sigmas each side
        (up to three rounds, or the axis's ends), every line whose
        ``window_sigmas`` sigmas reach beyond its window; False keeps the
        windows of ``npix`` channels (`quillet.work.windows`).
    window_sigmas
        Half-width of a window that follows the line, in fitted sigmas
        (3: 99.7 % of a Gaussian's flux).
    snr_min
        A fit whose amplitude over its error is below this gets the
        LOW_SNR quality bit (default 4; see `quillet.data.quality`).
    refit_neighbours
        After the first pass, fit again, from the median centre and width
        of their good neighbours, the spectra whose fit is not good or
        whose centre strays from theirs (`quillet.work.neighbours`); a refit is
        kept when it is good (and, for a good first fit, of lower reduced
        chi-square), with the REFITTED bit. None (the default): on for the
        Gaussian fit; a model's fit has no neighbour refits, and True with a
        model is refused.
    valid_min, valid_max
        Pixels below ``valid_min`` or above ``valid_max`` (in the data's
        unit) are missing, as masked pixels are: a marker of bad pixels
        such as -200, or saturation.
    chunk_rows
        Spectra per block; by default about 16 MB of float32 data.
    progress
        Show a progress bar on standard error; by default when standard error
        is a terminal.
    model
        A `quillet.data.line_models.LineModel` (several components, a baseline,
        ties, bounds): the fit returns a `quillet.data.model_results.ModelFit`
        instead (see `quillet.work.model_fit`). Its lines are first placed by
        their rest values on the data's axis (`placed_model`), in any order
        given, and each component's velocity map is its own line's. None, or
        the plain Gaussian with no baseline, is the Gaussian fit of a
        `LineFit`, bit for bit as without it.
    components
        With a model of free Gaussians (or none: ``LineModel.free``): fit
        this many, or "auto" to choose per spectrum 0 (the baseline alone)
        to the model's count (or ``max_components``) by the BIC
        (`quillet.work.model_rules.chosen_count`).
    model_window_sigmas
        A model's window reaches this many sigmas of the reference line
        beyond its outermost members, and a window grown to cover every
        component reaches this many of each one's sigmas beyond it (at
        least ``window_sigmas``). With ``adapt_window``, a window that a
        component's ``window_sigmas`` sigmas reach beyond grows so and the
        spectrum is fitted again; ``snr_min`` and ``window_sigmas`` judge
        each component (`quillet.data.model_quality`).
    max_components
        The ceiling of ``components="auto"`` (default 3, or the model's own
        count): the model is that many free Gaussians, with the baseline
        and bounds of the one given.
    component_order
        How components that nothing tells apart (free Gaussians with the
        same bounds) are ordered in the maps: "velocity" (blue first) or
        "width" (narrowest first, for narrow + broad), dropped ones last.
    rest_value
        With plain arrays and a model of lines: the rest value (an astropy
        Quantity, or a string such as "6562.8 Angstrom") that the velocity
        axis is measured from, which places the lines (see `placed_model`);
        a `Cube` knows its own.
    overrides
        Settings to change, by name (``npix=5``), and ``line_sigma``.

    Returns
    -------
    LineFit
        Maps of the spatial shape, with each fit's quality bits and the
        guide it used. With a guide given (one value or a map),
        ``adapt_window=False`` and ``refit_neighbours=False``, and with no
        continuum and no offset, every value of the seven maps, the flag
        and the window is bit for bit what one
        `_quillet.fit_spectra_batch_guided` call returns for the float32
        rows of the data, whatever the dtype, memory order, spectral axis
        and block size. Every result is independent of the block size, the
        thread count and the scheduler, refits included.

    Ctrl-C stops the fit within one block with KeyboardInterrupt; nothing is
    returned and nothing is left half-done.

    When ``data`` (or ``noise``, ``guide``, ``velocity_offset``,
    ``continuum`` or ``mask``) is a Dask array, nothing is fitted yet: the
    maps come back lazy, one task per block of the cube, with the same bits
    once computed (`LineFit.compute`, `LineFit.persist`, which take the
    progress bar); every check of the input is made here, before any graph
    is run.
    """
    inputs, description = cube_inputs(
        data,
        velocity,
        noise=noise,
        guide=guide,
        velocity_offset=velocity_offset,
        continuum=continuum,
        mask=mask,
        spectral_axis=spectral_axis,
        settings=settings,
        overrides=overrides,
        trust=TrustOptions(
            velocity_window=velocity_window,
            adapt_window=adapt_window,
            window_sigmas=window_sigmas,
            snr_min=snr_min,
            refit_neighbours=refit_neighbours is not False,
            valid_min=valid_min,
            valid_max=valid_max,
        ),
    )
    if rest_value is not None and model is None:
        raise InputError("rest_value= places a model's lines; give it with model=")
    if chunk_rows is None:
        chunk_rows = default_chunk_rows(inputs.channels)
    described = description.as_kwargs()
    with_continuum = inputs.continuum_mode != "none"
    maps: type[LineFit] | type[ModelFit]
    count = _components(components)
    model = _counted_model(model, count, max_components)
    if model is None or (model == LineModel.gaussian() and count is None):
        fitter: GaussianFitter | ModelFitter = GaussianFitter.of(inputs)
        maps = LineFit
    else:
        if refit_neighbours:
            raise InputError(
                "refit_neighbours=True: neighbour refits are the Gaussian fit's; a model's fit "
                "judges each spectrum on its own (quality bits per component) and has none: "
                "leave refit_neighbours unset"
            )
        inputs = dataclasses.replace(
            inputs, trust=dataclasses.replace(inputs.trust, refit_neighbours=False)
        )
        described["provenance"] = {**described["provenance"], "refit_neighbours": "no (model)"}
        placed = placed_model(data, model, description.velocity, rest_value)
        settings = inputs.settings
        placed.check_bounds((settings.width_min, settings.width_max), description.velocity)
        try:
            spec = ModelSpec(placed, count, model_window_sigmas, component_order)  # type: ignore[arg-type]
        except ValueError as error:
            raise InputError(str(error)) from None
        fitter = ModelFitter.of(inputs, spec)
        maps = ModelFit
        described["model"] = spec.model
        described["model_settings"] = {
            "components": str(spec.components or spec.model.components),
            "window_sigmas": f"{spec.window_sigmas:g}",
            "order": spec.order,
        }
    if inputs.lazy:
        records: Any = fit_lazily(inputs, fitter)
    else:
        records = fit_records(inputs, fitter, chunk_rows, progress)
    return maps.from_records(records, with_continuum, **described)


def placed_model(data: Any, model: LineModel, velocity: Any, rest_value: Any = None) -> LineModel:
    """``model`` with its lines placed on the velocity axis (km/s) of
    ``data`` (`quillet.data.line_placement.place_model`): by the rest value
    of a `Cube`, or ``rest_value`` for plain arrays, or else on the
    model's principal line. The peak search must find the reference line:
    it lies within `GUIDE_REACH` of the rest value, where guides are
    sought. The model of the maps `fit_cube` returns; placing it again
    changes nothing."""
    frame = None
    if isinstance(data, Cube):
        if rest_value is not None:
            raise InputError(
                "a Cube knows the rest value its velocities are measured from; read it with "
                "rest_wavelength= rather than giving rest_value="
            )
        frame = data.frame
    elif rest_value is not None:
        frame = frame_of_rest_value(rest_value, model.convention)
    return place_model(model, frame, velocity, reach=GUIDE_REACH)


def _counted_model(
    model: LineModel | None, count: Any, max_components: int | None
) -> LineModel | None:
    """The model a count of free Gaussians is taken from: with no model,
    ``max_components`` (default `DEFAULT_MAX_COMPONENTS`) free Gaussians
    for "auto", N for a count N; a model of one free Gaussian repeated to
    ``max_components`` (or to a count N), with its baseline and bounds; any
    other model as it is (`ModelSpec` checks the count against it)."""
    if max_components is not None:
        if (
            isinstance(max_components, bool)
            or not isinstance(max_components, int)
            or not 2 <= max_components <= 8
        ):
            raise InputError(
                f"max_components= takes a whole number from 2 to 8, not {max_components!r}"
            )
        if count != "auto":
            raise InputError("max_components= is the ceiling of components='auto'; give both")
    if count is None:
        return model
    if model is None:
        top = max_components or (DEFAULT_MAX_COMPONENTS if count == "auto" else count)
        return LineModel.free(top) if isinstance(top, int) and 1 <= top <= 8 else model
    top = max_components if count == "auto" else count
    single_free = model.components == 1 and ModelSpec(model).is_free
    if single_free and isinstance(top, int) and 2 <= top <= 8:
        return LineModel.free(
            top,
            model.baseline,
            amplitude=model.amplitude_bounds[0],
            velocity=model.velocity_bounds[0],
            sigma=model.sigma_bounds[0],
        )
    if max_components is not None and max_components != model.components:
        raise InputError(
            f"max_components={max_components} sets the count of free Gaussians of "
            "components='auto'; the model given has its own "
            f"({model.components}): give one of them"
        )
    return model


def _components(components: int | str | None) -> Any:
    if components is None or components == "auto":
        return components
    if isinstance(components, str) and components.isdigit():
        return int(components)
    return components

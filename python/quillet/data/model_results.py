"""Maps of a line model's fit: `ModelFit`, what ``fit_cube(model=...)`` returns.

A `LineFit` holds one Gaussian per spectrum; a model fit holds K components
per spectrum, a baseline, a chosen count of components and what an
information criterion needs. It is a kind of maps as `LineFit` is
(`quillet.data.maps.Maps`): component maps have the shape (K, *spatial),
baseline maps (B, *spatial), and its files, stores and datasets carry the
component axis first (a third FITS axis after the two sky axes); its header
cards record the model, so that a file read back fits as it was fitted.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np

from ..basics.arrays import is_dask_array
from ..basics.errors import InputError
from ..basics.settings import LineSettings
from ..basics.units import VELOCITY_UNIT
from .line_models import LineModel
from .maps import (
    DATA_UNIT,
    MapImage,
    Maps,
    settings_cards,
    settings_from_cards,
)
from .quality import GOOD_MASK, Quality, bit_counts, fits_cards

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["MODEL_FLAG_MEANINGS", "MODEL_IMAGES", "ModelFit", "read_model_maps"]

#: A model fit's flags: the first pass's "no peak near the guide" (1), and
#: fit_lines_batch's own (0, 2, 3).
MODEL_FLAG_MEANINGS: dict[int, str] = {
    0: "success",
    1: "no_local_maximum",
    2: "no_convergence",
    3: "too_few_samples",
}

_F32, _I8, _I32 = np.dtype(np.float32), np.dtype(np.int8), np.dtype(np.int32)
_U16 = np.dtype(np.uint16)
_QUALITY_CARDS = tuple(card for card in fits_cards() if card[0] != "EXTNAME")

#: The images of a model maps file, in order: per component, the baseline's
#: (for a model with one), one value per spectrum, the window's ends and the
#: continuum (when one was subtracted).
MODEL_IMAGES: tuple[MapImage, ...] = (
    MapImage("amplitude", "AMPLITUDE", _F32, DATA_UNIT, "fitted amplitude of each component",
             "component", required=True),
    MapImage("centre", "CENTRE", _F32, VELOCITY_UNIT,
             "velocity of each component, its own line's Doppler velocity (lines tied in "
             "velocity share one map)", "component", required=True),
    MapImage("sigma", "SIGMA", _F32, VELOCITY_UNIT, "fitted sigma of each component",
             "component", required=True),
    MapImage("amplitude_error", "AMPLITUDE_ERR", _F32, DATA_UNIT,
             "one-sigma error of the amplitude", "component", required=True),
    MapImage("centre_error", "CENTRE_ERR", _F32, VELOCITY_UNIT, "one-sigma error of the centre",
             "component", required=True),
    MapImage("sigma_error", "SIGMA_ERR", _F32, VELOCITY_UNIT, "one-sigma error of the sigma",
             "component", required=True),
    MapImage("baseline", "BASELINE", _F32, DATA_UNIT, "baseline coefficients c0, c1, c2 "
             "(per (km/s)^j) of c0 + c1 t + c2 t^2, t from the window's middle",
             "baseline_term"),
    MapImage("baseline_error", "BASELINE_ERR", _F32, DATA_UNIT,
             "one-sigma errors of the baseline coefficients", "baseline_term"),
    MapImage("ncomponents", "NCOMPONENTS", _I8, "", "components kept", required=True),
    MapImage("chi2", "CHI2", _F32, "", "chi-square of the fit", required=True),
    MapImage("reduced_chi2", "REDUCED_CHI2", _F32, "", "reduced chi-square of the fit",
             required=True),
    MapImage("samples", "SAMPLES", _I32, "", "samples fitted", required=True),
    MapImage("free_parameters", "FREE_PARAMS", _I8, "", "free parameters of the fit",
             required=True),
    MapImage("flag", "FLAG", _I8, "", "0 success, 1 no local maximum, 2 no convergence, "
             "3 too few samples", required=True),
    MapImage("window_left", "WINDOW_LEFT", _I32, "", "first channel fitted", required=True),
    MapImage("window_right", "WINDOW_RIGHT", _I32, "", "channel after the last fitted",
             required=True),
    MapImage("continuum", "CONTINUUM", _F32, DATA_UNIT, "continuum subtracted before the fit"),
    MapImage("quality", "QUALITY", _U16, "", "quality bits of the spectrum's fit: its "
             "components' and its own", cards=_QUALITY_CARDS),
    MapImage("component_quality", "COMPONENT_QUALITY", _U16, "",
             "quality bits of each component", "component", cards=_QUALITY_CARDS),
)  # fmt: skip


@dataclasses.dataclass(frozen=True, eq=False)
class ModelFit(Maps):
    """Fitted line-model parameters: component maps (K, *spatial), baseline
    maps (B, *spatial; None without a baseline), one value per spectrum for
    the rest; NaN wherever a component was not kept or the fit failed.
    ``model_settings`` records how the model was fitted (the components
    asked for, the window's reach); ``unit``, ``wcs``, ``provenance``,
    ``observation`` and ``records`` are every maps' (`quillet.data.maps.Maps`)."""

    KIND: ClassVar[str] = "model"
    ORIGIN: ClassVar[str] = "maps of line-model fits"
    TITLE: ClassVar[str] = "line model fit"
    IMAGES: ClassVar[tuple[MapImage, ...]] = MODEL_IMAGES
    FLAG_MEANINGS: ClassVar[Mapping[int, str] | None] = MODEL_FLAG_MEANINGS

    amplitude: Any
    centre: Any
    sigma: Any
    amplitude_error: Any
    centre_error: Any
    sigma_error: Any
    baseline: Any
    baseline_error: Any
    ncomponents: Any
    chi2: Any
    reduced_chi2: Any
    samples: Any
    free_parameters: Any
    flag: Any
    window: Any
    model: LineModel
    settings: LineSettings
    velocity: np.ndarray
    continuum: Any = None
    model_settings: Mapping[str, str] = dataclasses.field(default_factory=dict)
    quality: Any = None
    component_quality: Any = None

    @classmethod
    def from_records(cls, records: Any, with_continuum: bool = True, **described: Any) -> ModelFit:
        """Maps of records (`quillet.work.model_fit.model_record_dtype`, or a
        mapping of its fields); lazy records stay lazy until `compute` or
        `persist`. ``with_continuum`` False leaves the continuum out;
        ``described`` gives the model, settings, velocity, unit, WCS and
        provenance."""
        lazy = is_dask_array(records)
        names = tuple(records) if isinstance(records, Mapping) else records.dtype.names or ()
        if lazy:
            import dask.array as xp
        else:
            xp = np

        def components(name: str) -> Any:
            if name not in names:
                return None
            moved = xp.moveaxis(records[name], -1, 0)
            return moved if lazy else np.ascontiguousarray(moved)

        def scalar(name: str) -> Any:
            if name not in names:
                return None
            return records[name] if lazy else np.asarray(records[name], order="C")

        maps: dict[str, Any] = {}
        for image in MODEL_IMAGES:
            if not image.field.startswith("window_"):
                maps[image.field] = (components if image.axis else scalar)(image.field)
        maps["window"] = xp.stack([records["window_left"], records["window_right"]], axis=-1)
        if not with_continuum:
            maps["continuum"] = None
        # Lazy maps keep their records: computing those fits each block once.
        return cls(**maps, records=records if lazy else None, **described)

    def description(self) -> dict[str, Any]:
        return {
            **super().description(),
            "with_continuum": self.continuum is not None,
            "model": self.model,
            "settings": self.settings,
            "velocity": self.velocity,
            "model_settings": self.model_settings,
        }

    def record_fields(self) -> dict[str, Any]:
        # Records hold a component axis last.
        fields: dict[str, Any] = {}
        for image in self.images():
            if image.field.startswith("window_"):
                continue
            values = np.asarray(getattr(self, image.field))
            fields[image.field] = np.moveaxis(values, 0, -1) if image.axis else values
        window = np.asarray(self.window)
        fields.update(window_left=window[..., 0], window_right=window[..., 1])
        return fields

    def axis_length(self, axis: str) -> int:
        if axis == "baseline_term":
            return self.model.baseline_terms
        return self.model.components

    def channel_velocity(self) -> np.ndarray:
        return self.velocity

    @property
    def success(self) -> Any:
        return self.flag == 0

    @property
    def good(self) -> Any:
        """True where a spectrum's fit is to be believed (lazy for lazy
        maps): it succeeded, kept at least one component, and no component
        it kept has a doubt (`quillet.data.model_quality`). Maps with no
        quality bits (written before they existed) count every success."""
        if self.quality is None:
            return self.success
        return self.success & ((self.quality & np.uint16(~GOOD_MASK & 0xFFFF)) == 0)

    @property
    def component_good(self) -> Any:
        """(K, *spatial): True where a component's maps are to be believed:
        the fit succeeded, the component was kept and nothing doubts it.
        Maps with no quality bits count every kept component of a success."""
        if self.component_quality is None:
            kept = np.arange(self.model.components).reshape((-1,) + (1,) * len(self.shape))
            return self.success & (kept < self.ncomponents)
        doubt = self.component_quality & np.uint16(~GOOD_MASK & 0xFFFF)
        return self.success & (doubt == 0)

    def quality_counts(self, component: int | None = None) -> dict[str, int]:
        """How many spectra (or, with ``component``, how many fits of that
        component) have each quality bit set, by the bit's name (computed
        for lazy maps); every count 0 for maps with no quality bits."""
        bits = self.quality if component is None else (
            None if self.component_quality is None else self.component_quality[component]
        )  # fmt: skip
        if bits is None:
            return dict.fromkeys((str(bit.name) for bit in Quality), 0)
        if self.lazy:
            import dask

            totals = dask.compute(*[((bits & np.uint16(bit)) != 0).sum() for bit in Quality])
            return {str(bit.name): int(n) for bit, n in zip(Quality, totals, strict=True)}
        return bit_counts(bits)

    @property
    def blank_count(self) -> int:
        """How many spectra have no finite pixel; 0 for maps with no quality bits."""
        return 0 if self.quality is None else self.quality_counts()["NO_DATA"]

    def component_counts(self) -> dict[int, int]:
        """How many spectra that were fitted kept each count of components
        (0: the baseline alone, with ``components="auto"``); failed fits are
        counted by their flags."""
        fit = self.compute()
        kept = np.asarray(fit.ncomponents)[np.asarray(fit.success)]
        return {k: int((kept == k).sum()) for k in range(self.model.components + 1)}

    def unit_of(self, unit: str) -> str:
        return self.unit_text(unit)

    def header_cards(self) -> list[tuple[str, Any]]:
        """Every setting, the model and how it was fitted as (key, value) cards."""
        cards = settings_cards(self.settings)
        cards += self.model.cards()
        cards += [(f"FIT {k}".upper(), v) for k, v in self.model_settings.items()]
        return cards

    @classmethod
    def described_by(cls, cards: dict[str, Any], source: str) -> dict[str, Any]:
        if "MODEL COMPONENTS" not in cards:
            raise InputError(
                f"{source} is not a model maps file written by quillet (no MODEL cards)"
            )
        model = LineModel.from_cards(cards.get)
        for key in [key for key in cards if key.startswith("MODEL ")]:
            del cards[key]
        fitted = {key: cards.pop(key) for key in [key for key in cards if key.startswith("FIT ")]}
        return {
            "settings": settings_from_cards(cards, source),
            "model": model,
            "model_settings": {key[4:].lower(): str(value) for key, value in fitted.items()},
        }

    def coordinates(self) -> dict[str, Any]:
        # Components by number, their names an attribute.
        return {"component": np.arange(self.model.components, dtype=np.int32)}

    def attributes(self) -> dict[str, Any]:
        attrs = super().attributes()
        attrs["component_names"] = "; ".join(self.model.names)  # hyperfine labels hold spaces
        return attrs

    def plot_maps(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        overwrite: bool = False,
        **options: Any,
    ) -> Figure:
        """Per-component maps; see `quillet.front.model_plots.plot_model_maps`."""
        return super().plot_maps(path, overwrite=overwrite, **options)


def read_model_maps(path: str | os.PathLike[str]) -> ModelFit:
    """Reads a file written by `ModelFit.write_fits` back, bit for bit (as
    `quillet.read_maps` does, refusing a file of other maps)."""
    return ModelFit.read_fits(path)

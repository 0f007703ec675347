"""Maps of a line model's fit: `ModelFit`, what ``fit_cube(model=...)`` returns.

A `LineFit` holds one Gaussian per spectrum; a model fit holds K components
per spectrum, a baseline, a chosen count of components and what an
information criterion needs. Keeping it apart from `LineFit` leaves every
reader of `LineFit` exactly as it was. Component maps have the shape
(K, *spatial), baseline maps (B, *spatial); the FITS, Zarr and xarray forms
carry the component axis first (a third FITS axis after the two sky axes).
"""

from __future__ import annotations

import dataclasses
import datetime
import urllib.parse
import warnings
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from ..basics.arrays import is_dask_array
from ..basics.errors import InputError, MissingDependency
from ..basics.lazy import compute_records, persist_records
from ..basics.settings import LineSettings
from ..basics.units import VELOCITY_UNIT
from ..basics.version import package_version
from .cube import add_observation, observation_cards
from .line_models import LineModel
from .results import sky_coordinates, spatial_dims

if TYPE_CHECKING:
    import astropy.units as u
    import xarray
    from astropy.wcs import WCS
    from matplotlib.figure import Figure

__all__ = ["MODEL_FLAG_MEANINGS", "ModelFit", "read_model_maps"]

#: A model fit's flags: the first pass's "no peak near the guide" (1), and
#: fit_lines_batch's own (0, 2, 3).
MODEL_FLAG_MEANINGS: dict[int, str] = {
    0: "success",
    1: "no_local_maximum",
    2: "no_convergence",
    3: "too_few_samples",
}

#: Component quantities: name, FITS extension, unit ("data", km/s) and meaning.
COMPONENT_QUANTITIES = (
    ("amplitude", "AMPLITUDE", "data", "fitted amplitude of each component"),
    (
        "centre",
        "CENTRE",
        VELOCITY_UNIT,
        "velocity of each component, its own line's Doppler "
        "velocity (lines tied in velocity share one map)",
    ),
    ("sigma", "SIGMA", VELOCITY_UNIT, "fitted sigma of each component"),
    ("amplitude_error", "AMPLITUDE_ERR", "data", "one-sigma error of the amplitude"),
    ("centre_error", "CENTRE_ERR", VELOCITY_UNIT, "one-sigma error of the centre"),
    ("sigma_error", "SIGMA_ERR", VELOCITY_UNIT, "one-sigma error of the sigma"),
)
#: Maps with one value per spectrum.
SCALAR_QUANTITIES = (
    ("ncomponents", "NCOMPONENTS", "", "components kept"),
    ("chi2", "CHI2", "", "chi-square of the fit"),
    ("reduced_chi2", "REDUCED_CHI2", "", "reduced chi-square of the fit"),
    ("samples", "SAMPLES", "", "samples fitted"),
    ("free_parameters", "FREE_PARAMS", "", "free parameters of the fit"),
    ("flag", "FLAG", "", "0 success, 1 no local maximum, 2 no convergence, 3 too few samples"),
)
_PREFIX = "QUILLET "
#: Images stored in another type than their records' (FITS has no signed
#: bytes: small counts and flags are stored unsigned), by extension.
_RECORD_DTYPES = {"NCOMPONENTS": np.int8, "FREE_PARAMS": np.int8, "FLAG": np.int8}


@dataclasses.dataclass(frozen=True, eq=False)
class ModelFit:
    """Fitted line-model parameters: component maps (K, *spatial), baseline
    maps (B, *spatial; None without a baseline), one value per spectrum for
    the rest; NaN wherever a component was not kept or the fit failed."""

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
    unit: u.UnitBase | None = None
    wcs: WCS | None = None
    provenance: Mapping[str, str] = dataclasses.field(default_factory=dict)
    #: The input's beam, object, telescope, instrument and date cards
    #: (`quillet.data.cube.OBSERVATION_KEYS`), carried into every output.
    observation: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    model_settings: Mapping[str, str] = dataclasses.field(default_factory=dict)
    records: Any = dataclasses.field(default=None, repr=False)

    @classmethod
    def from_records(
        cls, records: Any, with_continuum: bool, model: LineModel, **described: Any
    ) -> ModelFit:
        """Maps of records (`quillet.work.model_fit.model_record_dtype`); lazy
        records stay lazy until `compute` or `persist`."""
        names = records.dtype.names or ()
        lazy = is_dask_array(records)
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
            return records[name] if lazy else np.asarray(records[name], order="C")

        maps: dict[str, Any] = {name: components(name) for name, *_ in COMPONENT_QUANTITIES}
        maps["baseline"] = components("baseline")
        maps["baseline_error"] = components("baseline_error")
        for name, *_ in SCALAR_QUANTITIES:
            maps[name] = scalar(name)
        maps["window"] = xp.stack([records["window_left"], records["window_right"]], axis=-1)
        maps["continuum"] = scalar("continuum") if with_continuum else None
        # Lazy maps keep their records: computing those fits each block once.
        return cls(**maps, model=model, records=records if lazy else None, **described)

    @property
    def lazy(self) -> bool:
        return self.records is not None

    @property
    def shape(self) -> tuple[int, ...]:
        """The spatial shape of the maps."""
        if self.lazy:
            return tuple(self.records.shape)
        return tuple(np.shape(self.flag))

    @property
    def success(self) -> Any:
        return self.flag == 0

    def _described(self) -> dict[str, Any]:
        return {
            "settings": self.settings,
            "velocity": self.velocity,
            "unit": self.unit,
            "wcs": self.wcs,
            "provenance": self.provenance,
            "observation": self.observation,
            "model_settings": self.model_settings,
        }

    def compute(self, *, progress: bool | None = False) -> ModelFit:
        """The maps in memory, lazy ones computed block by block."""
        if not self.lazy:
            return self
        records = compute_records(self.records, progress=progress)
        return ModelFit.from_records(
            records, self.continuum is not None, self.model, **self._described()
        )

    def persist(self, *, progress: bool | None = False) -> ModelFit:
        """Lazy maps computed and kept where they are (still lazy)."""
        if not self.lazy:
            return self
        records = persist_records(self.records, progress=progress)
        return ModelFit.from_records(
            records, self.continuum is not None, self.model, **self._described()
        )

    def flag_counts(self) -> dict[str, int]:
        flag = np.asarray(self.compute().flag)
        return {m: int((flag == v).sum()) for v, m in MODEL_FLAG_MEANINGS.items()}

    def component_counts(self) -> dict[int, int]:
        """How many spectra kept each count of components (0: failed fits)."""
        kept = np.asarray(self.compute().ncomponents)
        return {k: int((kept == k).sum()) for k in range(self.model.components + 1)}

    def unit_of(self, unit: str) -> str:
        if unit == "data":
            return "" if self.unit is None else self.unit.to_string()
        return unit

    def _quantities(self) -> list[tuple[str, str, str, str, bool]]:
        """(name, extension, unit, description, has a component axis)."""
        out = [(n, e, self.unit_of(un), d, True) for n, e, un, d in COMPONENT_QUANTITIES]
        if self.baseline is not None:
            data_unit = self.unit_of("data")
            out += [
                ("baseline", "BASELINE", data_unit, "baseline coefficients c0, c1, c2 "
                 "(per (km/s)^j) of c0 + c1 t + c2 t^2, t from the window's middle", True),
                ("baseline_error", "BASELINE_ERR", data_unit, "one-sigma errors of the "
                 "baseline coefficients", True),
            ]  # fmt: skip
        out += [(n, e, un, d, False) for n, e, un, d in SCALAR_QUANTITIES]
        return out

    def header_cards(self) -> list[tuple[str, Any]]:
        """Every setting, the model and the provenance as (key, value) cards."""
        cards: list[tuple[str, Any]] = [("VERSION", package_version())]
        cards += list(self.settings.as_kwargs().items())
        cards += self.model.cards()
        cards += [(f"FIT {k}", v) for k, v in self.model_settings.items()]
        cards += [(f"IN {k}", v) for k, v in self.provenance.items()]
        return [(k.upper(), v) for k, v in cards]

    def to_xarray(self) -> xarray.Dataset:
        """The maps as an xarray Dataset with a ``component`` dimension (and
        ``baseline_term``), CF attributes, and settings and model as global
        attributes."""
        try:
            import xarray
        except ImportError:
            raise MissingDependency(
                "to_xarray needs xarray: pip install 'quillet[xarray]'"
            ) from None
        fit = self
        dims = spatial_dims(len(fit.shape))
        variables: dict[str, Any] = {}
        for name, _, unit, description, per_component in fit._quantities():
            lead = ("baseline_term",) if name.startswith("baseline") else ("component",)
            attrs: dict[str, Any] = {"long_name": description, "units": _cf(unit)}
            if name == "flag":
                attrs = {"long_name": "outcome of the fit",
                         "flag_values": np.array(list(MODEL_FLAG_MEANINGS), np.int8),
                         "flag_meanings": " ".join(MODEL_FLAG_MEANINGS.values())}  # fmt: skip
            variables[name] = ((*lead, *dims) if per_component else dims, getattr(fit, name), attrs)
        window_attrs = {"long_name": "half-open range [left, right) of the channels fitted"}
        variables["window"] = ((*dims, "edge"), fit.window, {**window_attrs, "units": "1"})
        # Components by number, their names an attribute: Zarr v3 has no
        # stable type for a coordinate of strings.
        coords: dict[str, Any] = {
            "component": np.arange(self.model.components, dtype=np.int32),
            **sky_coordinates(self.wcs, self.shape, dims),
        }
        names = "; ".join(self.model.names)  # hyperfine labels hold spaces
        attrs = {"Conventions": "CF-1.10", "title": "quillet line model fit",
                 "component_names": names}  # fmt: skip
        attrs.update({f"quillet {k}".lower().replace(" ", "_"): v for k, v in fit.header_cards()})
        attrs.update(fit.observation)
        if self.wcs is not None:
            attrs["wcs_header"] = self.wcs.to_header().tostring()
        return xarray.Dataset(variables, coords=coords, attrs=attrs)

    def primary_header(self, counts: Mapping[str, int]) -> Any:
        """The primary header of a model maps file: every setting, the model
        and the provenance, and the count of each flag."""
        from astropy.io import fits

        header = fits.Header()
        header["ORIGIN"] = ("quillet", "maps of line-model fits")
        header["DATE"] = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S")
        header[f"HIERARCH {_PREFIX}MAP AXES"] = len(self.shape)
        add_observation(header, self.observation)
        for key, value in self.header_cards():
            header[f"HIERARCH {_PREFIX}{key}"] = _card_value(value)
        for meaning, count in counts.items():
            header[f"HIERARCH {_PREFIX}COUNT {meaning.upper()}"] = count
        return header

    def image_header(self, per_component: bool) -> Any:
        """The WCS of an image of the maps (see `_wcs_header`)."""
        return _wcs_header(self.wcs, per_component)

    def write_fits(
        self, path: str | Path, *, overwrite: bool = False, progress: bool | None = False
    ) -> Path:
        """One image extension per quantity (component maps with the
        component as a third axis after the sky's), the spatial WCS on
        each, then VELOCITY; every setting, the model and the provenance in
        the primary header. Written whole or not at all, lazy maps block by
        block as they are computed; see `quillet.front.maps_files.write_model_maps`."""
        from ..front.maps_files import write_model_maps

        return write_model_maps(self, path, overwrite=overwrite, progress=progress)

    def write_zarr(self, path: str | Path, *, overwrite: bool = False) -> Path:
        """`to_xarray` as a consolidated Zarr store, written whole or not at
        all, lazy maps by whoever computes their blocks."""
        from ..front.maps_files import write_dataset

        return write_dataset(self.to_xarray(), path, overwrite=overwrite,
                             reads=[self.provenance.get("input")], lazy=self.lazy)  # fmt: skip

    def plot_maps(self, path: str | Path | None = None, *, overwrite: bool = False) -> Figure:
        """Per-component maps; see `quillet.front.model_plots.plot_model_maps`."""
        from ..front.model_plots import plot_model_maps

        return plot_model_maps(self.compute(), path, overwrite=overwrite)


def _card_value(value: Any) -> Any:
    if isinstance(value, str):
        return urllib.parse.quote(value, safe="".join(chr(c) for c in range(32, 127) if c != 37))
    return value


def _wcs_header(wcs: WCS | None, per_component: bool) -> Any:
    """The spatial WCS of an image, with a third, plain axis for the
    component of component maps."""
    from astropy.io import fits

    if wcs is None:
        return fits.Header()
    if not per_component:
        return wcs.to_header()
    extended = wcs.sub([*range(1, wcs.naxis + 1), 0])
    extended.wcs.ctype[wcs.naxis] = "COMPONENT"
    extended.wcs.crpix[wcs.naxis] = 1.0
    extended.wcs.crval[wcs.naxis] = 0.0
    return extended.to_header()


def _cf(unit: str) -> str:
    if unit == "":
        return "1"
    return "km s-1" if unit == VELOCITY_UNIT else unit


def read_model_maps(path: str | Path) -> ModelFit:
    """Reads a file written by `ModelFit.write_fits` back, bit for bit."""
    from astropy.io import fits
    from astropy.wcs import WCS, FITSFixedWarning

    from ..basics.units import header_unit

    path = Path(path)
    with fits.open(path) as hdul:
        head = hdul[0].header
        if f"{_PREFIX}MODEL COMPONENTS" not in head:
            raise InputError(f"{path} is not a model maps file written by quillet (no MODEL cards)")

        def card(key: str) -> Any:
            value = head.get(f"{_PREFIX}{key}")
            return urllib.parse.unquote(value) if isinstance(value, str) else value

        model = LineModel.from_cards(card)
        settings = LineSettings.from_mapping(
            {name: head[f"{_PREFIX}{name.upper()}"] for name in LineSettings.names()}
        )

        def grouped(prefix: str) -> dict[str, str]:
            full = f"{_PREFIX}{prefix} "
            return {
                key[len(full) :].lower(): urllib.parse.unquote(str(head[key]))
                for key in head
                if key.startswith(full)
            }

        one = head.get(f"{_PREFIX}MAP AXES") == 0
        names = {item.name for item in hdul}

        def image(name: str, per_component: bool) -> np.ndarray:
            stored = hdul[name].data
            dtype = _RECORD_DTYPES.get(name, stored.dtype.newbyteorder("="))
            data = np.array(stored, dtype=dtype)
            return data[..., 0] if one else data

        amplitude_header = hdul["AMPLITUDE"].header
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FITSFixedWarning)
            wcs = None
            if "CTYPE1" in amplitude_header:
                full = WCS(amplitude_header)
                wcs = full.sub(list(range(1, full.naxis)))
        maps: dict[str, Any] = {n: image(e, True) for n, e, *_ in COMPONENT_QUANTITIES}
        has_base = "BASELINE" in names
        maps["baseline"] = image("BASELINE", True) if has_base else None
        maps["baseline_error"] = image("BASELINE_ERR", True) if has_base else None
        for n, e, *_ in SCALAR_QUANTITIES:
            maps[n] = image(e, False)
        maps["window"] = np.stack([image("WINDOW_LEFT", False), image("WINDOW_RIGHT", False)], -1)
        maps["continuum"] = image("CONTINUUM", False) if "CONTINUUM" in names else None
        return ModelFit(
            **maps,
            model=model,
            settings=settings,
            velocity=np.array(hdul["VELOCITY"].data, dtype=np.float64),
            unit=header_unit(amplitude_header, "BUNIT"),
            wcs=wcs,
            provenance=grouped("IN"),
            observation=observation_cards(hdul[0].header),
            model_settings=grouped("FIT"),
        )

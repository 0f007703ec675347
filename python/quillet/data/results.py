"""Maps of fitted line parameters: `LineFit`, what `fit_cube` returns.

The kernel gives each spectrum a row of eight float32 values and a window;
`LineFit` holds them as named maps of the cube's spatial shape, with the
flag as a small integer, the quality bits and the guides, and describes
them as every kind of maps does (`quillet.data.maps.Maps`): the record of
a Gaussian fit (`RECORD_DTYPE`), the images of its maps files
(`LINE_IMAGES`), its settings as header cards, and its xarray dataset.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, ClassVar, NamedTuple

import numpy as np

import _quillet

from ..basics.arrays import is_dask_array
from ..basics.settings import LineSettings
from ..basics.units import VELOCITY_UNIT
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

__all__ = [
    "FLAG_MEANINGS",
    "FLAG_NO_CONVERGENCE",
    "FLAG_NO_LOCAL_MAX",
    "FLAG_SUCCESS",
    "LINE_IMAGES",
    "QUANTITIES",
    "RECORD_DTYPE",
    "FitRow",
    "LineFit",
    "Quantity",
]

#: The kernel's flags, as floats in its result rows.
FLAG_SUCCESS: float = _quillet.FLAG_SUCCESS
FLAG_NO_LOCAL_MAX: float = _quillet.FLAG_NO_LOCAL_MAX
FLAG_NO_CONVERGENCE: float = _quillet.FLAG_NO_CONVERGENCE

#: Name of each flag value, in the words of CF's flag_meanings.
FLAG_MEANINGS: dict[int, str] = {
    int(FLAG_SUCCESS): "success",
    int(FLAG_NO_LOCAL_MAX): "no_local_maximum",
    int(FLAG_NO_CONVERGENCE): "no_convergence",
}


class Quantity(NamedTuple):
    """One fitted quantity: its field, its FITS extension, its unit ("data"
    for the unit of the data, "km/s", or "" for a pure number) and what it is."""

    name: str
    extname: str
    unit: str
    description: str


#: The seven float maps, in the order of the kernel's result row.
QUANTITIES: tuple[Quantity, ...] = (
    Quantity("amplitude", "AMPLITUDE", "data", "fitted line amplitude"),
    Quantity("centre", "CENTRE", VELOCITY_UNIT, "fitted line centre, Doppler velocity"),
    Quantity("sigma", "SIGMA", VELOCITY_UNIT, "fitted line width, Gaussian standard deviation"),
    Quantity("amplitude_error", "AMPLITUDE_ERR", "data", "one-sigma error of the amplitude"),
    Quantity("centre_error", "CENTRE_ERR", VELOCITY_UNIT, "one-sigma error of the centre"),
    Quantity("sigma_error", "SIGMA_ERR", VELOCITY_UNIT, "one-sigma error of the sigma"),
    Quantity("reduced_chi2", "REDUCED_CHI2", "", "reduced chi-square of the fit"),
)


#: One fit per record: the seven float maps, the flag, the window's two
#: ends, the continuum subtracted (NaN when none was), the quality bits
#: (`quillet.data.quality.Quality`) and the guide the fit used (km/s, on the
#: spectrum's own axis; NaN for a blank spectrum).
RECORD_DTYPE = np.dtype(
    [(q.name, np.float32) for q in QUANTITIES]
    + [
        ("flag", np.int8),
        ("window_left", np.int32),
        ("window_right", np.int32),
        ("continuum", np.float32),
        ("quality", np.uint16),
        ("guide", np.float32),
    ]
)


_SQRT_2PI = float(np.sqrt(2.0 * np.pi))
# The correlation of a Gaussian's fitted amplitude and sigma when the
# samples are dense across the line and the noise is even: -1/sqrt(3).
_RHO_AMPLITUDE_SIGMA = -1.0 / float(np.sqrt(3.0))


class FitRow(NamedTuple):
    """The result of one spectrum: the kernel's eight values and its window,
    the half-open range of channels [left, right) offered to the fit."""

    amplitude: float
    centre: float
    sigma: float
    amplitude_error: float
    centre_error: float
    sigma_error: float
    reduced_chi2: float
    flag: int
    window: tuple[int, int]


#: The images of a maps file of Gaussian fits, in order: the seven maps,
#: the flag, the window's ends, and the continuum, quality bits and guides
#: of the maps that have them.
LINE_IMAGES: tuple[MapImage, ...] = (
    *(
        MapImage(q.name, q.extname, np.dtype(np.float32), q.unit, q.description, required=True)
        for q in QUANTITIES
    ),
    MapImage("flag", "FLAG", np.dtype(np.int8), "", "0 success, 1 no local maximum, "
             "2 no convergence", required=True),
    MapImage("window_left", "WINDOW_LEFT", np.dtype(np.int32), "", "first channel fitted",
             required=True),
    MapImage("window_right", "WINDOW_RIGHT", np.dtype(np.int32), "",
             "channel after the last fitted", required=True),
    MapImage("continuum", "CONTINUUM", np.dtype(np.float32), DATA_UNIT,
             "continuum subtracted before the fit"),
    MapImage("quality", "QUALITY", np.dtype(np.uint16), "", "quality bits of the fit",
             cards=tuple(card for card in fits_cards() if card[0] != "EXTNAME")),
    MapImage("guide", "GUIDE", np.dtype(np.float32), VELOCITY_UNIT,
             "guide velocity the line was sought near"),
)  # fmt: skip


@dataclasses.dataclass(frozen=True, eq=False)
class LineFit(Maps):
    """Fitted line parameters, one value per spectrum, as maps of the data's
    spatial shape (the data's shape without its spectral axis).

    The seven float32 maps hold exactly the kernel's results; where ``flag``
    is not 0 they are NaN. ``flag`` is 0 (success), 1 (no local maximum near
    the guide, or fewer than three valid samples in the window) or 2 (no
    convergence). ``window`` holds the half-open channel range of each fit
    along its last axis of 2, (0, 0) where no peak was accepted.
    ``continuum`` is what was subtracted from each spectrum before its fit,
    or None. ``velocity`` is the shared velocity axis of the fits (km/s).
    ``quality`` (uint16) holds each fit's quality bits
    (`quillet.data.quality.Quality`; 0: nothing to doubt) and ``guide`` the guide
    velocity each fit used (km/s, NaN for a blank spectrum); both are None
    for maps written before they existed. ``unit``, ``wcs``,
    ``provenance``, ``observation`` and ``records`` are every maps' (see
    `quillet.data.maps.Maps`).
    """

    KIND: ClassVar[str] = "line"
    ORIGIN: ClassVar[str] = "maps of Gaussian line fits"
    TITLE: ClassVar[str] = "line fit"
    IMAGES: ClassVar[tuple[MapImage, ...]] = LINE_IMAGES
    FLAG_MEANINGS: ClassVar[Mapping[int, str] | None] = FLAG_MEANINGS

    amplitude: np.ndarray
    centre: np.ndarray
    sigma: np.ndarray
    amplitude_error: np.ndarray
    centre_error: np.ndarray
    sigma_error: np.ndarray
    reduced_chi2: np.ndarray
    flag: np.ndarray
    window: np.ndarray
    settings: LineSettings
    velocity: np.ndarray
    continuum: np.ndarray | None = None
    quality: np.ndarray | None = None
    guide: np.ndarray | None = None

    @classmethod
    def from_records(cls, records: Any, with_continuum: bool = True, **described: Any) -> LineFit:
        """A `LineFit` of records (`RECORD_DTYPE`, one per spectrum, or a
        mapping of some of its fields: continuum, quality and guide may be
        missing): lazy fields of lazy records, so that computing them fits
        each block once, or contiguous maps of records in memory.
        ``with_continuum`` False leaves the continuum out (the records of a
        fit hold NaN where none was subtracted); ``described`` gives the
        settings, velocity, unit, WCS and provenance."""
        names = _field_names(records)
        if is_dask_array(records):
            import dask.array as da

            window = da.stack([records["window_left"], records["window_right"]], axis=-1)
            window = window.rechunk({window.ndim - 1: 2})
            fields = {name: records[name] for name in names}
            kept = records
        else:
            window = np.stack([records["window_left"], records["window_right"]], axis=-1)
            # asarray keeps the no axes of a single spectrum's maps, which
            # ascontiguousarray would turn into one.
            fields = {name: np.asarray(records[name], order="C") for name in names}
            kept = None
        return cls(
            **{q.name: fields[q.name] for q in QUANTITIES},
            flag=fields["flag"],
            window=window,
            continuum=fields.get("continuum") if with_continuum else None,
            quality=fields.get("quality"),
            guide=fields.get("guide"),
            records=kept,
            **described,
        )

    def description(self) -> dict[str, Any]:
        return {
            **super().description(),
            "with_continuum": self.continuum is not None,
            "settings": self.settings,
            "velocity": self.velocity,
        }

    def record_fields(self) -> dict[str, Any]:
        window = np.asarray(self.window)
        fields = {image.field: getattr(self, image.field, None) for image in LINE_IMAGES}
        fields.update(window_left=window[..., 0], window_right=window[..., 1])
        return {name: np.asarray(values) for name, values in fields.items() if values is not None}

    def channel_velocity(self) -> np.ndarray:
        return self.velocity

    def header_cards(self) -> list[tuple[str, Any]]:
        return settings_cards(self.settings)

    @classmethod
    def described_by(cls, cards: dict[str, Any], source: str) -> dict[str, Any]:
        return {"settings": settings_from_cards(cards, source)}

    @property
    def success(self) -> Any:
        """True where the fit succeeded (lazy for lazy maps)."""
        return self.flag == int(FLAG_SUCCESS)

    @property
    def good(self) -> Any:
        """True where the fit succeeded and no quality bit but REFITTED is
        set: the fits to believe (lazy for lazy maps). Maps with no quality
        bits (written before they existed) count every success."""
        if self.quality is None:
            return self.success
        return self.success & ((self.quality & np.uint16(~GOOD_MASK & 0xFFFF)) == 0)

    @property
    def blank_count(self) -> int:
        """How many spectra have no finite pixel (counted apart from the
        fits that failed); 0 for maps with no quality bits."""
        if self.quality is None:
            return 0
        return self.quality_counts()["NO_DATA"]

    def quality_counts(self) -> dict[str, int]:
        """How many fits have each quality bit set, by the bit's name
        (computed for lazy maps); every count 0 for maps with no quality bits."""
        if self.quality is None:
            return dict.fromkeys((str(bit.name) for bit in Quality), 0)
        if self.lazy:
            import dask

            counts = [(self.quality & np.uint16(bit)) != 0 for bit in Quality]
            totals = dask.compute(*[c.sum() for c in counts])
            return {str(bit.name): int(n) for bit, n in zip(Quality, totals, strict=True)}
        return bit_counts(self.quality)

    @property
    def snr(self) -> Any:
        """Amplitude over its error: how clearly each line stands out."""
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.amplitude / self.amplitude_error

    @property
    def flux(self) -> Any:
        """The line's integrated flux, sqrt(2 pi) amplitude sigma, in the
        data's unit times km/s (float64; lazy for lazy maps)."""
        return _SQRT_2PI * self.amplitude.astype(np.float64) * self.sigma

    @property
    def flux_error(self) -> Any:
        """One-sigma error of `flux`, from the amplitude's and the sigma's
        errors and their correlation. The kernel gives no covariance; the
        correlation of amplitude and sigma of a Gaussian whose samples are
        dense across it, with noise of one level, is -1/sqrt(3) whatever its
        width and height (the Fisher matrix's off-diagonal term over the
        root of its diagonal ones), and that is the value taken."""
        relative_a = self.amplitude_error.astype(np.float64) / self.amplitude
        relative_s = self.sigma_error.astype(np.float64) / self.sigma
        variance = (
            relative_a**2 + relative_s**2 + 2.0 * _RHO_AMPLITUDE_SIGMA * relative_a * relative_s
        )
        with np.errstate(invalid="ignore"):
            return np.abs(self.flux) * np.sqrt(np.maximum(variance, 0.0))

    def at(self, index: int | tuple[int, ...]) -> FitRow:
        """The result of the spectrum at a spatial index."""
        if self.lazy:
            record = np.asarray(self.records[index].compute())
            values = [float(record[q.name]) for q in QUANTITIES]
            flag = int(record["flag"])
            left, right = int(record["window_left"]), int(record["window_right"])
        else:
            values = [float(getattr(self, q.name)[index]) for q in QUANTITIES]
            flag = int(self.flag[index])
            left, right = (int(v) for v in self.window[index])
        return FitRow(
            amplitude=values[0],
            centre=values[1],
            sigma=values[2],
            amplitude_error=values[3],
            centre_error=values[4],
            sigma_error=values[5],
            reduced_chi2=values[6],
            flag=flag,
            window=(left, right),
        )

    def unit_of(self, quantity: Quantity) -> str:
        """The unit of a quantity as a string ("" for a pure number or an
        amplitude of data with no unit)."""
        return self.unit_text(quantity.unit)

    def plot_maps(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        show: str = "good",
        overwrite: bool = False,
        **options: Any,
    ) -> Figure:
        """Amplitude, centre, sigma and quality (or flag) maps in one figure,
        of the good fits (``show="all"``: of every success), saved to
        ``path`` if given; see `quillet.front.plots.plot_maps`."""
        return super().plot_maps(path, overwrite=overwrite, show=show, **options)


def _field_names(records: Any) -> tuple[str, ...]:
    """The fields of records: of an array of records, or of a mapping."""
    if isinstance(records, Mapping):
        return tuple(records)
    return tuple(records.dtype.names or ())

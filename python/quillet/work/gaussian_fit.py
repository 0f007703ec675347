"""The Gaussian block fitter: a block of spectra fitted with one Gaussian
each, on windows that follow the line, and judged with quality bits.

`GaussianFitter` is the `quillet.work.blocks.BlockFitter` of `fit_cube`'s
default run: it prepares each block as `quillet.work.blocks.prepare_rows`
does (noise, guides, continuum), fits it with the kernel's batch call and
its refits on wider windows (`fit_and_judge`, `fit_prepared`), judges it
(`quillet.data.quality`), and gives the records of
`quillet.data.results.RECORD_DTYPE`; it asks for the neighbour refits,
which it fits from their neighbours' guides and widths, one kernel call per
width. A spectrum's first fit depends on that spectrum alone.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

from ..basics.settings import LineSettings
from ..data.fit_inputs import CubeInputs
from ..data.quality import DEFAULT_SNR_MIN, DEFAULT_WINDOW_SIGMAS, Quality, quality_bits
from ..data.results import RECORD_DTYPE
from .blocks import BlockRows, PreparedBlock, prepare_rows, store_fits
from .windows import DEFAULT_MAX_ROUNDS, fit_rows_adaptive

__all__ = [
    "BlockResult",
    "GaussianFitter",
    "Judging",
    "fit_and_judge",
    "fit_prepared",
]


class BlockResult(NamedTuple):
    """The fits of a block of spectra: the kernel's (n, 8) float32 rows (the
    centre moved by each spectrum's offset), its (n, 2) windows, the
    continuum subtracted from each spectrum (None when none was), the
    quality bits (n,) uint16 and the guide each fit used (n,) float32, on
    the spectrum's own axis (NaN for a blank spectrum)."""

    fits: np.ndarray
    windows: np.ndarray
    continuum: np.ndarray | None
    quality: np.ndarray
    guides: np.ndarray


class Judging(NamedTuple):
    """How each block's fits are made and judged: windows that follow the
    line (``adapt_window``, to ``window_sigmas`` sigmas) and the S/N below
    which a fit is doubted."""

    adapt_window: bool = True
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS
    snr_min: float = DEFAULT_SNR_MIN

    @classmethod
    def of(cls, inputs: CubeInputs) -> Judging:
        trust = inputs.trust
        return cls(trust.adapt_window, trust.window_sigmas, trust.snr_min)


def fit_and_judge(
    rows: np.ndarray,
    velocity: np.ndarray,
    noise: np.ndarray,
    guides: np.ndarray,
    settings: LineSettings,
    *,
    snr_min: float = DEFAULT_SNR_MIN,
    window_sigmas: float = DEFAULT_WINDOW_SIGMAS,
    max_rounds: int = DEFAULT_MAX_ROUNDS,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The fits, windows and quality bits of a block of rows: the kernel's
    batch with windows that follow the line (``max_rounds=0`` for the
    batch's windows alone: then the fits and windows are the batch's
    bits), judged. The arguments are the batch's."""
    fit = fit_rows_adaptive(
        rows, velocity, noise, guides, settings, window_sigmas=window_sigmas,
        max_rounds=max_rounds,
    )  # fmt: skip
    bits = quality_bits(
        fit.fits, fit.windows, fit.finite, settings, snr_min, limits=fit.limits, wider=fit.wider
    )
    return fit.fits, fit.windows, bits


def fit_prepared(
    block: PreparedBlock,
    velocity32: np.ndarray,
    settings: LineSettings,
    judging: Judging | None = None,
) -> BlockResult:
    """The fit of a prepared block, judged (by default as `Judging`'s
    defaults say), with its offsets added."""
    judging = Judging() if judging is None else judging
    # An axis that reached a worker by pickle may be contiguous yet
    # unaligned, which the kernel refuses.
    velocity32 = np.require(velocity32, dtype=np.float32, requirements=["C", "A"])
    fits, windows, quality = fit_and_judge(
        block.spectra, velocity32, block.noise, block.guides, settings,
        snr_min=judging.snr_min, window_sigmas=judging.window_sigmas,
        max_rounds=DEFAULT_MAX_ROUNDS if judging.adapt_window else 0,
    )  # fmt: skip
    guides = block.guides
    if block.offsets is not None:
        fits[:, 1] = (fits[:, 1].astype(np.float64) + block.offsets).astype(np.float32)
        guides = (guides.astype(np.float64) + block.offsets).astype(np.float32)
    blank = (quality & np.uint16(Quality.NO_DATA)) != 0
    guides = np.where(blank, np.float32(np.nan), guides).astype(np.float32)
    return BlockResult(fits, windows, block.continuum, quality, guides)


@dataclass(frozen=True)
class GaussianFitter:
    """The Gaussian fit of blocks (a `quillet.work.blocks.BlockFitter`): the
    fit's settings, the shared velocity axis (float32), how fits are made
    and judged, the window the guides are sought in, and whether the
    neighbour refits follow the first pass."""

    settings: LineSettings
    velocity32: np.ndarray
    judging: Judging = dataclasses.field(default_factory=Judging)
    velocity_window: tuple[float, float] | None = None
    refits: bool = True

    @classmethod
    def of(cls, inputs: CubeInputs) -> GaussianFitter:
        """The Gaussian fitter of a cube's inputs."""
        return cls(inputs.settings, inputs.velocity32, Judging.of(inputs),
                   inputs.trust.velocity_window, inputs.trust.refit_neighbours)  # fmt: skip

    @property
    def dtype(self) -> np.dtype[Any]:
        return RECORD_DTYPE

    @property
    def neighbour_refits(self) -> bool:
        return self.refits

    def prepare(self, rows: BlockRows) -> PreparedBlock:
        return prepare_rows(rows, self.velocity32, self.settings, self.velocity_window)

    def results(self, prepared: PreparedBlock, settings: LineSettings | None = None) -> BlockResult:
        """The fits of a prepared block (with other settings, if given),
        judged, with its offsets added."""
        return fit_prepared(prepared, self.velocity32, settings or self.settings, self.judging)

    def fit(self, prepared: PreparedBlock) -> np.ndarray:
        return _records(self.results(prepared))

    def refit(self, rows: BlockRows, widths: np.ndarray) -> np.ndarray:
        """The records of rows fitted again from their given guides, with
        the width guess of each: one kernel call per width."""
        block = self.prepare(rows)
        records = np.empty(widths.size, RECORD_DTYPE)
        for width in np.unique(widths):
            chosen = np.flatnonzero(widths == width)
            result = self.results(
                _rows_of(block, chosen), self.settings.replace(width_guess=float(width))
            )
            store_fits(records, chosen, result.fits, result.windows, result.quality,
                       {"continuum": result.continuum, "guide": result.guides})  # fmt: skip
        return records


def _records(result: BlockResult) -> np.ndarray:
    """A block's results as records of `RECORD_DTYPE`."""
    records = np.empty(result.fits.shape[0], RECORD_DTYPE)
    store_fits(records, slice(None), result.fits, result.windows, result.quality,
               {"continuum": result.continuum, "guide": result.guides})  # fmt: skip
    return records


def _rows_of(block: PreparedBlock, chosen: np.ndarray) -> PreparedBlock:
    """Some rows of a prepared block, as a prepared block of their own."""

    def take(values: Any) -> Any:
        return None if values is None else np.ascontiguousarray(values[chosen])

    return PreparedBlock(*(take(values) for values in block))

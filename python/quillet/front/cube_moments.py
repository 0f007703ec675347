"""Moments of the spectra: what a cube says without any model.

This module owns `moments`: the integrated intensity (moment 0), the
intensity-weighted velocity (moment 1) and the dispersion (moment 2) of
every spectrum, each with its one-sigma error propagated from the noise,
returned as `Moments` (`quillet.data.moment_results`: maps with their
units, the cube's WCS and its observation cards). It takes what `fit_cube`
takes (a `Cube`, arrays of any layout, Quantities, masked arrays, Dask
arrays) and works a block of spectra at a time (`quillet.basics.rows`), in this
process or as one Dask task per block; each spectrum's moments depend on it
alone, so they are the same bits for every block size and scheduler.
"""

from __future__ import annotations

import dataclasses
import math
from typing import TYPE_CHECKING, Any

import numpy as np

from ..basics.errors import InputError
from ..basics.rows import as_rows, row_blocks, take_rows
from ..data.fit_inputs import NoiseSource, Spectra, spectra_inputs
from ..data.moment_results import MOMENT_DTYPE, MOMENT_IMAGES, Moments
from ..data.noise import der_snr_rows
from ..work.dask import blockwise_cube, like_cube, like_spatial, one_block

if TYPE_CHECKING:
    import dask.array as da

__all__ = ["MOMENT_DTYPE", "MOMENT_IMAGES", "Moments", "moments"]

# About 16 MB of float64 work per block.
_BLOCK_VALUES = 2 * 2**20


def moments(
    data: Any,
    velocity: Any = None,
    *,
    velocity_range: tuple[float, float] | None = None,
    mask: Any = None,
    noise: Any = None,
    snr_min: float | None = None,
    spectral_axis: int = -1,
) -> Moments:
    """Moments 0, 1 and 2 of every spectrum of ``data``, with errors.

    ``data`` and ``velocity`` are what `fit_cube` takes: a `Cube` (with its
    velocity axis, noise, unit and WCS), or any array (an astropy Quantity,
    a masked array, a memory map, a Dask array, which makes the maps lazy)
    with the axis of its spectral axis in km/s (or a Quantity). Each
    channel's width is taken from the axis (half the distance between its
    neighbours, one step at the ends), so an irregular axis is integrated as
    sampled. ``velocity_range=(lo, hi)`` keeps the channels within it;
    ``mask`` (True = bad, broadcastable to the data) and NaN pixels take no
    part; ``noise`` is one value, a map of the spatial shape, a cube of the
    data's shape, ``"estimate"`` (each spectrum's DER_SNR) or None (a
    `Cube`'s own noise if it has one, else none, and NaN errors);
    ``snr_min`` (with noise) keeps only pixels at or above ``snr_min`` ·
    noise, the usual signal mask.

    Errors are the first-order propagation of independent pixel noise:
    var(m0) = sum (noise dv)², var(m1) = sum ((v - m1) dv noise / m0)², and
    var(m2) = sum (((v - m1)² - m2²) dv noise / (2 m2 m0))².
    """
    spectra = spectra_inputs(
        data, velocity, noise=noise, mask=mask, spectral_axis=spectral_axis, what="moments"
    )
    if snr_min is not None and spectra.noise.kind == "none":
        raise InputError("snr_min masks pixels below snr_min * noise; give the noise too")
    if snr_min is not None and not math.isfinite(float(snr_min)):
        raise InputError(f"snr_min must be a finite number, not {snr_min!r}")
    channels = _Channels.of(spectra.velocity, velocity_range)
    provenance = dict(spectra.provenance)
    provenance.update(
        velocity_range="all channels"
        if velocity_range is None
        else f"{channels.low:g} to {channels.high:g} km/s",
        snr_min="none" if snr_min is None else f"{float(snr_min):g}",
    )
    work = _moments_lazily if spectra.lazy else _moments_in_process
    return Moments.from_records(
        work(spectra, channels, snr_min),
        unit=spectra.unit,
        wcs=spectra.wcs,
        provenance=provenance,
        observation=spectra.observation,
    )


@dataclasses.dataclass(frozen=True)
class _Channels:
    """The velocity of each channel, its width, and which channels are kept."""

    velocity: np.ndarray
    widths: np.ndarray
    keep: np.ndarray
    low: float = -math.inf
    high: float = math.inf

    @classmethod
    def of(cls, velocity: np.ndarray, velocity_range: Any) -> _Channels:
        widths = np.abs(np.gradient(velocity))
        if velocity_range is None:
            return cls(velocity, widths, np.ones(velocity.size, dtype=bool))
        try:
            lo, hi = sorted(float(x) for x in velocity_range)
        except (TypeError, ValueError):
            raise InputError(
                f"velocity_range must be two velocities (lo, hi) in km/s, not {velocity_range!r}"
            ) from None
        keep = (velocity >= lo) & (velocity <= hi)
        if not keep.any():
            raise InputError(
                f"velocity_range {lo:g} to {hi:g} km/s holds no channel of the axis, which runs "
                f"from {velocity.min():g} to {velocity.max():g} km/s"
            )
        return cls(velocity, widths, keep, lo, hi)


def _moments_in_process(spectra: Spectra, channels: _Channels, snr_min: float | None) -> Any:
    """The records of every spectrum, a block of rows at a time."""
    spatial, axis, noise = spectra.spatial, spectra.axis, spectra.noise
    count = math.prod(spatial)
    records = np.empty(count, MOMENT_DTYPE)
    noise_map = np.reshape(noise.value, -1) if noise.kind == "map" else None
    chunk = max(1, _BLOCK_VALUES // max(channels.velocity.size, 1))
    for block in row_blocks(spatial, chunk):
        here = slice(block.start, block.start + block.count)
        sigma = None
        if noise.kind == "array":
            sigma = take_rows(noise.value, block, axis, dtype=np.float64)
        elif noise_map is not None:
            sigma = np.asarray(noise_map[here], dtype=np.float64)
        bad = None if spectra.mask is None else take_rows(spectra.mask, block, axis, dtype=np.bool_)
        rows = take_rows(spectra.data, block, axis, dtype=np.float64)
        records[here] = _block_records(rows, sigma, bad, noise, channels, snr_min)
    return records.reshape(spatial)


def _moments_lazily(spectra: Spectra, channels: _Channels, snr_min: float | None) -> da.Array:
    """Lazy records: one Dask task per block of the cube (spatial chunks of
    any shape, the spectral axis whole), each computing its block as the
    in-process loop does."""
    import dask.array as da

    axis = spectra.axis
    cube, spatial_index, pixel_index = blockwise_cube(spectra.data, axis)
    arguments: list[Any] = [cube, pixel_index]
    noise = spectra.noise
    if noise.kind == "array":
        arguments += [like_cube(noise.value, cube.chunks, axis), pixel_index]
    elif noise.kind == "map":
        arguments += [like_spatial(noise.value, cube.chunks[:-1]), spatial_index]
    if spectra.mask is not None:
        arguments += [like_cube(spectra.mask, cube.chunks, axis), pixel_index]
    return da.blockwise(
        _moments_task,
        spatial_index,
        *arguments,
        dtype=MOMENT_DTYPE,
        concatenate=False,
        meta=np.empty((0,) * (cube.ndim - 1), MOMENT_DTYPE),
        noise=NoiseSource(noise.kind, noise.value if noise.kind == "constant" else None),
        masked=spectra.mask is not None,
        channels=channels,
        snr_min=snr_min,
    )


def _moments_task(
    data: Any,
    *blocks: Any,
    noise: NoiseSource,
    masked: bool,
    channels: _Channels,
    snr_min: float | None,
) -> np.ndarray:
    """One Dask task: the records of one block of the cube (spectral axis
    last)."""
    data = one_block(data)
    given = [one_block(block) for block in blocks]
    sigma = given.pop(0) if noise.kind in ("array", "map") else None
    bad = given.pop(0) if masked else None
    spatial = data.shape[:-1]
    count = math.prod(spatial)
    rows = as_rows(data, count, dtype=np.float64)
    if sigma is not None:
        sigma = np.asarray(sigma, dtype=np.float64)
        sigma = sigma.reshape(count, -1) if noise.kind == "array" else sigma.reshape(count)
    if bad is not None:
        bad = as_rows(bad, count, dtype=np.bool_)
    return _block_records(rows, sigma, bad, noise, channels, snr_min).reshape(spatial)


def _block_records(
    values: np.ndarray,
    sigma: np.ndarray | None,
    bad: np.ndarray | None,
    noise: NoiseSource,
    channels: _Channels,
    snr_min: float | None,
) -> np.ndarray:
    """The records of a block of (n, channels) float64 rows: ``sigma`` is
    the rows' noise ((n, channels), or (n,) for one value per spectrum,
    or None for a constant, an estimate or none), ``bad`` their mask."""
    count, width = values.shape
    if bad is not None:
        values = np.where(bad, np.nan, values)
    if noise.kind == "constant":
        sigma = np.full(values.shape, float(noise.value))
    elif noise.kind == "estimate":
        sigma = der_snr_rows(values.astype(np.float32))
    if sigma is not None and sigma.ndim == 1:
        sigma = np.repeat(sigma[:, None], width, axis=1)
    exclude = ~np.isfinite(values) | ~channels.keep[None, :]
    if sigma is not None:
        exclude |= ~(np.isfinite(sigma) & (sigma > 0.0))
        if snr_min is not None:
            with np.errstate(invalid="ignore"):
                exclude |= ~(values >= snr_min * sigma)
    results = _row_moments(values, channels.velocity, channels.widths, ~exclude, sigma)
    records = np.empty(count, MOMENT_DTYPE)
    for name, result in zip(MOMENT_DTYPE.names or (), results, strict=False):
        records[name] = result
    records["count"] = np.count_nonzero(~exclude, axis=1)
    return records


def _row_moments(
    values: np.ndarray,
    v: np.ndarray,
    widths: np.ndarray,
    good: np.ndarray,
    sigma: np.ndarray | None,
) -> tuple[np.ndarray, ...]:
    """The moments and their errors of each row, over its ``good`` pixels."""
    weight = np.where(good, values, 0.0) * widths
    none = ~good.any(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        m0 = weight.sum(axis=1)
        m1 = (weight * v).sum(axis=1) / m0
        offset = v[None, :] - m1[:, None]
        second = (weight * offset**2).sum(axis=1) / m0
        m2 = np.sqrt(second)
        if sigma is None:
            nan = np.full(values.shape[0], np.nan)
            m0[none] = np.nan
            return m0, m1, m2, nan, nan.copy(), nan.copy()
        pixel = np.where(good, sigma, 0.0) * widths
        e0 = np.sqrt((pixel**2).sum(axis=1))
        e1 = np.sqrt(((offset * pixel) ** 2).sum(axis=1)) / np.abs(m0)
        e2 = np.sqrt((((offset**2 - second[:, None]) * pixel) ** 2).sum(axis=1)) / np.abs(
            2.0 * m2 * m0
        )
    m0[none] = np.nan
    e0[none] = np.nan
    return m0, m1, m2, e0, e1, e2

"""Spectral cubes read from FITS with their velocity axis and their noise.

`read_cube` reads an image of one to three axes (more, when the others are
one pixel long), finds the spectral axis from its WCS, converts that axis to
Doppler velocity in km/s through astropy units and Doppler equivalencies,
and finds the noise in an error extension. Maps are written and read by
`quillet.maps_files`.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import warnings
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

import astropy.units as u
import numpy as np
from astropy.io import fits
from astropy.wcs import WCS, FITSFixedWarning, WcsError

from .settings import velocity_axis

if TYPE_CHECKING:
    from .results import LineFit

__all__ = [
    "CONVENTIONS",
    "Cube",
    "LazyImage",
    "header_unit",
    "read_cube",
]

#: Doppler conventions by name: v = c (f0 - f) / f0 (radio), c (l - l0) / l0
#: (optical), and the relativistic one.
CONVENTIONS: dict[str, Callable[[u.Quantity], Any]] = {
    "optical": u.doppler_optical,
    "radio": u.doppler_radio,
    "relativistic": u.doppler_relativistic,
}

# Spectral axis types (the first four letters of CTYPE) and what they hold.
_WAVELENGTH_TYPES = {"WAVE": "vacuum wavelength", "AWAV": "air wavelength"}
_SPECTRAL_TYPES = {"FREQ": "frequency", "ENER": "energy", "WAVN": "wavenumber"}
# Velocity-like axes and the convention they are in.
_VELOCITY_TYPES = {
    "VRAD": ("radio velocity", "radio"),
    "VOPT": ("optical velocity", "optical"),
    "ZOPT": ("redshift", "optical"),
    "VELO": ("apparent radial velocity", "relativistic"),
    "BETA": ("velocity / c", "relativistic"),
}

# Extension names that mark an error extension, and what they hold when the
# header does not say it through BUNIT. STAT is the MUSE pipeline's name for
# its variance cube.
_ERROR_NAMES = {
    "ERR": "sigma",
    "ERROR": "sigma",
    "ERRORS": "sigma",
    "SIGMA": "sigma",
    "UNCERT": "sigma",
    "UNCERTAINTY": "sigma",
    "NOISE": "sigma",
    "VAR": "variance",
    "VARIANCE": "variance",
    "STAT": "variance",
    "IVAR": "inverse_variance",
}
ERROR_KINDS = ("sigma", "variance", "inverse_variance")


# --- a cube on disk ------------------------------------------------------------


class LazyImage:
    """An image read on demand from a memory map and converted block by block:
    a scaled integer image (BSCALE, BZERO, BLANK) or a variance turned into a
    sigma, without holding the converted cube in memory.

    It supports what the fit needs of an array: ``shape``, ``dtype``,
    ``ndim``, and indexing by integers, slices and Ellipsis. ``axes`` orders
    its axes: axis i is axis ``axes[i]`` of the raw image.
    """

    def __init__(
        self,
        raw: Any,
        convert: Callable[[np.ndarray], np.ndarray] | None,
        axes: tuple[int, ...] | None = None,
    ) -> None:
        self._raw = raw
        self._convert = convert
        ndim = len(raw.shape)
        self._axes = tuple(range(ndim)) if axes is None else tuple(axes)
        self.shape = tuple(int(raw.shape[a]) for a in self._axes)
        self.ndim = len(self.shape)
        self.dtype = np.dtype(np.float64) if convert is not None else np.dtype(raw.dtype)

    def __len__(self) -> int:
        return int(self.shape[0])

    def __getitem__(self, key: Any) -> np.ndarray:
        key = _full_key(key, self.ndim)
        raw_key: list[Any] = [slice(None)] * self.ndim
        for entry, raw_axis in zip(key, self._axes, strict=True):
            raw_key[raw_axis] = entry
        block = self._raw[tuple(raw_key)]
        kept_raw = [a for a in range(self.ndim) if not isinstance(raw_key[a], int)]
        kept_here = [
            a for entry, a in zip(key, self._axes, strict=True) if not isinstance(entry, int)
        ]
        block = np.transpose(np.asarray(block), [kept_raw.index(a) for a in kept_here])
        return block if self._convert is None else self._convert(block)

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        whole = self[...]
        return whole if dtype is None else whole.astype(dtype)

    def moved(self, source: int, destination: int) -> LazyImage:
        """The same image with one axis moved, as `numpy.moveaxis` does."""
        order = list(range(self.ndim))
        order.insert(destination % self.ndim, order.pop(source % self.ndim))
        return LazyImage(self._raw, self._convert, tuple(self._axes[i] for i in order))


class FitsData:
    """The stored values of one image HDU of a FITS file, read a block at a
    time by whichever process asks: what a Dask task reads its block from.

    It pickles as the file's path and the data's place in it, never as data,
    so a cluster's workers read their blocks from storage they share instead
    of receiving the cube from the client. Each read maps the file afresh
    and hands out a view of the block, so the map lives as long as the block
    (until the task has converted it), not as long as the reader: a worker
    that kept maps open would count the file's pages it touched as its own
    memory, once per map, and Dask pauses a worker whose memory looks that
    full.
    """

    def __init__(
        self, path: Path, hdu: Any, drop: tuple[int | slice, ...], raw: np.ndarray
    ) -> None:
        info = hdu.fileinfo()
        if (
            info is None
            or info["file"].compression is not None
            or not hdu.is_image
            or (type(hdu).__name__ == "CompImageHDU")
        ):
            raise ValueError(
                f"{path} is compressed, so its blocks cannot be read in place; decompress "
                "it (funpack, gunzip) to read it in blocks"
            )
        self.path = Path(path).resolve()
        self.offset = int(info["datLoc"])
        self.stored_shape = tuple(int(n) for n in hdu.shape)
        self.drop = drop
        self.shape = tuple(int(n) for n in raw.shape)
        self.dtype = np.dtype(raw.dtype)

    def __getitem__(self, key: Any) -> np.ndarray:
        mapped = np.memmap(
            self.path, dtype=self.dtype, mode="r", offset=self.offset, shape=self.stored_shape
        )
        block: np.ndarray = mapped[self.drop][key]
        return block


@dataclasses.dataclass(frozen=True)
class Scaling:
    """Stored values to physical ones: BSCALE, BZERO, and BLANK integers as
    NaN (a picklable callable, for the workers that read blocks)."""

    bscale: float
    bzero: float
    blank: int | None

    @classmethod
    def of(cls, header: fits.Header, stored: np.dtype[Any]) -> Scaling | None:
        """The scaling a header gives stored values, or None for none."""
        bscale = float(header.get("BSCALE", 1.0))
        bzero = float(header.get("BZERO", 0.0))
        blank = header.get("BLANK") if stored.kind in "iu" else None
        if bscale == 1.0 and bzero == 0.0 and blank is None:
            return None
        return cls(bscale, bzero, None if blank is None else int(blank))

    def __call__(self, block: np.ndarray) -> np.ndarray:
        values = block.astype(np.float64) * self.bscale + self.bzero
        if self.blank is not None:
            values[block == self.blank] = np.nan
        return values


@dataclasses.dataclass(frozen=True)
class ToSigma:
    """An error image's stored values to one-sigma noise in the data's unit."""

    kind: str
    factor: float
    scaling: Scaling | None

    def __call__(self, block: np.ndarray) -> np.ndarray:
        values = block.astype(np.float64) if self.scaling is None else self.scaling(block)
        if self.factor != 1.0:
            values = values * self.factor
        return _TO_SIGMA[self.kind](values)


def _full_key(key: Any, ndim: int) -> tuple[int | slice, ...]:
    if not isinstance(key, tuple):
        key = (key,)
    if any(entry is Ellipsis for entry in key):
        at = next(i for i, entry in enumerate(key) if entry is Ellipsis)
        key = key[:at] + (slice(None),) * (ndim - len(key) + 1) + key[at + 1 :]
    key = key + (slice(None),) * (ndim - len(key))
    for entry in key:
        if isinstance(entry, (int, np.integer)) and not isinstance(entry, bool):
            continue
        if not isinstance(entry, slice):
            raise TypeError("a LazyImage takes integers, slices and Ellipsis as indices")
    if len(key) != ndim:
        raise IndexError(f"too many indices for an image of {ndim} axes")
    return tuple(int(e) if isinstance(e, np.integer) else e for e in key)


@dataclasses.dataclass(frozen=True, eq=False)
class Cube:
    """Spectra read from a FITS file, ready to fit.

    ``data`` has the spectral axis last and the file's other axes before it
    in NumPy order; it is a memory map of the file where the file allows (a
    `LazyImage` for scaled integer data), so reading a cube costs no memory.
    ``velocity`` is the Doppler velocity of each channel in km/s. ``noise``
    is the one-sigma noise of each pixel, laid out like ``data``, or None.
    ``wcs`` is the WCS of the spatial axes (the celestial WCS where there is
    one), ``header`` the data HDU's header, ``unit`` the data's unit (BUNIT)
    and ``provenance`` records what was read and how.
    """

    data: Any
    velocity: np.ndarray
    noise: Any
    wcs: WCS | None
    header: fits.Header
    unit: u.UnitBase | None
    provenance: Mapping[str, str]

    @property
    def spatial_shape(self) -> tuple[int, ...]:
        return tuple(self.data.shape[:-1])

    def fit(self, **kwargs: Any) -> LineFit:
        """`quillet.fit_cube` of this cube."""
        from .cube_fit import fit_cube

        return fit_cube(self, **kwargs)


def read_cube(
    path: str | os.PathLike[str],
    *,
    hdu: int | str | None = None,
    error_hdu: int | str | None = None,
    error_kind: str | None = None,
    rest_wavelength: Any = None,
    redshift: float = 0.0,
    convention: str | None = None,
    chunks: Any = None,
) -> Cube:
    """Read a spectral cube (or slit, or spectrum) from a FITS image.

    Parameters
    ----------
    path
        The FITS file.
    hdu
        Name or index of the HDU holding the data; by default the first HDU
        with an image of one to three axes.
    error_hdu
        Name or index of the HDU holding the noise; by default an HDU of the
        data's shape named ERR, ERROR, SIGMA, UNCERT, NOISE, VAR, VARIANCE,
        STAT or IVAR, if there is one.
    error_kind
        What the error HDU holds: "sigma", "variance" or "inverse_variance".
        By default its BUNIT says it (the data's unit: sigma; its square:
        variance; its inverse square: inverse variance; in any scale of
        these, so mJy errors of Jy data are read as thousandths of a Jy),
        or failing that its name does (VAR, VARIANCE and MUSE's STAT are
        variances, IVAR an inverse variance, the others sigmas). A scaled
        integer error image is scaled as the data are, BLANK giving NaN.
    rest_wavelength
        The line's rest wavelength or frequency: an astropy Quantity, a
        string such as "6562.8 Angstrom" or "1420.405751 MHz", or a number
        in the unit the header gives the spectral axis (CUNITn). By default
        the header's RESTFRQ or RESTWAV. For an air-wavelength axis (AWAV) a
        wavelength given here is read as an air wavelength, like the axis; a
        frequency, or a rest value from the header (a vacuum value by the
        FITS standard), is compared with the axis converted to vacuum. At a
        redshift both are taken to vacuum, where the shift is exactly 1 + z.
    redshift
        Redshift of the source: the rest value is shifted to the observed
        frame, so velocities are relative to the redshifted line.
    convention
        Doppler convention of the velocities: "optical", "radio" or
        "relativistic". By default optical, except for an axis that already
        holds velocities (VRAD, VOPT, VELO...), which keeps its own; such an
        axis is converted to another convention through the rest value.
    chunks
        None (the default) for NumPy arrays (memory maps of the file), or
        Dask arrays read block by block in whichever process computes them:
        "auto" (blocks of about 16 MB), a number of spectra per block, or one
        block length per spatial axis. The spectral axis is never split.

    Raises ``ValueError`` with a message that says what is wrong with the
    file and how to mend it; ``OSError`` when it cannot be read.
    """
    path = Path(path)
    if convention is not None and convention not in CONVENTIONS:
        raise ValueError(f"convention must be one of {', '.join(CONVENTIONS)}, not {convention!r}")
    if error_kind is not None and error_kind not in ERROR_KINDS:
        raise ValueError(f"error_kind must be one of {', '.join(ERROR_KINDS)}, not {error_kind!r}")
    try:
        z = float(redshift)
    except (TypeError, ValueError):
        z = math.nan
    if not (math.isfinite(z) and z > -1.0):
        raise ValueError(
            f"redshift must be a finite number above -1 (0 for a source at rest), not {redshift!r}"
        )

    with fits.open(path, memmap=True, do_not_scale_image_data=True) as hdul:
        data_hdu = _data_hdu(hdul, hdu, path)
        header = data_hdu.header.copy()
        hdu_name = data_hdu.name or "PRIMARY"
        wcs = _wcs_of(header, hdul, hdu_name, path)
        spec = _spectral_axis_of(wcs, int(header["NAXIS"]), hdu_name, path, hdul)
        keep = _kept_axes(header, spec, hdu_name, path)
        wcs = wcs.sub([axis + 1 for axis in keep])
        spec = keep.index(spec)
        ndim = len(keep)
        velocity, spectral_notes = _velocity_axis(
            wcs,
            header,
            keep[spec],
            spec,
            int(header[f"NAXIS{keep[spec] + 1}"]),
            rest_wavelength,
            z,
            convention,
            path,
        )
        numpy_axis = ndim - 1 - spec
        drop = _dropped_index(header, keep)
        unit = header_unit(header, "BUNIT")
        data_image = _Image(hdul.index(data_hdu), Scaling.of(header, data_hdu.data.dtype))
        noise_image, noise_note = _noise(hdul, data_hdu, error_hdu, error_kind, unit, path)
        spatial_wcs = _spatial_wcs(wcs, spec, ndim)
        if chunks is None:
            data = _in_memory(hdul, data_image, drop, numpy_axis)
            noise = None if noise_image is None else _in_memory(hdul, noise_image, drop, numpy_axis)
        else:
            blocks = dask_chunks(
                tuple(n for i, n in enumerate(data_hdu.data[drop].shape) if i != numpy_axis),
                chunks,
                velocity.size,
            )
            data = _lazy(path, hdul, data_image, drop, numpy_axis, blocks)
            noise = None if noise_image is None else _lazy(
                path, hdul, noise_image, drop, numpy_axis, blocks
            )  # fmt: skip

    provenance = {
        "input": str(path.resolve()),
        "hdu": data_hdu.name or "PRIMARY",
        **spectral_notes,
        "noise": noise_note,
    }
    return Cube(
        data=data,
        velocity=velocity,
        noise=noise,
        wcs=spatial_wcs,
        header=header,
        unit=unit,
        provenance=provenance,
    )


def _describe_hdus(hdul: fits.HDUList) -> str:
    parts = []
    for index, item in enumerate(hdul):
        naxis = int(item.header.get("NAXIS", 0))
        dims = [int(item.header.get(f"NAXIS{i}", 0)) for i in range(naxis, 0, -1)]
        kind = "x".join(map(str, dims)) + " image" if naxis and item.is_image else "no image"
        parts.append(f"{index}: {item.name or 'PRIMARY'} ({kind})")
    return "; ".join(parts)


def _data_hdu(hdul: fits.HDUList, hdu: int | str | None, path: Path) -> Any:
    if hdu is not None:
        try:
            chosen = hdul[hdu]
        except (KeyError, IndexError):
            raise ValueError(f"{path} has no HDU {hdu!r}; it has {_describe_hdus(hdul)}") from None
        if not chosen.is_image or int(chosen.header.get("NAXIS", 0)) < 1:
            raise ValueError(
                f"HDU {hdu!r} of {path} holds no image; the file has {_describe_hdus(hdul)}"
            )
        return chosen
    images = [item for item in hdul if item.is_image and int(item.header.get("NAXIS", 0)) >= 1]
    if not images:
        raise ValueError(f"{path} holds no image; it has {_describe_hdus(hdul)}")
    # The first image with a spectral axis: a file may open with a picture
    # of the field before its cube. With none, the first image, whose lack
    # of a spectral axis the caller then explains.
    for item in images:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                if WCS(item.header, hdul).wcs.spec >= 0:
                    return item
            except (ValueError, MemoryError, WcsError):
                continue
    return images[0]


def _kept_axes(header: fits.Header, spec: int, hdu_name: str, path: Path) -> list[int]:
    """The FITS axes (0-based) read: all of them for up to three, else the
    spectral axis and every axis longer than one pixel (a radio cube's
    Stokes axis of one plane, say)."""
    naxis = int(header["NAXIS"])
    if naxis <= 3:
        return list(range(naxis))
    keep = [a for a in range(naxis) if a == spec or int(header[f"NAXIS{a + 1}"]) > 1]
    if len(keep) > 3:
        raise ValueError(
            f"HDU {hdu_name} of {path} has {len(keep)} axes longer than one pixel; quillet "
            "reads images of one to three (the spectral axis and up to two spatial axes)"
        )
    return keep


def _dropped_index(header: fits.Header, keep: list[int]) -> tuple[int | slice, ...]:
    """NumPy index that drops the one-pixel axes not kept."""
    naxis = int(header["NAXIS"])
    return tuple(slice(None) if a in keep else 0 for a in range(naxis - 1, -1, -1))


def _wcs_of(header: fits.Header, hdul: fits.HDUList, hdu_name: str, path: Path) -> WCS:
    """The WCS of the data HDU, or a ValueError that gives wcslib's reason
    without its source-file lines."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)
        try:
            return WCS(header, hdul)
        except WcsError as error:
            reason = " ".join(
                line.strip()
                for line in str(error).splitlines()
                if line.strip() and not line.startswith("ERROR ")
            )
    raise ValueError(
        f"the WCS of HDU {hdu_name} of {path} cannot be used: {reason or 'wcslib refuses it'} "
        "Check the axis keywords (CTYPE, CUNIT, CRVAL, CDELT or CD, PC, CRPIX); a CDELT of 0 "
        "or a unit wcslib does not know (write 'Angstrom', 'nm', 'Hz', 'm/s') is the usual cause"
    )


def _spectral_axis_of(wcs: WCS, ndim: int, hdu_name: str, path: Path, hdul: fits.HDUList) -> int:
    """The index (0-based, FITS order) of the spectral axis of the WCS."""
    spec = int(wcs.wcs.spec)
    ctypes = [c or "(none)" for c in wcs.wcs.ctype]
    if spec < 0:
        known = ", ".join([*_WAVELENGTH_TYPES, *_SPECTRAL_TYPES, *_VELOCITY_TYPES])
        raise ValueError(
            f"HDU {hdu_name} of {path} has no spectral axis in its WCS (CTYPEs: "
            f"{', '.join(ctypes)}); one axis needs a spectral CTYPE ({known}) with "
            "CRVAL, CDELT (or CD) and CRPIX, so that each channel has a wavelength, "
            "frequency or velocity. If the spectra are in another HDU, name it (hdu=, "
            f"--hdu); the file has {_describe_hdus(hdul)}"
        )
    if spec >= ndim:
        raise ValueError(
            f"the spectral axis of HDU {hdu_name} of {path} is WCS axis {spec + 1}, "
            f"but the image has only {ndim} axes"
        )
    return spec


def header_unit(header: fits.Header, key: str) -> u.UnitBase | None:
    text = header.get(key)
    if not text or not str(text).strip():
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", u.UnitsWarning)
        try:
            return u.Unit(str(text).strip(), parse_strict="raise")
        except ValueError:
            return None


def _rest_quantity(rest: Any, axis_unit: u.UnitBase | None) -> u.Quantity:
    if isinstance(rest, u.Quantity):
        quantity = rest
    elif isinstance(rest, str):
        try:
            quantity = u.Quantity(rest)
        except (TypeError, ValueError):
            raise ValueError(
                f"cannot read the rest value {rest!r}; write a number and a unit, "
                "such as '6562.8 Angstrom' or '1420.405751 MHz'"
            ) from None
        if quantity.unit == u.dimensionless_unscaled:
            quantity = _rest_quantity(float(quantity.value), axis_unit)
    else:
        if axis_unit is None:
            raise ValueError(
                "the header gives the spectral axis no unit, so a bare rest value is "
                "ambiguous; give it with its unit, such as '6562.8 Angstrom'"
            )
        quantity = float(rest) * axis_unit
    if not quantity.isscalar:
        raise ValueError(
            f"the rest value must be one wavelength or frequency, not {quantity.size} of "
            "them; read the cube once for each line"
        )
    try:
        quantity.to(u.m, equivalencies=u.spectral())
    except u.UnitConversionError:
        raise ValueError(
            f"the rest value {quantity} is not a wavelength, frequency or energy"
        ) from None
    if not (np.isfinite(quantity.value) and quantity.value > 0):
        raise ValueError(f"the rest value must be positive and finite, not {quantity}")
    return quantity


def _velocity_axis(
    wcs: WCS,
    header: fits.Header,
    fits_axis: int,
    spec: int,
    channels: int,
    rest_wavelength: Any,
    z: float,
    convention: str | None,
    path: Path,
) -> tuple[np.ndarray, dict[str, str]]:
    """The channel velocities in km/s, and notes on how they were found."""
    sub = wcs.sub([spec + 1])
    axis_type = str(sub.wcs.ctype[0])  # as the header has it, for messages
    ctype = axis_type[:4].upper()
    if convention is None:
        convention = _VELOCITY_TYPES[ctype][1] if ctype in _VELOCITY_TYPES else "optical"
    pixels = np.arange(channels, dtype=np.float64)
    axis_unit = header_unit(header, f"CUNIT{fits_axis + 1}")
    given = rest_wavelength is not None
    rest = _rest_quantity(rest_wavelength, axis_unit) if given else _header_rest(sub)
    notes = {
        "spectral_axis": f"{ctype} ({_describe_type(ctype)}), FITS axis {fits_axis + 1}",
        "convention": convention,
        "redshift": f"{z:g}",
    }

    stated_rest = rest
    air_rest = given and rest is not None and rest.unit.physical_type == "length"
    if ctype == "AWAV" and rest is not None and (not air_rest or z != 0.0):
        # A vacuum rest value: bring the axis to vacuum too. So too for an
        # air rest value at a redshift: a vacuum wavelength is shifted by
        # (1 + z), an air one not quite, as air refracts the observed
        # wavelength less than the rest one (0.15 km/s at H-alpha, z = 0.09).
        sub = _in_vacuum(sub)
        ctype = "WAVE"
        notes["spectral_axis"] += ", converted from air to vacuum"
        if air_rest:
            rest = _air_to_vacuum(rest)

    world = np.asarray(sub.pixel_to_world_values(pixels), dtype=np.float64).reshape(-1)
    # wcslib's own unit of the axis: SI once it has normalised a linear axis,
    # the header's for a tabulated (-TAB) one, which world_axis_units would
    # re-spell in VOUnit, with a warning for Angstrom.
    world_unit = u.Unit(sub.wcs.cunit[0])
    _check_axis(world, axis_type, path)

    if ctype in _VELOCITY_TYPES:
        own = _VELOCITY_TYPES[ctype][1]
        if ctype == "ZOPT" or ctype == "BETA":
            values = (world * u.dimensionless_unscaled * _c()).to(u.km / u.s)
        else:
            values = (world * world_unit).to(u.km / u.s)
        if own == convention and z == 0.0 and not given:
            notes["rest"] = "not needed: the axis holds velocities"
            return _checked(values.value, path), notes
        # Velocities go from one convention to another, and to the frame of a
        # redshift, through f / f0 alone: any rest frequency serves, so one
        # is assumed where none is known.
        through = _NOMINAL_REST if rest is None else rest
        frequency = values.to(u.Hz, equivalencies=CONVENTIONS[own](through))
        target = _shifted(through, z, u.Hz)
        velocity = frequency.to(u.km / u.s, equivalencies=CONVENTIONS[convention](target))
        if rest is None:
            notes["rest"] = "not needed: the axis holds velocities"
            return _checked(velocity.value, path), notes
    else:
        if rest is None:
            medium = " in air" if ctype == "AWAV" else ""
            shown = (world * world_unit).to(axis_unit or world_unit, equivalencies=u.spectral())
            raise ValueError(
                f"the spectral axis of {path} holds {_describe_type(ctype)}s from "
                f"{shown.min().value:.8g} to {shown.max().value:.8g} {shown.unit} and the "
                "header gives no rest value (RESTFRQ or RESTWAV); give the line's rest "
                f"wavelength{medium} (rest_wavelength=, --rest-wavelength), such as "
                "'6562.8 Angstrom'"
            )
        # Wavelengths stay wavelengths; frequencies, energies and wavenumbers
        # (for which astropy has no Doppler equivalency) become frequencies.
        domain = u.m if ctype in _WAVELENGTH_TYPES else u.Hz
        spectral = (world * world_unit).to(domain, equivalencies=u.spectral())
        target = _shifted(rest, z, domain)
        velocity = spectral.to(u.km / u.s, equivalencies=CONVENTIONS[convention](target))
    notes["rest"] = f"{stated_rest:g}{'' if given else ' (from the header)'}"
    return _checked(velocity.value, path), notes


def _in_vacuum(sub: WCS) -> WCS:
    """A one-axis WCS of air wavelengths (AWAV) turned into vacuum ones."""
    vacuum = sub.deepcopy()
    if vacuum.wcs.has_cd():
        # wcslib's sptr rescales CDELT to the vacuum step but leaves a CD
        # matrix as it is, so the step would stay the air one: 27 km/s off
        # in a MUSE cube, whose CD3_3 counts from 1,900 channels away.
        step = float(vacuum.wcs.cd[0, 0])
        del vacuum.wcs.cd
        vacuum.wcs.pc = [[1.0]]
        vacuum.wcs.cdelt = [step]
    vacuum.wcs.sptr("WAVE-???")
    return vacuum


def _air_to_vacuum(wavelength: u.Quantity) -> u.Quantity:
    """The vacuum wavelength of an air wavelength, by wcslib's refraction of
    air, the one it applies to an AWAV axis."""
    probe = WCS(naxis=1)
    probe.wcs.ctype = ["AWAV"]
    probe.wcs.cunit = ["m"]
    probe.wcs.crval = [wavelength.to_value(u.m)]
    probe.wcs.cdelt = [1e-10]
    probe.wcs.sptr("WAVE-???")
    return float(probe.wcs.crval[0]) * u.m


#: A rest frequency for converting velocities whose line is not named: the
#: result does not depend on it.
_NOMINAL_REST = 1.0 * u.GHz


def _c() -> u.Quantity:
    from astropy.constants import c

    return c


def _shifted(rest: u.Quantity, z: float, domain: u.UnitBase) -> u.Quantity:
    """The rest value in ``domain`` (m or Hz), as observed at redshift z."""
    value = rest.to(domain, equivalencies=u.spectral())
    return value * (1.0 + z) if domain.physical_type == "length" else value / (1.0 + z)


def _header_rest(sub: WCS) -> u.Quantity | None:
    if sub.wcs.restfrq > 0:
        return sub.wcs.restfrq * u.Hz
    if sub.wcs.restwav > 0:
        return sub.wcs.restwav * u.m
    return None


def _describe_type(ctype: str) -> str:
    if ctype in _WAVELENGTH_TYPES:
        return _WAVELENGTH_TYPES[ctype]
    if ctype in _SPECTRAL_TYPES:
        return _SPECTRAL_TYPES[ctype]
    if ctype in _VELOCITY_TYPES:
        return _VELOCITY_TYPES[ctype][0]
    return "spectral coordinate"


def _check_axis(world: np.ndarray, axis_type: str, path: Path) -> None:
    bad = np.flatnonzero(~np.isfinite(world))
    if bad.size:
        raise ValueError(
            f"the spectral axis ({axis_type}) of {path} gives no finite value for "
            f"{bad.size} channel{'s' if bad.size > 1 else ''}, the first channel {bad[0]} "
            "(from 0); check its CRVAL, CDELT (or CD) and CRPIX, or the table of a -TAB axis"
        )


def _checked(velocity: np.ndarray, path: Path) -> np.ndarray:
    try:
        return velocity_axis(velocity)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None


class _Image(NamedTuple):
    """An image HDU by its index, and what turns its stored values into the
    values wanted (None: they are those already)."""

    hdu_index: int
    convert: Callable[[np.ndarray], np.ndarray] | None


def _in_memory(
    hdul: fits.HDUList, image: _Image, drop: tuple[int | slice, ...], spectral_axis: int
) -> Any:
    """The image with its spectral axis last: a view of the memory map, or a
    `LazyImage` that converts (scales, or turns a variance into a sigma)
    block by block."""
    raw = hdul[image.hdu_index].data[drop]
    if image.convert is None:
        return np.moveaxis(raw, spectral_axis, -1)
    return LazyImage(raw, image.convert).moved(spectral_axis, -1)


def _lazy(
    path: Path,
    hdul: fits.HDUList,
    image: _Image,
    drop: tuple[int | slice, ...],
    spectral_axis: int,
    chunks: tuple[Any, ...],
) -> Any:
    """The image with its spectral axis last as a Dask array whose blocks
    are read (and converted) by whichever process computes them."""
    import dask.array as da
    from dask.base import tokenize

    hdu = hdul[image.hdu_index]
    source = LazyImage(FitsData(path, hdu, drop, hdu.data[drop]), image.convert)
    source = source.moved(spectral_axis, -1)
    stat = path.stat()
    name = "quillet-read-" + tokenize(
        str(path.resolve()), stat.st_mtime_ns, stat.st_size, image, drop, spectral_axis, chunks
    )
    # The source goes into every task (it pickles as a path): as a key of its
    # own, every block would depend on the one worker that holds it.
    return da.from_array(
        source,
        chunks=chunks,
        name=name,
        meta=np.empty((0,) * source.ndim, source.dtype),
        inline_array=True,
    )


def dask_chunks(spatial: tuple[int, ...], chunks: Any, channels: int) -> tuple[Any, ...]:
    """Dask chunks for a cube of ``spatial`` shape with its spectral axis
    last and whole: from "auto" (about 16 MB of float32 per block), a number
    of spectra per block (whole trailing axes, as `quillet.rows` takes its
    blocks), or one block length per spatial axis."""
    if isinstance(chunks, str):
        if chunks != "auto":
            raise ValueError(f"chunks must be 'auto', a number or a tuple, not {chunks!r}")
        from .cube_fit import default_chunk_rows

        chunks = default_chunk_rows(channels)
    if isinstance(chunks, (int, np.integer)):
        if chunks < 1:
            raise ValueError(f"chunks must be a positive number of spectra, not {chunks}")
        lengths = []
        inner = 1
        for size in reversed(spatial):
            take = max(1, min(size, int(chunks) // inner))
            lengths.append(take)
            inner *= take
        return (*reversed(lengths), -1)
    given = tuple(chunks)
    if len(given) != len(spatial):
        raise ValueError(
            f"chunks {given} must give one block length per spatial axis, {len(spatial)} here"
        )
    return (*given, -1)


def _noise(
    hdul: fits.HDUList,
    data_hdu: Any,
    error_hdu: int | str | None,
    error_kind: str | None,
    unit: u.UnitBase | None,
    path: Path,
) -> tuple[_Image | None, str]:
    """Where the noise is (an HDU, and what turns its values into sigmas),
    and a few words on it."""
    shape = tuple(data_hdu.shape)
    if error_hdu is None:
        named = [
            item
            for item in hdul
            if item is not data_hdu and item.is_image and (item.name or "").upper() in _ERROR_NAMES
        ]
        candidates = [item for item in named if tuple(item.shape) == shape]
        if not candidates:
            if error_kind is not None:
                raise ValueError(
                    f"error_kind={error_kind!r} (--error-kind) was given, but {path} has no "
                    "error HDU of the data's shape named ERR, STAT, VAR...; name it with "
                    f"error_hdu= (--error-hdu); the file has {_describe_hdus(hdul)}"
                )
            if named:
                warnings.warn(
                    f"{path}: HDU {named[0].name} looks like noise but is "
                    f"{tuple(named[0].shape)}, not the data's {shape}; it is not used "
                    "(name the noise HDU with error_hdu=, --error-hdu)",
                    stacklevel=3,
                )
                return None, f"none used ({named[0].name} is not of the data's shape)"
            return None, "none in the file"
        item = candidates[0]
    else:
        try:
            item = hdul[error_hdu]
        except (KeyError, IndexError):
            raise ValueError(
                f"{path} has no HDU {error_hdu!r} to read the noise from; it has "
                f"{_describe_hdus(hdul)}"
            ) from None
        if not item.is_image or tuple(item.shape) != shape:
            raise ValueError(
                f"the error HDU {error_hdu!r} of {path} must be an image of the data's shape "
                f"{shape}, not {tuple(item.shape) if item.is_image else 'a table'}"
            )
    name = item.name or str(error_hdu)
    kind, factor = _error_kind(item, unit, error_kind)
    if kind is None:
        raise ValueError(
            f"cannot tell whether HDU {name} of {path} holds sigmas or variances: its BUNIT "
            "is neither the data's unit nor its square and its name does not say; give "
            "error_kind='sigma' or 'variance' (--error-kind)"
        )
    scaling = Scaling.of(item.header, item.data.dtype)
    note = f"{name} ({kind.replace('_', ' ')})"
    if factor != 1.0:
        note += f", from {header_unit(item.header, 'BUNIT')} to the unit of the data, {unit}"
    if kind == "sigma" and scaling is None and factor == 1.0:
        return _Image(hdul.index(item), None), note
    return _Image(hdul.index(item), ToSigma(kind, factor, scaling)), note


def _error_kind(
    item: Any, unit: u.UnitBase | None, error_kind: str | None
) -> tuple[str | None, float]:
    """What an error HDU holds, and the factor that brings its values to the
    data's unit (its square for a variance, its inverse square for an
    inverse variance): mJy errors of Jy data are read as 0.001 Jy."""
    error_unit = header_unit(item.header, "BUNIT")
    factors: dict[str, float] = {}
    if unit is not None and error_unit is not None:
        for kind, power in (("sigma", 1), ("variance", 2), ("inverse_variance", -2)):
            with contextlib.suppress(u.UnitsError):
                factor = float(error_unit.to(unit**power))
                factors[kind] = 1.0 if math.isclose(factor, 1.0, rel_tol=1e-9) else factor
    if error_kind is not None:
        return error_kind, factors.get(error_kind, 1.0)
    # A dimensionless unit is its own square: its BUNIT cannot tell the kinds apart.
    if len(factors) == 1:
        ((kind, factor),) = factors.items()
        return kind, factor
    return _ERROR_NAMES.get((item.name or "").upper()), 1.0


def _sqrt(values: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore"):  # a negative variance is a bad pixel: NaN
        sigma: np.ndarray = np.sqrt(values)
    return sigma


def _inverse_sqrt(values: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore", divide="ignore"):  # no weight: infinite noise
        sigma: np.ndarray = 1.0 / np.sqrt(values)
    return sigma


_TO_SIGMA: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "sigma": lambda values: values,
    "variance": _sqrt,
    "inverse_variance": _inverse_sqrt,
}


def _spatial_wcs(wcs: WCS, spec: int, ndim: int) -> WCS | None:
    if ndim == 1:
        return None
    if wcs.has_celestial and wcs.celestial.naxis == ndim - 1:
        return wcs.celestial
    return wcs.dropaxis(spec)

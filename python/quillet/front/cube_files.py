"""`read_cube`: a spectral cube (or slit, or spectrum) read from a FITS file.

It finds the data HDU (the first image with a spectral axis, unless named),
the spectral axis in its WCS (converted to km/s by `quillet.data.spectral_axis`),
the noise in an error extension (sigma, variance or inverse variance, by
name or by unit), and the celestial WCS of the spatial axes; the data stay
on disk and are read a block at a time (`quillet.data.fits_images`). The file
and every header card the axes depend on are checked first
(`quillet.data.fits_files`): a read that cannot be right stops with one line.
"""

from __future__ import annotations

import contextlib
import math
import os
import warnings
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import astropy.units as u
import numpy as np
from astropy.io import fits
from astropy.utils.exceptions import AstropyWarning
from astropy.wcs import WCS, WcsError

from ..basics.errors import InputError, QuilletWarning
from ..basics.rows import dask_chunks
from ..basics.units import header_unit
from ..data.cube import Cube, observation_cards
from ..data.fits_files import (
    BITPIX_DTYPES,
    HduLayout,
    card_value,
    check_regular_file,
    fits_layout,
    hdu_name,
    raw_cards,
)
from ..data.fits_images import (
    ERROR_KINDS,
    ImageSource,
    Scaling,
    ToSigma,
    image_as_dask,
    image_in_memory,
)
from ..data.spectral_axis import (
    CONVENTIONS,
    SPECTRAL_TYPES,
    VELOCITY_TYPES,
    WAVELENGTH_TYPES,
    channel_velocities,
)

__all__ = ["read_cube"]

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
        None (the default) for array-likes read from the file a block at a
        time as they are sliced (`quillet.data.fits_images.LazyImage`), or
        Dask arrays read block by block in whichever process computes them:
        "auto" (blocks of about 16 MB), a number of spectra per block, or one
        block length per spatial axis. The spectral axis is never split.

    Raises ``ValueError`` with a message that says what is wrong with the
    file and how to mend it; ``OSError`` when it cannot be read.
    """
    path = Path(path)
    if convention is not None and convention not in CONVENTIONS:
        raise InputError(f"convention must be one of {', '.join(CONVENTIONS)}, not {convention!r}")
    if error_kind is not None and error_kind not in ERROR_KINDS:
        raise InputError(f"error_kind must be one of {', '.join(ERROR_KINDS)}, not {error_kind!r}")
    try:
        z = float(redshift)
    except (TypeError, ValueError):
        z = math.nan
    if not (math.isfinite(z) and z > -1.0):
        raise InputError(
            f"redshift must be a finite number above -1 (0 for a source at rest), not {redshift!r}"
        )
    # What astropy and wcslib say of the header is told as part of the one
    # message that stops a read, never as output of its own.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            cube = _read(path, hdu, error_hdu, error_kind, rest_wavelength, z, convention, chunks)
        except InputError as error:
            raise InputError(_with_header_warnings(error, caught)) from None
    for record in caught:
        if not _header_warning(record):
            warnings.warn(record.message, stacklevel=2)
    return cube


def _read(
    path: Path,
    hdu: int | str | None,
    error_hdu: int | str | None,
    error_kind: str | None,
    rest_wavelength: Any,
    z: float,
    convention: str | None,
    chunks: Any,
) -> Cube:
    status = check_regular_file(path)
    layouts = fits_layout(path, status.st_size)
    try:
        hdul = fits.open(path, memmap=True, do_not_scale_image_data=True)
    except OSError as error:
        raise InputError(f"cannot read {path} as FITS: {' '.join(str(error).split())}") from None
    with hdul:
        data_hdu = _data_hdu(hdul, hdu, path)
        index = hdul.index(data_hdu)
        header = data_hdu.header.copy()
        inherited = {} if index == 0 else observation_cards(hdul[0].header)
        cards = raw_cards(layouts, hdul, index)
        name = hdu_name(header, index)
        where = f"{path}, HDU {name}"
        naxis = int(header["NAXIS"])
        axes = max(naxis, _wcs_axes(cards, where))
        for axis in range(1, axes + 1):
            card_value(cards, f"CTYPE{axis}", "string", where, "each axis's type is a string")
        full, spec, alone, refusal = _wcs_parts(header, hdul, name, path, axes)
        _check_axis_cards(cards, spec, axes, where, "the spectral axis needs it")
        spectral_wcs = alone if full is None else _spectral_alone(full, spec, where)
        keep = _kept_axes(header, spec, full, name, path)
        spatial_wcs, wcs_note = _spatial_wcs(
            cards, full, [a for a in keep if a != spec], axes, refusal, where
        )
        if spatial_wcs is not None and "DATE-OBS" in inherited and not spatial_wcs.wcs.dateobs:
            # The maps carry the inherited date, which a WCS read from them
            # takes in: the cube's WCS takes it in too (a helioprojective
            # frame needs it to place the observer).
            spatial_wcs.wcs.dateobs = str(inherited["DATE-OBS"])
            spatial_wcs.wcs.datfix()  # MJD-OBS, as a WCS read from the maps has it
        velocity, spectral_notes, frame = channel_velocities(
            spectral_wcs,
            header,
            spec,
            0,
            int(header[f"NAXIS{spec + 1}"]),
            rest_wavelength,
            z,
            convention,
            path,
        )
        numpy_axis = len(keep) - 1 - keep.index(spec)
        drop = _dropped_index(header, keep)
        unit = header_unit(header, "BUNIT")
        data_image = ImageSource(index, _scaling(header, cards, where))
        noise_image, noise_note = _noise_image(
            hdul, layouts, data_hdu, error_hdu, error_kind, unit, path
        )
        if chunks is None:
            data = image_in_memory(path, hdul, data_image, drop, numpy_axis)
            noise = (
                None
                if noise_image is None
                else image_in_memory(path, hdul, noise_image, drop, numpy_axis)
            )
        else:
            stored = [int(header[f"NAXIS{a}"]) for a in range(naxis, 0, -1)]
            kept = [n for n, entry in zip(stored, drop, strict=True) if not isinstance(entry, int)]
            blocks = dask_chunks(
                tuple(n for i, n in enumerate(kept) if i != numpy_axis), chunks, velocity.size
            )
            data = image_as_dask(path, hdul, data_image, drop, numpy_axis, blocks)
            noise = None if noise_image is None else image_as_dask(
                path, hdul, noise_image, drop, numpy_axis, blocks
            )  # fmt: skip

    provenance = {
        "input": str(path.resolve()),
        "hdu": name,
        **spectral_notes,
        "noise": noise_note,
        "spatial_wcs": wcs_note,
    }
    return Cube(
        data=data,
        velocity=velocity,
        noise=noise,
        wcs=spatial_wcs,
        header=header,
        unit=unit,
        provenance=provenance,
        inherited=inherited,
        frame=frame,
    )


def _header_warning(record: warnings.WarningMessage) -> bool:
    """Whether a warning is astropy's or wcslib's about a header (or a file
    astropy left open when it failed), which a read reports in its own
    words, never as output of its own."""
    return issubclass(record.category, (AstropyWarning, ResourceWarning))


def _with_header_warnings(error: InputError, caught: list[warnings.WarningMessage]) -> str:
    """An error's message with what astropy and wcslib said of the header
    while it was read: of the card the error names, if it names one."""
    keyword = getattr(error, "keyword", None)
    said: list[str] = []
    for record in caught:
        if not issubclass(record.category, AstropyWarning):
            continue
        text = " ".join(str(record.message).split())
        if text not in said and (keyword is None or keyword in text):
            said.append(text)
    message = " ".join(str(error).split())
    if not said:
        return message
    library = "; ".join(said)
    if len(library) > 300:
        library = library[:297] + "..."
    return f"{message} (astropy: {library})"


def _describe_hdus(hdul: fits.HDUList) -> str:
    parts = []
    for index, item in enumerate(hdul):
        naxis = int(item.header.get("NAXIS", 0))
        dims = [int(item.header.get(f"NAXIS{i}", 0)) for i in range(naxis, 0, -1)]
        kind = "x".join(map(str, dims)) + " image" if naxis and item.is_image else "no image"
        name = hdu_name(item.header, index)
        parts.append(f"{index}: {'no EXTNAME' if name == str(index) else name} ({kind})")
    return "; ".join(parts)


def _data_hdu(hdul: fits.HDUList, hdu: int | str | None, path: Path) -> Any:
    if hdu is not None:
        try:
            chosen = hdul[hdu]
        except (KeyError, IndexError):
            raise InputError(f"{path} has no HDU {hdu!r}; it has {_describe_hdus(hdul)}") from None
        if not chosen.is_image or int(chosen.header.get("NAXIS", 0)) < 1:
            raise InputError(
                f"HDU {hdu!r} of {path} holds no image; the file has {_describe_hdus(hdul)}"
            )
        return chosen
    images = [item for item in hdul if item.is_image and int(item.header.get("NAXIS", 0)) >= 1]
    if not images:
        raise InputError(f"{path} holds no image; it has {_describe_hdus(hdul)}")
    # The first image with a spectral axis: a file may open with a picture
    # of the field before its cube. With none, the first image, whose lack
    # of a spectral axis the caller then explains.
    return next(iter(spectral_images(hdul)), images[0])


def spectral_images(hdul: fits.HDUList, *, noise: bool = True) -> list[Any]:
    """The image HDUs of a file whose WCS has a spectral axis, in order: the
    windows of a slit spectrograph's file (IRIS, SPICE) are one each. With
    ``noise=False``, not those named as noise (ERR, STAT, VAR...)."""
    found = []
    for item in hdul:
        if not item.is_image or int(item.header.get("NAXIS", 0)) < 1:
            continue
        if not noise and (item.name or "").upper() in _ERROR_NAMES:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                if WCS(item.header, hdul).wcs.spec >= 0:
                    found.append(item)
            except (ValueError, MemoryError, WcsError):
                continue
    return found


def _kept_axes(
    header: fits.Header, spec: int, full: WCS | None, hdu_name: str, path: Path
) -> list[int]:
    """The FITS axes (0-based) read: all of them for up to three, else the
    spectral axis and every axis longer than one pixel (a radio cube's
    Stokes axis of one plane, say), and the partner of a celestial axis so
    kept, even of one pixel, so that the two stay a sky."""
    naxis = int(header["NAXIS"])
    if naxis <= 3:
        return list(range(naxis))
    keep = [a for a in range(naxis) if a == spec or int(header[f"NAXIS{a + 1}"]) > 1]
    if full is not None and len(keep) < 3:
        pair = {int(full.wcs.lng), int(full.wcs.lat)}
        if -1 not in pair and len(pair & set(keep)) == 1:
            keep = sorted({*keep, *pair})
    if len(keep) > 3:
        raise InputError(
            f"HDU {hdu_name} of {path} has {len(keep)} axes longer than one pixel; quillet "
            "reads images of one to three (the spectral axis and up to two spatial axes)"
        )
    return keep


def _dropped_index(header: fits.Header, keep: list[int]) -> tuple[int | slice, ...]:
    """NumPy index that drops the one-pixel axes not kept."""
    naxis = int(header["NAXIS"])
    return tuple(slice(None) if a in keep else 0 for a in range(naxis - 1, -1, -1))


def wcslib_reason(error: BaseException) -> str:
    """wcslib's reason for refusing a WCS, without the lines that name its C
    function, source file and line."""
    return " ".join(
        line.strip()
        for line in str(error).splitlines()
        if line.strip() and not line.lstrip().startswith("ERROR ")
    )


def _wcs_axes(cards: Mapping[str, str], where: str) -> int:
    value = card_value(cards, "WCSAXES", "whole", where, "it counts the axes of the WCS")
    return 0 if value is None else int(value)


def _wcs_parts(
    header: fits.Header, hdul: fits.HDUList, hdu_name: str, path: Path, axes: int
) -> tuple[WCS | None, int, WCS | None, str | None]:
    """The whole WCS of the data HDU (None where wcslib refuses it), the
    spectral axis (0-based FITS axis), its WCS alone where the whole WCS was
    refused, and why it was. A spectral axis that stands alone is read even when the
    spatial part cannot be used: a sit-and-stare raster's spatial CDELT of 0
    makes the whole matrix singular, not the spectral axis."""
    try:
        full = WCS(header, hdul)
    except (WcsError, ValueError, MemoryError) as error:
        full, refusal = None, wcslib_reason(error) or "wcslib refuses it"
    else:
        spec = _spectral_axis_of(full, int(header["NAXIS"]), hdu_name, path, hdul)
        return full, spec, None, None
    for axis in range(axes):
        try:
            alone = WCS(header, hdul, naxis=[axis + 1])
        except (WcsError, ValueError, MemoryError):
            continue
        if alone.wcs.spec == 0 and axis < int(header["NAXIS"]):
            return None, axis, alone, refusal
    raise InputError(
        f"the WCS of HDU {hdu_name} of {path} cannot be used: {refusal} "
        "Check the axis keywords (CTYPE, CUNIT, CRVAL, CDELT or CD, PC, CRPIX); a CDELT of 0 "
        "or a unit wcslib does not know (write 'Angstrom', 'nm', 'Hz', 'm/s') is the usual cause"
    )


def _spectral_alone(full: WCS, spec: int, where: str) -> WCS:
    """The spectral axis's own WCS, taken from the whole one."""
    try:
        return full.sub([spec + 1])
    except (WcsError, ValueError, MemoryError) as error:
        raise InputError(
            f"{where}: the spectral axis (FITS axis {spec + 1}) cannot be read alone: "
            f"{wcslib_reason(error)} Its PC or CD row mixes it with another axis; quillet "
            "reads spectral axes that depend on their own pixel alone"
        ) from None


def _check_axis_cards(
    cards: Mapping[str, str], axis: int, axes: int, where: str, need: str
) -> None:
    """Every card a FITS axis's world coordinate depends on must hold a value
    of its kind: what wcslib cannot parse it takes as absent, and would read
    as its default (CRVAL 0, CDELT 1) without a word."""
    n = axis + 1
    for key in (f"CTYPE{n}", f"CUNIT{n}"):
        card_value(cards, key, "string", where, need)
    coupled = {n}
    for j in range(1, axes + 1):
        for key in (f"CD{n}_{j}", f"PC{n}_{j}"):
            value = card_value(cards, key, "number", where, need)
            if value:
                coupled.add(j)
    for key in (f"CRVAL{n}", f"CDELT{n}", f"CROTA{n}", *(f"CRPIX{j}" for j in sorted(coupled))):
        card_value(cards, key, "number", where, need)
    for key in ("RESTFRQ", "RESTFREQ", "RESTWAV"):
        card_value(cards, key, "number", where, "the rest value of the line needs it")
    card_value(cards, "VELREF", "whole", where, need)
    for key in list(cards):
        if key.startswith((f"PV{n}_", f"PS{n}_")):
            card_value(cards, key, "number" if key[1] == "V" else "string", where, need)


def _spectral_axis_of(wcs: WCS, ndim: int, hdu_name: str, path: Path, hdul: fits.HDUList) -> int:
    """The index (0-based, FITS order) of the spectral axis of the WCS."""
    spec = int(wcs.wcs.spec)
    ctypes = [c or "(none)" for c in wcs.wcs.ctype]
    if spec < 0:
        known = ", ".join([*WAVELENGTH_TYPES, *SPECTRAL_TYPES, *VELOCITY_TYPES])
        raise InputError(
            f"HDU {hdu_name} of {path} has no spectral axis in its WCS (CTYPEs: "
            f"{', '.join(ctypes)}); one axis needs a spectral CTYPE ({known}) with "
            "CRVAL, CDELT (or CD) and CRPIX, so that each channel has a wavelength, "
            "frequency or velocity. If the spectra are in another HDU, name it (hdu=); "
            f"the file has {_describe_hdus(hdul)}"
        )
    if spec >= ndim:
        raise InputError(
            f"the spectral axis of HDU {hdu_name} of {path} is WCS axis {spec + 1}, "
            f"but the image has only {ndim} axes"
        )
    return spec


def _noise_image(
    hdul: fits.HDUList,
    layouts: list[HduLayout] | None,
    data_hdu: Any,
    error_hdu: int | str | None,
    error_kind: str | None,
    unit: u.UnitBase | None,
    path: Path,
) -> tuple[ImageSource | None, str]:
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
                raise InputError(
                    f"error_kind={error_kind!r} was given, but {path} has no "
                    "error HDU of the data's shape named ERR, STAT, VAR...; name it with "
                    f"error_hdu=; the file has {_describe_hdus(hdul)}"
                )
            if named:
                warnings.warn(
                    f"{path}: HDU {named[0].name} looks like noise but is "
                    f"{tuple(named[0].shape)}, not the data's {shape}; it is not used "
                    "(name the noise HDU with error_hdu=)",
                    QuilletWarning,
                    stacklevel=3,
                )
                return None, f"none used ({named[0].name} is not of the data's shape)"
            return None, "none in the file"
        item = candidates[0]
    else:
        try:
            item = hdul[error_hdu]
        except (KeyError, IndexError):
            raise InputError(
                f"{path} has no HDU {error_hdu!r} to read the noise from; it has "
                f"{_describe_hdus(hdul)}"
            ) from None
        if not item.is_image or tuple(item.shape) != shape:
            raise InputError(
                f"the error HDU {error_hdu!r} of {path} must be an image of the data's shape "
                f"{shape}, not {tuple(item.shape) if item.is_image else 'a table'}"
            )
    name = hdu_name(item.header, hdul.index(item))
    kind, factor = _error_kind(item, unit, error_kind)
    if kind is None:
        raise InputError(
            f"cannot tell whether HDU {name} of {path} holds sigmas or variances: its BUNIT "
            "is neither the data's unit nor its square and its name does not say; give "
            "error_kind='sigma' or 'variance'"
        )
    scaling = _scaling(
        item.header, raw_cards(layouts, hdul, hdul.index(item)), f"{path}, HDU {name}"
    )
    note = f"{name} ({kind.replace('_', ' ')})"
    if factor != 1.0:
        note += f", from {header_unit(item.header, 'BUNIT')} to the unit of the data, {unit}"
    if kind == "sigma" and scaling is None and factor == 1.0:
        return ImageSource(hdul.index(item), None), note
    return ImageSource(hdul.index(item), ToSigma(kind, factor, scaling)), note


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


def _spatial_wcs(
    cards: Mapping[str, str],
    full: WCS | None,
    spatial: list[int],
    axes: int,
    refusal: str | None,
    where: str,
) -> tuple[WCS | None, str]:
    """The WCS of the spatial axes kept (the celestial WCS where there is
    one), and a few words on it. A spatial WCS that cannot be used (a card
    that holds no value, a singular matrix, one celestial axis without the
    other) costs only itself: a warning, and maps on pixel axes."""
    if not spatial:
        return None, "none (one spectrum)"
    reason = refusal
    if reason is None:
        try:
            for axis in spatial:
                _check_axis_cards(cards, axis, axes, where, "the spatial WCS needs it")
        except InputError as error:
            reason = str(error).removeprefix(f"{where}: ")
    if reason is None and full is not None:
        try:
            sub = full.sub([axis + 1 for axis in spatial])
        except (WcsError, ValueError, MemoryError) as error:
            reason = wcslib_reason(error)
        else:
            if sub.has_celestial and sub.celestial.naxis == len(spatial):
                return sub.celestial, "celestial"
            return sub, "pixel axes or other"
    warnings.warn(
        f"{where}: the spatial WCS cannot be used ({reason}); the spectral axis is read, "
        "and the maps will have pixel axes only",
        QuilletWarning,
        stacklevel=2,
    )
    return None, f"unusable ({reason})"


def _scaling(header: fits.Header, cards: Mapping[str, str], where: str) -> Scaling | None:
    """The scaling of an image's stored values, its cards checked."""
    need = "the data's values need it"
    for key in ("BSCALE", "BZERO"):
        card_value(cards, key, "number", where, need)
    stored = np.dtype(BITPIX_DTYPES[int(header["BITPIX"])])
    if stored.kind in "iu":
        card_value(cards, "BLANK", "whole", where, need)
    return Scaling.of(header, stored)

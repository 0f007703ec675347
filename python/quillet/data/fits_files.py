"""FITS files checked before anything reads them, and their HDUs by name.

A path may name no file, a folder, a device or a FIFO; a file may be cut
short by a copy or a transfer that did not finish; a header may declare
axes it never gives. `check_regular_file` refuses what is not a regular
file before it is opened (a FIFO is never opened: that would block), and
`fits_layout` walks the file's headers, block by block, before astropy
does: every structural card (BITPIX, NAXIS, NAXISn, PCOUNT, GCOUNT) must
be a whole number in range, and every HDU's data must lie within the file,
or the read stops with one line that names the file, the HDU and the card.
`open_fits` does both and opens the file with astropy. An HDU is named by
its EXTNAME where it has one and by its index otherwise (`hdu_name`), the
way ``hdu=`` and ``--hdu`` take it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import stat
import warnings
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from ..basics.errors import InputError

__all__ = [
    "BITPIX_DTYPES",
    "CardError",
    "HduLayout",
    "card_value",
    "check_regular_file",
    "fits_layout",
    "hdu_name",
    "open_fits",
    "raw_cards",
    "truncation_message",
]

BLOCK = 2880
CARD = 80

#: The stored type of each BITPIX: FITS data are big-endian.
BITPIX_DTYPES = {8: "u1", 16: ">i2", 32: ">i4", 64: ">i8", -32: ">f4", -64: ">f8"}

# What a compressed file begins with: astropy opens gzip and bzip2 files
# itself, and their data cannot be measured before they are decompressed.
_COMPRESSED_MAGIC = (b"\x1f\x8b", b"BZh", b"PK\x03\x04")


def _role(role: str | None) -> str:
    return f" ({role})" if role else ""


def check_regular_file(path: Path, role: str | None = None) -> os.stat_result:
    """The file's status, when it is a regular file (or a link to one);
    otherwise an `InputError` that says what it is. Nothing is opened, so
    a FIFO cannot block and a device cannot be read without end."""
    try:
        status = path.stat()
    except (FileNotFoundError, NotADirectoryError):
        raise InputError(f"{path}: no such file{_role(role)}") from None
    except PermissionError:
        raise InputError(
            f"{path}: permission denied{_role(role)}; it cannot be read by this user"
        ) from None
    mode = status.st_mode
    if stat.S_ISREG(mode):
        return status
    if stat.S_ISDIR(mode):
        what = "a folder"
    elif stat.S_ISFIFO(mode):
        what = "a named pipe (FIFO), which is read once and cannot be measured or revisited"
    elif stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        what = "a device"
    elif stat.S_ISSOCK(mode):
        what = "a socket"
    else:
        what = "not a regular file"
    raise InputError(
        f"{path} is {what}, not a FITS file{_role(role)}; name a FITS file (copy a stream "
        "to a file first)"
    )


@dataclasses.dataclass(frozen=True)
class HduLayout:
    """Where an HDU lies in its file: its header, its data and their size as
    the header declares it."""

    index: int
    extname: str | None
    header_offset: int
    data_offset: int
    data_bytes: int
    cards: Mapping[str, str] = dataclasses.field(default_factory=dict, repr=False)

    @property
    def name(self) -> str:
        return self.extname or str(self.index)


def hdu_name(header: Any, index: int) -> str:
    """An HDU's name in every message and record: its EXTNAME, or its index
    where it has none (the primary HDU of a single-image file is "0")."""
    extname = header.get("EXTNAME") if header is not None else None
    if isinstance(extname, str) and extname.strip():
        return extname.strip()
    return str(index)


def truncation_message(path: Path, name: str, declared: int, present: int) -> str:
    return (
        f"{path} is truncated: the header of HDU {name} declares {declared} bytes of data, "
        f"the file has {max(present, 0)}; copy or download it again"
    )


def fits_layout(path: Path, size: int | None = None) -> list[HduLayout] | None:
    """Every HDU of the file as its headers declare it, each checked against
    the file's size; None for a compressed file (gzip, bzip2), which astropy
    reads whole. Raises `InputError` for a file that is not FITS, a header
    whose structural cards are missing or not whole numbers, and a file
    shorter than its headers say."""
    with open(path, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size if size is None else size
        start = stream.read(BLOCK)
        if start.startswith(_COMPRESSED_MAGIC):
            return None
        if not start.startswith(b"SIMPLE  ="):
            raise InputError(f"{path} is not a FITS file: it does not begin with the SIMPLE card")
        layouts: list[HduLayout] = []
        offset = 0
        while offset < size:
            if offset > 0:
                stream.seek(offset)
                start = stream.read(BLOCK)
                if not start.startswith(b"XTENSION="):
                    break  # bytes after the last HDU that begin no extension: not ours to read
            layout = _hdu_layout(stream, path, len(layouts), offset, start, size)
            layouts.append(layout)
            end = layout.data_offset + layout.data_bytes
            if end > size:
                raise InputError(
                    truncation_message(
                        path, layout.name, layout.data_bytes, size - layout.data_offset
                    )
                )
            offset = layout.data_offset + -(-layout.data_bytes // BLOCK) * BLOCK
        return layouts


def _hdu_layout(
    stream: Any, path: Path, index: int, offset: int, first: bytes, size: int
) -> HduLayout:
    """One HDU's layout from its header, which begins with ``first``."""
    cards: dict[str, str] = {}
    block = first
    at = offset
    while True:
        if len(block) < BLOCK:
            raise InputError(
                f"{path} is truncated: the header of HDU {index} has no END card before the "
                f"file ends at byte {size}; copy or download it again"
            )
        for i in range(0, BLOCK, CARD):
            image = block[i : i + CARD].decode("ascii", errors="replace")
            keyword = image[:8].rstrip()
            if keyword == "END":
                return _layout_of(cards, path, index, offset, at + BLOCK)
            if keyword and keyword not in cards:
                cards[keyword] = image
        at += BLOCK
        block = stream.read(BLOCK)


def _layout_of(
    cards: dict[str, str], path: Path, index: int, offset: int, data_offset: int
) -> HduLayout:
    extname = _card_value(cards, "EXTNAME")
    name = extname.strip() if isinstance(extname, str) and extname.strip() else str(index)
    where = f"{path}, HDU {name}"

    def whole(keyword: str, low: int, default: int | None = None) -> int:
        if keyword not in cards:
            if default is not None:
                return default
            raise InputError(f"{where}: the header has no {keyword} card; {_why(keyword)}")
        value = _card_value(cards, keyword)
        if isinstance(value, bool) or not isinstance(value, int) or value < low:
            raise InputError(
                f"{where}: {keyword} = {_raw(cards[keyword])} is not a whole number of "
                f"{low} or more; {_why(keyword)}"
            )
        return value

    bitpix = whole("BITPIX", -64)
    if bitpix not in BITPIX_DTYPES:
        raise InputError(
            f"{where}: BITPIX = {bitpix} is none of 8, 16, 32, 64, -32, -64; {_why('BITPIX')}"
        )
    naxis = whole("NAXIS", 0)
    if naxis > 999:
        raise InputError(f"{where}: NAXIS = {naxis} is more axes than FITS allows (999)")
    lengths = []
    for axis in range(1, naxis + 1):
        if f"NAXIS{axis}" not in cards:
            raise InputError(
                f"{where}: NAXIS = {naxis} declares {naxis} axes but the header has no "
                f"NAXIS{axis} card; {_why('NAXIS')}"
            )
        lengths.append(whole(f"NAXIS{axis}", 0))
    pcount = whole("PCOUNT", 0, 0)
    gcount = whole("GCOUNT", 1, 1)
    if naxis == 0:
        data_bytes = 0
    else:
        groups = index == 0 and lengths[0] == 0 and _card_value(cards, "GROUPS") is True
        elements = math.prod(lengths[1:]) if groups else math.prod(lengths)
        data_bytes = abs(bitpix) // 8 * gcount * (pcount + elements)
    return HduLayout(index, extname, offset, data_offset, data_bytes, cards)


def _why(keyword: str) -> str:
    return f"the size of the data depends on {keyword}, so the file cannot be read safely"


def _card_value(cards: dict[str, str], keyword: str) -> Any:
    """A card's value as astropy parses it; None when absent or unparsable."""
    image = cards.get(keyword)
    if image is None:
        return None
    from astropy.io import fits

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fits.Card.fromstring(image).value
        except (ValueError, fits.VerifyError):
            return None


def _raw(image: str) -> str:
    """The value as the card writes it, without its comment."""
    text = image[10:] if image[8:10] == "= " else image[8:]
    text = text.strip()
    if text.startswith("'"):
        closing = text.find("'", 1)
        while closing != -1 and text[closing + 1 : closing + 2] == "'":
            closing = text.find("'", closing + 2)
        return text if closing == -1 else text[: closing + 1]
    return text.split("/")[0].strip() or "(nothing)"


@contextlib.contextmanager
def open_fits(path: Path, role: str | None = None, **options: Any) -> Iterator[Any]:
    """The file opened by astropy once it is known to be a regular file
    whose every HDU lies within it (see `fits_layout`)."""
    from astropy.io import fits

    status = check_regular_file(path, role)
    try:
        fits_layout(path, status.st_size)
    except InputError as error:
        if role is None:
            raise
        raise InputError(f"{role}: {error}") from None
    try:
        hdul = fits.open(path, **options)
    except OSError as error:
        text = " ".join(str(error).split()) or type(error).__name__
        raise InputError(f"cannot read {path} as FITS{_role(role)}: {text}") from None
    with hdul:
        yield hdul


class CardError(InputError):
    """A header card whose value is missing, unparsable or of the wrong kind;
    ``keyword`` names it."""

    def __init__(self, message: str, keyword: str) -> None:
        super().__init__(message)
        self.keyword = keyword


_KINDS = {
    "number": "a finite number",
    "whole": "a whole number",
    "string": "a string",
}


def raw_cards(layouts: list[HduLayout] | None, hdul: Any, index: int) -> Mapping[str, str]:
    """The cards of an HDU's header as the file writes them (the first of
    each keyword), by keyword: from the layout where the file was walked,
    else (a compressed file) as astropy read them."""
    if layouts is not None and index < len(layouts):
        return layouts[index].cards
    cards: dict[str, str] = {}
    for card in hdul[index].header.cards:
        cards.setdefault(card.keyword, getattr(card, "_image", None) or card.image)
    return cards


def card_value(cards: Mapping[str, str], keyword: str, kind: str, where: str, need: str) -> Any:
    """The value of a header card (``cards`` as `raw_cards` gives them),
    checked to be of ``kind`` ("number": a finite real number; "whole";
    "string"), or None where the card is absent. A card that is present but
    has no value indicator (``= ``), a value astropy cannot parse (``NAN``,
    ``1.0.0``) or one of another kind raises a `CardError` naming the
    card; ``need`` says why it matters."""
    from astropy.io import fits

    image = cards.get(keyword)
    if image is None:
        return None
    if image[8:10] != "= ":
        raise CardError(
            f"{where}: the card {image.rstrip()!r} has no '= ' after its keyword, so "
            f"{keyword} holds no value; {need}",
            keyword,
        )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            value = fits.Card.fromstring(image).value
        except (ValueError, fits.VerifyError):
            value = None
    if kind == "string":
        fits_kind = isinstance(value, str)
    elif isinstance(value, bool) or not isinstance(value, (int, float)):
        fits_kind = False
    elif kind == "whole":
        fits_kind = isinstance(value, int)
    else:
        fits_kind = math.isfinite(value)
    if not fits_kind:
        raise CardError(
            f"{where}: {keyword} = {_raw(image)} is not {_KINDS[kind]}; {need}", keyword
        )
    return value

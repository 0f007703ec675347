"""Outputs written whole or not at all.

Every file or folder the package writes (maps, pictures, Zarr stores) is
made under a temporary name in its target's folder and renamed into place
only when complete (`atomic_output`), so a crash or Ctrl-C never leaves a
partial output under the final name, and nothing that exists is replaced
unless asked.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path

__all__ = ["atomic_output", "refuse_existing"]


@contextlib.contextmanager
def atomic_output(path: str | os.PathLike[str], *, overwrite: bool = False) -> Iterator[Path]:
    """A temporary path in the target's folder that becomes ``path`` only
    when the block ends without an error: a crash or Ctrl-C never leaves a
    partial file under the final name, and an existing file is replaced only
    with ``overwrite``."""
    target = Path(path)
    refuse_existing(target, overwrite)
    folder = target.parent
    if not folder.is_dir():
        raise FileNotFoundError(f"the folder {folder} of {target} does not exist; create it first")
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=folder)
    os.close(handle)
    os.unlink(temporary)  # the writer makes the file (or folder) itself
    temp = Path(temporary)
    try:
        yield temp
        if overwrite:
            _replace(temp, target)
        else:
            _place_new(temp, target)
    except BaseException:
        _remove(temp)
        raise


def refuse_existing(target: Path, overwrite: bool) -> None:
    if target.exists() and not overwrite:
        raise FileExistsError(
            f"{target} exists; choose another name, or allow replacing it (overwrite=True)"
        )


def _place_new(temp: Path, target: Path) -> None:
    """Moves ``temp`` to a ``target`` that must not exist, without a window in
    which another writer's file could be replaced."""
    if temp.is_dir():
        try:
            os.rename(temp, target)  # fails on a non-empty existing folder
        except OSError:
            refuse_existing(target, False)
            raise
        return
    try:
        os.link(temp, target)
    except FileExistsError:
        refuse_existing(target, False)
    except OSError:  # a file system with no hard links
        refuse_existing(target, False)
        os.replace(temp, target)
        return
    os.unlink(temp)


def _replace(temp: Path, target: Path) -> None:
    if temp.is_dir() and target.exists():
        old = target.with_name(f".{target.name}.old")
        _remove(old)
        os.rename(target, old)
        os.rename(temp, target)
        _remove(old)
        return
    os.replace(temp, target)


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            path.unlink()

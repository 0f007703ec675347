"""Outputs: resolved once, checked before any work, written whole or not at
all.

Every file or folder the package writes (maps, pictures, Zarr stores) goes
through here:

- `resolve_output` follows the path once, before any work. A symbolic link
  at the output path is written through: the maps go to the file the link
  names (made there if the link dangles), and the link itself is kept, so
  the maps are where the user looks, as with a shell's ``>``. A link whose
  target's folder does not exist, or a loop of links, is refused. An output
  that is a file the run reads (the cube, a map of noise, mask or guides;
  the same file by its device and inode, or by its resolved path, so an
  alias through a link is caught too) is refused even with ``overwrite``.
  The folder must exist and take a file (``os.access`` and a real file
  made and removed), and, where the output's size is known, have room for
  it.
- `output_lock` is held by the one run writing an output: a lock file
  (``.NAME.quillet.lock``, locked with ``flock``) beside it. A second run
  to the same output, say a second ``--overwrite`` of one Zarr store, is
  refused at once rather than racing the first.
- `atomic_output` gives a temporary name in the target's folder,
  ``.NAME.quillet-PID-XXXXXXXX.part`` (NAME shortened so that the whole
  stays within the file system's name limit), which becomes the target
  only once complete: a folder replaces a folder by one atomic exchange of
  names where the system has it (Linux's ``renameat2``), else by two renames
  through a unique ``.old`` name. A crash, Ctrl-C or SIGTERM leaves no
  partial file under the final name, and removes its own temporary one; a
  temporary name left by a process that was killed outright holds that
  process's PID, and the next run to the same output removes it once no
  process of that PID is left. A full disk is an `OutputError` naming the
  file, not a crash.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import os
import re
import secrets
import shutil
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path

from .errors import OutputError

__all__ = [
    "Output",
    "atomic_output",
    "output_lock",
    "refuse_existing",
    "resolve_output",
]

# What the temporary and lock names add round an output's name: a leading
# dot, ".quillet-", a PID of up to ten digits, "-", eight hex digits and the
# longest ending, ".probe", with room to spare.
_NAME_ROOM = 40
_MARK = ".quillet"
_TEMP_NAME = re.compile(r"\.(?P<stem>.*)\.quillet-(?P<pid>\d+)-[0-9a-f]{8}\.(?:part|old|probe)")


@dataclass(frozen=True)
class Output:
    """An output path as the user named it (``given``) and as it is
    written (``target``: every symbolic link followed), of a file or, for a
    Zarr store, a folder. ``os.fspath`` of it is the target."""

    given: Path
    target: Path
    folder: bool = False

    def __fspath__(self) -> str:
        return str(self.target)

    def __str__(self) -> str:
        return str(self.given)

    @property
    def shown(self) -> str:
        """The output as a message names it: as given, and where it really
        is when that differs (a link written through)."""
        if self.given.is_symlink():
            return f"{self.given} (-> {self.target})"
        return str(self.given)


def resolve_output(
    path: str | os.PathLike[str],
    *,
    overwrite: bool = False,
    reads: Iterable[str | os.PathLike[str] | None] = (),
    folder: bool = False,
    size: int | None = None,
) -> Output:
    """The output ``path`` resolved and checked before any work: see the
    module's description. ``reads`` are the files the run reads, which the
    output may never be; ``size``, if known, the bytes it will take."""
    if isinstance(path, Output):
        output = path
    else:
        given = Path(path)
        output = Output(given, Path(os.path.realpath(given)), folder)
    given, target = output.given, output.target
    where = target.parent
    limit = _name_max(where)
    if len(os.fsencode(target.name)) > limit:
        raise OutputError(
            f"the name {target.name!r} is longer than the {limit} bytes its file system allows"
        )
    if not where.is_dir():
        if given.is_symlink():
            raise OutputError(
                f"{given} is a symbolic link to {os.readlink(given)}, whose folder {where} does "
                "not exist; create it, or remove the link"
            )
        raise FileNotFoundError(f"the folder {where} of {given} does not exist; create it first")
    if target.is_symlink():  # realpath stops at a loop of links
        raise OutputError(f"{given} is a loop of symbolic links; remove it or choose another name")
    for read in reads:
        if read is not None and _same_file(target, Path(read)):
            raise OutputError(
                f"{given} is a file this run reads ({read}): writing the output there would "
                "destroy an input, even with overwrite=True; choose another name"
            )
    refuse_existing(target, overwrite, output.shown)
    if target.exists() and target.is_dir() != output.folder:
        kind, other = ("a folder", "a file") if target.is_dir() else ("a file", "a folder")
        raise OutputError(
            f"{output.shown} is {kind}, which {other} cannot replace; choose another name"
        )
    _check_writable(where, target)
    if size is not None:
        check_room(output, size)
    return output


def refuse_existing(target: Path, overwrite: bool, shown: str | None = None) -> None:
    """Refuses an existing ``target`` unless ``overwrite``; the message names
    it as ``shown``."""
    if target.exists() and not overwrite:
        shown = str(target) if shown is None else shown
        raise FileExistsError(
            f"{shown} exists; choose another name, or allow replacing it (overwrite=True)"
        )


def check_room(output: Output, size: int) -> None:
    """Refuses an output of ``size`` bytes that its file system has no room
    for (the space ordinary users may take)."""
    stats = os.statvfs(output.target.parent)
    free = stats.f_bavail * stats.f_frsize
    if free < size:
        raise OutputError(
            f"no space left for {output.shown}: it needs {_megabytes(size)}, and "
            f"{output.target.parent} has {_megabytes(free)} free; free some space or write "
            "elsewhere"
        )


def _megabytes(size: int) -> str:
    return f"{size / 1e6:.3g} MB"


def _same_file(target: Path, read: Path) -> bool:
    with contextlib.suppress(OSError):
        if os.path.samefile(target, read):
            return True
    return target == Path(os.path.realpath(read))


def _name_max(folder: Path) -> int:
    try:
        return int(os.pathconf(folder, "PC_NAME_MAX"))
    except (OSError, ValueError):
        return 255


def _stem(target: Path) -> str:
    """The output's name as its temporary and lock names hold it: cut so
    that they stay within the file system's limit on a name's length."""
    room = _name_max(target.parent) - _NAME_ROOM
    encoded = os.fsencode(target.name)
    if len(encoded) <= room:
        return target.name
    return os.fsdecode(encoded[: max(room, 1)].decode("utf-8", "ignore").encode())


def _temporary(target: Path, ending: str) -> Path:
    name = f".{_stem(target)}{_MARK}-{os.getpid()}-{secrets.token_hex(4)}.{ending}"
    return target.parent / name


def _check_writable(where: Path, target: Path) -> None:
    """The folder takes a new file: by its permissions and mount (as
    ``os.access`` tells), and by a file made and removed in it, which also
    finds what permissions do not show (a full table of inodes, a mount
    that refuses writes for its own reasons) and gives the system's reason."""
    permitted = os.access(where, os.W_OK | os.X_OK)
    probe = _temporary(target, "probe")
    try:
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except OSError as error:
        reason = error.strerror or str(error)
    else:
        os.unlink(probe)
        if permitted:
            return
        reason = "permission denied"
    raise OutputError(f"cannot write {target.name} in {where}: {reason}; choose another folder")


# --- one writer per output ---------------------------------------------------------

# Lock files this process holds, and how many of its callers hold each: a
# command line takes an output's lock before its work and the writer takes
# it again, which flock would refuse as if from another run.
_held: dict[Path, tuple[int, int]] = {}


@contextlib.contextmanager
def output_lock(output: Output) -> Iterator[None]:
    """Held while this run writes ``output``; raises `OutputError` at once
    when another run holds it. Also removes what writers of the same output
    that were killed outright left behind."""
    lock = output.target.parent / f".{_stem(output.target)}{_MARK}.lock"
    if lock in _held:
        handle, count = _held[lock]
        _held[lock] = (handle, count + 1)
        try:
            yield
        finally:
            handle, count = _held[lock]
            _held[lock] = (handle, count - 1)
        return
    handle = _take_lock(lock, output)
    _held[lock] = (handle, 1)
    try:
        _remove_stale(output.target)
        yield
    finally:
        del _held[lock]
        with contextlib.suppress(OSError):
            os.unlink(lock)  # while still locked: a run waiting on it opens anew
        os.close(handle)


def _take_lock(lock: Path, output: Output) -> int:
    while True:
        try:
            handle = os.open(lock, os.O_RDWR | os.O_CREAT, 0o644)
        except OSError as error:
            raise OutputError(f"cannot write in {lock.parent}: {error.strerror}") from None
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(handle, 32, 0).decode("ascii", "replace").strip()
            os.close(handle)
            raise OutputError(
                f"{output.shown} is being written by another quillet run"
                + (f" (PID {holder})" if holder.isdigit() else "")
                + "; wait for it to end, or choose another name"
            ) from None
        # The holder before us may have removed the file as we opened it:
        # the lock counts only on the file that is still there.
        try:
            now = os.stat(lock)
        except FileNotFoundError:
            now = None
        held = os.fstat(handle)
        if now is not None and (now.st_dev, now.st_ino) == (held.st_dev, held.st_ino):
            os.ftruncate(handle, 0)
            os.pwrite(handle, f"{os.getpid()}\n".encode(), 0)
            return handle
        os.close(handle)


def _remove_stale(target: Path) -> None:
    """Removes the temporary names of ``target`` whose writers are gone."""
    stem = _stem(target)
    for entry in os.scandir(target.parent):
        found = _TEMP_NAME.fullmatch(entry.name)
        if found and found["stem"] == stem and not _alive(int(found["pid"])):
            _remove(Path(entry.path))


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # another user's process
        return True
    return True


# --- written whole or not at all ------------------------------------------------------


@contextlib.contextmanager
def atomic_output(
    path: str | os.PathLike[str],
    *,
    overwrite: bool = False,
    reads: Iterable[str | os.PathLike[str] | None] = (),
    folder: bool = False,
    size: int | None = None,
) -> Iterator[Path]:
    """A temporary path in the target's folder that becomes the output
    (`resolve_output`) only when the block ends without an error: a crash,
    Ctrl-C or SIGTERM never leaves a partial file under the final name, and
    an existing one is replaced only with ``overwrite``. A full disk raises
    `OutputError` naming the output."""
    output = resolve_output(path, overwrite=overwrite, reads=reads, folder=folder, size=size)
    with output_lock(output):
        temp = _temporary(output.target, "part")
        try:
            yield temp
            if overwrite:
                _replace(temp, output.target)
            else:
                _place_new(temp, output)
            _sync_folder(output.target.parent)
        except BaseException as error:
            _remove(temp)
            if isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT):
                raise OutputError(
                    f"no space left on the device of {output.target.parent} to write "
                    f"{output.shown}; nothing was written: free some space or write elsewhere"
                ) from None
            raise


def _place_new(temp: Path, output: Output) -> None:
    """Moves ``temp`` to a target that must not exist, without a window in
    which another writer's file could be replaced."""
    target = output.target
    if temp.is_dir():
        try:
            os.rename(temp, target)  # fails on a non-empty existing folder
        except OSError:
            refuse_existing(target, False, output.shown)
            raise
        return
    try:
        os.link(temp, target)
    except FileExistsError:
        refuse_existing(target, False, output.shown)
    except OSError:  # a file system with no hard links
        refuse_existing(target, False, output.shown)
        os.replace(temp, target)
        return
    os.unlink(temp)


def _replace(temp: Path, target: Path) -> None:
    if temp.is_dir() and target.is_dir():
        if _exchange(temp, target):
            _remove(temp)  # the old store, now under the temporary name
            return
        old = _temporary(target, "old")
        os.rename(target, old)
        os.rename(temp, target)
        _remove(old)
        return
    os.replace(temp, target)


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _exchange(first: Path, second: Path) -> bool:
    """Swaps two names in one step (Linux's renameat2 with RENAME_EXCHANGE);
    False where the system or its file system cannot."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError):
        return False
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                          ctypes.c_uint]  # fmt: skip
    done = renameat2(_AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second),
                     _RENAME_EXCHANGE)  # fmt: skip
    if done == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), str(second))


def _sync_folder(folder: Path) -> None:
    """The rename made durable, where the system allows a folder's fsync."""
    with contextlib.suppress(OSError):
        handle = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            path.unlink()

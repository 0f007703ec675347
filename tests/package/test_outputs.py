"""Where quillet writes, as the shell sees it: outputs through symbolic
links, outputs that are inputs, folders that cannot take the maps, a full
disk (a real tmpfs), names at the file system's limit, leftovers of killed
writers, and several runs writing one Zarr store at once. Every case runs
`python -m quillet` as a real subprocess."""

from __future__ import annotations

import contextlib
import os
import re
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from astropy.io import fits
from fits_cubes import line_cube, spectral_cards, write_cube

import quillet

COMMAND = [sys.executable, "-m", "quillet"]
VELOCITY = np.arange(-200.0, 200.5, 10.0)
VOPT = spectral_cards("VOPT", -200.0, 10.0, cunit="km/s")


def quillet_run(*words, cwd):
    return subprocess.run(
        [*COMMAND, *map(str, words)], capture_output=True, text=True, timeout=300, cwd=cwd
    )


def small_cube(folder: Path, spatial=(4, 5), name="cube.fits") -> Path:
    return write_cube(folder / name, line_cube(VELOCITY, spatial).astype(np.float32), VOPT)


def assert_one_line(stderr: str, *fragments: str) -> None:
    assert "Traceback" not in stderr
    assert stderr.count("\n") == 1 and stderr.startswith("quillet"), stderr
    for fragment in fragments:
        assert fragment in stderr, stderr


def leftovers(folder: Path) -> list[str]:
    """Temporary, probe and lock names of quillet's left in a folder."""
    return sorted(p.name for p in folder.rglob("*") if ".quillet" in p.name)


def is_maps(path: Path) -> bool:
    return path.is_file() and path.read_bytes()[:8] == b"SIMPLE  "


# --- links, inputs, folders: each case set up in a folder holding cube.fits, ----------
# maps.fits (an earlier run's maps) and guide.fits.


def link(name, to):
    return lambda folder: (folder / name).symlink_to(to)


def in_order(*steps):
    return lambda folder: [step(folder) for step in steps]


def make_folder(name):
    return lambda folder: (folder / name).mkdir()


# Each case: how the folder is set up, the words after `quillet`, the exit
# status, what the one line of standard error (status 2) or of standard
# output (status 0) says, and the file that must then hold maps (or a PNG).
LINK_AND_INPUT_CASES = {
    "dangling link written through": (
        in_order(make_folder("elsewhere"), link("new.fits", "elsewhere/t.fits")),
        "fit cube.fits --out new.fits", 0, "wrote new.fits (-> ", "elsewhere/t.fits",
    ),
    "link to a file kept": (
        link("old.fits", "maps.fits"), "fit cube.fits --out old.fits", 2, "exists", None,
    ),
    "link to a file replaced": (
        link("old.fits", "maps.fits"), "fit cube.fits --out old.fits --overwrite", 0,
        "wrote old.fits (-> ", "maps.fits",
    ),
    "link into no folder": (
        link("new.fits", "nowhere/t.fits"), "fit cube.fits --out new.fits", 2,
        "whose folder", None,
    ),
    "loop of links": (
        in_order(link("a.fits", "b.fits"), link("b.fits", "a.fits")),
        "fit cube.fits --out a.fits --overwrite", 2, "loop", None,
    ),
    "the cube": (None, "fit cube.fits --out cube.fits --overwrite", 2, "this run reads", None),
    "the cube through an alias": (
        link("alias.fits", "cube.fits"), "fit alias.fits --out cube.fits --overwrite", 2,
        "this run reads", None,
    ),
    "a link to the cube": (
        link("out.fits", "cube.fits"), "fit cube.fits --out out.fits --overwrite", 2,
        "this run reads", None,
    ),
    "the guide map": (
        None, "fit cube.fits --guide-map guide.fits --out guide.fits --overwrite", 2,
        "this run reads", None,
    ),
    "plot over its maps": (
        link("pic.png", "maps.fits"), "plot maps.fits --out pic.png --overwrite", 2,
        "this run reads", None,
    ),
    "plot through a dangling link": (
        in_order(make_folder("pics"), link("pic.png", "pics/p.png")),
        "plot maps.fits --out pic.png", 0, "wrote pic.png (-> ", "pics/p.png",
    ),
    "a folder in the way": (
        make_folder("dir.fits"), "fit cube.fits --out dir.fits --overwrite", 2, "is a folder",
        None,
    ),
    "a file as folder": (None, "fit cube.fits --out cube.fits/m.fits", 2, "does not exist", None),
    "a 250-character name": (None, f"fit cube.fits --out {'m' * 245}.fits", 0, "wrote mmm", None),
    "a 256-character name": (
        None, f"fit cube.fits --out {'m' * 251}.fits", 2, "longer than the 255 bytes", None,
    ),
}  # fmt: skip


@pytest.fixture(scope="module")
def earlier(tmp_path_factory):
    """A cube, its maps and a guide map, copied into each case's folder."""
    folder = tmp_path_factory.mktemp("earlier")
    small_cube(folder)
    done = quillet_run("fit", "cube.fits", "--out", "maps.fits", "--quiet", cwd=folder)
    assert done.returncode == 0, done.stderr
    fits.PrimaryHDU(np.zeros((4, 5))).writeto(folder / "guide.fits")
    return {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.mark.parametrize(
    ("set_up", "words", "status", "fragment", "written"),
    LINK_AND_INPUT_CASES.values(),
    ids=LINK_AND_INPUT_CASES,
)
def test_outputs_through_links_and_inputs(tmp_path, earlier, set_up, words, status, fragment,
                                          written):  # fmt: skip
    for name, content in earlier.items():
        (tmp_path / name).write_bytes(content)
    if set_up is not None:
        set_up(tmp_path)
    done = quillet_run(*words.split(), cwd=tmp_path)
    assert done.returncode == status, done.stderr
    if status == 2:
        assert_one_line(done.stderr, fragment)
        # Nothing the run read or found was touched.
        for name, content in earlier.items():
            assert (tmp_path / name).read_bytes() == content
    else:
        assert fragment in done.stdout
    if written is not None:
        target = tmp_path / written
        assert is_maps(target) or target.read_bytes()[:4] == b"\x89PNG"
        assert target.read_bytes() != earlier.get(written)
    assert leftovers(tmp_path) == []


def test_the_maps_are_reported_where_the_user_looks(tmp_path, earlier):
    # The words of the issue: a link to elsewhere/t.fits must not print
    # "wrote maps.fits" with nothing there.
    (tmp_path / "cube.fits").write_bytes(earlier["cube.fits"])
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "maps.fits").symlink_to("elsewhere/t.fits")
    done = quillet_run("fit", "cube.fits", "--out", "maps.fits", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert f"wrote maps.fits (-> {tmp_path}/elsewhere/t.fits)" in done.stdout.splitlines()
    assert (tmp_path / "maps.fits").is_symlink()
    assert quillet.read_maps(tmp_path / "maps.fits").shape == (4, 5)


# --- leftovers of writers killed outright ----------------------------------------------


def dead_pid() -> int:
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True)  # fmt: skip
    return int(gone.stdout)


def test_a_killed_writers_temporary_file_is_removed_by_the_next_run(tmp_path):
    small_cube(tmp_path)
    dead, alive = dead_pid(), os.getpid()
    stale = {
        f".maps.fits.quillet-{dead}-0123abcd.part": True,  # a dead writer's: removed
        f".maps.fits.quillet-{dead}-4567cdef.old": True,
        f".maps.fits.quillet-{alive}-89abcdef.part": False,  # a live process's: kept
        f".other.fits.quillet-{dead}-0123abcd.part": False,  # another output's: kept
        ".maps.fits.quillet-x-0123abcd.part": False,  # not a name quillet makes
    }
    for name in stale:
        (tmp_path / name).write_bytes(b"half the maps")
    (tmp_path / f".maps.fits.quillet-{dead}-76543210.part").mkdir()  # a store's
    (tmp_path / f".maps.fits.quillet-{dead}-76543210.part" / "a").write_bytes(b"x")
    done = quillet_run("fit", "cube.fits", "--out", "maps.fits", "--quiet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    kept = sorted(name for name, removed in stale.items() if not removed)
    assert leftovers(tmp_path) == kept
    assert is_maps(tmp_path / "maps.fits")


# --- a real tmpfs: full, read-only ------------------------------------------------------


@contextlib.contextmanager
def mounted_tmpfs(where: Path, options: str):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    where.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)],
                             capture_output=True, text=True)  # fmt: skip
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    try:
        yield where
    finally:
        subprocess.run(["umount", "-l", str(where)], check=False)


def fill(folder: Path, leave: int) -> None:
    """Fills a file system but for ``leave`` bytes."""
    stats = os.statvfs(folder)
    size = stats.f_bavail * stats.f_frsize - leave
    with open(folder / "filler", "wb") as stream, contextlib.suppress(OSError):
        stream.write(bytes(size))


def start_and_wait_for_the_fit(command, cwd) -> tuple[subprocess.Popen[bytes], bytes]:
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd)
    seen = b""
    deadline = time.monotonic() + 120.0
    while b"fitting" not in seen:
        ready, _, _ = select.select([process.stderr], [], [], deadline - time.monotonic())
        chunk = os.read(process.stderr.fileno(), 4096) if ready else b""
        assert chunk, f"the fit never began: {seen!r}"
        seen += chunk
    return process, seen


@pytest.fixture(scope="module")
def slow_cube(tmp_path_factory):
    """40,000 spectra: fitted one block of one at a time, long enough to
    fill a disk or start other runs meanwhile."""
    return small_cube(tmp_path_factory.mktemp("slow"), (200, 200))


@pytest.mark.parametrize(("out", "leave"), [("maps.fits", 200_000), ("maps.zarr", 0)])
def test_a_disk_that_fills_during_the_fit(tmp_path, slow_cube, out, leave):
    with mounted_tmpfs(tmp_path / "disk", "size=4m") as disk:
        command = [*COMMAND, "fit", str(slow_cube), "--out", str(disk / out), "--chunk-rows", "1"]
        process, seen = start_and_wait_for_the_fit(command, tmp_path)
        fill(disk, leave)
        stdout, stderr = process.communicate(timeout=300)
        assert process.returncode == 2, (seen + stderr).decode()  # not SIGBUS (-7)
        last = stderr.decode().strip().splitlines()[-1]
        assert last.startswith("quillet: error: no space left"), last
        assert f"{disk}/{out}" in last and "Traceback" not in stderr.decode()
        assert b"wrote" not in stdout
        assert sorted(p.name for p in disk.iterdir()) == ["filler"]


@pytest.mark.parametrize(
    ("options", "fragment"),
    [("size=64k", "no space left for"), ("size=4m,ro", "Read-only file system")],
    ids=["too small", "read-only"],
)
def test_a_folder_that_cannot_take_the_maps_is_refused_before_the_fit(tmp_path, options,
                                                                       fragment):  # fmt: skip
    cube = small_cube(tmp_path, (100, 100))
    with mounted_tmpfs(tmp_path / "disk", options) as disk:
        done = quillet_run("fit", cube, "--out", disk / "maps.fits", cwd=tmp_path)
        assert done.returncode == 2
        assert_one_line(done.stderr, fragment, str(disk))
        assert "fitted" not in done.stdout and "settings" not in done.stdout  # before the fit
        assert list(disk.iterdir()) == []


# --- several runs to one Zarr store -----------------------------------------------------


def assert_store_of(store: Path, shape) -> None:
    import xarray

    with xarray.open_zarr(store, consolidated=False) as maps:
        assert maps["flag"].shape == shape
        assert int((maps["flag"].values == 0).sum()) == int(np.prod(shape))


def test_a_second_run_to_a_store_being_written_is_refused_at_once(tmp_path, slow_cube):
    store = tmp_path / "maps.zarr"
    first_command = [*COMMAND, "fit", str(slow_cube), "--out", str(store), "--chunk-rows", "1"]
    first, _ = start_and_wait_for_the_fit(first_command, tmp_path)
    try:
        others = [
            subprocess.Popen([*COMMAND, "fit", str(slow_cube), "--out", str(store), "--overwrite"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(3)
        ]  # fmt: skip
        for other in others:
            _, stderr = other.communicate(timeout=120)
            assert other.returncode == 2
            assert_one_line(stderr, "being written by another quillet run", f"PID {first.pid}")
        assert first.poll() is None  # still at work, untouched by them
        first.communicate(timeout=300)
    finally:
        first.kill()
        first.wait()
    assert first.returncode == 0
    assert_store_of(store, (200, 200))
    assert leftovers(tmp_path) == []


def test_concurrent_overwrites_of_one_store_never_leave_it_half_replaced(tmp_path):
    cube = small_cube(tmp_path, (30, 40))
    store = tmp_path / "maps.zarr"
    done = quillet_run("fit", cube, "--out", store, "--quiet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    runs = [
        subprocess.Popen([*COMMAND, "fit", str(cube), "--out", str(store), "--overwrite",
                          "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for _ in range(4)
    ]  # fmt: skip
    outcomes = []
    for run in runs:
        _, stderr = run.communicate(timeout=300)
        outcomes.append(run.returncode)
        if run.returncode == 2:
            assert_one_line(stderr, "being written by another quillet run")
        else:
            assert run.returncode == 0 and stderr == "", stderr
    assert 0 in outcomes
    assert_store_of(store, (30, 40))
    assert leftovers(tmp_path) == []


def test_a_writer_killed_outright_leaves_a_name_the_next_run_knows(tmp_path, slow_cube):
    store = tmp_path / "maps.zarr"
    command = [*COMMAND, "fit", str(slow_cube), "--out", str(store), "--quiet"]
    for _ in range(5):  # the store's writing lasts a moment: caught within a few tries
        writer = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        temporary = []
        while writer.poll() is None and not temporary:
            temporary = [n for n in os.listdir(tmp_path) if n.endswith(".part")]
        writer.kill()
        writer.wait()
        if temporary and writer.returncode == -9:
            break
        shutil.rmtree(store, ignore_errors=True)
    else:
        pytest.skip("the writer never was caught while writing")
    assert temporary == [n for n in os.listdir(tmp_path) if n.endswith(".part")]
    assert re.fullmatch(rf"\.maps\.zarr\.quillet-{writer.pid}-[0-9a-f]{{8}}\.part", temporary[0])
    assert not store.exists()
    done = quillet_run(*command[3:], cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert leftovers(tmp_path) == []
    assert_store_of(store, (200, 200))


def test_a_cube_whose_name_is_no_utf8_is_fitted_and_recorded(tmp_path):
    # Found only once the maps were written, before: the name goes into
    # their header.
    name = os.fsdecode(b"c\xffbe.fits")
    cube = small_cube(tmp_path, name=name)
    done = quillet_run("fit", cube, "--out", "maps.fits", "--quiet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    recorded = quillet.read_maps(tmp_path / "maps.fits").provenance["input"]
    assert os.fsencode(recorded) == os.fsencode(cube.resolve())

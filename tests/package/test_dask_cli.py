"""quillet fit on Dask from the command line, as real subprocesses: a
LocalCluster it starts, a scheduler of its own that cannot be reached or is
lost mid-run, and the maps it writes, equal to those of a run in process."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from astropy.io import fits
from fits_cubes import line_cube, spectral_cards, write_cube

import quillet

VELOCITY = np.arange(-310.0, 311.0, 20.0)  # 32 channels of 20 km/s
MAP_NAMES = ["amplitude", "centre", "sigma", "amplitude_error", "flag", "window", "continuum"]


def quillet_command(*arguments: str, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "quillet", *arguments],
        capture_output=True, text=True, timeout=300, **kwargs,
    )  # fmt: skip


def cube_file(folder: Path, spatial=(30, 40), name="cube.fits") -> Path:
    rng = np.random.default_rng(5)
    data = line_cube(VELOCITY, spatial, centre=rng.uniform(-100, 100, spatial), noise=0.3)
    data = (data + 2.0).astype(np.float32)
    return write_cube(
        folder / name, np.moveaxis(data, -1, 0), spectral_cards("VRAD", -310.0, 20.0, cunit="km/s"),
        spectral_axis=0, header={"BUNIT": "K"},
    )  # fmt: skip


def assert_same_maps(left: Path, right: Path) -> None:
    a, b = quillet.read_maps(left), quillet.read_maps(right)
    for name in MAP_NAMES:
        x, y = np.asarray(getattr(a, name)), np.asarray(getattr(b, name))
        np.testing.assert_array_equal(x.view(np.uint8), y.view(np.uint8), err_msg=name)


@pytest.mark.parametrize(("chunks", "out"), [("7,11", "maps.fits"), ("auto", "maps.zarr")])
def test_a_local_cluster_writes_the_in_process_maps(tmp_path, chunks, out):
    cube = cube_file(tmp_path)
    options = ("--continuum", "edges", "--line-sigma", "30", "--quiet")
    here = quillet_command("fit", str(cube), "--out", str(tmp_path / "here.fits"), *options)
    assert here.returncode == 0, here.stderr
    there = quillet_command(
        "fit", str(cube), "--out", str(tmp_path / out), "--scheduler", "local:2",
        "--chunks", chunks, *options,
    )  # fmt: skip
    assert there.returncode == 0, there.stderr
    if out.endswith(".fits"):
        assert_same_maps(tmp_path / "here.fits", tmp_path / out)
    else:
        import xarray

        stored = xarray.open_zarr(tmp_path / out, consolidated=False)
        want = quillet.read_maps(tmp_path / "here.fits")
        for name in MAP_NAMES:
            np.testing.assert_array_equal(
                stored[name].values.view(np.uint8), np.asarray(getattr(want, name)).view(np.uint8)
            )


def test_moments_on_a_local_cluster_are_the_in_process_moments(tmp_path):
    cube = cube_file(tmp_path)
    options = ("--velocity-range", "-200,250", "--snr-min", "2", "--quiet")
    here = quillet_command("moments", str(cube), "--out", str(tmp_path / "here.fits"), *options)
    assert here.returncode == 0, here.stderr
    there = quillet_command(
        "moments", str(cube), "--out", str(tmp_path / "there.fits"), "--scheduler", "local:2",
        "--chunks", "7,11", *options,
    )  # fmt: skip
    assert there.returncode == 0, there.stderr
    with fits.open(tmp_path / "here.fits") as a, fits.open(tmp_path / "there.fits") as b:
        assert [h.name for h in a] == [h.name for h in b]
        for x, y in zip(a[1:], b[1:], strict=True):
            np.testing.assert_array_equal(x.data.view(np.uint8), y.data.view(np.uint8), x.name)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def test_an_unreachable_scheduler_is_a_clear_error(tmp_path):
    cube = cube_file(tmp_path, (4, 5))
    address = f"tcp://127.0.0.1:{free_port()}"
    run = quillet_command(
        "fit", str(cube), "--out", str(tmp_path / "maps.fits"), "--scheduler", address,
        "--connect-timeout", "1",
    )  # fmt: skip
    assert run.returncode == 2
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in run.stderr
    assert f"cannot reach the Dask scheduler at {address}" in lines[0]
    assert "--scheduler local:N" in lines[0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cube.fits"]


@pytest.mark.parametrize("scheduler", ["local:0", "local:x"])
def test_a_bad_local_cluster_is_a_usage_error(tmp_path, scheduler):
    cube = cube_file(tmp_path, (2, 2))
    run = quillet_command("fit", str(cube), "--out", str(tmp_path / "m.fits"), "--scheduler",
                          scheduler)  # fmt: skip
    assert run.returncode == 2 and "write local:N" in run.stderr


def test_chunks_need_a_scheduler(tmp_path):
    cube = cube_file(tmp_path, (2, 2))
    run = quillet_command("fit", str(cube), "--out", str(tmp_path / "m.fits"), "--chunks", "10")
    assert run.returncode == 2 and "give --scheduler too" in run.stderr


def start(*command: str) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", *command], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        text=True, start_new_session=True,
    )  # fmt: skip


def test_a_lost_scheduler_ends_with_status_2_and_no_output(tmp_path):
    cube = cube_file(tmp_path, (500, 600))  # 300,000 spectra, a thousand blocks
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    scheduler = start("distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port",
                      str(port), "--no-dashboard")  # fmt: skip
    worker = start("distributed.cli.dask_worker", address, "--nthreads", "1", "--no-dashboard")
    try:
        fit = subprocess.Popen(
            [sys.executable, "-m", "quillet", "fit", str(cube), "--out",
             str(tmp_path / "maps.fits"), "--scheduler", address, "--chunks", "300",
             "--connect-timeout", "5"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        # Wait until the fit is under way on the cluster: its settings are printed.
        assert fit.stdout is not None
        for line in fit.stdout:
            if line.startswith("  max_iter"):
                break
        time.sleep(0.5)
        os.killpg(scheduler.pid, signal.SIGKILL)
        _, stderr = fit.communicate(timeout=120)
    finally:
        for process in (worker, scheduler):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert fit.returncode == 2, stderr
    last = stderr.strip().splitlines()[-1]
    assert "Traceback" not in stderr
    assert last.startswith(f"quillet: error: lost the Dask scheduler at {address}"), last
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cube.fits"]


# A worker preload that kills its worker process outright as each task
# starts: the way a worker dies of its memory limit or a crash, every time.
KILLER = """
import os, signal
from distributed import WorkerPlugin

class DieOnEveryTask(WorkerPlugin):
    def transition(self, key, start, finish, **kwargs):
        if finish == "executing":
            os.kill(os.getpid(), signal.SIGKILL)

async def dask_setup(worker):
    await worker.plugin_add(DieOnEveryTask(), name="die-on-every-task")
"""


def cluster_run(tmp_path: Path, *options: str, workers: list[str], scheduler_env=None):
    """quillet fit on a scheduler of its own with the given workers (each a
    list of dask worker options): its status and standard error."""
    cube = cube_file(tmp_path, (20, 30))
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    env = {**os.environ, **(scheduler_env or {})}
    processes = [
        subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", str(port), "--no-dashboard"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True, env=env,
        )
    ]  # fmt: skip
    processes += [
        start("distributed.cli.dask_worker", address, "--nthreads", "1", "--no-dashboard",
              *worker)
        for worker in workers
    ]  # fmt: skip
    try:
        run = quillet_command(
            "fit", str(cube), "--out", str(tmp_path / "maps.fits"), "--scheduler", address,
            "--chunks", "100", "--quiet", *options,
        )  # fmt: skip
    finally:
        for process in processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return run


def test_workers_that_keep_dying_end_the_run_with_one_line(tmp_path):
    (tmp_path / "killer.py").write_text(KILLER)
    run = cluster_run(
        tmp_path,
        workers=[["--preload", str(tmp_path / "killer.py")]],
        scheduler_env={"DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "1"},
    )
    assert run.returncode == 2, run.stderr
    assert "Traceback" not in run.stderr and run.stderr.count("\n") == 1, run.stderr
    assert "died every time it was tried (KilledWorker" in run.stderr
    assert run.stderr.rstrip().endswith("; no maps were written")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cube.fits", "killer.py"]


def test_a_cluster_with_no_workers_ends_the_run_after_the_worker_timeout(tmp_path):
    began = time.monotonic()
    run = cluster_run(tmp_path, "--worker-timeout", "3", workers=[])
    assert run.returncode == 2, run.stderr
    assert "Traceback" not in run.stderr and run.stderr.count("\n") == 1, run.stderr
    assert "has had no workers for 3 s" in run.stderr
    assert run.stderr.rstrip().endswith("; no maps were written")
    assert time.monotonic() - began < 120
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cube.fits"]


def group_alive(group: int) -> bool:
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    return True


def test_ctrl_c_on_a_local_cluster_is_one_line_from_the_client(tmp_path):
    cube = cube_file(tmp_path, (500, 600))  # a thousand blocks of 300
    # Started in a group of its own, as a shell starts a command: Ctrl-C at
    # the terminal is SIGINT to every process of the group, workers included.
    fit = subprocess.Popen(
        [sys.executable, "-m", "quillet", "fit", str(cube), "--out", str(tmp_path / "maps.fits"),
         "--scheduler", "local:2", "--chunks", "300"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )  # fmt: skip
    try:
        assert fit.stdout is not None
        for line in fit.stdout:
            if line.startswith("  max_iter"):  # the settings: the fit is under way
                break
        time.sleep(1.0)
        os.killpg(fit.pid, signal.SIGINT)
        _, stderr = fit.communicate(timeout=120)
        deadline = time.monotonic() + 30
        while group_alive(fit.pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not group_alive(fit.pid), "a worker outlived the run"
    finally:
        if group_alive(fit.pid):
            os.killpg(fit.pid, signal.SIGKILL)
        fit.wait()
    assert fit.returncode == 130, stderr
    assert "Traceback" not in stderr
    lines = [m for m in stderr.replace("\r", "\n").splitlines() if m.strip()
             and not m.startswith("fitting")]  # fmt: skip
    assert lines == ["quillet: interrupted; no output was written for the unfinished step"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cube.fits"]

"""quillet on Dask: the in-process bits for every chunking and scheduler,
on a real two-process LocalCluster on loopback, through a worker's death."""

from __future__ import annotations

import gzip
import os
import pickle
import signal
import time
from contextlib import nullcontext

import dask
import dask.array as da
import numpy as np
import pytest
from clusters import two_process_client
from distributed import as_completed, futures_of
from fits_cubes import REAL_DATA

import quillet
import quillet.front.maps_files
import quillet.work.dask
from quillet.basics.pool import pool_size
from quillet.data.results import QUANTITIES

VELOCITY = np.linspace(-300.0, 300.0, 31)  # 20 km/s channels
SHAPE = (24, 30)
MAPS = [q.name for q in QUANTITIES] + ["flag", "window", "continuum"]


def line_cube(shape, seed):
    """Float32 spectra (spectral axis last) of lines over a sloping
    continuum, a few pixels missing."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-150.0, 150.0, (*shape, 1))
    amplitude = rng.uniform(0.0, 12.0, (*shape, 1))
    cube = amplitude * np.exp(-0.5 * ((VELOCITY - centre) / 30.0) ** 2) + 3.0 + VELOCITY / 300.0
    cube += rng.normal(0.0, 0.5, cube.shape)
    cube[rng.random(cube.shape) < 0.01] = np.nan
    return cube.astype(np.float32)


CUBE = line_cube(SHAPE, 1)
NOISE = np.full(CUBE.shape, 0.5, np.float32)
GUIDE = np.random.default_rng(2).uniform(-40.0, 40.0, SHAPE)
OFFSET = np.random.default_rng(3).uniform(-10.0, 10.0, SHAPE)
OPTIONS = dict(continuum="edges", line_sigma=30.0, progress=False)


def in_process(cube=CUBE, **extra):
    kwargs = dict(noise=NOISE, guide=GUIDE, velocity_offset=OFFSET, **OPTIONS)
    kwargs.update(extra)
    return quillet.fit_cube(cube, VELOCITY, **kwargs)


REFERENCE = in_process()


def assert_same_maps(got, want):
    for name in MAPS:
        a, b = np.asarray(getattr(got, name)), np.asarray(getattr(want, name))
        assert a.shape == b.shape, name
        np.testing.assert_array_equal(a.view(np.uint8), b.view(np.uint8), err_msg=name)


def lazy_fit(chunks, **extra):
    kwargs = dict(
        noise=da.from_array(NOISE, chunks=chunks),
        guide=da.from_array(GUIDE, chunks=5),
        velocity_offset=OFFSET,
        **OPTIONS,
    )
    kwargs.update(extra)
    return quillet.fit_cube(da.from_array(CUBE, chunks=chunks), VELOCITY, **kwargs)


CHUNKINGS = [(5, 7, -1), (1, 30, -1), (24, 30, -1), ((3, 11, 10), (13, 17), -1)]


@pytest.mark.parametrize("chunks", CHUNKINGS)
@pytest.mark.parametrize("scheduler", ["sync", "threads"])
def test_local_schedulers_give_the_in_process_bits(chunks, scheduler):
    fit = lazy_fit(chunks)
    assert fit.lazy and isinstance(fit.centre, da.Array)
    with dask.config.set(scheduler=scheduler):
        assert_same_maps(fit.compute(), REFERENCE)
        assert fit.flag_counts() == REFERENCE.flag_counts()
        assert fit.at((4, 17)) == REFERENCE.at((4, 17))


def test_process_scheduler_gives_the_in_process_bits():
    with dask.config.set(scheduler="processes", num_workers=2):
        assert_same_maps(lazy_fit((12, 15, -1)).compute(), REFERENCE)


def test_a_split_spectral_axis_is_rechunked_with_a_warning():
    cube = da.moveaxis(da.from_array(CUBE, chunks=(6, 6, 10)), -1, 0)  # spectral axis first
    with pytest.warns(UserWarning, match="spectral axis is split into 4 chunks"):
        fit = quillet.fit_cube(
            cube, VELOCITY, spectral_axis=0, noise=np.moveaxis(NOISE, -1, 0), guide=GUIDE,
            velocity_offset=OFFSET, **OPTIONS,
        )  # fmt: skip
    with dask.config.set(scheduler="sync"):
        assert_same_maps(fit.compute(), REFERENCE)


def test_bad_input_fails_before_any_graph_runs():
    with pytest.raises(ValueError, match="npix must be positive"):
        lazy_fit((5, 7, -1), npix=0)
    with pytest.raises(ValueError, match="guide of shape"):
        lazy_fit((5, 7, -1), guide=da.zeros((3, 3)))


@pytest.mark.parametrize(
    ("nthreads", "cores", "size"), [(1, None, 1), (4, None, 1), (1, 8, 8), (2, 8, 7), (8, 2, 1)]
)
def test_pool_size_fills_the_cores_the_threads_leave(nthreads, cores, size):
    assert pool_size(nthreads, cores) == size


# --- a real cluster on loopback ---------------------------------------------------


@pytest.fixture(scope="module")
def client():
    with two_process_client() as client:
        client.register_plugin(quillet.work.dask.QuilletWorkerPlugin())
        yield client


def test_workers_fit_on_their_own_threads(client):
    sizes = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert sorted(sizes.values()) == ["1", "1"]


@pytest.mark.parametrize("chunks", CHUNKINGS)
def test_distributed_gives_the_in_process_bits(client, chunks):
    fit = lazy_fit(chunks)
    assert_same_maps(fit.compute(), REFERENCE)
    persisted = fit.persist()
    assert persisted.lazy and futures_of(persisted.records)
    assert_same_maps(persisted.compute(), REFERENCE)


def generated_cube(rows, channels_chunk):
    """A lazy cube of ``rows`` spectra made on the workers, block by block
    from seeds of the block's place, so any worker makes the same block."""

    def make(block_info=None):
        (start, stop), _ = block_info[None]["array-location"]
        return line_cube((stop - start,), seed=start)

    return da.map_blocks(
        make, chunks=((channels_chunk,) * (rows // channels_chunk), (VELOCITY.size,)),
        dtype=np.float32,
    )  # fmt: skip


def test_a_killed_worker_costs_only_its_tasks(client):
    rows = 200_000
    cube = generated_cube(rows, 2_000)
    with dask.config.set(scheduler="sync"):
        reference = quillet.fit_cube(cube.compute(), VELOCITY, noise=0.5, **OPTIONS)
    fit = quillet.fit_cube(cube, VELOCITY, noise=0.5, **OPTIONS)
    pids = client.run(os.getpid)
    victim = sorted(pids.values())[0]
    records = client.persist(fit.records)
    done = 0
    for _ in as_completed(futures_of(records)):
        done += 1
        if done == 5:
            os.kill(victim, signal.SIGKILL)
            break
    assert done == 5  # the kill came while most of the fit was still to run
    result = quillet.LineFit.from_records(
        records, True, settings=fit.settings, velocity=fit.velocity
    ).compute()
    assert_same_maps(result, reference)
    # The nanny brought a new worker process up in the victim's place.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and victim in client.run(os.getpid).values():
        time.sleep(0.2)
    assert victim not in client.run(os.getpid).values()


@pytest.mark.parametrize("scheduler", ["threads", "distributed"])
def test_fits_and_zarr_outputs_stream_and_read_back_equal(client, tmp_path, scheduler):
    import xarray

    fit = lazy_fit((7, 8, -1))
    local = dask.config.set(scheduler="threads") if scheduler == "threads" else nullcontext()
    with local:
        fit.write_fits(tmp_path / "maps.fits")
        quillet.front.maps_files.write_zarr(fit, tmp_path / "maps.zarr")
    assert_same_maps(quillet.read_maps(tmp_path / "maps.fits"), REFERENCE)
    stored = xarray.open_zarr(tmp_path / "maps.zarr", consolidated=False)
    for name in MAPS:
        np.testing.assert_array_equal(
            stored[name].values.view(np.uint8), np.asarray(getattr(REFERENCE, name)).view(np.uint8)
        )
    assert stored["centre"].encoding["chunks"] == (7, 8)  # written block by block
    assert stored["flag"].attrs["flag_meanings"] == "success no_local_maximum no_convergence"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["maps.fits", "maps.zarr"]


def test_a_fits_cube_read_in_blocks_by_the_workers(client, tmp_path):
    muse = REAL_DATA / "muse_a478_halpha.fits"
    options = dict(rest_wavelength="6562.8 Angstrom", redshift=0.0858)
    reference = quillet.fit_cube(quillet.read_cube(muse, **options), continuum="edges")
    cube = quillet.read_cube(muse, chunks=(9, 16), **options)
    assert isinstance(cube.data, da.Array) and cube.data.chunks[-1] == (64,)
    assert isinstance(cube.noise, da.Array) and cube.noise.chunks == cube.data.chunks
    # A task carries the file's path and the data's place, never the data.
    assert len(pickle.dumps(cube.data.__dask_graph__())) < 100_000
    assert_same_maps(quillet.fit_cube(cube, continuum="edges").compute(), reference)


def test_a_compressed_file_cannot_be_read_in_blocks(tmp_path):
    packed = tmp_path / "cube.fits.gz"
    with gzip.open(packed, "wb") as out:
        out.write((REAL_DATA / "muse_a478_halpha.fits").read_bytes())
    with pytest.raises(ValueError, match=r"is compressed.*decompress it"):
        quillet.read_cube(packed, rest_wavelength="6562.8 Angstrom", chunks="auto")

"""fit_spectra_batch_guided as Python sees it: its input checks in order, its
rows against fit_single_spectrum, and the worker pool behind it (size from the
environment, threads, fork). The pool's own scheduling and the check order in
detail are proved by the C++ tests of worker_pool and fit_spectra_batch."""

import os
import signal
import subprocess
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from test_single_spectrum import SETTINGS
from test_single_spectrum import N as SG  # pixels used of each row

import _quillet

FAR = 1.0e12  # velocities this large leave the centre bounds no room: no fit


def line_batch(rows=40, columns=SG + 20):
    """Rows with one line each on 10 km/s pixels (pixel 50 at 0 km/s).
    Every fifth row from row 3 has a NaN guide (FLAG_NO_LOCAL_MAX); every
    seventh from row 5 has its peak among pixels 0-9, whose velocities near
    1e12 give the fit no room for its centre (FLAG_NO_CONVERGENCE). Columns
    from SG on hold NaN, as does the axis beyond SG."""
    k = np.arange(SG)
    axis = np.full(columns, np.nan, dtype=np.float32)
    axis[:SG] = 10.0 * k - 500.0
    axis[:10] = FAR + 1.0e6 * k[:10]
    spectra = np.full((rows, columns), np.nan, dtype=np.float32)
    noise = np.full((rows, columns), np.nan, dtype=np.float32)
    guides = np.empty(rows, dtype=np.float32)
    for r in range(rows):
        centre = -350.0 + 17.0 * r
        line = 3.0 * np.exp(-0.5 * ((axis[:SG].astype(np.float64) - centre) / 25.0) ** 2)
        ripple = 0.01 * np.sin(1.3 * k + r)
        guide = centre + 4.0
        if r % 7 == 5:
            line = 3.0 * np.exp(-0.5 * ((k - 4.0) / 1.5) ** 2)
            guide = axis[4]
        if r % 5 == 3:
            guide = np.nan
        spectra[r, :SG] = line + ripple
        noise[r, :SG] = 0.01
        guides[r] = guide
    return spectra, axis, noise, guides


def batch(spectra, dopp_slit, spec_noise, guides, **overrides):
    kwargs = dict(SETTINGS, **overrides)
    return _quillet.fit_spectra_batch_guided(spectra, dopp_slit, spec_noise, guides, **kwargs)


def single(spectrum, dopp_slit, spec_noise, guide, **overrides):
    kwargs = dict(SETTINGS, **overrides)
    return _quillet.fit_single_spectrum(spectrum, dopp_slit, spec_noise, guide, **kwargs)


def assert_same_bits(got, want):
    fits_got, windows_got = got
    fits_want, windows_want = want
    np.testing.assert_array_equal(fits_got.view(np.uint32), fits_want.view(np.uint32))
    np.testing.assert_array_equal(windows_got, windows_want)


def rows_one_by_one(spectra, dopp_slit, spec_noise, guides, **overrides):
    fits, windows = [], []
    for r in range(len(guides)):
        fit, window = single(spectra[r], dopp_slit, spec_noise[r], float(guides[r]), **overrides)
        fits.append(fit)
        windows.append(window)
    fits = np.array(fits, dtype=np.float32).reshape(-1, 8)
    return fits, np.array(windows, dtype=np.int32).reshape(-1, 2)


BATCH = line_batch()
SEQUENTIAL = rows_one_by_one(*BATCH)


def test_rows_carry_all_three_flags():
    flags = set(SEQUENTIAL[0][:, 7].tolist())
    assert flags == {
        _quillet.FLAG_SUCCESS,
        _quillet.FLAG_NO_LOCAL_MAX,
        _quillet.FLAG_NO_CONVERGENCE,
    }


# Three iterations are too few for most rows: they end in FLAG_NO_CONVERGENCE.
@pytest.mark.parametrize("max_iter", [2000, 3])
def test_row_i_is_fit_single_spectrum_of_row_i(max_iter):
    want = rows_one_by_one(*BATCH, max_iter=max_iter)
    assert_same_bits(batch(*BATCH, max_iter=max_iter), want)


@pytest.mark.parametrize("garbage", [np.nan, np.inf, -1.0e30, 7.0])
def test_columns_beyond_sg_xpixels_are_never_read(garbage):
    spectra, axis, noise, guides = (a.copy() for a in BATCH)
    spectra[:, SG:] = garbage
    noise[:, SG:] = garbage
    axis[SG:] = garbage
    assert_same_bits(batch(spectra, axis, noise, guides), SEQUENTIAL)
    cut = [np.ascontiguousarray(a[..., :SG]) for a in (spectra, axis, noise)]
    assert_same_bits(batch(*cut, guides), SEQUENTIAL)


def test_empty_batch_gives_empty_arrays():
    spectra = np.empty((0, SG), dtype=np.float32)
    fits, windows = batch(spectra, BATCH[1], spectra.copy(), np.empty(0, dtype=np.float32))
    assert (fits.shape, fits.dtype) == ((0, 8), np.float32)
    assert (windows.shape, windows.dtype) == ((0, 2), np.int32)


def fortran(a):
    return np.asfortranarray(a)


def every_second_row(a):
    doubled = np.repeat(a, 2, axis=0)
    return doubled[::2]


def every_second(a):
    doubled = np.repeat(a, 2)
    return doubled[::2]


EMPTY = np.empty(0, dtype=np.float32)
EMPTY_2D = np.empty((0, 0), dtype=np.float32)


def spoiled(spectra=None, dopp_slit=None, spec_noise=None, guides=None):
    base = line_batch(rows=6)
    arrays = [spectra, dopp_slit, spec_noise, guides]
    return [base[i] if a is None else a(base[i]) for i, a in enumerate(arrays)]


@pytest.mark.parametrize(
    "arrays, overrides, message",
    [
        pytest.param(
            spoiled(spec_noise=lambda a: a[:-1]),
            dict(xtol=0.0),
            "xtol, ftol, gtol, and max_iter must be positive",
            id="tolerance-before-noise-shape",
        ),
        pytest.param(
            [EMPTY_2D, EMPTY, EMPTY_2D, EMPTY],
            dict(sg_xpixels=0),
            "n_pixels must be positive",
            id="no-pixels-with-every-array-empty",
        ),
        pytest.param(
            spoiled(spectra=lambda a: a[:, : SG - 1], spec_noise=lambda a: a[:-1]),
            {},
            "spectra columns must be at least sg_xpixels",
            id="too-few-columns",
        ),
        pytest.param(
            spoiled(spec_noise=lambda a: a.T),
            {},
            "spec_noise shape must match spectra shape",
            id="noise-transposed",
        ),
        pytest.param(
            spoiled(guides=lambda a: np.append(a, np.float32(0.0))),
            {},
            "guide_velocities length must match spectra rows",
            id="guides-one-too-many",
        ),
        pytest.param(
            spoiled(dopp_slit=lambda a: a[: SG - 1], spectra=fortran),
            {},
            "dopp_slit must be at least sg_xpixels long",
            id="axis-too-short-before-layout",
        ),
        pytest.param(
            spoiled(spectra=fortran, dopp_slit=every_second),
            {},
            "spectra must be a C-contiguous float32 array",
            id="spectra-column-major",
        ),
        pytest.param(
            spoiled(spectra=every_second_row),
            {},
            "spectra must be a C-contiguous float32 array",
            id="spectra-row-slice",
        ),
        pytest.param(
            spoiled(dopp_slit=every_second, spec_noise=fortran),
            {},
            "dopp_slit must be a contiguous float32 array",
            id="axis-strided",
        ),
        pytest.param(
            spoiled(spec_noise=fortran, guides=every_second),
            {},
            "spec_noise must be a C-contiguous float32 array",
            id="noise-column-major",
        ),
        pytest.param(
            spoiled(guides=every_second),
            {},
            "guide_velocities must be a contiguous float32 array",
            id="guides-strided",
        ),
    ],
)
def test_first_failed_check_is_reported(arrays, overrides, message):
    with pytest.raises(ValueError) as caught:
        batch(*arrays, **overrides)
    assert str(caught.value) == message


def test_concurrent_batches_and_single_fits_match_sequential_results():
    batches = [line_batch(rows=rows) for rows in (1, 2, 17, 40)]
    expected = [rows_one_by_one(*b) for b in batches]
    spectra, axis, noise, guides = BATCH
    singles = [single(spectra[r], axis, noise[r], float(guides[r])) for r in range(8)]

    def batch_job(i):
        return "batch", i % len(batches), batch(*batches[i % len(batches)])

    def single_job(i):
        r = i % len(singles)
        return "single", r, single(spectra[r], axis, noise[r], float(guides[r]))

    jobs = [batch_job if i % 3 else single_job for i in range(48)]
    with ThreadPoolExecutor(max_workers=6) as executor:
        results = list(executor.map(lambda ij: ij[1](ij[0]), enumerate(jobs)))
    for kind, index, got in results:
        if kind == "batch":
            assert_same_bits(got, expected[index])
        else:
            np.testing.assert_array_equal(got[0].view(np.uint32), singles[index][0].view(np.uint32))
            assert got[1] == singles[index][1]


# A fresh interpreter that loads the batch saved by the test, prints its
# thread count before and after import, after a single fit and after each of
# two batches (the first one empty), then the second batch's result bytes.
POOL_SCRIPT = f"""
import os, sys
import numpy as np

def threads():
    return len(os.listdir("/proc/self/task"))

settings = {SETTINGS!r}
saved = np.load(sys.argv[1])
spectra, axis, noise, guides = (saved[name] for name in ("spectra", "axis", "noise", "guides"))
counts = [threads()]
import _quillet
counts.append(threads())
_quillet.fit_single_spectrum(spectra[0], axis, noise[0], float(guides[0]), **settings)
counts.append(threads())
_quillet.fit_spectra_batch_guided(spectra[:0], axis, noise[:0], guides[:0], **settings)
counts.append(threads())
fits, windows = _quillet.fit_spectra_batch_guided(spectra, axis, noise, guides, **settings)
counts.append(threads())
print(*counts)
print(fits.tobytes().hex())
print(windows.tobytes().hex())
"""


def run_in_fresh_interpreter(environment, directory):
    saved = directory / "batch.npz"
    spectra, axis, noise, guides = BATCH
    np.savez(saved, spectra=spectra, axis=axis, noise=noise, guides=guides)
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(environment, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run(
        [sys.executable, "-c", POOL_SCRIPT, str(saved)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
        timeout=300,
    )
    counts, fits, windows = done.stdout.splitlines()
    got = (
        np.frombuffer(bytes.fromhex(fits), np.float32).reshape(-1, 8),
        np.frombuffer(bytes.fromhex(windows), np.int32).reshape(-1, 2),
    )
    return [int(c) for c in counts.split()], got


DEFAULT_WORKERS = (os.cpu_count() or 1) - 1


@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, workers",
    [
        pytest.param(None, None, DEFAULT_WORKERS, id="default"),
        pytest.param("1", None, 0, id="one"),
        pytest.param("4", None, 3, id="four"),
        pytest.param("4", "2", 3, id="first-wins"),
        pytest.param("0", "3", DEFAULT_WORKERS, id="zero-is-default"),
        pytest.param("two", "3", 2, id="unparsable-falls-through"),
        pytest.param(None, "5", 4, id="second"),
    ],
)
def test_pool_starts_with_first_batch_sized_by_environment(
    num_threads, rs_num_cpus, workers, tmp_path
):
    variables = {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_num_cpus}
    environment = {name: value for name, value in variables.items() if value is not None}
    counts, got = run_in_fresh_interpreter(environment, tmp_path)
    before_import, after_import, after_single, after_first_batch, after_second_batch = counts
    assert after_import == before_import
    assert after_single == before_import
    assert after_first_batch == before_import + workers
    assert after_second_batch == after_first_batch
    assert_same_bits(got, SEQUENTIAL)


def test_forked_child_runs_batches_with_the_parents_results():
    parent = batch(*BATCH)  # the pool exists before the fork
    assert_same_bits(parent, SEQUENTIAL)
    stop = threading.Event()

    def keep_batching():
        while not stop.is_set():
            batch(*line_batch(rows=8))

    busy = threading.Thread(target=keep_batching)
    busy.start()
    read_end, write_end = os.pipe()
    try:
        with warnings.catch_warnings():
            # Forking a threaded process is what is being tested.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.close(read_end)
                signal.alarm(120)  # a deadlock ends the child instead of the test run
                fits, windows = batch(*BATCH)
                with os.fdopen(write_end, "wb") as out:
                    out.write(fits.tobytes() + windows.tobytes())
                status = 0
            finally:
                os._exit(status)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as received:
            payload = received.read()
        _, status = os.waitpid(pid, 0)
    finally:
        stop.set()
        busy.join()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    rows = len(BATCH[3])
    fits = np.frombuffer(payload[: rows * 32], np.float32).reshape(rows, 8)
    windows = np.frombuffer(payload[rows * 32 :], np.int32).reshape(rows, 2)
    assert_same_bits((fits, windows), SEQUENTIAL)

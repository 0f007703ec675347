"""Batches across fork(): a child forked before the worker pool exists, one
forked after it, and that child's own child all get the parent's results bit
for bit on pools of their own, and the parent's pool goes on working with the
same threads; so do worker processes of multiprocessing, forked or spawned.
(test_batch covers a fork while another thread is inside a batch.)"""

import multiprocessing
import warnings

import numpy as np
import pytest
from fresh_interpreter import run_json
from test_batch import BATCH, SEQUENTIAL, assert_same_bits, batch

# Runs in a fresh interpreter with a pool of three threads (two workers).
# Each process in the family reports its batch result and thread count.
FAMILY_SCRIPT = """
import json, os, signal, sys
from test_batch import BATCH, batch

def threads():
    return len(os.listdir("/proc/self/task"))

def result():
    fits, windows = batch(*BATCH)
    return fits.tobytes().hex() + windows.tobytes().hex()

def in_child(work):
    # Runs `work` in a forked child and returns what it reported.
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            signal.alarm(120)  # a deadlock ends the child, not the test run
            report = work()
            with os.fdopen(write_end, "w") as out:
                out.write(json.dumps(report))
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end) as received:
        report = received.read()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    return json.loads(report)

def child_without_pool():
    return {"threads_before": threads(), "result": result(), "threads_after": threads()}

def child_with_pool():
    before = threads()
    return {
        "threads_before": before,
        "results": [result(), result()],
        "threads_after": threads(),
        "grandchild": in_child(child_without_pool),
    }

family = {"threads_at_start": threads()}
family["child_before_pool"] = in_child(child_without_pool)
family["parent_first"] = result()
family["threads_with_pool"] = threads()
family["child_after_pool"] = in_child(child_with_pool)
family["parent_after_children"] = result()
family["threads_at_end"] = threads()
print(json.dumps(family))
"""

SEQUENTIAL_HEX = SEQUENTIAL[0].tobytes().hex() + SEQUENTIAL[1].tobytes().hex()


def test_children_before_and_after_the_pool_and_the_parent_agree():
    family = run_json(
        FAMILY_SCRIPT, RAYON_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1"
    )
    base = family["threads_at_start"]
    workers = 2
    # fork() copies only the forking thread: a child starts with one thread
    # and makes a pool of its own on its first batch.
    alone = 1

    before_pool = family["child_before_pool"]
    assert before_pool["result"] == SEQUENTIAL_HEX
    assert (before_pool["threads_before"], before_pool["threads_after"]) == (alone, alone + workers)

    assert family["parent_first"] == SEQUENTIAL_HEX
    assert family["threads_with_pool"] == base + workers

    after_pool = family["child_after_pool"]
    assert after_pool["results"] == [SEQUENTIAL_HEX, SEQUENTIAL_HEX]
    assert (after_pool["threads_before"], after_pool["threads_after"]) == (alone, alone + workers)
    grandchild = after_pool["grandchild"]
    assert grandchild["result"] == SEQUENTIAL_HEX
    assert (grandchild["threads_before"], grandchild["threads_after"]) == (alone, alone + workers)

    assert family["parent_after_children"] == SEQUENTIAL_HEX
    assert family["threads_at_end"] == base + workers


def fit_rows(rows):
    """Worker of the multiprocessing tests: the batch of the given rows."""
    spectra, axis, noise, guides = BATCH
    fits, windows = batch(spectra[rows], axis, noise[rows], guides[rows])
    return fits.tobytes(), windows.tobytes()


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_workers_fit_slices_with_the_parents_results(method):
    assert_same_bits(batch(*BATCH), SEQUENTIAL)  # this process's pool exists before the fork
    slices = [slice(start, start + 10) for start in range(0, len(BATCH[3]), 10)]
    context = multiprocessing.get_context(method)
    with warnings.catch_warnings():
        # Forking a process that runs threads is what is being tested.
        warnings.simplefilter("ignore", DeprecationWarning)
        with context.Pool(2) as pool:
            parts = pool.map(fit_rows, slices)
    fits = np.frombuffer(b"".join(f for f, _ in parts), np.float32).reshape(-1, 8)
    windows = np.frombuffer(b"".join(w for _, w in parts), np.int32).reshape(-1, 2)
    assert_same_bits((fits, windows), SEQUENTIAL)
    assert_same_bits(batch(*BATCH), SEQUENTIAL)

"""An internal fault inside a row job of the batch reaches Python as the
module's internal-fault exception (derived directly from BaseException), with
the interpreter lock taken back, no result returned, nothing leaked, and the
worker pool still working afterwards.

A fault cannot be provoked through the public interface, so these tests need
a build made with the CMake option QUILLET_FAULT_INJECTION, in which the job
of the batch row named by the environment variable QUILLET_FAULT_ROW throws.
tools/test.sh builds one; against any other build the tests skip. Each case
runs in a fresh interpreter, because the variable is read once per process."""

from pathlib import Path

import pytest
from fresh_interpreter import run_json
from test_leaks import sanitizer_loaded

import _quillet

HOOK_COMPILED_IN = b"QUILLET_FAULT_ROW" in Path(_quillet.__file__).read_bytes()
pytestmark = pytest.mark.skipif(
    not HOOK_COMPILED_IN, reason="needs a build with -DQUILLET_FAULT_INJECTION=ON"
)

FAULT_ROW = 5

# Runs in a fresh interpreter with QUILLET_FAULT_ROW set; prints what it saw
# as JSON. Batches of more than FAULT_ROW rows fault, shorter ones must not.
SCRIPT = """
import json, sys, threading
import numpy as np
import _quillet
from test_batch import SETTINGS, line_batch, rows_one_by_one
from test_leaks import resident_bytes

fault_row = int(sys.argv[1])
seen = {}

def batch(arrays):
    return _quillet.fit_spectra_batch_guided(*arrays, **SETTINGS)

def fault_of(arrays):
    result = "nothing raised"
    try:
        result = batch(arrays)
    except BaseException as error:
        return error, result
    return None, result

def same(got, want):
    return all(g.tobytes() == w.tobytes() for g, w in zip(got, want))

faulty = line_batch(rows=40)
short = line_batch(rows=fault_row)
single_row = line_batch(rows=1)
expected_short = rows_one_by_one(*short)

# A Python thread that keeps counting while the main thread meets faults.
counting = {"n": 0, "stop": False}
def count():
    while not counting["stop"]:
        counting["n"] += 1
counter = threading.Thread(target=count)
counter.start()

references = [sys.getrefcount(a) for a in faulty]
error, result = fault_of(faulty)
fault_type = type(error)
seen["type"] = [fault_type.__module__, fault_type.__qualname__]
seen["bases"] = [b.__qualname__ for b in fault_type.__bases__]
seen["is_exception"] = isinstance(error, Exception)
seen["message"] = str(error)
seen["returned"] = result != "nothing raised"
del error
seen["references_kept"] = [sys.getrefcount(a) for a in faulty] == references

seen["short_batch_after_fault"] = same(batch(short), expected_short)
seen["single_row_fault"] = str(fault_of(single_row)[0]) if fault_row == 0 else None

# Repeated faults leave memory flat: each leaked pair of result buffers of
# this batch would be 4 MB.
huge = tuple(np.repeat(a, 2500, axis=0) if a.ndim == 2 else a for a in line_batch(rows=40)[:3])
huge += (np.repeat(line_batch(rows=40)[3], 2500),)
fault_of(huge)
before = resident_bytes()
faults = [str(fault_of(huge)[0]) for _ in range(100)]
seen["rss_growth"] = resident_bytes() - before
seen["every_call_faulted"] = len(set(faults)) == 1

# Faulting and clean batches at once from two threads.
clean_results = []
def clean():
    for _ in range(50):
        clean_results.append(same(batch(short), expected_short))
def faulting():
    for _ in range(50):
        fault_of(faulty)
threads = [threading.Thread(target=clean), threading.Thread(target=faulting)]
for t in threads: t.start()
for t in threads: t.join()
seen["clean_beside_faults"] = clean_results == [True] * 50

counting["stop"] = True
counter.join()
seen["counter_ran"] = counting["n"] > 0
print(json.dumps(seen))
"""


def run(fault_row, workers):
    environment = dict(QUILLET_FAULT_ROW=str(fault_row), RAYON_NUM_THREADS=str(workers))
    return run_json(SCRIPT, fault_row, **environment)


# One worker thread: the faulting row runs on the caller. Three: it may run
# on a worker, whose exception must be carried back to the caller.
@pytest.mark.parametrize("workers", [1, 3])
def test_row_fault_is_an_internal_fault_and_the_pool_survives(workers):
    seen = run(FAULT_ROW, workers)
    assert seen["type"] == ["_quillet", "InternalFault"]
    assert seen["bases"] == ["BaseException"] and not seen["is_exception"]
    assert not seen["returned"]
    assert seen["message"] == f"injected fault in batch row {FAULT_ROW}"
    assert seen["references_kept"]
    assert seen["short_batch_after_fault"]
    assert seen["every_call_faulted"]
    assert seen["rss_growth"] < 16 * 2**20 or sanitizer_loaded(), seen["rss_growth"]
    assert seen["clean_beside_faults"]
    assert seen["counter_ran"]


def test_fault_in_a_one_row_batch_run_on_the_calling_thread():
    seen = run(0, 3)
    assert seen["single_row_fault"] == "injected fault in batch row 0"
    assert seen["clean_beside_faults"]  # empty batches, which have no row 0

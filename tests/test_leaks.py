"""Many calls leave the process as they found it: 100,000 calls of each module
function, valid ones and ones failing at every stage (binding, conversion of
the first and the last argument, an integer out of range, an exception from a
__float__, the body's checks), keep traced Python memory and the resident set
flat, and leave the reference counts of the inputs, the flag constants and
None unchanged. (Under a sanitizer the resident set is no measure and is not
checked.) A batch whose result buffers cannot be allocated returns nothing
and harms nothing."""

import gc
import signal
import sys
import tracemalloc

import numpy as np
import pytest
from fresh_interpreter import run

import _quillet

CALLS_PER_FUNCTION = 100_000
PAGE = 4096


class RaisingReal:
    """A number whose __float__ raises a fresh exception on every call (a
    re-raised instance would grow its traceback and look like a leak)."""

    def __init__(self, error_type):
        self.error_type = error_type

    def __float__(self):
        if self.error_type is TypeError:
            raise TypeError("planted") from LookupError("planted cause")
        raise self.error_type("planted")


def cases(call):
    """(callable, exception it raises or None) for one module function: every
    other call valid, so that a buffer leaked per result shows in the
    resident set, and the rest failing at each stage in turn."""
    first, last = call.names[0], call.names[-1]
    args = call.positional()
    reordered = dict(reversed(call.arguments.items()))
    strided = np.repeat(call.arguments[first], 2, axis=-1)[..., ::2]
    as_list = call.arguments[first].tolist()
    failing = [
        (lambda: call.function(*args, bogus=1), TypeError),
        (lambda: call.function(*args[: call.required - 1]), TypeError),
        (lambda: call(**{first: as_list}), TypeError),
        (lambda: call(**{last: 1.5}), TypeError),
        (lambda: call(max_iter=2**64), OverflowError),
        (lambda: call(xtol=None), TypeError),
        (lambda: call(xtol=RaisingReal(ValueError)), ValueError),
        (lambda: call(xtol=RaisingReal(TypeError)), TypeError),
        (lambda: call(xtol=-1.0), ValueError),
        (lambda: call(**{first: strided}), ValueError),
    ]
    valid = [(lambda: call.function(*args), None), (lambda: call.function(**reordered), None)]
    return [c for i, fail in enumerate(failing) for c in (valid[i % 2], fail)]


def run_cases(cases, rounds):
    for _ in range(rounds):
        for function, error in cases:
            if error is None:
                function()
            else:
                try:
                    function()
                except error:
                    pass
                else:
                    raise AssertionError("expected a failure")


def sanitizer_loaded():
    """Whether a sanitizer runtime is loaded into this process: its quarantine
    of freed memory and its shadow memory make the resident set no measure of
    leaks."""
    with open("/proc/self/maps") as maps:
        mapped = maps.read()
    return "libasan" in mapped or "libtsan" in mapped


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def watched_counts(call):
    """Reference counts that no call may change: the input arrays', the flag
    constants' and the function's own."""
    arrays = [a for a in call.arguments.values() if isinstance(a, np.ndarray)]
    flags = [_quillet.FLAG_SUCCESS, _quillet.FLAG_NO_LOCAL_MAX, _quillet.FLAG_NO_CONVERGENCE]
    return [sys.getrefcount(o) for o in arrays + flags + [call.function]]


# Every case runs thousands of times, so a path that took or dropped a
# reference to None would move its count by thousands; the interpreter's own
# caches may move it by one or two.
NONE_DRIFT = 8


def test_many_calls_leave_memory_and_references_flat(call):
    calls = cases(call)
    rounds = CALLS_PER_FUNCTION // len(calls)
    warm_up = rounds // 10
    run_cases(calls, warm_up)  # lazily made types, interned names, the pool

    gc.collect()
    counts = watched_counts(call)
    none_count = sys.getrefcount(None)
    tracemalloc.start()
    try:
        traced_before, _ = tracemalloc.get_traced_memory()
        resident_before = resident_bytes()
        run_cases(calls, rounds - warm_up)
        gc.collect()
        resident_growth = resident_bytes() - resident_before
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    assert watched_counts(call) == counts
    assert abs(sys.getrefcount(None) - none_count) <= NONE_DRIFT
    # A leak of one result buffer or one Python object per valid call would
    # be several MB by now; what remains is allocator noise.
    assert traced_growth < 64 * 1024, traced_growth
    assert resident_growth < 1024 * 1024 or sanitizer_loaded(), resident_growth


# A fresh interpreter whose address space is then capped so that the inputs
# of a batch fit but its two result buffers (40 bytes a row) do not.
STARVED_SCRIPT = """
import resource
import numpy as np
import _quillet
from test_batch import SETTINGS

settings = dict(SETTINGS, sg_xpixels=1)
rows = 4_000_000
axis = np.zeros(1, np.float32)
spectra, noise = np.zeros((rows, 1), np.float32), np.ones((rows, 1), np.float32)
guides = np.full(rows, np.nan, np.float32)
small = (spectra[:40], axis, noise[:40], guides[:40])
_quillet.fit_spectra_batch_guided(*small, **settings)  # the pool exists

with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 2**20, resource.RLIM_INFINITY))
for _ in range(3):
    try:
        _quillet.fit_spectra_batch_guided(spectra, axis, noise, guides, **settings)
        print("returned", flush=True)
    except MemoryError:
        print("MemoryError", flush=True)
fits, windows = _quillet.fit_spectra_batch_guided(*small, **settings)
print("small batch", fits.shape[0], flush=True)
"""


def test_a_batch_whose_results_cannot_be_allocated_returns_nothing():
    if sanitizer_loaded():
        pytest.skip("a sanitizer reserves more address space than the cap allows")
    done = run(STARVED_SCRIPT)
    lines = done.stdout.splitlines()
    assert "returned" not in lines
    # Running out of work memory may end the process, by exit or abort but not
    # by a stray signal; if the call raises instead, the process must carry on.
    if done.returncode == 0:
        assert lines == ["MemoryError"] * 3 + ["small batch 40"]
    else:
        assert done.returncode > 0 or done.returncode == -signal.SIGABRT, done.stderr

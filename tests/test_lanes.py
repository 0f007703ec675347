"""The batch's lanes against its scalar path, from Python.

QUILLET_LANES picks the path a process's batches take (read once): "scalar",
"avx2" or "avx512", the widest one the processor has when unset or when it
names one the processor lacks. Each path, in a process of its own, fits the
regression guard's batch workloads to the digests that guard pins; the C++
tests compare the paths row by row on hostile batches.
"""

import pytest
from fresh_interpreter import run_json
from test_regression_guard import EXPECTED, INPUT_DIGEST

BATCH_CASES = [name for name in EXPECTED if name.startswith("batch_")]

SCRIPT = """
import json
import test_regression_guard as guard
print(json.dumps({
    "input": guard.input_digest(),
    "cases": {name: guard.CASES[name]() for name in guard.EXPECTED if name.startswith("batch_")},
}))
"""


@pytest.mark.parametrize("path", ["scalar", "avx2", "avx512", "unknown"])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_every_path_gives_the_guarded_bits(path, threads):
    done = run_json(SCRIPT, QUILLET_LANES=path, RAYON_NUM_THREADS=threads)
    if done["input"] != INPUT_DIGEST:
        pytest.skip("the survey generator made other inputs here; the digests do not apply")
    assert done["cases"] == {name: EXPECTED[name] for name in BATCH_CASES}

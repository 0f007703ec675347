"""A batch of 1,000,000 rows of 64 pixels returns every row, and at its peak
the process holds no more than the inputs, the two result arrays and a few MB
besides: the batch copies no input and keeps nothing per row but its results.

It takes some seconds and about 600 MB, so it runs only when QUILLET_SCALE=1
(tools/test.sh runs it as a step of its own). The measurement is made in a
fresh interpreter, whose peak resident set (VmHWM) is its own."""

import os

import pytest
from fresh_interpreter import run_json

pytestmark = pytest.mark.skipif(
    os.environ.get("QUILLET_SCALE") != "1", reason="the 1,000,000-row batch needs QUILLET_SCALE=1"
)

ROWS = 1_000_000
PIXELS = 64
SLACK_BYTES = 4 * 2**20  # thread stacks, the interpreter's own churn

# Eight row patterns repeat down the batch, so every row's answer is known
# from eight single fits and the inputs are made by broadcasting, without a
# temporary as large as themselves.
SCRIPT = """
import json, sys
import numpy as np
import _quillet

ROWS, PIXELS = int(sys.argv[1]), int(sys.argv[2])
SETTINGS = dict(velocity_range=40.0, npix=8, npix_slack=2, dv=10.0, width_min=1.0,
                sg_xpixels=PIXELS, amplitude_rel_min=0.1, amplitude_rel_max=2.0,
                width_max=200.0, width_guess=20.0)

def status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

k = np.arange(PIXELS)
axis = (10.0 * k - 320.0).astype(np.float32)
patterns = np.empty((8, PIXELS), np.float32)
noise_patterns = np.empty((8, PIXELS), np.float32)
guides_pattern = np.empty(8, np.float32)
for p in range(8):
    centre = -200.0 + 55.0 * p
    width = 15.0 + 3.0 * p
    patterns[p] = 2.0 * np.exp(-0.5 * ((axis - centre) / width) ** 2) + 0.01 * np.sin(k + p)
    noise_patterns[p] = 0.01 + 0.001 * p
    guides_pattern[p] = centre + 3.0
guides_pattern[5] = np.nan      # FLAG_NO_LOCAL_MAX
patterns[6, 20:40] = -1.0       # no positive peak near the guide: FLAG_NO_LOCAL_MAX
expected = [_quillet.fit_single_spectrum(patterns[p], axis, noise_patterns[p],
                                         float(guides_pattern[p]), **SETTINGS) for p in range(8)]
expected_fits = np.array([e[0] for e in expected])
expected_windows = np.array([e[1] for e in expected], np.int32)

# The pool exists before the baseline is taken.
_quillet.fit_spectra_batch_guided(patterns, axis, noise_patterns, guides_pattern, **SETTINGS)

try:
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak starts again from the current resident set
except OSError:
    pass
baseline = status("VmRSS")

spectra = np.empty((ROWS, PIXELS), np.float32)
noise = np.empty((ROWS, PIXELS), np.float32)
guides = np.empty(ROWS, np.float32)
spectra.reshape(-1, 8, PIXELS)[...] = patterns
noise.reshape(-1, 8, PIXELS)[...] = noise_patterns
guides.reshape(-1, 8)[...] = guides_pattern
fits, windows = _quillet.fit_spectra_batch_guided(spectra, axis, noise, guides, **SETTINGS)
peak = status("VmHWM")

fit_bits = fits.view(np.uint32).reshape(-1, 8, 8)
print(json.dumps({
    "peak_growth": peak - baseline,
    "inputs": spectra.nbytes + noise.nbytes + guides.nbytes + axis.nbytes,
    "results": fits.nbytes + windows.nbytes,
    "shapes": [list(fits.shape), list(windows.shape)],
    "every_row_as_its_pattern": bool((fit_bits == expected_fits.view(np.uint32)).all()
                                     and (windows.reshape(-1, 8, 2) == expected_windows).all()),
    "flags": sorted(set(expected_fits[:, 7].tolist())),
}))
"""


def test_a_million_rows_fit_in_the_inputs_and_results_plus_a_few_mb():
    seen = run_json(SCRIPT, ROWS, PIXELS)
    print(seen)  # the figures, for the record
    assert seen["shapes"] == [[ROWS, 8], [ROWS, 2]]
    assert seen["flags"] == [0.0, 1.0]
    assert seen["every_row_as_its_pattern"]
    assert seen["peak_growth"] <= seen["inputs"] + seen["results"] + SLACK_BYTES

"""The NumPy DER_SNR that `_quillet_kernels.estimate_noise` replaced, kept as
it was to compare the kernel with, bit for bit (tests) and for speed
(benchmarks/noise_benchmark.py). Its median is the package's
`row_nanmedian`, which sorts each row (NaN last)."""

import numpy as np

from quillet.data.noise import DER_SNR_FACTOR, row_nanmedian


def numpy_der_snr(rows):
    """DER_SNR of each row of a 2-D float32 array, as float64, the second
    differences formed in float32."""
    if rows.shape[1] < 5:
        return np.full(rows.shape[0], np.nan)
    with np.errstate(invalid="ignore", over="ignore"):  # inf - inf is NaN, as meant
        second = rows[:, 2:-2] * np.float32(2.0)
        second -= rows[:, :-4]
        second -= rows[:, 4:]
    np.abs(second, out=second)
    return DER_SNR_FACTOR * row_nanmedian(second)

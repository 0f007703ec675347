"""_quillet_kernels.estimate_noise against the NumPy DER_SNR it replaced
(reference_noise.py): the same float64 bits for every row, whatever the NaN,
infinities, ties and lengths, and on the real observations of
tests/data/real."""

from pathlib import Path

import numpy as np
import pytest
from reference_noise import numpy_der_snr

import _quillet_kernels

REAL = Path(__file__).parent / "data" / "real"


def assert_same_bits(rows):
    got = _quillet_kernels.estimate_noise(rows)
    want = numpy_der_snr(rows)
    assert got.dtype == np.float64 and got.shape == (rows.shape[0],)
    # Every value to the bit, NaN included (both give NumPy's own NaN).
    assert got.tobytes() == want.tobytes()


def hostile_rows(rng, count, columns):
    """Noise with NaN, +-inf, huge values, runs of equal values and constant
    rows."""
    rows = rng.normal(size=(count, columns)).astype(np.float32)
    pick = rng.random(size=rows.shape)
    rows[pick < 0.05] = np.nan
    rows[(pick >= 0.05) & (pick < 0.07)] = np.inf
    rows[(pick >= 0.07) & (pick < 0.09)] = -np.inf
    rows[(pick >= 0.09) & (pick < 0.2)] = np.float32(1.5)
    rows[(pick >= 0.2) & (pick < 0.22)] = np.float32(3e38)  # 2 f overflows
    rows[::7] = np.float32(2.0)  # constant rows
    rows[3::11] = np.nan  # rows of no difference
    rows[5::13, ::2] = np.nan  # every other pixel: no difference either
    return rows


@pytest.mark.parametrize("columns", [*range(9), 512])
def test_kernel_gives_the_numpy_bits(columns):
    rng = np.random.default_rng(columns)
    # An odd and an even number of rows; NaN makes counts of differences of
    # both parities within rows.
    for count in (0, 1, 40, 41):
        assert_same_bits(hostile_rows(rng, count, columns))


def test_every_count_of_differences_from_one_to_all():
    rng = np.random.default_rng(5)
    rows = rng.normal(size=(30, 34)).astype(np.float32)
    for i in range(30):
        rows[i, 4 + i :] = np.nan
    assert_same_bits(rows)


def real_rows():
    from astropy.io import fits

    eis = np.load(REAL / "eis_fe12_192.npz")["intensity"]  # spectral axis last
    spice = np.load(REAL / "spice_c3_977.npz")
    spice_data = np.where(spice["mask"], np.nan, spice["intensity"])  # spectral axis first
    with fits.open(REAL / "muse_a478_halpha.fits") as hdus:
        muse = np.asarray(hdus["DATA"].data)  # spectral axis first
    return {
        "eis": eis.reshape(-1, eis.shape[-1]),
        "spice": np.moveaxis(spice_data, 0, -1).reshape(-1, spice_data.shape[0]),
        "muse": np.moveaxis(muse, 0, -1).reshape(-1, muse.shape[0]),
    }


@pytest.mark.parametrize("name", ["eis", "spice", "muse"])
def test_kernel_gives_the_numpy_bits_on_real_observations(name):
    rows = np.ascontiguousarray(real_rows()[name], dtype=np.float32)
    assert_same_bits(rows)


@pytest.mark.parametrize(
    "spectra, error",
    [
        (np.ones((4, 8), np.float32)[:, ::2], ValueError),
        (np.ones((8, 4), np.float32).T, ValueError),
        (np.ones((4, 8)), TypeError),
        (np.ones(8, np.float32), TypeError),
    ],
)
def test_spectra_must_be_2d_c_contiguous_float32(spectra, error):
    with pytest.raises(error, match="spectra"):
        _quillet_kernels.estimate_noise(spectra)


def test_input_is_not_written():
    rows = hostile_rows(np.random.default_rng(1), 20, 64)
    before = rows.tobytes()
    _quillet_kernels.estimate_noise(rows)
    assert rows.tobytes() == before


@pytest.mark.parametrize("columns", [21, 133, 600, 4099])
@pytest.mark.parametrize("order", ["ascending", "descending", "organ pipe", "few values", "spikes"])
def test_orders_that_try_the_selection_give_the_numpy_bits(columns, order):
    # Sorted and mirrored rows, rows of a few distinct values and rows of
    # equal values with spikes lead a median-of-three pivot astray.
    ramp = np.arange(columns, dtype=np.float32)
    rows = {
        "ascending": np.cumsum(np.cumsum(ramp)),
        "descending": np.cumsum(np.cumsum(ramp))[::-1],
        "organ pipe": np.concatenate([ramp[: columns // 2], ramp[columns // 2 :][::-1]]) ** 3,
        "few values": (np.arange(columns) * 7919 % 5).astype(np.float32),
        "spikes": np.where(np.arange(columns) % 17 == 0, 1e6, 1.0),
    }[order]
    rng = np.random.default_rng(columns)
    block = np.stack([rows, rows * 3, rng.permutation(rows)]).astype(np.float32)
    assert_same_bits(np.ascontiguousarray(block))

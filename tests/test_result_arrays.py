"""The arrays and tuples the module functions return: their element types,
shapes, strides and flags, the buffer owner behind them, the NaN pattern of
failed rows, and the caller's arrays left untouched and unreferenced."""

import gc
import sys

import numpy as np
import pytest

import _quillet

NAN_BITS = 0x7FC00000
SPECTRUM_FUNCTIONS = ["fit_single_spectrum", "fit_spectra_batch_guided"]


def result_arrays(name, result):
    """The result arrays of one call, with their expected (dtype, shape, strides)."""
    if name == "fit_gaussian_f32":
        return [(result, np.float32, (8,), (4,))]
    if name == "fit_single_spectrum":
        return [(result[0], np.float32, (8,), (4,))]
    fits, windows = result
    rows = len(fits)
    return [(fits, np.float32, (rows, 8), (32, 4)), (windows, np.int32, (rows, 2), (8, 4))]


def test_result_types(call):
    result = call()
    if call.name == "fit_gaussian_f32":
        assert type(result) is np.ndarray
    else:
        assert type(result) is tuple and len(result) == 2
    if call.name == "fit_single_spectrum":
        window = result[1]
        assert type(window) is tuple and [type(i) for i in window] == [int, int]


def test_result_layout(call):
    for array, dtype, shape, strides in result_arrays(call.name, call()):
        assert array.dtype == dtype and array.dtype.isnative
        assert array.shape == shape
        assert array.strides == strides
        assert array.flags.c_contiguous and array.flags.aligned and array.flags.writeable
        assert not array.flags.owndata


def test_result_memory_is_owned_by_a_slice_container(call):
    for array, *_ in result_arrays(call.name, call()):
        owner = array.base
        assert type(owner).__name__ == "PySliceContainer"
        assert type(owner).__module__ == "_quillet"
        assert not hasattr(_quillet, "PySliceContainer")
        with pytest.raises(TypeError):
            type(owner)()


def test_results_of_two_calls_share_no_memory(call):
    first = result_arrays(call.name, call())
    second = result_arrays(call.name, call())
    for (a, *_), (b, *_) in zip(first, second):
        assert not np.shares_memory(a, b)
        assert type(a.base) is type(b.base)


def test_result_memory_lives_as_long_as_a_view_of_it(call):
    array = result_arrays(call.name, call())[0][0]
    expected = array.copy()
    tail = array[1:]
    del array
    gc.collect()
    call()  # reuse freed memory if the buffer had gone
    np.testing.assert_array_equal(tail, expected[1:])


def inputs(call):
    return {n: v for n, v in call.arguments.items() if isinstance(v, np.ndarray)}


def failing_calls(call):
    """Calls that fail at binding, at the last argument's conversion, and in the body."""
    last = call.names[-1]
    return [
        lambda: call.function(*call.positional(), k=1),
        lambda: call(**{last: 1.5}),
        lambda: call(xtol=-1.0),
    ]


def test_inputs_are_neither_written_nor_kept(call):
    arrays = inputs(call)
    before = {n: (a.tobytes(), sys.getrefcount(a)) for n, a in arrays.items()}
    result = result_arrays(call.name, call())
    for fail in failing_calls(call):
        with pytest.raises((TypeError, ValueError)):
            fail()
    for array, *_ in result:
        array[...] = 7  # results are the caller's to write, apart from the inputs
    after = {n: (a.tobytes(), sys.getrefcount(a)) for n, a in arrays.items()}
    assert after == before


def bits(array):
    return array.view(np.uint32)


def test_failed_single_spectrum_row_is_canonical_nan(make_call):
    fit, window = make_call("fit_single_spectrum")(guide_velocity=float("nan"))
    assert (bits(fit[:7]) == NAN_BITS).all()
    assert fit[7] == _quillet.FLAG_NO_LOCAL_MAX
    assert window == (0, 0)


def test_failed_batch_rows_are_canonical_nan(make_call):
    fits, windows = make_call("fit_spectra_batch_guided")()
    flags = fits[:, 7]
    failed = flags != _quillet.FLAG_SUCCESS
    assert failed.tolist() == [False, True, False]  # row 1 has a NaN guide
    assert (bits(fits[failed, :7]) == NAN_BITS).all()
    assert windows[1].tolist() == [0, 0]
    assert not np.isnan(fits[~failed]).any()


def test_empty_batch_gives_empty_arrays(make_call):
    call = make_call("fit_spectra_batch_guided")
    fits, windows = call(
        spectra=call.arguments["spectra"][:0],
        spec_noise=call.arguments["spec_noise"][:0],
        guide_velocities=np.zeros(0, np.float32),
    )
    assert (fits.shape, fits.dtype, fits.strides) == ((0, 8), np.float32, (0, 0))
    assert (windows.shape, windows.dtype, windows.strides) == ((0, 2), np.int32, (0, 0))
    assert type(fits.base).__name__ == type(windows.base).__name__ == "PySliceContainer"

"""Property: whatever the three module functions are handed, a call either
returns a result of the documented shape and type, with a flag in {0, 1, 2}
and the canonical NaN exactly where the flag says, or raises the documented
exception with the documented message for the first thing wrong with it. It
never crashes and never writes to an input.

Every drawn argument carries the outcome its conversion must have (a value,
a TypeError, an OverflowError, or an exception planted in its __float__ or
__index__), and the expected message of a call comes from a model of the
checks in their documented order, written here independently of the module.

The examples are derandomized (the same ones on every run). Set
QUILLET_HYPOTHESIS_RANDOM=1 to explore new ones, and
QUILLET_HYPOTHESIS_EXAMPLES to change how many each function gets."""

import math
import os
from dataclasses import dataclass, field

import numpy as np
from hypothesis import HealthCheck, Phase, event, given, settings
from hypothesis import strategies as st
from test_arguments import Index, Real

import _quillet

NAN_BITS = 0x7FC00000
INT32 = (-(2**31), 2**31 - 1)
INT64 = (-(2**63), 2**63 - 1)

PROPERTY = settings(
    max_examples=int(os.environ.get("QUILLET_HYPOTHESIS_EXAMPLES", "200")),
    derandomize=os.environ.get("QUILLET_HYPOTHESIS_RANDOM") != "1",
    database=None,
    deadline=None,
    # The explain phase would load a source rewriter that is not needed here.
    phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.shrink],
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# --- arguments with a known conversion outcome --------------------------------


@dataclass
class Arg:
    """One argument object and what converting it must give: `value` (the
    converted value) when `fails` is None, else `fails` is "type" (a
    TypeError, whose message after the argument prefix is `message` when the
    module words it), "overflow", or the planted exception itself."""

    obj: object
    value: object = None
    fails: object = None
    message: str = None
    # Memory behind an array argument and its bytes when drawn.
    backing: list = field(default_factory=list)


class RaisingIndex(Index):
    def __index__(self):
        raise self.value


class Planted(BaseException):
    """Not an Exception: must pass through the module untouched."""


def f32(value):
    """The float32 nearest `value`, as a Python float (exact)."""
    with np.errstate(over="ignore"):
        return float(np.float32(value))


def planted_exceptions():
    def type_error_with_cause():
        error = TypeError("planted type error")
        error.__cause__ = LookupError("planted cause")
        return error

    return st.sampled_from(
        [lambda: ValueError("planted"), lambda: ZeroDivisionError("planted"),
         type_error_with_cause, lambda: Planted("planted")]
    ).map(lambda make: make())  # fmt: skip


def real_from_int(i, obj):
    try:
        return Arg(obj, value=f32(float(i)))
    except OverflowError:
        return Arg(obj, fails="overflow")


SPECIAL_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324, 1e-45, 7e-46,
                  1.17e-38, 3.4028235e38, 3.5e38, 1e300, -1e300, 1e-300]  # fmt: skip
SPECIAL_INTS = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, 2**63,
                -(2**63), -(2**63) - 1, 2**64, 2**1023, 2**1024, -(2**1024), 10**400]  # fmt: skip


def hostile_reals():
    """Objects handed to a real parameter, with their outcome."""
    floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(allow_nan=True))
    ints = st.one_of(st.sampled_from(SPECIAL_INTS), st.integers())
    return st.one_of(
        floats.map(lambda v: Arg(v, value=f32(v))),
        floats.map(lambda v: Arg(np.float64(v), value=f32(v))),
        floats.map(lambda v: Arg(np.float32(f32(v)), value=f32(v))),
        floats.map(lambda v: Arg(np.array(v), value=f32(v))),
        floats.map(lambda v: Arg(Real(v), value=f32(v))),
        ints.map(lambda i: real_from_int(i, i)),
        ints.map(lambda i: real_from_int(i, Index(i))),
        st.booleans().map(lambda b: Arg(b, value=float(b))),
        st.sampled_from([None, "1.0", 1j, [1.0], Real(1), object()]).map(
            lambda o: Arg(o, fails="type")
        ),
        planted_exceptions().map(lambda e: Arg(Real(e), fails=e)),
        planted_exceptions().map(lambda e: Arg(RaisingIndex(e), fails=e)),
    )


def int_in(i, bounds, obj):
    low, high = bounds
    return Arg(obj, value=i) if low <= i <= high else Arg(obj, fails="overflow")


def hostile_ints(bounds):
    """Objects handed to an int32 or int64 parameter, with their outcome."""
    ints = st.one_of(st.sampled_from(SPECIAL_INTS), st.integers())
    return st.one_of(
        ints.map(lambda i: int_in(i, bounds, i)),
        ints.map(lambda i: int_in(i, bounds, Index(i))),
        ints.filter(lambda i: INT64[0] <= i <= INT64[1]).map(
            lambda i: int_in(i, bounds, np.int64(i))
        ),
        st.booleans().map(lambda b: Arg(b, value=int(b))),
        st.sampled_from([1.0, np.float64(2.0), None, "3", Real(3.0), Index(3.0)]).map(
            lambda o: Arg(o, fails="type")
        ),
        planted_exceptions().map(lambda e: Arg(RaisingIndex(e), fails=e)),
    )


REALS = hostile_reals()
INT32_ARGS = hostile_ints(INT32)
INT64_ARGS = hostile_ints(INT64)


def maybe_hostile(draw, hostile, plain, odds):
    """A plain value most of the time, a hostile one with probability `odds`."""
    if draw(st.floats(0.0, 1.0)) < odds:
        return draw(hostile)
    value = draw(plain)
    return value if isinstance(value, Arg) else Arg(value, value=value)


def plain_real(low, high):
    return st.floats(low, high).map(lambda v: Arg(v, value=f32(v)))


# --- arrays --------------------------------------------------------------------


class Sub(np.ndarray):
    pass


def backed(obj, *buffers):
    """`obj` as an accepted array argument, remembering the bytes of the
    memory behind it so that the test can tell whether the call wrote it."""
    return Arg(obj, value=obj, backing=[(b, b.tobytes(order="A")) for b in buffers])


def refused(obj, message, *buffers):
    arg = backed(obj, *buffers)
    return Arg(obj, fails="type", message=message, backing=arg.backing)


def not_ndarray(obj):
    if obj is None:
        return "'None' is not an instance of 'ndarray'"
    return f"'{type(obj).__qualname__}' object is not an instance of 'ndarray'"


def lay_out(values, layout):
    """`values` (a C-contiguous float32 array) as the argument `layout` names."""
    if layout == "plain":
        a = values.copy()
        return backed(a, a)
    if layout == "readonly":
        a = values.copy()
        a.flags.writeable = False
        return backed(a, a)
    if layout == "subclass":
        a = values.copy()
        return backed(a.view(Sub), a)
    if layout == "strided":
        wide = np.repeat(values, 2, axis=-1) if values.ndim else values.copy()
        return backed(wide[..., ::2], wide)
    if layout == "reversed":
        flipped = values[::-1].copy()
        return backed(flipped[::-1], flipped)
    if layout == "misaligned":
        raw = np.zeros(values.nbytes + 4, np.uint8)
        a = raw[1 : 1 + values.nbytes].view(np.float32).reshape(values.shape)
        a[...] = values
        return backed(a, raw)
    if layout == "fortran":
        a = np.asfortranarray(values)
        return backed(a, a)
    if layout == "byteswapped":
        a = values.astype(values.dtype.newbyteorder())
        return refused(a, not_ndarray(a), a)
    if layout in ("float64", "float16", "int32", "object"):
        a = values.astype(layout)
        return refused(a, not_ndarray(a)) if layout == "object" else refused(a, not_ndarray(a), a)
    if layout == "extra_dimension":
        a = values[..., np.newaxis].copy()
        return refused(a, not_ndarray(a), a)
    if layout == "missing_dimension":
        a = values.reshape(-1).copy() if values.ndim == 2 else np.array(1.0, np.float32)
        return refused(a, not_ndarray(a), a)
    if layout == "list":
        a = values.tolist()
        return refused(a, not_ndarray(a))
    if layout == "scalar":
        a = np.float32(1.0)
        return refused(a, not_ndarray(a))
    assert layout == "none"
    return refused(None, not_ndarray(None))


PLAIN_LAYOUTS = ["plain", "readonly", "subclass"]
ACCEPTED_LAYOUTS = ["plain", "readonly", "subclass", "strided", "reversed", "misaligned", "fortran"]
REFUSED_LAYOUTS = ["byteswapped", "float64", "float16", "int32", "object", "extra_dimension",
                   "missing_dimension", "list", "scalar", "none"]  # fmt: skip


def special_values():
    return st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 1e-45, -1.0, 3e38, 1e5])


@st.composite
def array_arg(draw, values, odds, special_odds):
    """`values` as an argument: refused outright with probability `odds`, in
    an odd (often non-contiguous) layout with probability 2 * `odds`, and
    with a few elements replaced by special values with probability
    `special_odds`."""
    values = np.array(values, dtype=np.float32)
    if values.size and draw(st.floats(0.0, 1.0)) < special_odds:
        flat = values.reshape(-1)
        for index, special in draw(
            st.lists(st.tuples(st.integers(0, values.size - 1), special_values()), max_size=3)
        ):
            flat[index] = special
    chance = draw(st.floats(0.0, 1.0))
    layouts = PLAIN_LAYOUTS
    if chance < odds:
        layouts = REFUSED_LAYOUTS
    elif chance < 3 * odds:
        layouts = ACCEPTED_LAYOUTS
    with np.errstate(all="ignore"):  # casts of NaN and huge values are the point
        return lay_out(values, draw(st.sampled_from(layouts)))


def contiguous(a):
    return a.size == 0 or (a.flags.aligned and a.flags.c_contiguous)


# --- the checks of each body, in their documented order ---------------------------

TOLERANCE_NAMES = ["xtol", "ftol", "gtol"]


def tolerance_message(v):
    if not all(math.isfinite(v[n]) for n in TOLERANCE_NAMES):
        return "xtol, ftol, and gtol must be finite"
    if not (all(v[n] > 0 for n in TOLERANCE_NAMES) and v["max_iter"] > 0):
        return "xtol, ftol, gtol, and max_iter must be positive"
    return None


def gaussian_message(v):
    for name in ["x", "y", "error", "initial", "lower_bounds", "upper_bounds"]:
        if not contiguous(v[name]):
            return f"{name} must be contiguous float32"
    x, y, error = v["x"], v["y"], v["error"]
    if not len(x) == len(y) == len(error):
        return "x, y, and error must have the same length"
    if len(x) < 3:
        return "at least 3 samples are required"
    initial, lower, upper = v["initial"], v["lower_bounds"], v["upper_bounds"]
    if not len(initial) == len(lower) == len(upper) == 3:
        return "initial, lower_bounds, and upper_bounds must have exactly 3 elements"
    if not (np.isfinite(x).all() and np.isfinite(y).all()):
        return "x and y values must be finite"
    if not (np.isfinite(error).all() and (error > 0).all()):
        return "error values must be finite and positive"
    if not np.isfinite(initial).all():
        return "initial values must be finite"
    if not (np.isfinite(lower).all() and np.isfinite(upper).all() and (lower < upper).all()):
        return "lower_bounds and upper_bounds must be finite and increasing"
    if not lower[2] > 0:
        return "sigma lower bound must be positive"
    return tolerance_message(v)


SPECTRUM_FLOATS = ["velocity_range", "dv", "width_min", "amplitude_rel_min",
                   "amplitude_rel_max", "width_max", "width_guess"]  # fmt: skip


def settings_message(v):
    if not v["sg_xpixels"] > 0:
        return "n_pixels must be positive"
    if not all(math.isfinite(v[n]) for n in SPECTRUM_FLOATS):
        return "fit parameters must be finite"
    if not v["velocity_range"] >= 0:
        return "velocity_range must be non-negative"
    if not v["npix"] > 0:
        return "npix must be positive"
    if not v["npix_slack"] >= 0:
        return "npix_slack must be non-negative"
    if not v["dv"] > 0:
        return "dv must be positive"
    if not (v["width_min"] > 0 and v["width_min"] < v["width_max"] and v["width_guess"] > 0):
        return "width_min, width_max, and width_guess must define positive increasing widths"
    if not v["amplitude_rel_min"] < v["amplitude_rel_max"]:
        return "amplitude_rel_min must be less than amplitude_rel_max"
    return tolerance_message(v)


def single_message(v):
    message = settings_message(v)
    if message:
        return message
    for name in ["spectrum", "dopp_slit", "spec_noise"]:
        if not contiguous(v[name]):
            return f"{name} must be contiguous float32"
    if min(v[n].size for n in ["spectrum", "dopp_slit", "spec_noise"]) < v["sg_xpixels"]:
        return "input arrays must be at least n_pixels long"
    return None


def batch_message(v):
    message = settings_message(v)
    if message:
        return message
    rows, columns = v["spectra"].shape
    if columns < v["sg_xpixels"]:
        return "spectra columns must be at least sg_xpixels"
    if v["spec_noise"].shape != (rows, columns):
        return "spec_noise shape must match spectra shape"
    if v["guide_velocities"].size != rows:
        return "guide_velocities length must match spectra rows"
    if v["dopp_slit"].size < v["sg_xpixels"]:
        return "dopp_slit must be at least sg_xpixels long"
    for name, message in [
        ("spectra", "spectra must be a C-contiguous float32 array"),
        ("dopp_slit", "dopp_slit must be a contiguous float32 array"),
        ("spec_noise", "spec_noise must be a C-contiguous float32 array"),
        ("guide_velocities", "guide_velocities must be a contiguous float32 array"),
    ]:
        if not contiguous(v[name]):
            return message
    return None


# --- drawing whole calls ------------------------------------------------------------

# How likely each argument is to be hostile in one call: half the calls are
# clean, so that fits run and their results are checked too.
HOSTILITY = st.sampled_from([0.0, 0.0, 0.05, 0.3])

DEFAULTS = {"xtol": f32(1e-6), "ftol": f32(1e-6), "gtol": f32(1e-6), "max_iter": 2000}


def tolerance_args(draw, odds, optional):
    """xtol, ftol, gtol, max_iter; an optional one may be left out (None)."""
    args = {}
    for name in TOLERANCE_NAMES:
        args[name] = maybe_hostile(draw, REALS, plain_real(1e-8, 1e-2), odds)
    args["max_iter"] = maybe_hostile(draw, INT64_ARGS, st.integers(1, 300), odds)
    if optional:
        for name in list(args):
            if draw(st.integers(0, 3)) == 0:
                args[name] = None
    return args


@st.composite
def gaussian_calls(draw):
    odds = draw(HOSTILITY)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.integers(0, 12))
    x = np.linspace(-4.0, 4.0, n)
    y = 3.0 * np.exp(-0.5 * ((x - 0.5) / 1.3) ** 2) + 0.05 * rng.standard_normal(n)
    error = np.full(n, 0.05) * rng.uniform(0.5, 2.0, n)

    def resized(a):
        return a[: len(a) - 1] if draw(st.floats(0.0, 1.0)) < odds else a

    def arg(a):
        return draw(array_arg(resized(a), odds, odds))

    initial = [draw(st.floats(0.5, 5.0)), draw(st.floats(-1.0, 1.0)), draw(st.floats(0.5, 2.0))]
    args = {
        "x": arg(x),
        "y": arg(y),
        "error": arg(error),
        "initial": arg(initial),
        "lower_bounds": arg([0.0, -5.0, 0.1]),
        "upper_bounds": arg([10.0, 5.0, 5.0]),
    }
    args.update(tolerance_args(draw, odds, optional=False))
    return _quillet.fit_gaussian_f32, args


def spectrum_rows(draw, rows, columns):
    """Axis, spectra and noise of `rows` lines on unit pixels, and guides."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    axis = np.arange(columns, dtype=np.float64) - columns / 2.0
    centres = rng.uniform(-columns / 3.0, columns / 3.0, rows)
    widths = rng.uniform(0.7, 3.0, rows)
    spectra = 2.0 * np.exp(-0.5 * ((axis - centres[:, None]) / widths[:, None]) ** 2)
    spectra += 0.02 * rng.standard_normal((rows, columns))
    noise = np.full((rows, columns), 0.02) * rng.uniform(0.5, 2.0, (rows, columns))
    guides = centres + rng.uniform(-1.5, 1.5, rows)
    return axis, spectra, noise, guides


def spectrum_settings(draw, columns, odds):
    # Mostly every column; sometimes one more or less, or just a few.
    sg = st.sampled_from([columns] * 4 + [max(columns, 1), columns - 1, columns + 1, 1, 3])
    real = REALS
    return {
        "velocity_range": maybe_hostile(draw, real, plain_real(0.0, 5.0), odds),
        "npix": maybe_hostile(draw, INT32_ARGS, st.integers(1, 6), odds),
        "npix_slack": maybe_hostile(draw, INT32_ARGS, st.integers(0, 3), odds),
        "dv": maybe_hostile(draw, real, plain_real(0.5, 2.0), odds),
        "width_min": maybe_hostile(draw, real, plain_real(0.1, 1.0), odds),
        "sg_xpixels": maybe_hostile(draw, INT64_ARGS, sg, odds),
        "amplitude_rel_min": maybe_hostile(draw, real, plain_real(-0.5, 0.5), odds),
        "amplitude_rel_max": maybe_hostile(draw, real, plain_real(1.0, 3.0), odds),
        "width_max": maybe_hostile(draw, real, plain_real(2.0, 10.0), odds),
        "width_guess": maybe_hostile(draw, real, plain_real(0.5, 5.0), odds),
        **tolerance_args(draw, odds, optional=True),
    }


@st.composite
def single_calls(draw):
    odds = draw(HOSTILITY)
    columns = draw(st.integers(0, 24))
    axis, spectra, noise, guides = spectrum_rows(draw, 1, columns)

    def arg(a):
        resized = a[: len(a) - 1] if len(a) and draw(st.floats(0.0, 1.0)) < odds else a
        return draw(array_arg(resized, odds, 0.25))

    guide = plain_real(-1e3, 1e3) if draw(st.integers(0, 3)) == 0 else st.just(float(guides[0]))
    args = {
        "spectrum": arg(spectra[0]),
        "dopp_slit": arg(axis),
        "spec_noise": arg(noise[0]),
        "guide_velocity": maybe_hostile(draw, REALS, guide, odds),
        **spectrum_settings(draw, columns, odds),
    }
    return _quillet.fit_single_spectrum, args


@st.composite
def batch_calls(draw):
    odds = draw(HOSTILITY)
    rows = draw(st.integers(0, 5))
    columns = draw(st.integers(0, 24))
    axis, spectra, noise, guides = spectrum_rows(draw, rows, columns)
    if draw(st.floats(0.0, 1.0)) < odds:
        noise = noise.T.copy()
    if draw(st.floats(0.0, 1.0)) < odds:
        guides = np.append(guides, 0.0)

    def arg(a):
        return draw(array_arg(a, odds, 0.25))

    args = {
        "spectra": arg(spectra),
        "dopp_slit": arg(axis),
        "spec_noise": arg(noise),
        "guide_velocities": arg(guides),
        **spectrum_settings(draw, columns, odds),
    }
    return _quillet.fit_spectra_batch_guided, args


MODELS = {
    "fit_gaussian_f32": gaussian_message,
    "fit_single_spectrum": single_message,
    "fit_spectra_batch_guided": batch_message,
}


def expected_outcome(function, args):
    """(name of the failing argument, its Arg) for a conversion failure, or
    (None, message) for a domain error (message None: a result)."""
    values = {}
    for name, arg in args.items():  # parameter order
        if arg is None:
            values[name] = DEFAULTS[name]
        elif arg.fails is not None:
            return name, arg
        else:
            values[name] = arg.value
    return None, MODELS[function.__name__](values)


def split_call(draw, args):
    """Positional arguments for a leading run of parameters, keywords in a
    random order for the rest; absent optional ones left out."""
    names = list(args)
    present = next((i for i, n in enumerate(names) if args[n] is None), len(names))
    positional = draw(st.integers(0, present))
    keywords = draw(st.permutations(names[positional:]))
    return (
        [args[n].obj for n in names[:positional]],
        {n: args[n].obj for n in keywords if args[n] is not None},
    )


# --- the properties -------------------------------------------------------------------


def assert_fit_row(row, allowed_flags):
    bits = row.view(np.uint32)
    flag = row[7]
    event(f"row flag {flag}")
    assert float(flag) in allowed_flags
    if flag == _quillet.FLAG_SUCCESS:
        assert not np.isnan(row[:7]).any()
        # Centre and sigma lie within finite bounds; the amplitude and its
        # error are scaled back by the peak value and may overflow to inf.
        assert np.isfinite(row[1:3]).all()
    else:
        assert (bits[:7] == NAN_BITS).all()


def assert_window(window, flag, sg_xpixels):
    left, right = window
    if flag == _quillet.FLAG_NO_LOCAL_MAX and (left, right) == (0, 0):
        return
    assert 0 <= left < right <= sg_xpixels


def assert_result(function, result, values):
    name = function.__name__
    if name == "fit_gaussian_f32":
        assert type(result) is np.ndarray
        assert (result.dtype, result.shape) == (np.float32, (8,))
        assert_fit_row(result, {0.0, 2.0})
        return
    sg = values["sg_xpixels"].value
    if name == "fit_single_spectrum":
        fit, window = result
        assert type(fit) is np.ndarray and (fit.dtype, fit.shape) == (np.float32, (8,))
        assert type(window) is tuple and [type(i) for i in window] == [int, int]
        assert_fit_row(fit, {0.0, 1.0, 2.0})
        assert_window(window, fit[7], sg)
        return
    fits, windows = result
    rows = values["spectra"].value.shape[0]
    assert (fits.dtype, fits.shape) == (np.float32, (rows, 8))
    assert (windows.dtype, windows.shape) == (np.int32, (rows, 2))
    scalars = {n: a.obj for n, a in list(values.items())[4:] if a is not None}
    spectra, axis, noise, guides = (values[n].value for n in list(values)[:4])
    for r in range(rows):
        assert_fit_row(fits[r], {0.0, 1.0, 2.0})
        assert_window(tuple(windows[r]), fits[r, 7], sg)
        fit, window = _quillet.fit_single_spectrum(
            spectra[r], axis, noise[r], float(guides[r]), **scalars
        )
        assert fits[r].tobytes() == fit.tobytes() and tuple(windows[r]) == window


def assert_raised(error, name, arg, message):
    if name is None:
        assert type(error) is ValueError and str(error) == message, (error, message)
        return
    prefix = f"argument '{name}': "
    if arg.fails == "type":
        assert type(error) is TypeError and str(error).startswith(prefix), error
        if arg.message is not None:
            assert str(error) == prefix + arg.message
    elif arg.fails == "overflow":
        assert type(error) is OverflowError and not str(error).startswith("argument"), error
    elif type(arg.fails) is TypeError:
        assert type(error) is TypeError and str(error) == prefix + str(arg.fails)
        assert error.__cause__ is arg.fails.__cause__
    else:
        assert error is arg.fails


def check_call(draw, function, args):
    call_args, call_kwargs = split_call(draw, args)
    name, outcome = expected_outcome(function, args)
    if draw(st.integers(0, 19)) == 0:  # binding fails before any conversion
        call_kwargs["bogus"] = 1
        name, outcome = None, f"{function.__name__}() got an unexpected keyword argument 'bogus'"
    try:
        result = function(*call_args, **call_kwargs)
    except BaseException as error:
        event(f"raised {type(error).__name__}")
        assert name is not None or outcome is not None, f"unexpected {error!r}"
        if "bogus" in call_kwargs:
            assert type(error) is TypeError and str(error) == outcome
        else:
            assert_raised(error, name, args[name] if name else None, outcome)
    else:
        assert name is None and outcome is None, f"returned where {name or outcome} should fail"
        event("returned a result")
        assert_result(function, result, args)
    for arg in args.values():
        for buffer, before in arg.backing if arg else []:
            assert buffer.tobytes(order="A") == before, "an input was written"


@PROPERTY
@given(call=gaussian_calls(), data=st.data())
def test_fit_gaussian_f32_answers_every_input_as_documented(call, data):
    check_call(data.draw, *call)


@PROPERTY
@given(call=single_calls(), data=st.data())
def test_fit_single_spectrum_answers_every_input_as_documented(call, data):
    check_call(data.draw, *call)


@PROPERTY
@given(call=batch_calls(), data=st.data())
def test_fit_spectra_batch_guided_answers_every_input_as_documented(call, data):
    check_call(data.draw, *call)

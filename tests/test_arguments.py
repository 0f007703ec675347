"""How the module functions bind their arguments and convert each one: the
interpreter's binding errors, the array checks, the narrowing of reals to
float32, the integer ranges, and which errors get the "argument" prefix."""

import math
import operator
import random

import numpy as np
import pytest

ARRAYS = {
    "fit_gaussian_f32": {
        n: 1 for n in ["x", "y", "error", "initial", "lower_bounds", "upper_bounds"]
    },
    "fit_single_spectrum": {"spectrum": 1, "dopp_slit": 1, "spec_noise": 1},
    "fit_spectra_batch_guided": {
        "spectra": 2,
        "dopp_slit": 1,
        "spec_noise": 2,
        "guide_velocities": 1,
    },
}
SPECTRUM_REALS = ["velocity_range", "dv", "width_min", "amplitude_rel_min", "amplitude_rel_max",
                  "width_max", "width_guess", "xtol", "ftol", "gtol"]  # fmt: skip
REALS = {
    "fit_gaussian_f32": ["xtol", "ftol", "gtol"],
    "fit_single_spectrum": ["guide_velocity"] + SPECTRUM_REALS,
    "fit_spectra_batch_guided": SPECTRUM_REALS,
}
SPECTRUM_INTEGERS = {"npix": 32, "npix_slack": 32, "sg_xpixels": 64, "max_iter": 64}
INTEGERS = {
    "fit_gaussian_f32": {"max_iter": 64},
    "fit_single_spectrum": SPECTRUM_INTEGERS,
    "fit_spectra_batch_guided": SPECTRUM_INTEGERS,
}
TOLERANCES = ["xtol", "ftol", "gtol"]
SPECTRUM_FUNCTIONS = ["fit_single_spectrum", "fit_spectra_batch_guided"]


def cases(table):
    return [(function, name) for function, names in table.items() for name in names]


def same_bits(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_bits(p, q) for p, q in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    return a == b


def raised(function, *args):
    """The message of the TypeError that `function(*args)` raises."""
    with pytest.raises(TypeError) as info:
        function(*args)
    return str(info.value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    """A number through __float__ only; raises `value` if it is an exception."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


# --- binding ---------------------------------------------------------------


def python_twin(call):
    """A Python function with the same name and parameters, whose binding
    errors are the interpreter's own wording."""
    names = call.names
    parameters = names[: call.required] + [f"{n}=None" for n in names[call.required :]]
    namespace = {}
    exec(f"def {call.name}({', '.join(parameters)}): pass", namespace)
    return namespace[call.name]


BINDING_CASES = [
    "one positional too many",
    "unknown keyword",
    "first given twice",
    "last given twice",
    "one missing",
    "two missing",
    "three missing",
    "all missing",
    "missing between keywords",
]


def bad_binding(call, case):
    """(args, kwargs) of a call that fails to bind in the way `case` names."""
    values, names, required = call.positional(), call.names, call.required
    return {
        "one positional too many": (values + [0], {}),
        "unknown keyword": (values, {"k": 1}),
        "first given twice": (values[:1], {names[0]: values[0]}),
        "last given twice": (values, {names[-1]: values[-1]}),
        "one missing": (values[: required - 1], {}),
        "two missing": (values[: required - 2], {}),
        "three missing": (values[: required - 3], {}),
        "all missing": ([], {}),
        "missing between keywords": ([], {names[required - 1]: values[required - 1]}),
    }[case]


@pytest.mark.parametrize("case", BINDING_CASES)
def test_binding_errors_match_the_interpreter(call, case):
    args, kwargs = bad_binding(call, case)
    twin = python_twin(call)
    with pytest.raises(TypeError) as expected:
        twin(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        call.function(*args, **kwargs)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize(
    "name, count, message",
    [
        ("fit_gaussian_f32", 11, "fit_gaussian_f32() takes 10 positional arguments but 11 were given"),
        ("fit_single_spectrum", 19,
         "fit_single_spectrum() takes from 14 to 18 positional arguments but 19 were given"),
        ("fit_spectra_batch_guided", 19,
         "fit_spectra_batch_guided() takes from 14 to 18 positional arguments but 19 were given"),
        ("fit_gaussian_f32", 9, "fit_gaussian_f32() missing 1 required positional argument: 'max_iter'"),
        ("fit_single_spectrum", 12, "fit_single_spectrum() missing 2 required positional arguments: "
         "'width_max' and 'width_guess'"),
        ("fit_spectra_batch_guided", 11, "fit_spectra_batch_guided() missing 3 required positional "
         "arguments: 'amplitude_rel_max', 'width_max', and 'width_guess'"),
    ],
)  # fmt: skip
def test_positional_count_messages(make_call, name, count, message):
    call = make_call(name)
    args = (call.positional() + [0] * 19)[:count]
    assert raised(call.function, *args) == message


def test_too_many_positional_is_reported_before_a_bad_keyword(call):
    with pytest.raises(TypeError, match="positional arguments but"):
        call.function(*call.positional(), 0, k=1)


def test_all_arguments_by_keyword_in_any_order(call):
    by_position = call.function(*call.positional())
    shuffled = list(call.arguments.items())
    random.Random(7).shuffle(shuffled)
    assert same_bits(call.function(**dict(shuffled)), by_position)


@pytest.mark.parametrize("name", SPECTRUM_FUNCTIONS)
def test_absent_solver_settings_take_their_defaults(make_call, name):
    call = make_call(name)
    for setting in ["xtol", "ftol", "gtol", "max_iter"]:
        del call.arguments[setting]
    defaults = dict(xtol=1e-6, ftol=1e-6, gtol=1e-6, max_iter=2000)
    assert same_bits(call(), call(**defaults))
    assert same_bits(call.function(*call.positional()), call(**defaults))


@pytest.mark.parametrize("function, name", cases(REALS) + cases(INTEGERS))
def test_none_is_not_taken_as_absent(make_call, function, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        make_call(function)(**{name: None})


# --- arrays ----------------------------------------------------------------


class Holder:
    class Inner(np.ndarray):
        pass


class Subclass(np.ndarray):
    pass


def other_rank(a):
    return a.reshape(1, -1) if a.ndim == 1 else a.ravel()


BAD_ARRAYS = {
    "list": (lambda a: a.tolist(), "'list' object"),
    "None": (lambda a: None, "'None'"),
    "float": (lambda a: 1.0, "'float' object"),
    "float32 scalar": (lambda a: np.float32(1.0), "'float32' object"),
    "float64 array": (lambda a: a.astype(np.float64), "'ndarray' object"),
    "int32 array": (lambda a: np.zeros(a.shape, np.int32), "'ndarray' object"),
    "byte-swapped float32": (lambda a: a.astype(">f4"), "'ndarray' object"),
    "other rank": (other_rank, "'ndarray' object"),
    "float64 subclass": (
        lambda a: a.astype(np.float64).view(Holder.Inner),
        "'Holder.Inner' object",
    ),
}


@pytest.mark.parametrize("kind", list(BAD_ARRAYS))
@pytest.mark.parametrize("function, name", cases(ARRAYS))
def test_array_check_messages(make_call, function, name, kind):
    call = make_call(function)
    make_bad, described = BAD_ARRAYS[kind]
    bad = make_bad(call.arguments[name])
    with pytest.raises(TypeError) as info:
        call(**{name: bad})
    assert str(info.value) == f"argument '{name}': {described} is not an instance of 'ndarray'"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("function, name", cases(ARRAYS))
def test_ndarray_subclass_is_accepted(make_call, function, name):
    call = make_call(function)
    assert same_bits(call(**{name: call.arguments[name].view(Subclass)}), call())


def every_second(a):
    wide = np.repeat(a, 2, axis=0)
    return wide[::2]


NOT_CONTIGUOUS = [
    ("fit_gaussian_f32", "x", every_second, "x must be contiguous float32"),
    ("fit_gaussian_f32", "upper_bounds", every_second, "upper_bounds must be contiguous float32"),
    ("fit_single_spectrum", "spectrum", every_second, "spectrum must be contiguous float32"),
    ("fit_spectra_batch_guided", "spectra", every_second,
     "spectra must be a C-contiguous float32 array"),
    ("fit_spectra_batch_guided", "spectra", np.asfortranarray,
     "spectra must be a C-contiguous float32 array"),
]  # fmt: skip


@pytest.mark.parametrize("function, name, make, message", NOT_CONTIGUOUS)
def test_strided_views_pass_conversion_and_are_refused_by_the_body(
    make_call, function, name, make, message
):
    call = make_call(function)
    view = make(call.arguments[name])
    np.testing.assert_array_equal(view, call.arguments[name])
    with pytest.raises(ValueError) as info:
        call(**{name: view})
    assert str(info.value) == message


# --- reals -----------------------------------------------------------------


@pytest.mark.parametrize("bad", [None, "1.0", [1.0]], ids=["None", "str", "list"])
@pytest.mark.parametrize("function, name", cases(REALS))
def test_real_refuses_non_numbers_with_the_interpreters_message(make_call, function, name, bad):
    expected = raised(math.sqrt, bad)
    assert raised(lambda: make_call(function)(**{name: bad})) == f"argument '{name}': {expected}"


@pytest.mark.parametrize(
    "spelling", [Real(1e-6), np.float64(1e-6), np.float32(1e-6)],
    ids=["__float__", "float64", "float32"],
)  # fmt: skip
@pytest.mark.parametrize("function, name", cases({f: TOLERANCES for f in REALS}))
def test_real_accepts_anything_with_a_float_value(make_call, function, name, spelling):
    call = make_call(function)
    assert same_bits(call(**{name: spelling}), call(**{name: 1e-6}))


@pytest.mark.parametrize("function, name", cases(REALS))
def test_real_accepts_integers(make_call, function, name):
    call = make_call(function)
    as_float = call(**{name: 1.0})
    for integer in (1, Index(1), True):
        assert same_bits(call(**{name: integer}), as_float)


@pytest.mark.parametrize(
    "value, message",
    [
        (1e300, "xtol, ftol, and gtol must be finite"),
        (-1e300, "xtol, ftol, and gtol must be finite"),
        (10**400, None),  # too large even for a double: the interpreter's OverflowError
        (1e-50, "xtol, ftol, gtol, and max_iter must be positive"),
        (-1e-50, "xtol, ftol, gtol, and max_iter must be positive"),
    ],
)
@pytest.mark.parametrize("function, name", cases({f: TOLERANCES for f in REALS}))
def test_tolerances_are_judged_after_narrowing_to_float32(
    make_call, function, name, value, message
):
    call = make_call(function)
    if message is None:
        with pytest.raises(OverflowError) as info:
            call(**{name: value})
        assert not str(info.value).startswith("argument")
        return
    with pytest.raises(ValueError) as info:
        call(**{name: value})
    assert str(info.value) == message


@pytest.mark.parametrize("function", SPECTRUM_FUNCTIONS)
def test_settings_are_compared_after_narrowing_to_float32(make_call, function):
    call = make_call(function)
    apart_as_double = 1.0 + 2.0**-30  # the same float32 as 1.0
    with pytest.raises(ValueError, match="^width_min, width_max, and width_guess must define"):
        call(width_min=1.0, width_max=apart_as_double, width_guess=1.0)
    with pytest.raises(ValueError, match="^amplitude_rel_min must be less than amplitude_rel_max$"):
        call(amplitude_rel_min=1.0, amplitude_rel_max=apart_as_double)
    with pytest.raises(ValueError, match="^fit parameters must be finite$"):
        call(dv=1e300)


# --- integers --------------------------------------------------------------


@pytest.mark.parametrize("bad", [1.0, 2.5, None, "1"], ids=["1.0", "2.5", "None", "str"])
@pytest.mark.parametrize("function, name", cases(INTEGERS))
def test_integer_refuses_floats_and_non_numbers(make_call, function, name, bad):
    expected = raised(operator.index, bad)
    assert raised(lambda: make_call(function)(**{name: bad})) == f"argument '{name}': {expected}"


@pytest.mark.parametrize("function, name", cases(INTEGERS))
def test_integer_out_of_range_raises_overflow_without_prefix(make_call, function, name):
    bits = INTEGERS[function][name]
    call = make_call(function)
    for value in [2 ** (bits - 1), -(2 ** (bits - 1)) - 1, Index(2 ** (bits - 1))]:
        with pytest.raises(OverflowError) as info:
            call(**{name: value})
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "function, changes, message",
    [
        ("fit_single_spectrum", dict(sg_xpixels=2**31), "input arrays must be at least n_pixels long"),
        ("fit_spectra_batch_guided", dict(sg_xpixels=2**31),
         "spectra columns must be at least sg_xpixels"),
        ("fit_single_spectrum", dict(npix_slack=-(2**31)), "npix_slack must be non-negative"),
        ("fit_single_spectrum", dict(npix=-(2**31)), "npix must be positive"),
        ("fit_gaussian_f32", dict(max_iter=-(2**63)), "xtol, ftol, gtol, and max_iter must be positive"),
        ("fit_single_spectrum", dict(max_iter=-(2**63)),
         "xtol, ftol, gtol, and max_iter must be positive"),
    ],
)  # fmt: skip
def test_integers_at_the_ends_of_their_range_reach_the_body(make_call, function, changes, message):
    with pytest.raises(ValueError) as info:
        make_call(function)(**changes)
    assert str(info.value) == message


@pytest.mark.parametrize("function", list(INTEGERS))
def test_integer_accepts_index_objects_and_bools(make_call, function):
    call = make_call(function)
    assert same_bits(call(max_iter=Index(2**63 - 1)), call(max_iter=2**63 - 1))
    assert same_bits(call(max_iter=np.int64(200)), call())
    if function != "fit_gaussian_f32":
        assert same_bits(call(npix=Index(5), npix_slack=True), call(npix=5, npix_slack=1))


# --- error wrapping and order ------------------------------------------------


def test_wrapped_type_error_keeps_the_original_cause(make_call):
    root = KeyError("root")
    error = TypeError("no float here")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        make_call("fit_gaussian_f32")(gtol=Real(error))
    assert str(info.value) == "argument 'gtol': no float here"
    assert info.value is not error
    assert info.value.__cause__ is root


@pytest.mark.parametrize("error", [ValueError("bad value"), OverflowError("too big")])
def test_other_conversion_errors_pass_unchanged(make_call, error):
    with pytest.raises(type(error)) as info:
        make_call("fit_single_spectrum")(dv=Real(error))
    assert info.value is error


def test_first_failing_argument_ends_the_call(call):
    names = call.names
    for k, name in enumerate(names):
        broken = {n: None for n in names[k:]}
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            call(**broken)


class Probe:
    """Records every conversion that looks at it."""

    def __init__(self, seen):
        self.seen = seen

    def __float__(self):
        self.seen.append("float")
        return 1.0

    def __index__(self):
        self.seen.append("index")
        return 1


def test_arguments_after_the_failing_one_are_not_looked_at(call):
    seen = []
    later = {n: Probe(seen) for n in call.names[1:] if n not in ARRAYS[call.name]}
    with pytest.raises(TypeError):
        call(**{call.names[0]: None}, **later)
    assert seen == []

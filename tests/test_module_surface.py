"""What importing _quillet gives: the registered names, the flag constants,
the functions' stored documentation, and an import that sets nothing up."""

import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import _quillet

FUNCTIONS = ["fit_single_spectrum", "fit_gaussian_f32", "fit_spectra_batch_guided"]
FLAGS = {"FLAG_SUCCESS": 0.0, "FLAG_NO_LOCAL_MAX": 1.0, "FLAG_NO_CONVERGENCE": 2.0}

SPECTRUM_PARAMETERS = (
    "dopp_slit, spec_noise, {guide}, velocity_range, npix, npix_slack, dv, width_min, "
    "sg_xpixels, amplitude_rel_min, amplitude_rel_max, width_max, width_guess, "
    "xtol=..., ftol=..., gtol=..., max_iter=..."
)

SIGNATURES = {
    "fit_gaussian_f32": "(x, y, error, initial, lower_bounds, upper_bounds, xtol, ftol, gtol, "
    "max_iter)",
    "fit_single_spectrum": "(spectrum, " + SPECTRUM_PARAMETERS.format(guide="guide_velocity") + ")",
    "fit_spectra_batch_guided": "(spectra, "
    + SPECTRUM_PARAMETERS.format(guide="guide_velocities")
    + ")",
}

DOCS = {
    "fit_gaussian_f32": "Fit a bounded Gaussian to arbitrary (x, y \u00b1 error) data.\n"
    "\n"
    "Returns an 8-element array `[amp, mean, sigma, amp_err, mean_err, sig_err,\n"
    "reduced_chi2, flag]`. `flag` is `FLAG_SUCCESS` or `FLAG_NO_CONVERGENCE`.",
    "fit_single_spectrum": "Fit a single Gaussian to one spectrum.\n"
    "\n"
    "Returns an 8-element array `[amp, vel, sigma, amp_err, vel_err, sig_err,\n"
    "reduced_chi2, flag]` and the `(i_left, i_right)` pixel window used. `flag`\n"
    "is `FLAG_SUCCESS`, `FLAG_NO_LOCAL_MAX` (no positive peak in the search\n"
    "window, including a non-finite guide, or fewer than 3 valid samples) or\n"
    "`FLAG_NO_CONVERGENCE`; all other fields are NaN unless the flag is success.",
    "fit_spectra_batch_guided": "Fit Gaussians to N spectra with one guide velocity per "
    "spectrum.\n"
    "\n"
    "This is equivalent to `fit_spectra_batch`, except `guide_velocities[i]` is\n"
    "used when fitting row `i`. Each result row carries the same flag set as\n"
    "`fit_single_spectrum`; a non-finite guide matches no pixel and yields\n"
    "`FLAG_NO_LOCAL_MAX`, as in the C extension.",
}


def test_all_lists_the_six_names_in_registration_order():
    assert _quillet.__all__ == FUNCTIONS + list(FLAGS)
    assert type(_quillet.__all__) is list


def test_module_exposes_nothing_public_beyond_all():
    public = {name for name in dir(_quillet) if not name.startswith("__")}
    assert public == set(_quillet.__all__)


def test_module_doc_is_empty_string():
    assert _quillet.__doc__ == ""


@pytest.mark.parametrize("name, value", FLAGS.items())
def test_flag_constants_are_floats(name, value):
    flag = getattr(_quillet, name)
    assert type(flag) is float
    assert flag == value
    assert flag == int(value)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_documentation(name):
    function = getattr(_quillet, name)
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__ == DOCS[name]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_is_builtin_bound_to_module(name):
    function = getattr(_quillet, name)
    assert inspect.isbuiltin(function)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "_quillet"
    assert function.__self__ is _quillet


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_parses_with_ellipsis_defaults(name, make_call):
    call = make_call(name)
    parameters = inspect.signature(getattr(_quillet, name)).parameters
    assert list(parameters) == call.names
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    defaults = [p.default for p in parameters.values()]
    empty = inspect.Parameter.empty
    assert defaults == [empty] * call.required + [...] * (len(call.names) - call.required)


def run_python(code):
    """Runs `code` in a fresh interpreter that finds the same _quillet."""
    module_dir = os.path.dirname(_quillet.__file__)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_import_starts_no_thread_and_leaves_numpy_unloaded():
    out = run_python(
        """
        import os, sys, threading
        def counts():
            return threading.active_count(), len(os.listdir("/proc/self/task"))
        before = counts()
        import _quillet
        print(before == counts(), "numpy" in sys.modules)
        """
    )
    assert out == "True False"


def fresh_module():
    spec = importlib.util.find_spec("_quillet")
    return spec, importlib.util.module_from_spec(spec)


def test_each_module_object_gets_its_own_functions_and_all():
    spec, module = fresh_module()
    spec.loader.exec_module(module)
    assert module.__all__ == _quillet.__all__
    assert module.__all__ is not _quillet.__all__
    for name in FUNCTIONS:
        assert getattr(module, name) is not getattr(_quillet, name)
        assert getattr(module, name).__self__ is module


def test_exec_extends_an_existing_all_list():
    spec, module = fresh_module()
    module.__all__ = ["earlier"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["earlier"] + FUNCTIONS + list(FLAGS)


def test_exec_refuses_an_all_that_is_not_a_list():
    spec, module = fresh_module()
    module.__all__ = ("earlier",)
    with pytest.raises(TypeError):
        spec.loader.exec_module(module)
    assert not hasattr(module, FUNCTIONS[0])


# NumPy's C API is loaded by the first call that needs it, from the
# `_ARRAY_API` capsule of numpy._core.multiarray or, failing that,
# numpy.core.multiarray. The fresh interpreters below plant stand-ins for
# those modules before that first call.
CALL_WITH_LISTS = "_quillet.fit_gaussian_f32(*[[1.0]] * 6, 1e-6, 1e-6, 1e-6, 10)"


def test_numpy_api_falls_back_to_numpy_core():
    out = run_python(
        f"""
        import sys
        import numpy._core.multiarray as multiarray
        sys.modules["numpy._core.multiarray"] = None
        sys.modules["numpy.core.multiarray"] = multiarray
        import _quillet
        try:
            {CALL_WITH_LISTS}
        except TypeError as error:
            print(error)
        """
    )
    assert out == "argument 'x': 'list' object is not an instance of 'ndarray'"


@pytest.mark.parametrize(
    "planted, cause",
    [
        ("types.ModuleType('no_capsule')", "AttributeError"),
        ("types.SimpleNamespace(_ARRAY_API='not a capsule')", "RuntimeError"),
        ("None", "ModuleNotFoundError"),
    ],
)
def test_numpy_api_that_cannot_be_loaded_is_an_internal_fault(planted, cause):
    out = run_python(
        f"""
        import sys, types
        import numpy
        sys.modules["numpy._core.multiarray"] = {planted}
        sys.modules["numpy.core.multiarray"] = None
        import _quillet
        for attempt in range(2):
            try:
                {CALL_WITH_LISTS}
            except BaseException as fault:
                print(type(fault).__qualname__, type(fault).__bases__ == (BaseException,),
                      type(fault.__cause__).__name__, str(fault).split(":")[0])
        """
    )
    line = f"InternalFault True {cause} Failed to access NumPy array API capsule"
    assert out.splitlines() == [line, line]


def test_first_calls_from_many_threads_at_once_agree():
    out = run_python(
        """
        import threading
        import numpy as np
        import _quillet
        x = np.linspace(-5, 5, 41, dtype=np.float32)
        y = np.exp(-0.5 * x * x).astype(np.float32)
        args = (x, y, np.full_like(x, 0.1), np.array([1, 0, 1], np.float32),
                np.array([0, -5, 0.1], np.float32), np.array([10, 5, 5], np.float32),
                1e-6, 1e-6, 1e-6, 100)
        start = threading.Barrier(8)
        results = []
        def first_call():
            start.wait()
            results.append(_quillet.fit_gaussian_f32(*args).tobytes())
        threads = [threading.Thread(target=first_call) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(len(results), len(set(results)))
        """
    )
    assert out == "8 1"

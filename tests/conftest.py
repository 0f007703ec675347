"""Valid calls of the three module functions, for the tests of the module
surface: each test changes one argument of a call that would otherwise run."""

from dataclasses import dataclass

import numpy as np
import pytest

import _quillet


@dataclass
class Call:
    """A module function and one valid argument per parameter, in parameter order."""

    function: object
    arguments: dict
    required: int

    @property
    def name(self):
        return self.function.__name__

    @property
    def names(self):
        return list(self.arguments)

    def positional(self):
        return list(self.arguments.values())

    def __call__(self, **changes):
        return self.function(**{**self.arguments, **changes})


def samples():
    x = np.linspace(-5.0, 5.0, 41, dtype=np.float32)
    y = (3.0 * np.exp(-0.5 * ((x - 0.5) / 1.2) ** 2)).astype(np.float32)
    error = np.full_like(x, 0.1)
    return x, y, error


def spectrum_settings():
    return dict(
        velocity_range=3.0,
        npix=5,
        npix_slack=2,
        dv=0.25,
        width_min=0.1,
        sg_xpixels=41,
        amplitude_rel_min=0.1,
        amplitude_rel_max=5.0,
        width_max=5.0,
        width_guess=1.0,
    )


def tolerances():
    return dict(xtol=1e-6, ftol=1e-6, gtol=1e-6, max_iter=200)


def gaussian_call():
    x, y, error = samples()
    arrays = dict(
        x=x,
        y=y,
        error=error,
        initial=np.array([1.0, 0.0, 1.0], np.float32),
        lower_bounds=np.array([0.0, -5.0, 0.1], np.float32),
        upper_bounds=np.array([10.0, 5.0, 5.0], np.float32),
    )
    return Call(_quillet.fit_gaussian_f32, {**arrays, **tolerances()}, 10)


def single_call():
    velocity, spectrum, noise = samples()
    arrays = dict(spectrum=spectrum, dopp_slit=velocity, spec_noise=noise, guide_velocity=0.3)
    return Call(_quillet.fit_single_spectrum, {**arrays, **spectrum_settings(), **tolerances()}, 14)


def batch_call():
    velocity, spectrum, noise = samples()
    arrays = dict(
        spectra=np.stack([spectrum, 0.5 * spectrum, spectrum]),
        dopp_slit=velocity,
        spec_noise=np.stack([noise, noise, noise]),
        guide_velocities=np.array([0.3, np.nan, -0.2], np.float32),
    )
    return Call(
        _quillet.fit_spectra_batch_guided, {**arrays, **spectrum_settings(), **tolerances()}, 14
    )


CALLS = {
    "fit_gaussian_f32": gaussian_call,
    "fit_single_spectrum": single_call,
    "fit_spectra_batch_guided": batch_call,
}


@pytest.fixture(params=list(CALLS))
def call(request):
    """A valid call of each module function in turn."""
    return CALLS[request.param]()


@pytest.fixture
def make_call():
    """A valid call of the named module function."""
    return lambda name: CALLS[name]()

"""The integrated flux of a fitted line and its error, against the spread of
fluxes over many noise realisations of one line."""

import numpy as np
import pytest

import quillet


@pytest.mark.parametrize(("sigma", "amplitude"), [(12.0, 5.0), (30.0, 2.0)])
def test_flux_error_matches_the_spread_of_fluxes(sigma, amplitude):
    rng = np.random.default_rng(7)
    velocity = np.arange(-300.0, 300.0, 4.0)
    line = amplitude * np.exp(-0.5 * (velocity / sigma) ** 2)
    spectra = (line + rng.normal(0.0, 0.5, (3000, velocity.size))).astype(np.float32)
    fit = quillet.fit_cube(spectra, velocity, noise=0.5, line_sigma=sigma, progress=False)
    ok = fit.success
    flux, error = fit.flux[ok], fit.flux_error[ok]
    truth = np.sqrt(2.0 * np.pi) * amplitude * sigma
    spread = np.std(flux)
    assert abs(np.median(error) / spread - 1.0) < 0.1
    # Independent errors (no correlation) would overstate the spread.
    naive = np.median(
        flux * np.hypot(fit.amplitude_error / fit.amplitude, fit.sigma_error / fit.sigma)[ok]
    )
    assert naive / spread > 1.15
    # Least squares at S/N 10 per channel leaves a bias of about 1 %.
    assert abs(np.mean(flux) / truth - 1.0) < 0.02

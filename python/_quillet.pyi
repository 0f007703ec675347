# Types of the _quillet extension module, for type checkers.
#
# Arrays are float32 (any array the module can view as float32 without a
# copy); scalars are narrowed to 32-bit floats and 32- or 64-bit integers.

from typing import Final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "FLAG_NO_CONVERGENCE",
    "FLAG_NO_LOCAL_MAX",
    "FLAG_SUCCESS",
    "fit_gaussian_f32",
    "fit_single_spectrum",
    "fit_spectra_batch_guided",
]

FLAG_SUCCESS: Final[float]
FLAG_NO_LOCAL_MAX: Final[float]
FLAG_NO_CONVERGENCE: Final[float]

def fit_gaussian_f32(
    x: NDArray[np.float32],
    y: NDArray[np.float32],
    error: NDArray[np.float32],
    initial: NDArray[np.float32],
    lower_bounds: NDArray[np.float32],
    upper_bounds: NDArray[np.float32],
    xtol: float,
    ftol: float,
    gtol: float,
    max_iter: int,
) -> NDArray[np.float32]: ...
def fit_single_spectrum(
    spectrum: NDArray[np.float32],
    dopp_slit: NDArray[np.float32],
    spec_noise: NDArray[np.float32],
    guide_velocity: float,
    velocity_range: float,
    npix: int,
    npix_slack: int,
    dv: float,
    width_min: float,
    sg_xpixels: int,
    amplitude_rel_min: float,
    amplitude_rel_max: float,
    width_max: float,
    width_guess: float,
    xtol: float = 1e-6,
    ftol: float = 1e-6,
    gtol: float = 1e-6,
    max_iter: int = 2000,
) -> tuple[NDArray[np.float32], tuple[int, int]]: ...
def fit_spectra_batch_guided(
    spectra: NDArray[np.float32],
    dopp_slit: NDArray[np.float32],
    spec_noise: NDArray[np.float32],
    guide_velocities: NDArray[np.float32],
    velocity_range: float,
    npix: int,
    npix_slack: int,
    dv: float,
    width_min: float,
    sg_xpixels: int,
    amplitude_rel_min: float,
    amplitude_rel_max: float,
    width_max: float,
    width_guess: float,
    xtol: float = 1e-6,
    ftol: float = 1e-6,
    gtol: float = 1e-6,
    max_iter: int = 2000,
) -> tuple[NDArray[np.float32], NDArray[np.int32]]: ...

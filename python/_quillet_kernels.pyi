# Types of the _quillet_kernels extension module, for type checkers.

import numpy as np
from numpy.typing import NDArray

__all__: list[str]

def check_spectrum_settings(
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
) -> None: ...
def estimate_noise(spectra: NDArray[np.float32]) -> NDArray[np.float64]: ...
def find_guides(
    spectra: NDArray[np.float32],
    velocity: NDArray[np.float64],
    noise: NDArray[np.float32] | NDArray[np.float64],
    inside: NDArray[np.bool_] | NDArray[np.uint8],
    half: int,
    snap_radius: float | None = None,
) -> NDArray[np.float32]: ...
def find_peaks(
    spectra: NDArray[np.float32],
    velocity: NDArray[np.float32],
    guides: NDArray[np.float32],
    radius: float,
    velocity_range: float,
) -> tuple[NDArray[np.int32], NDArray[np.float32], NDArray[np.int32]]: ...
def fit_lines_batch(
    spectra: NDArray[np.float32],
    velocity: NDArray[np.float32],
    noise: NDArray[np.float32],
    windows: NDArray[np.int32],
    initial: NDArray[np.float32],
    lower: NDArray[np.float32],
    upper: NDArray[np.float32],
    ncomponents: int,
    baseline: int,
    fixed: NDArray[np.bool_] | NDArray[np.uint8] | None = None,
    centre_ref: NDArray[np.int32] | None = None,
    centre_offset: NDArray[np.float32] | None = None,
    amplitude_ref: NDArray[np.int32] | None = None,
    amplitude_ratio: NDArray[np.float32] | None = None,
    sigma_ref: NDArray[np.int32] | None = None,
    scale: NDArray[np.float32] | None = None,
    xtol: float = 1e-6,
    ftol: float = 1e-6,
    gtol: float = 1e-6,
    max_iter: int = 2000,
) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.float32]]: ...

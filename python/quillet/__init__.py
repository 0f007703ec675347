"""quillet: exact, fast Gaussian line fitting for spectroscopy.

From a cube of spectra to maps of line amplitude, centre and width::

    import quillet

    cube = quillet.read_cube("cube.fits", rest_wavelength="6562.8 Angstrom")
    fit = quillet.fit_cube(cube)
    fit.write_fits("maps.fits")

or from arrays: ``quillet.fit_cube(data, velocity_km_s, noise=...)``. Every
fit runs in the `_quillet` extension, whose results are reproducible to the
bit; this package reads files, prepares the spectra block by block, and
writes and draws the maps.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from .cube_fit import fit_cube
from .files import Cube, read_cube
from .maps_files import read_maps
from .noise import estimate_noise
from .plots import plot_fit
from .results import (
    FLAG_MEANINGS,
    FLAG_NO_CONVERGENCE,
    FLAG_NO_LOCAL_MAX,
    FLAG_SUCCESS,
    FitRow,
    LineFit,
)
from .settings import LineSettings

try:
    __version__ = version("quillet")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "FLAG_MEANINGS",
    "FLAG_NO_CONVERGENCE",
    "FLAG_NO_LOCAL_MAX",
    "FLAG_SUCCESS",
    "Cube",
    "FitRow",
    "LineFit",
    "LineSettings",
    "__version__",
    "estimate_noise",
    "fit_cube",
    "plot_fit",
    "read_cube",
    "read_maps",
]

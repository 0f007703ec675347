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

The package is in layers, each module importing only from those below it:
basics (`errors`, `signals`, `settings`, `rows`, `arrays`, `units`,
`progress`, `outputs`, `lazy`), data (`noise`, `guides`, `quality`, `results`,
`cube`, `spectral_axis`, `fits_files`, `fits_images`, `fit_inputs`), work
(`windows`, `neighbours`, `block_fit`, `dask`), front ends (`cube_fit`,
`cube_moments`, `cube_files`, `maps_files`, `plots`) and the command line
(`cli`). Importing `quillet` loads none of them but what its names need when
first used, so ``import quillet`` costs little and loads no astropy,
matplotlib, Dask or xarray.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    __version__: str

    from .cube import Cube
    from .cube_files import read_cube
    from .cube_fit import fit_cube
    from .cube_moments import Moments, moments
    from .errors import QuilletError
    from .line_models import LineModel
    from .maps_files import read_maps
    from .model_results import ModelFit, read_model_maps
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

# Each public name and the module that defines it, imported on first use.
_HOMES = {
    "Cube": "cube",
    "FLAG_MEANINGS": "results",
    "FLAG_NO_CONVERGENCE": "results",
    "FLAG_NO_LOCAL_MAX": "results",
    "FLAG_SUCCESS": "results",
    "FitRow": "results",
    "LineFit": "results",
    "LineModel": "line_models",
    "LineSettings": "settings",
    "ModelFit": "model_results",
    "Moments": "cube_moments",
    "QuilletError": "errors",
    "estimate_noise": "noise",
    "fit_cube": "cube_fit",
    "moments": "cube_moments",
    "plot_fit": "plots",
    "read_cube": "cube_files",
    "read_maps": "maps_files",
    "read_model_maps": "model_results",
}

__all__ = [
    "FLAG_MEANINGS",
    "FLAG_NO_CONVERGENCE",
    "FLAG_NO_LOCAL_MAX",
    "FLAG_SUCCESS",
    "Cube",
    "FitRow",
    "LineFit",
    "LineModel",
    "LineSettings",
    "ModelFit",
    "Moments",
    "QuilletError",
    "__version__",
    "estimate_noise",
    "fit_cube",
    "moments",
    "plot_fit",
    "read_cube",
    "read_maps",
    "read_model_maps",
]


def __getattr__(name: str) -> Any:
    if name == "__version__":
        # importlib.metadata takes longer to import than the package itself.
        globals()[name] = _version()
        return globals()[name]
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value  # found once: later look-ups skip this function
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quillet")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "0+unknown"

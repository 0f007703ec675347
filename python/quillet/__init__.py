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

The package is in layers, one folder each, and a module imports only from
the layers below its own (within a layer, from siblings, without a circle;
imports inside functions included):

- `basics`: `errors`, `signals`, `settings`, `rows`, `arrays`, `units`,
  `progress`, `outputs`, `lazy`, `pool`, `version`;
- `data`: `noise`, `guides`, `quality`, `model_quality`, `line_models`, `cube`,
  `spectral_axis`, `fits_files`, `fits_images`, `fit_inputs`, `formats`,
  `maps`, `results`, `model_results`, `moment_results`;
- `work`: `windows`, `neighbours`, `blocks`, `gaussian_fit`, `model_rules`,
  `model_fit`,
  `dask`, `worker_plugin`;
- `front` (the front ends): `cube_fit`, `cube_moments`, `cube_files`,
  `maps_files`, `figures`, `plots`, `model_plots`, `formats`;
- `cli`: the command line, `quillet.cli.main`.

Every result is a kind of maps (`data.maps.Maps`: `LineFit`, `ModelFit`,
`Moments`), written, read and drawn through a registry of formats and
pictures (`data.formats`) that the front ends fill (`front.formats`,
imported here, first thing). Every fit of a cube is the block driver
(`work.blocks`) running a block fitter (`work.gaussian_fit`,
`work.model_fit`).

Each folder's ``__init__`` says what its layer owns. Importing `quillet`
loads none of them but the registry's two light modules and what its names
need when first used, so ``import quillet`` costs little and loads no
NumPy, astropy, matplotlib, Dask or xarray.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

# Fills the registry through which maps reach their files and pictures.
from .front import formats as _formats  # noqa: F401

if TYPE_CHECKING:
    __version__: str

    from .basics.errors import QuilletError
    from .basics.settings import LineSettings
    from .data.cube import Cube
    from .data.line_models import LineModel
    from .data.model_results import ModelFit, read_model_maps
    from .data.moment_results import Moments
    from .data.noise import estimate_noise
    from .data.results import (
        FLAG_MEANINGS,
        FLAG_NO_CONVERGENCE,
        FLAG_NO_LOCAL_MAX,
        FLAG_SUCCESS,
        FitRow,
        LineFit,
    )
    from .front.cube_files import read_cube
    from .front.cube_fit import fit_cube
    from .front.cube_moments import moments
    from .front.maps_files import read_maps
    from .front.plots import plot_fit

# Each public name and the module that defines it, imported on first use.
_HOMES = {
    "Cube": "data.cube",
    "FLAG_MEANINGS": "data.results",
    "FLAG_NO_CONVERGENCE": "data.results",
    "FLAG_NO_LOCAL_MAX": "data.results",
    "FLAG_SUCCESS": "data.results",
    "FitRow": "data.results",
    "LineFit": "data.results",
    "LineModel": "data.line_models",
    "LineSettings": "basics.settings",
    "ModelFit": "data.model_results",
    "Moments": "data.moment_results",
    "QuilletError": "basics.errors",
    "estimate_noise": "data.noise",
    "fit_cube": "front.cube_fit",
    "moments": "front.cube_moments",
    "plot_fit": "front.plots",
    "read_cube": "front.cube_files",
    "read_maps": "front.maps_files",
    "read_model_maps": "data.model_results",
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
        from .basics.version import package_version

        globals()[name] = package_version()
        return globals()[name]
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value  # found once: later look-ups skip this function
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})

"""What kind of array a value is, and whether its shape fits.

The package takes NumPy arrays, memory maps, array-likes (h5py, zarr, a
lazily read FITS image) and Dask arrays alike; these helpers tell them
apart without importing Dask, and check shapes with one kind of message.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .errors import InputError

__all__ = ["check_shape", "is_dask_array"]


def is_dask_array(value: Any) -> bool:
    """True for a Dask array, without importing Dask when it is not one."""
    module = type(value).__module__
    return module.startswith("dask.") and hasattr(value, "chunks") and hasattr(value, "dask")


def check_shape(
    shape: tuple[int, ...], target: tuple[int, ...], name: str, what: str, hint: str
) -> None:
    """Raises `InputError` unless ``shape`` broadcasts to ``target``."""
    try:
        fits = np.broadcast_shapes(tuple(shape), target) == target
    except ValueError:
        fits = False
    if not fits:
        raise InputError(f"{name} of shape {tuple(shape)} does not match {what} {target}{hint}")

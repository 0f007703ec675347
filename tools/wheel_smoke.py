"""Checks an installed quillet: run by tools/wheel.sh and by cibuildwheel.

Fits a small synthetic cube of known lines through ``quillet.fit_cube`` and
checks the maps against the lines drawn, then checks that the package and
both extension modules were imported from the interpreter's own
site-packages, not from a source tree (the argument, if given: the checkout
the wheel was built from). Run it from outside the checkout, so that nothing
of it can be imported by accident.
"""

from __future__ import annotations

import importlib
import sys
import sysconfig
from pathlib import Path

import numpy as np

import quillet


def fit_known_lines() -> None:
    """A 3 x 4 cube of Gaussians at known centres and widths, with little noise."""
    rng = np.random.default_rng(7)
    velocity = np.linspace(-300.0, 300.0, 121)
    # Within the default search range of the guide (0 km/s).
    centres = np.linspace(-30.0, 30.0, 12).reshape(3, 4)
    sigmas = np.linspace(10.0, 25.0, 12).reshape(3, 4)
    lines = 5.0 * np.exp(-0.5 * ((velocity - centres[..., None]) / sigmas[..., None]) ** 2)
    data = (lines + rng.normal(0.0, 0.05, lines.shape)).astype(np.float32)
    fit = quillet.fit_cube(data, velocity, noise=0.05, progress=False)
    counts = fit.flag_counts()
    if counts.get("success") != centres.size:
        raise SystemExit(f"wheel check: expected {centres.size} successful fits, got {counts}")
    worst_centre = float(np.max(np.abs(fit.centre - centres)))
    worst_sigma = float(np.max(np.abs(fit.sigma - sigmas)))
    # The noise is 1 % of the peak: a wrong fit misses by tens of km/s.
    if worst_centre > 1.0 or worst_sigma > 1.0:
        raise SystemExit(
            f"wheel check: maps off the lines drawn by {worst_centre:.3f} km/s (centre) "
            f"and {worst_sigma:.3f} km/s (sigma)"
        )
    print(f"fit_cube: {counts}, centre within {worst_centre:.3f} km/s, sigma {worst_sigma:.3f}")


def check_installed(source_tree: Path | None) -> None:
    """Every module of the package comes from this interpreter's site-packages."""
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    for name in ("quillet", "_quillet", "_quillet_kernels"):
        module = importlib.import_module(name)
        where = Path(module.__file__ or "").resolve()
        if not where.is_relative_to(site):
            raise SystemExit(f"wheel check: {name} imported from {where}, not from {site}")
        if source_tree is not None and where.is_relative_to(source_tree.resolve()):
            raise SystemExit(f"wheel check: {name} imported from the source tree, at {where}")
        print(f"{name}: {where}")


def main(argv: list[str]) -> None:
    fit_known_lines()
    check_installed(Path(argv[0]) if argv else None)


if __name__ == "__main__":
    main(sys.argv[1:])

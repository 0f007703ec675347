"""Fit the three bundled sets of real observations and write their maps.

- the MUSE cube of Abell 478 through the command line, as a user would:
  ``quillet fit`` (air wavelengths, a variance extension, a redshift, the
  continuum from the channels beyond the line) and ``quillet plot``;
- the Hinode/EIS raster through `quillet.fit_cube`, with its per-spectrum
  wavelength correction as a velocity offset;
- the Solar Orbiter/SPICE patch through `quillet.fit_cube`, with its
  uncertainty and its mask of bad pixels;
- the MUSE cube again on a Dask LocalCluster of two worker processes, whose
  Zarr maps are compared with the first run's, bit for bit.

Writes maps (FITS) and pictures (PNG) to demo/output/, replacing earlier
ones, and prints what each fit found.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path
from typing import Any

import astropy.units as u
import numpy as np
from astropy.constants import c

import quillet

HERE = Path(__file__).resolve().parent
REAL = HERE.parent / "tests" / "data" / "real"
OUTPUT = HERE / "output"
C_KM_S = c.to_value(u.km / u.s)
SPICE_REST = 977.03 * u.AA


def summary(name: str, fit: quillet.LineFit) -> None:
    ok = fit.success if fit.quality is None else fit.good
    counts = fit.flag_counts()
    good = "" if fit.quality is None else f", {int(np.count_nonzero(ok))} good"
    print(
        f"{name}: {fit.flag.size} spectra, {counts['success']} fitted{good}; median centre "
        f"{np.median(fit.centre[ok]):+.1f} km/s, median sigma {np.median(fit.sigma[ok]):.1f} km/s"
    )
    if fit.quality is not None:
        bits = ", ".join(f"{name.lower()} {n}" for name, n in fit.quality_counts().items() if n)
        print(f"  quality bits: {bits or 'none'}")


def muse() -> None:
    cube = REAL / "muse_a478_halpha.fits"
    maps, picture = OUTPUT / "muse_maps.fits", OUTPUT / "muse_maps.png"
    command = [sys.executable, "-m", "quillet"]
    subprocess.run(
        [*command, "fit", str(cube), "--out", str(maps), "--rest-wavelength", "6562.8 Angstrom",
         "--redshift", "0.0858", "--continuum", "edges", "--overwrite", "--quiet"],
        check=True,
    )  # fmt: skip
    subprocess.run([*command, "plot", str(maps), "--out", str(picture), "--overwrite"], check=True)
    summary("MUSE Abell 478 H-alpha (quillet fit)", quillet.read_maps(maps))


def muse_on_a_cluster() -> None:
    """The same fit on a LocalCluster of two worker processes, each reading
    its blocks of the file: the maps are the in-process maps, bit for bit."""
    cube = REAL / "muse_a478_halpha.fits"
    maps = OUTPUT / "muse_maps_dask.zarr"
    subprocess.run(
        [sys.executable, "-m", "quillet", "fit", str(cube), "--out", str(maps),
         "--rest-wavelength", "6562.8 Angstrom", "--redshift", "0.0858", "--continuum", "edges",
         "--scheduler", "local:2", "--chunks", "10,10", "--overwrite", "--quiet"],
        check=True,
    )  # fmt: skip
    import xarray

    here = quillet.read_maps(OUTPUT / "muse_maps.fits")
    there = xarray.open_zarr(maps, consolidated=False)
    same = all(
        np.array_equal(
            there[name].values.view(np.uint8), np.asarray(getattr(here, name)).view(np.uint8)
        )
        for name in ("amplitude", "centre", "sigma", "centre_error", "flag", "window")
    )
    print(
        "MUSE on a LocalCluster of 2 workers, 16 blocks, Zarr maps: "
        + ("bit for bit the in-process maps" if same else "DIFFERENT from the in-process maps")
    )
    if not same:
        raise SystemExit(1)


def eis_inputs() -> dict[str, Any]:
    """fit_cube's inputs of the EIS raster: counts, velocity, photon noise and
    the per-spectrum offsets."""
    with np.load(REAL / "eis_fe12_192.npz") as npz:
        counts, wavelength = npz["intensity"], npz["wavelength"]
        correction, rest = npz["wave_corr"], float(npz["rest_wavelength"])
    return {
        "data": counts,
        "velocity": C_KM_S * (wavelength - rest) / rest,
        "noise": np.sqrt(np.clip(counts, 1.0, None)),
        "velocity_offset": -C_KM_S * correction / rest,
    }


def eis() -> None:
    fit = quillet.fit_cube(**eis_inputs(), progress=False)
    fit.write_fits(OUTPUT / "eis_maps.fits", overwrite=True)
    fit.plot_maps(OUTPUT / "eis_maps.png", overwrite=True)
    summary("Hinode/EIS Fe XII 192.39 raster", fit)


def spice_inputs() -> dict[str, Any]:
    """fit_cube's inputs of the SPICE patch, its velocities from C III 977.03."""
    with np.load(REAL / "spice_c3_977.npz") as npz:
        data = npz["intensity"] * u.Unit(str(npz["in_unit"]))
        wavelength = npz["wavelength"] * u.Unit(str(npz["wv_unit"]))
        noise, mask = npz["uncertainty"], npz["mask"]
    velocity = wavelength.to(u.km / u.s, equivalencies=u.doppler_optical(SPICE_REST))
    return {"data": data, "velocity": velocity, "noise": noise, "mask": mask,
            "spectral_axis": 0, "continuum": "edges"}  # fmt: skip


def spice() -> None:
    fit = quillet.fit_cube(**spice_inputs(), progress=False)
    fit.write_fits(OUTPUT / "spice_maps.fits", overwrite=True)
    fit.plot_maps(OUTPUT / "spice_maps.png", overwrite=True)
    summary("Solar Orbiter/SPICE C III 977 patch", fit)


def main() -> None:
    OUTPUT.mkdir(exist_ok=True)
    muse()
    muse_on_a_cluster()
    eis()
    spice()
    print(f"maps and pictures in {OUTPUT}")


if __name__ == "__main__":
    main()

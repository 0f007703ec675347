"""Line models on the bundled real sets, with default settings: how many
fits are good, and each quality bit's count, per spectrum and per component.

- MUSE, Abell 478: H-alpha and [N II] 6548, 6583 (one velocity, one width,
  6583 = 3.05 x 6548) and a constant, through ``quillet fit`` and
  ``quillet plot`` as the README shows them; then the same lines with a
  free broad Gaussian of sigma 300 to 3000 km/s (the README's ``--model``),
  which this cube does not hold;
- IRIS: Mg II k and h, one velocity, one width, the fill value -200 marked;
- SPICE: C III 977 and H I Ly-gamma 972.5, each its own velocity and width,
  with the patch's uncertainty and mask;
- Hinode/EIS Fe XII 192.39: up to three free Gaussians and a constant, the
  count chosen per spectrum;
- GILDAS HDO: free Gaussians on a cube with no line.

Writes maps and pictures to demo/output/ (replacing earlier ones) and
prints the figures the README quotes.
"""

from __future__ import annotations

import subprocess
import sys

import astropy.units as u
import numpy as np
from fit_real import OUTPUT, REAL, SPICE_REST, eis_inputs, spice_inputs

import quillet
from quillet.data.line_models import LineModel
from quillet.data.quality import GOOD_MASK, Quality


def bits(counts: dict[str, int]) -> str:
    return ", ".join(f"{name.lower()} {n}" for name, n in counts.items() if n) or "none"


def summary(name: str, fit: quillet.ModelFit) -> None:
    fit = fit.compute()
    flags = fit.flag_counts()
    kept = fit.component_counts()
    print(
        f"{name}: {fit.flag.size} spectra, {flags['success']} fitted, {int(fit.good.sum())} good; "
        f"components kept {', '.join(f'{k}: {n}' for k, n in kept.items() if n)}"
    )
    print(f"  spectra: {bits(fit.quality_counts())}")
    good = fit.component_good
    for k, line in enumerate(fit.model.names):
        doubts = {
            key: n
            for key, n in fit.quality_counts(k).items()
            if not Quality[key] & (GOOD_MASK | Quality.NO_DATA)
        }
        print(f"  {line}: {int(good[k].sum())} good; {bits(doubts)}")
        if good[k].any():
            print(
                f"    median velocity {np.median(fit.centre[k][good[k]]):+.1f} km/s, "
                f"sigma {np.median(fit.sigma[k][good[k]]):.1f} km/s"
            )


def muse() -> None:
    cube = REAL / "muse_a478_halpha.fits"
    command = [sys.executable, "-m", "quillet"]
    common = [str(cube), "--rest-wavelength", "6562.8 Angstrom", "--redshift", "0.0858",
              "--line-sigma", "100", "--lines", "6562.80,6548.05,6583.45 Angstrom",
              "--ratios=-,1,3.05", "--baseline", "0", "--overwrite", "--quiet"]  # fmt: skip
    maps = OUTPUT / "muse_lines.fits"
    subprocess.run([*command, "fit", "--out", str(maps), *common], check=True)
    subprocess.run([*command, "plot", str(maps), "--out", str(OUTPUT / "muse_lines.png"),
                    "--overwrite"], check=True)  # fmt: skip
    summary("MUSE Abell 478, H-alpha + [N II] (quillet fit --lines)", quillet.read_maps(maps))
    broad = OUTPUT / "muse_broad.fits"
    subprocess.run([*command, "fit", "--out", str(broad), *common, "--model",
                    "lines sigma=20,300 velocity=-500,500 + gaussian sigma=300,3000 name=broad"],
                   check=True)  # fmt: skip
    summary("MUSE Abell 478, the same + a free broad Gaussian", quillet.read_maps(broad))


def iris() -> None:
    cube = quillet.read_cube(REAL / "iris_mg2k_raster.fits", rest_wavelength="2796.35 Angstrom")
    model = LineModel.lines([2796.35, 2803.53] * u.AA)
    fit = quillet.fit_cube(cube, model=model, valid_min=-199.0, progress=False)
    fit.write_fits(OUTPUT / "iris_lines.fits", overwrite=True)
    fit.plot_maps(OUTPUT / "iris_lines.png", overwrite=True)
    summary("IRIS Mg II k and h", fit)


def spice() -> None:
    model = LineModel.lines([972.54, 977.03] * u.AA, shared_velocity=False, shared_width=False)
    fit = quillet.fit_cube(**spice_inputs(), model=model, rest_value=SPICE_REST, progress=False)
    fit.write_fits(OUTPUT / "spice_lines.fits", overwrite=True)
    summary("SPICE C III 977 and Ly-gamma", fit)


def eis() -> None:
    model = LineModel.free(3, baseline=0)
    fit = quillet.fit_cube(**eis_inputs(), model=model, components="auto", progress=False)
    fit.write_fits(OUTPUT / "eis_auto.fits", overwrite=True)
    summary("Hinode/EIS Fe XII 192.39, components auto", fit)


def gildas() -> None:
    cube = quillet.read_cube(REAL / "gildas_hdo_iras2a.fits")
    fit = quillet.fit_cube(cube, components="auto", progress=False)
    summary("GILDAS HDO (no line), components auto", fit)


def main() -> None:
    OUTPUT.mkdir(exist_ok=True)
    muse()
    iris()
    spice()
    eis()
    gildas()


if __name__ == "__main__":
    main()

"""How long `quillet plot` takes to draw a maps file of 100 x 100 spectra on
sky axes, as a user runs it: a fresh process each time, imports included.

The maps are those of a synthetic cube of lines (41 channels) on a
tangent-plane WCS of 0.2 arcsec pixels. Each round runs the command once;
the table gives each round's wall time and the CPU time of the process
(user + system), which a busy machine inflates less than the wall time.
With ``--package DIR`` the command runs from another copy of the package
(an earlier commit's python/ folder, say), to compare the two on the same
machine load. Run once:

    PYTHONPATH=build/dev/src/api:python python3 benchmarks/plot_benchmarks.py
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from astropy.wcs import WCS

import quillet

ROUNDS = 3
SHAPE = (100, 100)


def maps_file(folder: Path) -> Path:
    velocity = np.arange(-200.0, 200.5, 10.0)
    rng = np.random.default_rng(0)
    centre = rng.uniform(-40.0, 40.0, (*SHAPE, 1))
    data = 5.0 * np.exp(-0.5 * ((velocity - centre) / 30.0) ** 2)
    data = (data + rng.normal(0.0, 1.0, data.shape)).astype(np.float32)
    wcs = WCS(naxis=2)
    wcs.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    wcs.wcs.crval = [63.3565, 10.4662]
    wcs.wcs.crpix = [SHAPE[1] / 2, SHAPE[0] / 2]
    wcs.wcs.cdelt = [-0.2 / 3600, 0.2 / 3600]
    fit = quillet.fit_cube(data, velocity, noise=1.0, progress=False)

    return dataclasses.replace(fit, wcs=wcs).write_fits(folder / "maps.fits")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package", type=Path, help="python/ folder of the package to run")
    args = parser.parse_args()
    env = dict(os.environ)
    if args.package is not None:
        current = Path(quillet.__file__).resolve().parent.parent
        paths = [str(args.package.resolve()), *env.get("PYTHONPATH", "").split(os.pathsep)]
        env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p and Path(p).resolve() != current)
    with tempfile.TemporaryDirectory() as folder:
        maps = maps_file(Path(folder))
        load = os.getloadavg()[0]
        print(f"quillet plot of {SHAPE[0]} x {SHAPE[1]} maps on sky axes, load {load:.2f}")
        for number in range(ROUNDS):
            picture = Path(folder) / f"maps{number}.png"
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            subprocess.run(
                [sys.executable, "-m", "quillet", "plot", str(maps), "--out", str(picture)],
                check=True, env=env, stdout=subprocess.DEVNULL,
            )  # fmt: skip
            wall = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            print(f"  round {number + 1}: wall {wall:.2f} s, cpu {cpu:.2f} s")
        print(f"load after {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()

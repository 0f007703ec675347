"""Peak resident memory of ``quillet fit`` on a large FITS cube, as a batch
system counts it, before and after the cube was read a block at a time.

    python3 benchmarks/memory_benchmark.py [--gigabytes 2] [--folder /tmp]
        [--before DIR]

writes a float32 cube of about --gigabytes (spectral axis first, 128
channels; smaller where the folder lacks room, the figures then scaled) and
runs ``python -m quillet fit`` on it in a child process: its ru_maxrss
(what its parent, and so a batch system, reads when it ends), its VmHWM
(the kernel's high-water mark of its resident set) and the peaks of its
anonymous and file-backed resident memory. With --before DIR (a folder
holding an earlier ``quillet`` package, e.g. from ``git archive``) the same
run is measured with that package too, in turn. It also times reading every
block of the cube in this process, by ordinary reads (the package's
`FitsData`) and through a memory map of the whole file (what the package
did before), the cache warm. Prints a table and writes
benchmarks/results/memory-<time>.json.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import shutil
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from cube_benchmarks import RESULTS, peak_memory_of, write_big_cube  # noqa: E402

import quillet  # noqa: E402
from quillet.basics.rows import default_chunk_rows, row_blocks, take_rows  # noqa: E402

CHANNELS = 128
MIB = 2.0**20


def room_for(gigabytes: float, folder: Path) -> float:
    """The cube's size in GB, cut to what the folder has room for (the cube
    and its maps, with a gigabyte to spare)."""
    free = shutil.disk_usage(folder).free / 1e9
    fits = max(0.1, (free - 1.0) / 1.1)
    if fits < gigabytes:
        print(f"only {free:.1f} GB free in {folder}: a {fits:.2f} GB cube instead", flush=True)
    return min(gigabytes, fits)


def package_env(package: Path | None) -> dict[str, str]:
    """The environment of a child that imports quillet from ``package`` (a
    folder holding it) ahead of this one's, or as this process does."""
    env = dict(os.environ)
    if package is not None:
        env["PYTHONPATH"] = os.pathsep.join([str(package), env.get("PYTHONPATH", "")])
    return env


def time_reads(cube_path: Path, rounds: int = 3) -> dict[str, float]:
    """Seconds to read every block of the cube as the fit takes them
    (float32 rows), by ordinary reads and through a whole-file map; the
    best of a few rounds each, the two in turn."""
    from astropy.io import fits

    data = quillet.read_cube(cube_path).data
    with fits.open(cube_path, memmap=True) as hdul:
        mapped = np.moveaxis(hdul[0].data, 0, -1)
        best = {"reads": np.inf, "map": np.inf}
        for _ in range(rounds):
            for name, array in (("reads", data), ("map", mapped)):
                start = time.perf_counter()
                spatial = array.shape[:-1]
                for block in row_blocks(spatial, default_chunk_rows(CHANNELS)):
                    take_rows(array, block, array.ndim - 1)
                best[name] = min(best[name], time.perf_counter() - start)
        del mapped
    return best


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--gigabytes", type=float, default=2.0)
    parser.add_argument("--folder", type=Path, default=Path("/tmp"))
    parser.add_argument("--before", type=Path, help="a folder holding an earlier quillet")
    args = parser.parse_args()

    gigabytes = room_for(args.gigabytes, args.folder)
    scratch = args.folder / f"quillet-memory-{os.getpid()}"
    scratch.mkdir()
    cube, maps = scratch / "cube.fits", scratch / "maps.fits"
    report: dict = {"requested_gb": args.gigabytes}
    try:
        print(f"writing a {gigabytes:.2f} GB cube to {cube}...", flush=True)
        shape = write_big_cube(cube, int(gigabytes * 1e9 / (4 * CHANNELS)), CHANNELS)
        spectra = shape[1] * shape[2]
        report.update(
            cube_bytes=cube.stat().st_size,
            spectra=spectra,
            channels=CHANNELS,
            maps_bytes=spectra * (7 * 4 + 1 + 2 * 4),
            block_bytes=4 * CHANNELS * default_chunk_rows(CHANNELS),
        )
        command = [sys.executable, "-m", "quillet"]
        fit = [*command, "fit", str(cube), "--out", str(maps), "--quiet", "--overwrite"]
        variants = {"after": None} | ({"before": args.before} if args.before else {})
        for name, package in variants.items():
            env = package_env(package)
            print(f"quillet fit ({name}) on {spectra:,} spectra...", flush=True)
            baseline = peak_memory_of([*command, "info", str(cube)], quiet=True, env=env)
            report[name] = {**peak_memory_of(fit, env=env), "info_VmHWM": baseline["peak_VmHWM"]}
        print("timing the reads of every block...", flush=True)
        report["read_seconds"] = time_reads(cube)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    scale = args.gigabytes * 1e9 / report["cube_bytes"]
    lines = [
        f"cube {report['cube_bytes'] / MIB:,.0f} MiB ({spectra:,} spectra of {CHANNELS} "
        f"channels); maps {report['maps_bytes'] / MIB:,.0f} MiB; one block "
        f"{report['block_bytes'] / MIB:,.0f} MiB",
        f"{'':<10} {'ru_maxrss':>12} {'VmHWM':>12} {'RssAnon':>12} {'RssFile':>12} "
        f"{'info VmHWM':>12} {'time':>8}",
    ]
    for name in variants:
        run = report[name]
        lines.append(
            f"{name:<10} {run['ru_maxrss'] / MIB:>8,.0f} MiB {run['peak_VmHWM'] / MIB:>8,.0f} MiB "
            f"{run['peak_RssAnon'] / MIB:>8,.0f} MiB {run['peak_RssFile'] / MIB:>8,.0f} MiB "
            f"{run['info_VmHWM'] / MIB:>8,.0f} MiB {run['seconds']:>6.1f} s"
        )
    if abs(scale - 1.0) > 0.01:
        lines.append(f"(the cube is {1 / scale:.2f} of the {args.gigabytes:g} GB asked for)")
    reads = report["read_seconds"]
    lines.append(
        f"reading every block: {reads['reads']:.2f} s by ordinary reads, {reads['map']:.2f} s "
        f"through a map of the file ({reads['reads'] / reads['map']:.2f}x)"
    )
    print("\n".join(lines))
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / f"memory-{datetime.datetime.now().strftime('%Y%m%d-%H%M%S')}.json"
    out.write_text(json.dumps(report, indent=2))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()

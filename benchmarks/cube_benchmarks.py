"""What the quillet package costs on top of the kernel, and how much memory
the command line needs for a cube far larger than its blocks.

Run through `bash tools/bench.sh` (after the kernel's suite), or directly
once quillet is installed:

    python3 benchmarks/cube_benchmarks.py [--memory-gb 4]

Measures, in one run:

- `quillet.fit_cube` on the bundled survey as a float32 C-contiguous cube
  (spectral axis last, noise given) against one `fit_spectra_batch_guided`
  call on the same arrays: the price of blocks, guides and result maps;
- the same spectra as a float64 cube with the spectral axis first, which
  fit_cube converts and transposes a block at a time;
- the same with the noise estimated from each spectrum (DER_SNR);
- ``quillet fit`` on a FITS cube of --memory-gb gigabytes, memory-mapped:
  its peak anonymous memory (what the process itself holds; the file's
  pages that the mapping brings in are page cache, which the kernel reclaims
  at will) against the size of its result maps.

Timings alternate the contenders round by round and keep each one's best,
so a burst of other work on the machine spoils one round, not a ratio.
Prints one table and writes benchmarks/results/cube-<time>.json.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "demo"))

from survey import FIT_SETTINGS, make_survey  # noqa: E402

import _quillet  # noqa: E402
import quillet  # noqa: E402
import quillet.basics.rows  # noqa: E402

RESULTS = HERE / "results"
TARGET_F32_OVERHEAD = 1.10  # fit_cube over the batch call, float32 C-contiguous
TARGET_F64_FIRST = 1.5  # float64, spectral axis first


def alternate(contenders: dict, rounds: int) -> dict[str, float]:
    """Best seconds of each contender, timed in turn for ``rounds`` rounds."""
    best = dict.fromkeys(contenders, float("inf"))
    for run in contenders.values():
        run()  # pages the inputs in and starts the pool
    for _ in range(rounds):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def time_fit_cube(rows: int, rounds: int) -> dict:
    survey = make_survey(rows=rows)
    settings = quillet.LineSettings(**FIT_SETTINGS)
    spectra, noise, guides = survey.spectra, survey.spec_noise, survey.guide_velocities
    axis = survey.dopp_slit
    spectra64_first = np.ascontiguousarray(spectra.T, dtype=np.float64)
    noise64_first = np.ascontiguousarray(noise.T, dtype=np.float64)

    def cube(data, sigma, spectral_axis=-1):
        return lambda: quillet.fit_cube(
            data, axis, noise=sigma, guide=guides, spectral_axis=spectral_axis,
            settings=settings, progress=False,
        )  # fmt: skip

    seconds = alternate(
        {
            "batch": lambda: _quillet.fit_spectra_batch_guided(
                spectra, axis, noise, guides, **FIT_SETTINGS
            ),
            "fit_cube_f32": cube(spectra, noise),
            "fit_cube_f64_first": cube(spectra64_first, noise64_first, 0),
            "fit_cube_estimated_noise": cube(spectra, None),
        },
        rounds,
    )
    return {
        "rows": rows,
        "channels": spectra.shape[1],
        "seconds": seconds,
        "spectra_per_s": {name: rows / s for name, s in seconds.items()},
        "ratio_f32": seconds["fit_cube_f32"] / seconds["batch"],
        "ratio_f64_first": seconds["fit_cube_f64_first"] / seconds["batch"],
        "ratio_estimated_noise": seconds["fit_cube_estimated_noise"] / seconds["batch"],
    }


# --- peak memory of the command line on a large memory-mapped cube -----------


def write_big_cube(
    path: Path, spectra: int, channels: int = 128, width: int = 2000
) -> tuple[int, ...]:
    """A float32 FITS cube of about ``spectra`` spectra (whole rows of
    ``width``), spectral axis first in NumPy order (NAXIS3) over -320 to 320
    km/s, one line per spectrum over noise, written plane by plane so that
    writing it needs one plane of memory."""
    from astropy.io import fits

    height = max(1, -(-spectra // width))
    step = 640.0 / channels
    header = fits.Header()
    header["SIMPLE"] = True
    header["BITPIX"] = -32
    header["NAXIS"] = 3
    header["NAXIS1"] = width
    header["NAXIS2"] = height
    header["NAXIS3"] = channels
    for key, value in {"CTYPE3": "VRAD", "CUNIT3": "km/s", "CRVAL3": -320.0, "CDELT3": step,
                       "CRPIX3": 1.0, "BUNIT": "K"}.items():  # fmt: skip
        header[key] = value
    rng = np.random.default_rng(1)
    centre = rng.uniform(-150.0, 150.0, (height, width)).astype(np.float32)
    stream = fits.StreamingHDU(path, header)
    for k in range(channels):
        velocity = np.float32(-320.0 + step * k)
        plane = 10.0 * np.exp(-0.5 * ((velocity - centre) / np.float32(20.0)) ** 2)
        plane += rng.standard_normal((height, width), dtype=np.float32)
        stream.write(plane.astype(">f4"))
    stream.close()
    return (channels, height, width)


def peak_memory_of(
    command: list[str], *, quiet: bool = False, env: dict[str, str] | None = None
) -> dict:
    """Runs a command, sampling its /proc status every 20 ms: the peaks of
    its anonymous and file-backed resident memory and of its whole resident
    set (VmHWM, the kernel's own high-water mark), its ru_maxrss as its
    parent sees it when it ends (what batch systems account), and its run
    time."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL if quiet else None, env=env)
    peaks = {"RssAnon": 0, "RssFile": 0, "VmRSS": 0, "VmHWM": 0}
    status = Path(f"/proc/{process.pid}/status")
    while True:
        try:
            for line in status.read_text().splitlines():
                key, _, value = line.partition(":")
                if key in peaks:
                    peaks[key] = max(peaks[key], int(value.split()[0]) * 1024)
        except (FileNotFoundError, ProcessLookupError):
            pass
        # Reaped here, not by Popen, so that its resource usage is ours to read.
        pid, code, usage = os.wait4(process.pid, os.WNOHANG)
        if pid == process.pid:
            break
        time.sleep(0.02)
    process.returncode = os.waitstatus_to_exitcode(code)
    if process.returncode != 0:
        raise RuntimeError(f"{command} failed with status {process.returncode}")
    return {
        **{f"peak_{k}": v for k, v in peaks.items()},
        "ru_maxrss": usage.ru_maxrss * 1024,  # kilobytes on Linux
        "seconds": time.perf_counter() - start,
    }


def measure_cli_memory(gigabytes: float, folder: Path) -> dict:
    cube = folder / "big_cube.fits"
    maps = folder / "big_maps.fits"
    print(f"writing a {gigabytes:g} GB cube to {cube}...", flush=True)
    channels = 128
    shape = write_big_cube(cube, int(gigabytes * 1e9 / (4 * channels)), channels)
    spectra = shape[1] * shape[2]
    # Every map of LineFit: seven float32, the int8 flag and the int32 window.
    maps_bytes = spectra * (7 * 4 + 1 + 2 * 4)
    command = [sys.executable, "-m", "quillet"]
    print(f"quillet fit on {spectra:,} spectra of {shape[0]} channels...", flush=True)
    try:
        # What the interpreter and its imports hold, reading the same cube's
        # header: the part of the fit's peak that no cube size changes.
        baseline = peak_memory_of([*command, "info", str(cube)], quiet=True)
        measured = peak_memory_of(
            [*command, "fit", str(cube), "--out", str(maps), "--quiet", "--overwrite"]
        )
    finally:
        cube.unlink(missing_ok=True)
        maps.unlink(missing_ok=True)
    return {
        "cube_bytes": 4 * shape[0] * spectra,
        "spectra": spectra,
        "channels": shape[0],
        "maps_bytes": maps_bytes,
        "default_block_bytes": 4 * shape[0] * quillet.basics.rows.default_chunk_rows(shape[0]),
        "baseline_RssAnon": baseline["peak_RssAnon"],
        **measured,
    }


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rows", type=int, default=100_000, help="spectra of the survey")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument(
        "--memory-gb", type=float, default=4.0, help="size of the memory test's cube (0: none)"
    )
    parser.add_argument("--folder", type=Path, default=None, help="where to write that cube")
    args = parser.parse_args()

    print(f"timing fit_cube against the batch on {args.rows:,} spectra...", flush=True)
    report: dict = {"fit_cube": time_fit_cube(args.rows, args.rounds)}
    if args.memory_gb > 0:
        RESULTS.mkdir(exist_ok=True)
        folder = args.folder or RESULTS
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            report["cli_memory"] = measure_cli_memory(args.memory_gb, Path(scratch))

    timing = report["fit_cube"]
    rate = timing["spectra_per_s"]
    lines = [
        f"{'measurement':<52} {'result':>30}",
        f"{'batch call (float32, C-contiguous)':<52} {rate['batch']:>22,.0f} spectra/s",
        f"{'fit_cube, float32 C-contiguous':<52} {rate['fit_cube_f32']:>22,.0f} spectra/s"
        f"  ({timing['ratio_f32']:.3f}x the batch's time; target <= {TARGET_F32_OVERHEAD})",
        f"{'fit_cube, float64, spectral axis first':<52} {rate['fit_cube_f64_first']:>22,.0f} "
        f"spectra/s  ({timing['ratio_f64_first']:.3f}x; target <= {TARGET_F64_FIRST})",
        f"{'fit_cube, float32, noise estimated (DER_SNR)':<52} "
        f"{rate['fit_cube_estimated_noise']:>22,.0f} spectra/s  "
        f"({timing['ratio_estimated_noise']:.3f}x)",
    ]
    if "cli_memory" in report:
        memory = report["cli_memory"]
        mib = 2.0**20
        lines += [
            f"{'quillet fit: cube on disk, memory-mapped':<52} "
            f"{memory['cube_bytes'] / mib:>20,.0f} MiB ({memory['spectra']:,} spectra)",
            f"{'  result maps':<52} {memory['maps_bytes'] / mib:>20,.0f} MiB",
            f"{'  one default block of float32 spectra':<52} "
            f"{memory['default_block_bytes'] / mib:>20,.0f} MiB",
            f"{'  peak anonymous memory (RssAnon)':<52} {memory['peak_RssAnon'] / mib:>20,.0f} MiB",
            f"{'  of which the interpreter and imports (quillet info)':<52} "
            f"{memory['baseline_RssAnon'] / mib:>20,.0f} MiB",
            f"{'  peak file pages mapped (RssFile, page cache)':<52} "
            f"{memory['peak_RssFile'] / mib:>20,.0f} MiB",
            f"{'  run time':<52} {memory['seconds']:>22.1f} s",
        ]
    print("\n".join(lines))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / f"cube-{stamp}.json"
    report["machine"] = {"processors": os.cpu_count(), "python": sys.version.split()[0]}
    out.write_text(json.dumps(report, indent=2))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()

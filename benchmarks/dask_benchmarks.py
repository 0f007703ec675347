"""quillet on a Dask cluster against quillet in one process, on one machine.

Run through `bash tools/bench.sh` (after the other suites), or directly once
quillet is installed with its dask extra:

    python3 benchmarks/dask_benchmarks.py [--spectra 2000000]

Writes a FITS cube of --spectra spectra (64 channels, float32) to disk and
measures, in one run:

- `quillet.fit_cube` in this process on the memory-mapped cube (the pool on
  every core), against the same fit on a `LocalCluster` of one worker
  process per core, each with one thread, whose workers read their blocks
  from the file: spectra per second of each, and their ratio;
- the thread set-ups of a worker: one thread per process with the kernel's
  pool sized by `QuilletWorkerPlugin` (one thread: the task's own), the
  same without the plugin (each process's pool as wide as the machine, so
  twice as many busy threads as cores), and one process with a thread per
  core;
- the cost of the scheduler per task: the cluster's time for the cube in
  blocks of 1,000 to 256,000 spectra, against the in-process time; from
  these the README recommends a block size.

Cluster start-up is not timed: it happens once per session. Every figure is
the best of --rounds. Prints one table and writes
benchmarks/results/dask-<time>.json.
"""

from __future__ import annotations

import argparse
import datetime
import json
import logging
import os
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from cube_benchmarks import write_big_cube  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import quillet  # noqa: E402
import quillet.dask  # noqa: E402

RESULTS = HERE / "results"
CHANNELS = 64
TARGET_RATIO = 1.15  # cluster time over in-process time
BLOCK_SWEEP = (1_000, 4_000, 16_000, 64_000, 256_000)


def best_of(rounds: int, run) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def in_process_seconds(path: Path, rounds: int) -> float:
    cube = quillet.read_cube(path)
    quillet.fit_cube(cube, noise=1.0, progress=False)  # starts the pool, pages the file in
    return best_of(rounds, lambda: quillet.fit_cube(cube, noise=1.0, progress=False))


def cluster_seconds(client: Client, path: Path, chunks: int, rounds: int) -> float:
    def run() -> None:
        cube = quillet.read_cube(path, chunks=chunks)
        # Computed into the client's memory, as the in-process fit's maps are.
        quillet.fit_cube(cube, noise=1.0).compute()

    run()  # every worker has made its pool and opened the file
    return best_of(rounds, run)


def cluster(workers: int, threads: int, plugin: bool) -> tuple[LocalCluster, Client]:
    env = quillet.dask.worker_options(threads_per_worker=threads)["env"] if plugin else {}
    local = LocalCluster(
        n_workers=workers, threads_per_worker=threads, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=logging.ERROR, env=env,
    )  # fmt: skip
    client = Client(local)
    if plugin:
        client.register_plugin(quillet.dask.QuilletWorkerPlugin())
    return local, client


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--spectra", type=int, default=2_000_000)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--chunks", type=int, default=64_000, help="spectra per block")
    parser.add_argument("--folder", type=Path, default=None, help="where to write the cube")
    args = parser.parse_args()
    cores = os.cpu_count() or 1
    RESULTS.mkdir(exist_ok=True)
    report: dict = {"spectra": args.spectra, "channels": CHANNELS, "cores": cores}

    with tempfile.TemporaryDirectory(dir=args.folder or RESULTS) as scratch:
        path = Path(scratch) / "cube.fits"
        gigabytes = args.spectra * CHANNELS * 4 / 1e9
        print(f"writing a cube of {args.spectra:,} spectra ({gigabytes:.2f} GB)...", flush=True)
        write_big_cube(path, args.spectra, channels=CHANNELS)
        print("timing the fit in this process...", flush=True)
        here = in_process_seconds(path, args.rounds)
        report["in_process_seconds"] = here

        setups = {
            "one thread per worker, pool sized by the plugin": (cores, 1, True),
            "one thread per worker, pool as wide as the machine": (cores, 1, False),
            "one worker, a thread per core, pool sized by the plugin": (1, cores, True),
        }
        report["setups"] = {}
        for name, (workers, threads, plugin) in setups.items():
            print(f"timing on a LocalCluster: {name}...", flush=True)
            local, client = cluster(workers, threads, plugin)
            with local, client:
                report["setups"][name] = cluster_seconds(client, path, args.chunks, args.rounds)
                if name.startswith("one thread per worker, pool sized"):
                    report["block_sweep"] = {
                        size: cluster_seconds(client, path, size, args.rounds)
                        for size in BLOCK_SWEEP
                    }

    rate = args.spectra / here
    lines = [
        f"{'measurement':<62} {'spectra/s':>12} {'time / in process':>18}",
        f"{'fit_cube in this process (memory map, pool on every core)':<62} {rate:>12,.0f}",
    ]
    for name, seconds in report["setups"].items():
        ratio = seconds / here
        target = f" (target <= {TARGET_RATIO})" if "plugin" in name and "one thread" in name else ""
        lines.append(
            f"{'LocalCluster, ' + name:<62} {args.spectra / seconds:>12,.0f} {ratio:>17.3f}x"
            f"{target}"
        )
    lines.append("scheduler cost by block size (one thread per worker, plugin):")
    for size, seconds in report["block_sweep"].items():
        blocks = -(-args.spectra // size)
        overhead = max(0.0, seconds - here) / blocks * 1e3
        lines.append(
            f"  {size:>8,} spectra per block, {blocks:>5} blocks{'':<23} "
            f"{args.spectra / seconds:>12,.0f} {seconds / here:>17.3f}x  "
            f"({overhead:.2f} ms per block over the in-process time)"
        )
    print("\n".join(lines))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = RESULTS / f"dask-{stamp}.json"
    out.write_text(json.dumps(report, indent=2))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()

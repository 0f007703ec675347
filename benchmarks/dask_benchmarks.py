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
  blocks of 4,000 to 256,000 spectra, against the in-process time; from
  these the README recommends a block size.

Cluster start-up is not timed: it happens once per session. The in-process
fit and the cluster's are timed in turn, round by round, and each ratio is
of their best of --rounds. Prints one table and writes
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
import quillet.work.dask  # noqa: E402

RESULTS = HERE / "results"
CHANNELS = 64
TARGET_RATIO = 1.15  # cluster time over in-process time
BLOCK_SWEEP = (4_000, 16_000, 64_000, 256_000)


def best_of(rounds: int, run) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def timed_pair(client: Client, path: Path, chunks: int, rounds: int) -> tuple[float, float]:
    """Best seconds of the in-process fit and of the cluster's, timed in
    turn round by round, so that a burst of other work spoils one round of
    either, not their ratio. The cluster's maps are computed into this
    process's memory, as the in-process maps are."""
    here = quillet.read_cube(path)
    best = {"here": float("inf"), "cluster": float("inf")}
    runs = {
        "here": lambda: quillet.fit_cube(here, noise=1.0, progress=False),
        "cluster": lambda: quillet.fit_cube(
            quillet.read_cube(path, chunks=chunks), noise=1.0
        ).compute(),
    }
    for run in runs.values():
        run()  # the pools made, the file in the page cache, the workers warm
    for _ in range(rounds):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best["here"], best["cluster"]


def cluster(workers: int, threads: int, plugin: bool) -> tuple[LocalCluster, Client]:
    env = quillet.work.dask.worker_options(threads_per_worker=threads)["env"] if plugin else {}
    local = LocalCluster(
        n_workers=workers, threads_per_worker=threads, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=logging.ERROR, env=env,
    )  # fmt: skip
    client = Client(local)
    if plugin:
        client.register_plugin(quillet.work.dask.QuilletWorkerPlugin())
    return local, client


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--spectra", type=int, default=2_000_000)
    parser.add_argument("--rounds", type=int, default=4)
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
                report["setups"][name] = timed_pair(client, path, args.chunks, args.rounds)
                if name.startswith("one thread per worker, pool sized"):
                    report["block_sweep"] = {
                        size: timed_pair(client, path, size, args.rounds) for size in BLOCK_SWEEP
                    }
    here = min(pair[0] for pair in report["setups"].values())
    report["in_process_seconds"] = here

    rate = args.spectra / here
    lines = [
        f"{'measurement':<62} {'spectra/s':>12} {'time / in process':>18}",
        f"{'fit_cube in this process (memory map, pool on every core)':<62} {rate:>12,.0f}",
    ]
    for name, (beside, seconds) in report["setups"].items():
        ratio = seconds / beside
        target = f" (target <= {TARGET_RATIO})" if "plugin" in name and "one thread" in name else ""
        lines.append(
            f"{'LocalCluster, ' + name:<62} {args.spectra / seconds:>12,.0f} {ratio:>17.3f}x"
            f"{target}"
        )
    lines.append("scheduler cost by block size (one thread per worker, plugin):")
    for size, (beside, seconds) in report["block_sweep"].items():
        blocks = -(-args.spectra // size)
        overhead = max(0.0, seconds - beside) / blocks * 1e3
        lines.append(
            f"  {size:>8,} spectra per block, {blocks:>5} blocks{'':<23} "
            f"{args.spectra / seconds:>12,.0f} {seconds / beside:>17.3f}x  "
            f"({overhead:.2f} ms per block over the in-process time)"
        )
    print("\n".join(lines))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = RESULTS / f"dask-{stamp}.json"
    out.write_text(json.dumps(report, indent=2))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()

#!/usr/bin/env bash
# Sets up a fresh machine, installs quillet, builds the C++ benchmark programs
# and runs the benchmark suites: spectra per second of the batch on one and on
# every worker, the Python call cost of the single-fit functions, scipy's
# curve_fit on the same spectra, and the floor of the algorithm (one table,
# benchmarks/results/bench-<time>.json and throughput.png); then the package
# on top of the kernel (cube-<time>.json) and on Dask (dask-<time>.json).
# Extra arguments go to benchmarks/run_benchmarks.py (--help lists them;
# --publish-plot refreshes the README's plot). Not part of the tests: it
# takes a few minutes and wants an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
python3 -m pip install -q scipy matplotlib
python3 -m pip install -q --no-build-isolation ".[all]"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_PYTHON=OFF \
  -DQUILLET_BENCHMARKS=ON >/dev/null
cmake --build build/bench --target quillet_time_fits quillet_floor
# One BLAS thread: NumPy's would otherwise spin beside the timed calls, and
# curve_fit is compared per core.
OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
  python3 benchmarks/run_benchmarks.py --cxx-bin build/bench/benchmarks "$@"
# The quillet package on top of the kernel: fit_cube against the batch, and
# the command line's peak memory on a 4 GB memory-mapped cube.
OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 python3 benchmarks/cube_benchmarks.py
# On Dask: a LocalCluster against the in-process fit, thread set-ups, and
# the scheduler's cost per block.
OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 python3 benchmarks/dask_benchmarks.py

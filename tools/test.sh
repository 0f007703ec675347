#!/usr/bin/env bash
# Sets up a fresh machine and runs every test of quillet: ruff and mypy on
# the Python tree, the C++ tests (plain, then under AddressSanitizer +
# UndefinedBehaviorSanitizer, then the worker pool and batch under
# ThreadSanitizer), the Python suite (the extension's tests and the quillet
# package's) against the ASan + UBSan build of the extension and its batch
# and thread tests against the TSan build, the Python suite against the
# installed package, a repaired wheel installed and run where no compiler can
# be found, and last the batch of 1,000,000 rows. The three C++
# builds also make the extension with the test-only row-fault hook, so the
# internal-fault tests run against each; the installed extension, like every
# wheel, has no hook.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh

# Each stage's time, printed as it ends and once more, all together, at the
# end: where CI's time goes.
stage_name=""
stage_start=$SECONDS
stage_times=()
stage() {  # the next stage's name, or nothing after the last
  local now=$SECONDS
  if [[ -n "$stage_name" ]]; then
    stage_times+=("$(printf '%5d s  %s' "$((now - stage_start))" "$stage_name")")
    echo "-- $stage_name: $((now - stage_start)) s"
  fi
  stage_name="$1"
  stage_start=$now
  if [[ -n "$stage_name" ]]; then echo "== $stage_name"; fi
}

jobs="$(nproc)"
# The lanes' instruction sets this processor runs. The plain build and the
# wheel compile every set (the AVX-512 code compiles everywhere and is
# proven bit for bit wherever it runs); the sanitizer builds compile only
# the sets whose code their tests can run here.
runnable_sets="avx2"
if grep -qw avx512f /proc/cpuinfo && grep -qw avx512dq /proc/cpuinfo; then
  runnable_sets="avx2;avx512"
fi
cxx_suite() {  # build dir, extra cmake args...; $targets, if set, what to build of it
  local dir="$1"
  shift
  cmake -S . -B "$dir" -G Ninja -DQUILLET_TESTS=ON -DQUILLET_PYTHON=OFF -DQUILLET_WERROR=ON "$@" >/dev/null
  # shellcheck disable=SC2086  # the targets are words
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
}

# Runs pytest against the extension of a build directory rather than the
# installed one, checking first that it is the module imported. The
# interpreter is not built with any sanitizer, so a sanitizer's runtime has
# to be preloaded before anything else, and libstdc++ with it: loaded later
# (with the extension), its exception functions could not be intercepted.
build_pytest() {  # build dir, sanitizer runtime library or "", pytest args...
  local dir="$1" runtime="$2" preload=""
  shift 2
  if [[ -n "$runtime" ]]; then
    preload="$(g++ -print-file-name="$runtime") $(g++ -print-file-name=libstdc++.so)"
  fi
  local module
  module="$(LD_PRELOAD="$preload" PYTHONPATH="$dir/src/api" python3 -c 'import _quillet; print(_quillet.__file__)')"
  [[ "$module" == "$PWD/$dir/"* ]] || { echo "imported $module, not the build in $dir" >&2; exit 1; }
  # The quillet package comes from the source tree, on top of this build.
  LD_PRELOAD="$preload" PYTHONPATH="$dir/src/api:$PWD/python" timeout 900 python3 -m pytest -q "$@"
}

stage "Python lint, format and types"
ruff check .
ruff format --check .
mypy

stage "C++ tests"
cxx_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_PYTHON=ON -DQUILLET_FAULT_INJECTION=ON
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 300

stage "internal faults, without a sanitizer"
grep -q QUILLET_FAULT_ROW build/test/src/api/_quillet*.so  # the hook is in, so nothing skips
build_pytest build/test "" tests/test_internal_fault.py

stage "C++ tests under ASan + UBSan"
cxx_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=address,undefined \
  -DQUILLET_PYTHON=ON -DQUILLET_FAULT_INJECTION=ON "-DQUILLET_LANE_SETS=$runnable_sets"
ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 300

stage "Python tests under ASan + UBSan"
# The interpreter's own memory is still in use at exit, so leak reports would
# be its; leaks of the module are the business of tests/test_leaks.py. With
# PYTHONMALLOC=malloc every Python object is an allocation ASan watches.
# The extension's tests run whole, but for the comparisons of the lanes with
# the scalar path across processes (bits, which the C++ lane tests above
# prove under ASan in one process); of the package's, those that drive the
# kernels through it (the rest is Python over files, plots and Dask, which
# the suite against the installed wheel runs below).
extension_tests=()
for file in tests/test_*.py; do
  [[ "$file" == tests/test_lanes.py || "$file" == tests/test_line_lanes.py ]] || extension_tests+=("$file")
done
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
  build_pytest build/asan libasan.so -n "$jobs" --dist loadfile "${extension_tests[@]}" \
  tests/package/test_fit_cube.py tests/package/test_line_models.py tests/package/test_windows.py \
  tests/package/test_settings.py

stage "worker pool and batch under TSan"
# Only what runs under TSan is built: the spectrum tests (the pool, the
# batches, the lanes) and the two modules; ctest leaves the rest unbuilt.
targets="spectrum_tests _quillet _quillet_kernels" cxx_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_SANITIZE=thread \
  -DQUILLET_PYTHON=ON -DQUILLET_FAULT_INJECTION=ON "-DQUILLET_LANE_SETS=$runnable_sets"
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 300 -R 'WorkerPool|Batch'

stage "Python batch, thread and internal-fault tests under TSan"
# TSan supports no fork() of a threaded process, and adds a thread of its own
# that the tests counting the pool's threads would see.
TSAN_OPTIONS=halt_on_error=1 build_pytest build/tsan libtsan.so \
  tests/test_batch.py tests/test_threads.py tests/test_internal_fault.py \
  -k 'not fork and not pool_starts'

stage "lanes: machine code, and the lanes against the scalar path under TSan"
bash tools/check_lane_code.sh build/test
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 300 \
  -R 'LanesAgainstScalar|LineRowLanes|BatchAllocations'

stage "wheel, installed without a compiler"
CMAKE_BUILD_PARALLEL_LEVEL="$jobs" bash tools/wheel.sh

stage "Python tests, against that wheel installed"
# The very wheel users get (the extras' packages are among the development
# requirements), so the extension is built once more, not twice.
python3 -m pip install -q --force-reinstall --no-deps dist/quillet-*.whl
# One test file to a process, on every core: a file's tests share its
# module-wide fixtures (a cube fitted once, say).
timeout 900 python3 -m pytest tests -q -n "$jobs" --dist loadfile

stage "Python batch tests forced onto the scalar path"
QUILLET_LANES=scalar timeout 900 python3 -m pytest -q tests/test_regression_guard.py \
  tests/test_reference_bits.py tests/test_batch.py tests/test_hostile_input.py

stage "1,000,000-row batch"
QUILLET_SCALE=1 timeout 300 python3 -m pytest tests/test_scale.py -q

stage ""
echo "== time by stage (load average $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%s\n' "${stage_times[@]}"
printf '%5d s  in all\n' "$SECONDS"

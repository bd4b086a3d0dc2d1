#!/usr/bin/env bash
# Installs tesmerine into a fresh virtual environment and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${TESMERINE_BUILD_PYTHON:-python3}
venv=.build/demo-venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps .
"$venv/bin/python" examples/demo.py

#!/usr/bin/env bash
# Installs tesmerine into a fresh virtual environment and runs the demo.
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
python=${TESMERINE_BUILD_PYTHON:-python3}
venv=.build/demo-venv
ensure_venv "$venv" "$python"
step "building and installing tesmerine" "$venv/bin/python" -m pip install "${pip_quiet[@]}" --force-reinstall --no-deps .
step "the demo" "$venv/bin/python" examples/demo.py

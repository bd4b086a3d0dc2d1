#!/usr/bin/env bash
# Benchmarks tesmerine against NumPy and torchhd and prints one table.
#
#   bash bench/run.sh                       # build, install, measure, print
#   bash bench/run.sh -k bind               # a subset (arguments go to pytest)
#
# Everything goes under .build/bench: its own virtual environment (bench/requirements.txt
# plus tesmerine built from this checkout), the cos-floor helper and the raw JSON.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${TESMERINE_BUILD_PYTHON:-python3}
root=$PWD
work=$root/.build/bench
venv=$work/venv
mkdir -p "$work"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  # torch first, pinned, so that torch-hd does not bring another build of it.
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$(grep '^torch==' bench/requirements.txt)"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps .
cc -O2 -ffp-contract=off -fPIC -shared -o "$work/libcosfloor.so" bench/cos_floor.c -lm
export TESMERINE_BENCH_COS_FLOOR=$work/libcosfloor.so
# One core for every implementation: tesmerine never creates threads.
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1
(cd "$work" && "$venv/bin/python" -m pytest "$root/bench/bench_workloads.py" -q -p no:cacheprovider \
    --benchmark-only --benchmark-min-rounds=7 --benchmark-max-time=0.5 --benchmark-sort=name \
    --benchmark-json=results.json --benchmark-disable-gc "$@" >"$work/pytest.log") \
  || { tail -40 "$work/pytest.log"; exit 1; }
"$venv/bin/python" bench/report.py "$work/results.json"

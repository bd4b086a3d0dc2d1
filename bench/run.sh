#!/usr/bin/env bash
# Benchmarks tesmerine against NumPy and torchhd and prints one table.
#
#   bash bench/run.sh                       # build, install, measure, print
#   bash bench/run.sh -k bind               # a subset (arguments go to pytest)
#   TESMERINE_BENCH_KERNELS=avx2 bash bench/run.sh   # under one kernel variant
#
# TESMERINE_BENCH_KERNELS (generic, avx2, avx512 or avx512-vbmi) installs the
# test build (TESMERINE_KERNELS_OVERRIDE=ON) and forces that variant, which
# the processor must support; by default the release build picks the best.
#
# Everything goes under .build/bench: its own virtual environment (bench/requirements.txt
# plus tesmerine built from this checkout), the cos-floor helper and the raw JSON,
# results-VARIANT.json (bench/report.py A.json B.json prints runs side by side).
source "$(dirname "$0")/../scripts/lib.sh"
cd "$(dirname "$0")/.."
python=${TESMERINE_BUILD_PYTHON:-python3}
root=$PWD
work=$root/.build/bench
venv=$work/venv
mkdir -p "$work"
if [ ! -x "$venv/bin/python" ]; then
  # torch first, pinned, so that torch-hd does not bring another build of it.
  ensure_venv "$venv" "$python" "$(grep '^torch==' bench/requirements.txt)"
  ensure_venv "$venv" "$python" -r bench/requirements.txt
fi
build_options=()
if [ -n "${TESMERINE_BENCH_KERNELS:-}" ]; then
  build_options=(--config-settings=cmake.define.TESMERINE_KERNELS_OVERRIDE=ON)
  export TESMERINE_KERNELS=$TESMERINE_BENCH_KERNELS
fi
step "building and installing tesmerine" "$venv/bin/python" -m pip install "${pip_quiet[@]}" --force-reinstall \
  --no-deps "${build_options[@]}" .
# The variant the installed module really runs: a forced one the processor
# cannot run is refused (the module would have chosen another).
choice=$("$venv/bin/python" scripts/kernel_choice.py ${TESMERINE_BENCH_KERNELS:+--expect "$TESMERINE_BENCH_KERNELS"}) || {
  echo "$choice"; echo "this processor cannot run $TESMERINE_BENCH_KERNELS" >&2; exit 2; }
variant=$(sed -n 's/^tesmerine kernels: \([^ ]*\).*/\1/p' <<<"$choice")
if [ -n "${TESMERINE_BENCH_KERNELS:-}" ]; then
  export TESMERINE_BENCH_VARIANT="$variant (forced in a test build)"
else
  export TESMERINE_BENCH_VARIANT="$variant (chosen at run time)"
fi
cc -O2 -ffp-contract=off -fPIC -shared -o "$work/libcosfloor.so" bench/cos_floor.c -lm
export TESMERINE_BENCH_COS_FLOOR=$work/libcosfloor.so
# One core for every implementation: tesmerine never creates threads.
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1
(cd "$work" && "$venv/bin/python" -m pytest "$root/bench/bench_workloads.py" -q -p no:cacheprovider \
    --benchmark-only --benchmark-min-rounds=7 --benchmark-max-time=0.5 --benchmark-sort=name \
    --benchmark-json="results-$variant.json" --benchmark-disable-gc "$@" >"$work/pytest.log") \
  || { tail -40 "$work/pytest.log"; exit 1; }
"$venv/bin/python" bench/report.py "$work/results-$variant.json"

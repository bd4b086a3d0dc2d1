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
  "$python" -m venv "$venv"
  # torch first, pinned, so that torch-hd does not bring another build of it.
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$(grep '^torch==' bench/requirements.txt)"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
fi
# The processor features each kernel variant needs, as /proc/cpuinfo names
# them (the table of src/core/kernels/variants.cpp, best first).
needs() {
  case $1 in
    avx512-vbmi) echo "avx512f avx512bw avx512vl avx512dq avx512vbmi" ;;
    avx512) echo "avx512f avx512bw avx512vl avx512dq" ;;
    avx2) echo "avx2" ;;
    generic) echo "" ;;
    *) echo "unknown kernel variant: $1" >&2; return 2 ;;
  esac
}
supports() {
  local flags flag
  flags=" $(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null | cut -d: -f2) "
  for flag in $(needs "$1"); do [[ $flags == *" $flag "* ]] || return 1; done
}
build_options=()
if [ -n "${TESMERINE_BENCH_KERNELS:-}" ]; then
  needs "$TESMERINE_BENCH_KERNELS" >/dev/null
  supports "$TESMERINE_BENCH_KERNELS" || { echo "this processor cannot run $TESMERINE_BENCH_KERNELS" >&2; exit 2; }
  build_options=(--config-settings=cmake.define.TESMERINE_KERNELS_OVERRIDE=ON)
  variant=$TESMERINE_BENCH_KERNELS
  export TESMERINE_KERNELS=$variant
  export TESMERINE_BENCH_VARIANT="$variant (forced in a test build)"
else
  for variant in avx512-vbmi avx512 avx2 generic; do
    if supports "$variant"; then break; fi
  done
  export TESMERINE_BENCH_VARIANT="$variant (chosen at run time)"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps \
  "${build_options[@]}" .
cc -O2 -ffp-contract=off -fPIC -shared -o "$work/libcosfloor.so" bench/cos_floor.c -lm
export TESMERINE_BENCH_COS_FLOOR=$work/libcosfloor.so
# One core for every implementation: tesmerine never creates threads.
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1
(cd "$work" && "$venv/bin/python" -m pytest "$root/bench/bench_workloads.py" -q -p no:cacheprovider \
    --benchmark-only --benchmark-min-rounds=7 --benchmark-max-time=0.5 --benchmark-sort=name \
    --benchmark-json="results-$variant.json" --benchmark-disable-gc "$@" >"$work/pytest.log") \
  || { tail -40 "$work/pytest.log"; exit 1; }
"$venv/bin/python" bench/report.py "$work/results-$variant.json"

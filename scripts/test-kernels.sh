#!/usr/bin/env bash
# Builds the module once with TESMERINE_KERNELS_OVERRIDE, then runs the whole
# test suite and the phase-step check under every kernel variant this
# processor supports (generic, avx2, avx512 and, with VBMI, avx512-gather),
# each forced through TESMERINE_KERNELS.
#
#   bash scripts/test-kernels.sh             # every supported variant
#   bash scripts/test-kernels.sh -k bundle   # extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/kernels
rm -rf "$work/reports"
mkdir -p "$work/reports"

echo "== building with TESMERINE_KERNELS_OVERRIDE=ON"
cmake -S . -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$python")" \
  -DTESMERINE_KERNELS_OVERRIDE=ON >/dev/null
cmake --build "$work" -j 2 >/dev/null
"${CXX:-c++}" -O2 -std=c++20 -Wall -Wextra -Isrc scripts/check_phase_steps.cpp "$work/libtesmerine_core.a" \
  -o "$work/check_phase_steps"

flags=$(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null || true)
has() { [[ " $flags " == *" $1 "* ]]; }
variants=(generic)
has avx2 && variants+=(avx2)
if has avx512f && has avx512bw && has avx512vl && has avx512dq; then
  variants+=(avx512)
  # With VBMI the AVX-512 variant folds small-resolution bundles with byte
  # permutes; avx512-gather is the same variant with that fold turned off.
  has avx512vbmi && variants+=(avx512-gather)
fi

failed=()
for variant in "${variants[@]}"; do
  echo "== kernels: $variant"
  if ! TESMERINE_KERNELS=$variant "$work/check_phase_steps" 2; then
    failed+=("$variant (phase steps)")
  fi
  if ! (cd "$work" && TESMERINE_KERNELS=$variant PYTHONPATH="$work" "$python" -m pytest "$root/tests" -q \
        -p no:cacheprovider --junitxml="$work/reports/$variant.xml" "$@"); then
    failed+=("$variant")
  fi
done

echo "kernel variants: ${variants[*]}"
"$python" scripts/junit_summary.py "$work/reports"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed on: ${failed[*]}"
  exit 1
fi

#!/usr/bin/env bash
# Builds the test build (TESMERINE_KERNELS_OVERRIDE=ON) once, then runs the
# phase-step check (CTest) and the whole test suite under every kernel
# variant this processor supports, as the build's own kernel_variants
# program lists them, each forced through TESMERINE_KERNELS.
#
#   bash scripts/test-kernels.sh             # every supported variant
#   bash scripts/test-kernels.sh -k bundle   # extra arguments go to pytest
source "$(dirname "$0")/lib.sh"
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
mapfile -t variants < <("$work/kernel_variants")

failed=()
for variant in "${variants[@]}"; do
  echo "== kernels: $variant"
  if ! TESMERINE_KERNELS=$variant step "the C++ checks under the $variant kernels" \
       ctest --test-dir "$work" --output-on-failure; then
    failed+=("$variant (phase steps)")
  fi
  if ! TESMERINE_KERNELS=$variant PYTHONPATH="$work" step "the test suite under the $variant kernels" \
       in_dir "$work" "$python" -m pytest "$root/tests" -q -p no:cacheprovider \
       --junitxml="$work/reports/$variant.xml" "$@"; then
    failed+=("$variant")
  fi
done

echo "kernel variants: ${variants[*]}"
"$python" scripts/junit_summary.py "$work/reports"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed on: ${failed[*]}"
  exit 1
fi

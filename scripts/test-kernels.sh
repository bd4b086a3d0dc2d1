#!/usr/bin/env bash
# Builds the test build (TESMERINE_KERNELS_OVERRIDE=ON) once, then, under
# every kernel variant it lists (its kernel_variants program), each forced
# through TESMERINE_KERNELS: the C++ checks (CTest), the tests whose results
# go through the kernels, and a bit-for-bit comparison with the baseline
# variant on the inputs of scripts/compare_builds.py. The rest of the suite
# does not depend on the variant; scripts/test.sh runs it all under the
# variant the processor chooses.
#
# On a processor without AVX-512 the AVX-512 variants are built on SIMDe's
# portable intrinsics (TESMERINE_EMULATE_AVX512), so their code runs here
# too, lane by lane: that checks what the code computes, not the compiler's
# AVX-512 instructions.
#
#   bash scripts/test-kernels.sh             # every variant
#   TESMERINE_KERNEL_TESTS=all bash scripts/test-kernels.sh   # the whole suite per variant
#   bash scripts/test-kernels.sh -k bundle   # extra arguments go to pytest
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
root=$PWD
python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/kernels
rm -rf "$work/reports"
mkdir -p "$work/reports"

options=(-DTESMERINE_KERNELS_OVERRIDE=ON)
if [ "$(uname -m)" = x86_64 ] && ! grep -qw avx512f /proc/cpuinfo; then
  if [ ! -e /usr/include/simde/x86/avx512.h ]; then
    step "installing SIMDe" bash -c \
      'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libsimde-dev >/dev/null'
  fi
  options+=(-DTESMERINE_EMULATE_AVX512=ON)
  echo "== this processor has no AVX-512: the AVX-512 variants run on SIMDe's portable intrinsics"
else
  options+=(-DTESMERINE_EMULATE_AVX512=OFF)
fi
echo "== building with ${options[*]}"
step "configuring the test build" cmake -S . -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$(command -v "$python")" "${options[@]}" >/dev/null
step "compiling the test build" cmake --build "$work" -j 2 >/dev/null
mapfile -t variants < <("$work/kernel_variants")

tests=(tests/test_algebra_and_random.py tests/test_similarity_and_bundle.py
       tests/test_resonator.py tests/test_recipes.py)
[ "${TESMERINE_KERNEL_TESTS:-}" = all ] && tests=(tests)
baseline=${variants[${#variants[@]}-1]}

failed=()
for variant in "${variants[@]}"; do
  echo "== kernels: $variant"
  if ! TESMERINE_KERNELS=$variant step "the C++ checks under the $variant kernels" \
       ctest --test-dir "$work" --output-on-failure; then
    failed+=("$variant (C++ checks)")
  fi
  if ! TESMERINE_KERNELS=$variant PYTHONPATH="$work" step "the tests under the $variant kernels" \
       in_dir "$work" "$python" -m pytest "${tests[@]/#/$root/}" -q -p no:cacheprovider \
       --junitxml="$work/reports/$variant.xml" "$@"; then
    failed+=("$variant")
  fi
done
echo "== the bits of every variant against $baseline"
if ! TESMERINE_KERNELS=$baseline step "comparing the variants' bits" \
     "$python" scripts/compare_builds.py "$work" "$work" --kernels "$(IFS=,; echo "${variants[*]}")"; then
  failed+=("bits")
fi

echo "kernel variants: ${variants[*]}"
"$python" scripts/junit_summary.py "$work/reports"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed on: ${failed[*]}"
  exit 1
fi

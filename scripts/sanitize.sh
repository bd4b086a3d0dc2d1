#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs the whole test suite against it. The interpreter itself is not
# instrumented: the ASan runtime (and libstdc++, so that ASan can intercept
# C++ throws) is preloaded into it, PYTHONMALLOC=malloc routes every Python
# allocation through ASan, and leak detection runs at exit with the
# interpreter's own leaks suppressed (tools/lsan.supp). Any report fails.
# The whole suite runs under the kernel variant the processor would choose,
# and the tests whose results go through the kernels under every other
# variant (on a processor without AVX-512 its variants run on SIMDe's
# portable intrinsics, as in scripts/test-kernels.sh).
#
#   bash scripts/sanitize.sh              # whole suite
#   bash scripts/sanitize.sh -k bundle    # extra arguments go to pytest
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
root=$PWD
build_python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/sanitize

# The GCC sanitizer runtimes come from Debian.
if ! command -v g++ >/dev/null || [ ! -e "$(g++ -print-file-name=libasan.so)" ] \
   || [ ! -e "$(g++ -print-file-name=libubsan.so)" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ libasan8 libubsan1 >/dev/null
fi
asan=$(g++ -print-file-name=libasan.so)
stdcxx=$(g++ -print-file-name=libstdc++.so)

python=$("$build_python" -c 'import sys; print(sys.executable)')
venv=$work/venv
ensure_venv "$venv" "$python" -r tests/requirements.txt cmake ninja

emulate=OFF
if [ "$(uname -m)" = x86_64 ] && ! grep -qw avx512f /proc/cpuinfo; then
  if [ ! -e /usr/include/simde/x86/avx512.h ]; then
    step "installing SIMDe" bash -c \
      'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libsimde-dev >/dev/null'
  fi
  emulate=ON
fi
echo "== building tesmerine with -fsanitize=address,undefined (AVX-512 on SIMDe: $emulate)"
step "configuring the sanitizer build" "$venv/bin/cmake" -S . -B "$work/build" -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESMERINE_SANITIZE=ON -DTESMERINE_KERNELS_OVERRIDE=ON -DTESMERINE_EMULATE_AVX512=$emulate >/dev/null
step "compiling the sanitizer build" "$venv/bin/cmake" --build "$work/build" -j 2 >/dev/null

# Every kernel variant of the build's own kernel_variants program; the
# first one that the processor really has gets the whole suite.
variants=$("$work/build/kernel_variants" | tr '\n' ' ')
native=
for variant in $variants; do
  if [ "$emulate" = ON ] && [[ $variant == avx512* ]]; then continue; fi
  native=$variant
  break
done
kernel_tests=(tests/test_algebra_and_random.py tests/test_similarity_and_bundle.py
              tests/test_resonator.py tests/test_recipes.py)

# ASan writes its reports to files of its own, one per process
# ($work/reports/asan.<pid>), so that those of child processes are kept too;
# UBSan writes to standard error, which pytest leaves alone (--capture=sys).
rm -rf "$work/reports" && mkdir -p "$work/reports"
failed=()
for kernels in ${TESMERINE_SANITIZE_KERNELS:-$variants}; do
  log=$work/pytest-$kernels.log
  tests=("$root/tests")
  [ "$kernels" = "$native" ] || tests=("${kernel_tests[@]/#/$root/}")
  echo "== pytest under ASan+UBSan, $kernels kernels, ${#tests[@]} test paths (log: ${log#$root/})"
  set +e
  (cd "$work" && \
    LD_PRELOAD="$asan $stdcxx" PYTHONMALLOC=malloc PYTHONPATH="$work/build" TESMERINE_SANITIZED=1 \
    TESMERINE_KERNELS=$kernels \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=0:log_path=$work/reports/asan" \
    LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$venv/bin/python" -m pytest "${tests[@]}" -q -p no:cacheprovider --capture=sys "$@") 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  [ "$status" -eq 0 ] || failed+=("$kernels (the test suite $(describe_status "$status"))")
  if [ -n "$(ls "$work/reports")" ] || grep -qE 'runtime error:|ERROR: [A-Za-z]+Sanitizer' "$log"; then
    cat "$work"/reports/* 2>/dev/null || true
    failed+=("$kernels (sanitizer reports in ${log#$root/} or ${work#$root/}/reports)")
    break
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "sanitizers failed: ${failed[*]}"
  exit 1
fi
echo "sanitizers: no report ($variants kernels)"

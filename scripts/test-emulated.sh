#!/usr/bin/env bash
# Runs the released wheels on processors this machine is not, under qemu-user:
#   - the x86_64 wheel under `qemu-x86_64 -cpu Nehalem` (no AVX: the
#     baseline kernels must be chosen) and `-cpu max` (AVX2, no AVX-512: the
#     AVX2 kernels), in CPython 3.9;
#   - the aarch64 wheel in Debian's arm64 CPython 3.11 under qemu-aarch64.
# Each emulated interpreter reports the kernels its module chose
# (scripts/kernel_choice.py reads the choice out of the running process),
# runs the test suite (child processes run under the same emulation), and
# gives bit for bit the results of the native run on the inputs of
# scripts/compare_builds.py.
#
# Native and emulated x86_64 share the C library, which picks its cos, sin
# and atan2 by processor: without FMA it takes other code paths, whose last
# bits may differ. The Nehalem comparison is therefore made against a native
# run whose C library is told to take its paths for a processor without
# AVX2 and FMA (GLIBC_TUNABLES), and is then shown once more without that.
#
#   bash scripts/test-emulated.sh               # the subset below, all three
#   TESMERINE_EMULATED_TESTS=all bash scripts/test-emulated.sh
#   bash scripts/test-emulated.sh -k bundle     # extra arguments go to pytest
#   TESMERINE_WHEELHOUSE=dist bash scripts/test-emulated.sh   # the wheels of a release
#
# By default the x86_64 wheel is the one scripts/test.sh tested
# (.build/test/wheelhouse, built if missing) and the aarch64 wheel is built.
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
root=$PWD
python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/emulated
mkdir -p "$work"
rm -rf "$work/reports" && mkdir -p "$work/reports"

# Everything but what only the native run can check: the threads and leak
# runs (thousands of calls each), the memory caps and signals of the
# reliability checks (emulation changes the address space and the timing),
# and the documented figures, which recompute many factorizations.
subset=(tests/test_module_surface.py tests/test_arguments.py tests/test_algebra_and_random.py
        tests/test_similarity_and_bundle.py tests/test_resonator.py
        tests/test_recipes.py tests/test_examples.py tests/test_checked.py)
if [ "${TESMERINE_EMULATED_TESTS:-}" = all ]; then
  subset=(tests)
fi

if ! command -v qemu-x86_64 >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
  step "installing qemu-user" bash -c \
    'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user >/dev/null'
fi
echo "== $(qemu-x86_64 --version | head -1)"

if [ -n "${TESMERINE_WHEELHOUSE:-}" ]; then
  # The wheels of a release (bash scripts/release.sh; TESMERINE_WHEELHOUSE=dist).
  x86_wheel=$(ls "$TESMERINE_WHEELHOUSE"/tesmerine-*manylinux2014_x86_64*.whl)
  arm_wheel=$(ls "$TESMERINE_WHEELHOUSE"/tesmerine-*manylinux2014_aarch64*.whl)
else
  x86_wheel=$(ls "$root"/.build/test/wheelhouse/tesmerine-*manylinux2014_x86_64*.whl 2>/dev/null || true)
  if [ -z "$x86_wheel" ]; then
    step "building the x86_64 wheel" bash scripts/build-wheel.sh "$root/.build/test/wheelhouse"
    x86_wheel=$(ls "$root"/.build/test/wheelhouse/tesmerine-*manylinux2014_x86_64*.whl)
  fi
  arm_wheelhouse=$work/wheelhouse-aarch64
  rm -rf "$arm_wheelhouse"
  TESMERINE_WHEEL_ARCH=aarch64 step "building the aarch64 wheel" bash scripts/build-wheel.sh "$arm_wheelhouse"
  arm_wheel=$(ls "$arm_wheelhouse"/tesmerine-*manylinux2014_aarch64*.whl)
fi

failed=()
# run_suite LABEL INTERPRETER: the subset under one interpreter, reported
# by name; a failure is recorded and the script goes on.
run_suite() {
  local label=$1 interpreter=$2
  if ! step "the test suite under $label" in_dir "$work" "$interpreter" -m pytest "${subset[@]/#/$root/}" \
       -q -p no:cacheprovider --rootdir "$root" \
       --junitxml="$work/reports/$label.xml" "${@:3}"; then
    failed+=("$label")
  fi
}
compare() {
  local label=$1
  shift
  if ! step "comparing the bits of $label" "$python" scripts/compare_builds.py --cases 100 "$@"; then
    failed+=("$label (bits)")
  fi
}

# --- x86_64: CPython 3.9, installed natively from the wheel, run emulated.
x86_python=${TESMERINE_EMULATED_PYTHON:-$(ls "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.9*/bin/python3 2>/dev/null | head -1)}
x86_python=${x86_python:-$(command -v "$python")}
venv=$work/venv-x86_64
ensure_venv "$venv" "$x86_python" pytest numpy
step "installing the x86_64 wheel" "$venv/bin/python" -m pip install "${pip_quiet[@]}" --only-binary :all: \
  --no-deps --force-reinstall "$x86_wheel"
echo "== native: $("$venv/bin/python" -c 'import platform; print("CPython", platform.python_version())'), $(basename "$x86_wheel")"
step "choosing kernels natively" "$venv/bin/python" scripts/kernel_choice.py

for model in Nehalem:generic max:avx2; do
  cpu=${model%%:*} expected=${model#*:}
  # The interpreter behind a wrapper that qemu passes as its argv[0] (-0),
  # so that sys.executable is the wrapper and child processes run emulated too.
  wrapper=$venv/bin/python-$cpu
  printf '#!/bin/sh\nexec qemu-x86_64 -cpu %s -0 "$0" "%s" "$@"\n' "$cpu" "$venv/bin/python" > "$wrapper"
  chmod +x "$wrapper"
  echo "== qemu-x86_64 -cpu $cpu"
  if ! step "choosing kernels under qemu-x86_64 -cpu $cpu" "$wrapper" scripts/kernel_choice.py --expect "$expected"; then
    failed+=("x86_64 $cpu (kernel choice)")
  fi
  run_suite "x86_64-$cpu" "$wrapper" "$@"
  if [ "$cpu" = Nehalem ]; then
    GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA compare "x86_64 -cpu $cpu (native C library without AVX2 and FMA)" \
      "$venv/bin/python" "$wrapper"
    echo "   the same without GLIBC_TUNABLES (the native C library's FMA paths; differences are not failures):"
    "$python" scripts/compare_builds.py --cases 100 --report-only "$venv/bin/python" "$wrapper" | grep -v " OK " || true
  else
    compare "x86_64 -cpu $cpu" "$venv/bin/python" "$wrapper"
  fi
done

# --- aarch64: Debian's arm64 CPython 3.11 unpacked into a root of its own,
# the wheel and the tests' requirements installed for it into one folder.
sysroot=$work/aarch64-root
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
  step "fetching Debian's arm64 CPython 3.11" bash -c '
    set -e
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    apt-get update -qq
    mkdir -p "$1/debs" && chmod 777 "$1/debs"
    cd "$1/debs" && apt-get download -qq python3.11-minimal:arm64 libpython3.11-minimal:arm64 \
      libpython3.11-stdlib:arm64 libc6:arm64 libexpat1:arm64 zlib1g:arm64 libffi8:arm64 libbz2-1.0:arm64 \
      liblzma5:arm64 libstdc++6:arm64 libgcc-s1:arm64 libcrypt1:arm64 libssl3:arm64 libuuid1:arm64 \
      libsqlite3-0:arm64 libncursesw6:arm64 libtinfo6:arm64 libreadline8:arm64 libnsl2:arm64 libtirpc3:arm64 \
      libdb5.3:arm64 libgdbm6:arm64
    for deb in "$1"/debs/*.deb; do dpkg -x "$deb" "$2"; done' _ "$work" "$sysroot"
fi
site=$work/aarch64-site
rm -rf "$site"
step "installing the aarch64 wheel, pytest and NumPy for arm64 CPython 3.11" \
  "$python" -m pip install "${pip_quiet[@]}" --target "$site" --platform manylinux2014_aarch64 \
  --python-version 3.11 --implementation cp --only-binary :all: pytest numpy "$arm_wheel"
wrapper=$work/bin/python3.11
mkdir -p "$work/bin"
printf '#!/bin/sh\nPYTHONPATH="%s" exec qemu-aarch64 -L "%s" -0 "$0" "%s" "$@"\n' \
  "$site" "$sysroot" "$sysroot/usr/bin/python3.11" > "$wrapper"
chmod +x "$wrapper"
echo "== qemu-aarch64: $("$wrapper" -c 'import platform; print("CPython", platform.python_version(), platform.machine())'), $(basename "$arm_wheel")"
if ! step "choosing kernels under qemu-aarch64" "$wrapper" scripts/kernel_choice.py --expect generic; then
  failed+=("aarch64 (kernel choice)")
fi
run_suite "aarch64" "$wrapper" "$@"
compare "aarch64 against native x86_64" "$venv/bin/python" "$wrapper"

"$python" scripts/junit_summary.py "$work/reports"
if [ ${#failed[@]} -gt 0 ]; then
  echo "emulated runs failed: ${failed[*]}"
  exit 1
fi
echo "emulated runs: every model chose the expected kernels, passed the suite and gave the native bits"

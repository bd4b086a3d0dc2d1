#!/usr/bin/env bash
# Builds the distributable wheel of a source tree into OUT_DIR.
#
#   bash scripts/build-wheel.sh OUT_DIR [SOURCE]    # SOURCE: this checkout, or an unpacked sdist
#
# On Linux x86_64 the module is compiled by Clang from the ziglang package
# against glibc 2.17 (tools/zig-c++), and auditwheel checks it and tags the
# wheel manylinux2014_x86_64; the maths functions must still come from the
# system's libm and the unwinder from its libgcc_s, which is checked here.
# Elsewhere the wheel is built with the default compiler and keeps its
# platform tag.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
source=$(cd "${2:-$root}" && pwd)
python=${TESMERINE_BUILD_PYTHON:-python3}
pip_quiet=(--quiet --disable-pip-version-check)

if [ "$(uname -s)-$(uname -m)" != "Linux-x86_64" ]; then
  "$python" -m pip wheel "${pip_quiet[@]}" --no-deps -w "$out" "$source"
  exit 0
fi

tools=$root/.build/wheel-tools
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install "${pip_quiet[@]}" -r "$root/scripts/wheel-requirements.txt"

raw=$root/.build/wheel-raw
rm -rf "$raw" && mkdir -p "$raw"
# A build folder of its own: CMake keeps the compiler of a folder's first build.
build_dir=()
[ "$source" = "$root" ] && build_dir=(-Cbuild-dir="$root/.build/zig/{wheel_tag}")
TESMERINE_ZIG_PYTHON=$tools/bin/python ZIG_GLOBAL_CACHE_DIR=$root/.build/zig-cache CXX=$root/tools/zig-c++ \
  "$python" -m pip wheel "${pip_quiet[@]}" --no-deps -w "$raw" "${build_dir[@]}" "$source"

"$tools/bin/python" - "$raw"/tesmerine-*.whl <<'PY'
import subprocess, sys, tempfile, zipfile
with tempfile.TemporaryDirectory() as tmp:
    zipfile.ZipFile(sys.argv[1]).extract("tesmerine.abi3.so", tmp)
    symbols = subprocess.run(["nm", "-D", f"{tmp}/tesmerine.abi3.so"], check=True, capture_output=True,
                             text=True).stdout.split()
for name in ("cos", "sin", "atan2"):
    assert f"{name}@GLIBC_2.2.5" in symbols, f"{name} does not come from the system's libm"
# The unwinder the C library ends threads with (tools/zig-c++).
assert "_Unwind_RaiseException@GCC_3.0" in symbols, "the unwinder does not come from the system's libgcc_s"
PY
PATH="$tools/bin:$PATH" auditwheel repair --plat manylinux2014_x86_64 --only-plat -w "$out" "$raw"/tesmerine-*.whl \
  > "$raw/auditwheel.log" 2>&1 || { cat "$raw/auditwheel.log"; exit 1; }
ls "$out"/tesmerine-*manylinux2014_x86_64*.whl >/dev/null

#!/usr/bin/env bash
# Cross-builds the module for Linux aarch64 with Debian's g++-aarch64-linux-gnu
# and checks its object code: GCC contracts a*b+c into fused multiply-add by
# default on aarch64, so this is where -ffp-contract=off shows. No fmadd,
# fmsub, fnmadd, fnmsub, fmla or fmls may appear anywhere in the module.
#
#   bash scripts/cross-aarch64.sh          # build and check
#   bash scripts/cross-aarch64.sh --run    # also run the test suite under qemu-user
#                                          # with Debian's arm64 python3.11 (slow)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/aarch64
mkdir -p "$work"

packages=()
command -v aarch64-linux-gnu-g++ >/dev/null || packages+=(g++-aarch64-linux-gnu)
[ "${1:-}" = "--run" ] && ! command -v qemu-aarch64 >/dev/null && packages+=(qemu-user)
if [ ${#packages[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
fi

venv=$work/venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check cmake ninja pytest
include=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

echo "== cross-building tesmerine for aarch64 with $(aarch64-linux-gnu-g++ --version | head -1)"
"$venv/bin/cmake" -S . -B "$work/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
  -DPython_EXECUTABLE="$venv/bin/python" -DPython_INCLUDE_DIR="$include" -DCMAKE_BUILD_TYPE=Release >/dev/null
"$venv/bin/cmake" --build "$work/build" -j 2 >/dev/null
module=$work/build/tesmerine.abi3.so
file "$module" | grep -q "ARM aarch64" || { file "$module"; exit 1; }

listing=$work/tesmerine.abi3.s
aarch64-linux-gnu-objdump -d "$module" > "$listing"
fused=$(grep -cE $'\t(fmadd|fmsub|fnmadd|fnmsub|fmla|fmls)\\s' "$listing" || true)
plain=$(grep -cE $'\t(fmul|fadd|fsub)\\s' "$listing" || true)
echo "   $(basename "$module"): $fused fused multiply-add instructions, $plain separate fmul/fadd/fsub"
[ "$fused" -eq 0 ] && [ "$plain" -gt 0 ] || { echo "   fused multiply-add found (or no floating point at all)"; exit 1; }

[ "${1:-}" = "--run" ] || exit 0

# Debian's arm64 interpreter, unpacked into a root of its own, run by qemu-user.
sysroot=$work/sysroot
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
  dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
  apt-get update -qq
  mkdir -p "$work/debs" && chmod 777 "$work/debs"
  (cd "$work/debs" && apt-get download -qq python3.11-minimal:arm64 libpython3.11-minimal:arm64 \
    libpython3.11-stdlib:arm64 libc6:arm64 libexpat1:arm64 zlib1g:arm64 libffi8:arm64 libbz2-1.0:arm64 \
    liblzma5:arm64 libstdc++6:arm64 libgcc-s1:arm64 libcrypt1:arm64 libssl3:arm64 libuuid1:arm64 \
    libsqlite3-0:arm64 libncursesw6:arm64 libtinfo6:arm64 libreadline8:arm64 libnsl2:arm64 libtirpc3:arm64 \
    libdb5.3:arm64 libgdbm6:arm64)
  for deb in "$work"/debs/*.deb; do dpkg -x "$deb" "$sysroot"; done
fi
# The interpreter behind a wrapper that qemu passes as its argv[0] (-0), so that
# sys.executable is the wrapper and the tests' child processes run under qemu too.
wrapper=$work/bin/python3.11
mkdir -p "$work/bin"
printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "$0" "%s" "$@"\n' "$sysroot" "$sysroot/usr/bin/python3.11" > "$wrapper"
chmod +x "$wrapper"
# pytest and its dependencies are pure Python: the build environment's copy serves.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo "== the suite on $("$wrapper" -c 'import platform; print("CPython", platform.python_version(), platform.machine())') under qemu-user"
(cd "$work" && PYTHONPATH="$site:$work/build" "$wrapper" -m pytest "$root/tests" -q -p no:cacheprovider "${@:2}")

#!/usr/bin/env bash
# Builds the distributable wheel of a source tree into OUT_DIR.
#
#   bash scripts/build-wheel.sh OUT_DIR [SOURCE]    # SOURCE: this checkout, or an unpacked sdist
#   TESMERINE_WHEEL_ARCH=aarch64 bash scripts/build-wheel.sh OUT_DIR [SOURCE]
#
# On Linux x86_64 the module is compiled by Clang from the ziglang package
# against glibc 2.17 (tools/zig-c++), for x86_64 or, cross-compiled, for
# aarch64, and auditwheel checks it and tags the wheel manylinux2014. The
# maths functions must still come from the system's libm, which is checked
# here, the unwinder must come from the system's libgcc_s (tools/zig-c++),
# and the released file's object code is checked: on x86_64 no instruction
# beyond the baseline outside the kernel variants and nothing of theirs at
# load time (scripts/check_object_code.py); on aarch64 no fused
# multiply-add anywhere. Elsewhere the wheel is built with the default
# compiler and keeps its platform tag.
source "$(dirname "$0")/lib.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
source=$(cd "${2:-$root}" && pwd)
python=${TESMERINE_BUILD_PYTHON:-python3}
arch=${TESMERINE_WHEEL_ARCH:-$(uname -m)}

if [ "$(uname -s)-$(uname -m)" != "Linux-x86_64" ]; then
  step "building the wheel" "$python" -m pip wheel "${pip_quiet[@]}" --no-deps -w "$out" "$source"
  exit 0
fi

tools=$root/.build/wheel-tools
ensure_venv "$tools" "$python" -r "$root/scripts/wheel-requirements.txt"

cmake_args=(-Ccmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON)
case "$arch" in
  x86_64)
    target=x86_64-linux-gnu.2.17 glibc=GLIBC_2.2.5 ;;
  aarch64)
    target=aarch64-linux-gnu.2.17 glibc=GLIBC_2.17
    # The cross toolchain's libgcc (see tools/zig-c++) and objdump.
    if ! command -v aarch64-linux-gnu-gcc >/dev/null; then
      step "installing Debian's aarch64 cross toolchain" \
        bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcc-aarch64-linux-gnu >/dev/null'
    fi
    cmake_args+=(-Cwheel.tags=cp39-abi3-linux_aarch64
                 -Ccmake.define.CMAKE_SYSTEM_NAME=Linux -Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64) ;;
  *)
    echo "build-wheel.sh: no release build for $arch" >&2; exit 1 ;;
esac

raw=$root/.build/wheel-raw/$arch
rm -rf "$raw" && mkdir -p "$raw"
# A build folder of its own for each source and target (CMake keeps the
# compiler of a folder's first build); an unpacked sdist is built afresh.
if [ "$source" = "$root" ]; then
  build_dir=$root/.build/zig/checkout-$arch
else
  build_dir=$root/.build/zig/sdist-$arch
  rm -rf "$build_dir"
fi
echo "   compiling for $target with $("$tools/bin/python" -m ziglang version 2>/dev/null | sed 's/^/Zig /')"
TESMERINE_ZIG_TARGET=$target TESMERINE_ZIG_PYTHON=$tools/bin/python ZIG_GLOBAL_CACHE_DIR=$root/.build/zig-cache \
  CXX=$root/tools/zig-c++ step "compiling the wheel for $arch" \
  "$python" -m pip wheel "${pip_quiet[@]}" --no-deps -w "$raw" -Cbuild-dir="$build_dir" "${cmake_args[@]}" "$source"

module=$raw/module/tesmerine.abi3.so
step "unpacking the module" "$tools/bin/python" - "$raw"/tesmerine-*.whl "$raw/module" <<'PY'
import sys, zipfile
zipfile.ZipFile(sys.argv[1]).extract("tesmerine.abi3.so", sys.argv[2])
PY
symbols=$(nm -D "$module")
for name in cos sin atan2; do
  if ! grep -q " U $name@$glibc\$" <<<"$symbols"; then
    echo "build-wheel.sh: $name does not come from the system's libm ($glibc)" >&2
    exit 1
  fi
done
# The unwinder the C library ends threads with (tools/zig-c++).
if ! grep -q " U _Unwind_RaiseException@GCC_3.0\$" <<<"$symbols"; then
  echo "build-wheel.sh: the unwinder does not come from the system's libgcc_s" >&2
  exit 1
fi

if [ "$arch" = x86_64 ]; then
  step "checking the released file's object code" \
    "$tools/bin/python" "$root/scripts/check_object_code.py" "$build_dir" --module "$module"
else
  # GCC and Clang contract a*b+c into fused multiply-add by default on
  # aarch64, so this is where -ffp-contract=off shows.
  listing=$(aarch64-linux-gnu-objdump -d "$module")
  fused=$(grep -cE $'\t(fmadd|fmsub|fnmadd|fnmsub|fmla|fmls)\\s' <<<"$listing" || true)
  plain=$(grep -cE $'\t(fmul|fadd|fsub)\\s' <<<"$listing" || true)
  echo "   tesmerine.abi3.so for aarch64: $fused fused multiply-add instructions, $plain separate fmul/fadd/fsub"
  if [ "$fused" -ne 0 ] || [ "$plain" -eq 0 ]; then
    echo "build-wheel.sh: fused multiply-add found (or no floating point at all)" >&2
    exit 1
  fi
fi

# auditwheel chooses the policies of the host's architecture unless asked
# for "auto", which takes the wheel's own; the tag is then checked.
plat=manylinux2014_$arch
[ "$arch" = "$(uname -m)" ] || plat=auto
if ! PATH="$tools/bin:$PATH" auditwheel repair --plat "$plat" --only-plat -w "$out" "$raw"/tesmerine-*.whl \
     > "$raw/auditwheel.log" 2>&1; then
  cat "$raw/auditwheel.log"
  echo "build-wheel.sh: auditwheel refused the wheel" >&2
  exit 1
fi
ls "$out"/tesmerine-*manylinux2014_"$arch"*.whl >/dev/null

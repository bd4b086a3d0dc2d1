#!/usr/bin/env bash
# The object-code guard on two builds made with the release flags, one by
# GCC and one by the release compiler (Zig's Clang, tools/zig-c++): no
# instruction beyond baseline x86-64 outside the kernel variants, and nothing
# of theirs at load time (scripts/check_object_code.py says what is checked).
# scripts/build-wheel.sh runs the same check on the released file itself.
#
#   bash scripts/check-object-code.sh
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
root=$PWD
python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/object-code
tools=$root/.build/wheel-tools
ensure_venv "$tools" "$python" -r scripts/wheel-requirements.txt

configure=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
           -DPython_EXECUTABLE="$(command -v "$python")")
echo "== GCC"
step "configuring the GCC build" cmake -S . -B "$work/gcc" "${configure[@]}" >/dev/null
step "compiling the GCC build" cmake --build "$work/gcc" -j 2 >/dev/null
step "checking the GCC build's object code" "$python" scripts/check_object_code.py "$work/gcc"

echo "== Zig's Clang, as released"
export TESMERINE_ZIG_PYTHON=$tools/bin/python ZIG_GLOBAL_CACHE_DIR=$root/.build/zig-cache
CXX=$root/tools/zig-c++ step "configuring the Zig build" cmake -S . -B "$work/zig" "${configure[@]}" >/dev/null
step "compiling the Zig build" cmake --build "$work/zig" -j 2 >/dev/null
step "checking the Zig build's object code" "$python" scripts/check_object_code.py "$work/zig"

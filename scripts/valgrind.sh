#!/usr/bin/env bash
# Runs the whole test suite under valgrind's memcheck against a debug-info
# build of the extension. PYTHONMALLOC=malloc makes every Python allocation
# visible to memcheck; tools/valgrind-python.supp holds only the
# interpreter's own known reports. Any other error, or a definite leak, fails.
#
#   bash scripts/valgrind.sh              # whole suite
#   bash scripts/valgrind.sh -k bundle    # extra arguments go to pytest
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
root=$PWD
# CPython 3.10 by default: it finalises cleanly under memcheck with
# PYTHONMALLOC=malloc. 3.11's int.from_bytes reads an uninitialised digit when
# it makes 0, which taints later uses of the small int 0 all over the
# interpreter; 3.12 and 3.13 leave their immortal objects allocated at exit.
py310=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.10.*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
build_python=${TESMERINE_VALGRIND_PYTHON:-${py310:-python3}}
work=$root/.build/valgrind

if ! command -v valgrind >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi

python=$("$build_python" -c 'import sys; print(sys.executable)')
venv=$work/venv
ensure_venv "$venv" "$python" -r tests/requirements.txt cmake ninja
"$venv/bin/cmake" -S . -B "$work/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$venv/bin/cmake" --build "$work/build" -j 2 >/dev/null

log=$work/memcheck.log
echo "== pytest under valgrind memcheck (log: ${log#$root/})"
start=$SECONDS
set +e
(cd "$work" && PYTHONMALLOC=malloc PYTHONPATH="$work/build" TESMERINE_VALGRIND=1 TESMERINE_LEAK_REPS=${TESMERINE_LEAK_REPS:-100} \
  valgrind --tool=memcheck --error-exitcode=99 --num-callers=40 --log-file="$log" \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --suppressions="$root/tools/valgrind-python.supp" \
    "$venv/bin/python" -m pytest "$root/tests" -q -p no:cacheprovider "$@")
status=$?
set -e
grep -E "ERROR SUMMARY|definitely lost|suppressed:" "$log" | sed 's/^==[0-9]*== //'
echo "valgrind: $((SECONDS - start)) s"
[ "$status" -eq 0 ] || { echo "memcheck reported errors or the suite failed (exit $status)"; exit "$status"; }
echo "valgrind: no error"

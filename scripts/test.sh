#!/usr/bin/env bash
# Builds the extension once, then runs the whole test suite against that same
# tesmerine.abi3.so under every CPython >= 3.9 that pyenv has on this machine,
# with the interpreter's debug checks on and every warning an error
# (-X dev -W error). The wheel is the distributable one of
# scripts/build-wheel.sh (on Linux x86_64 a manylinux2014 wheel), so the suite
# tests the file that is released.
#
#   bash scripts/test.sh                 # every interpreter
#   TESMERINE_PYTHONS="python3.9 python3.13" bash scripts/test.sh
#   bash scripts/test.sh -k bundle       # extra arguments go to pytest
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
root=$PWD
build_python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/test
rm -rf "$work/wheelhouse" "$work/reports"
mkdir -p "$work/wheelhouse" "$work/reports"

echo "== building the wheel once with $($build_python --version)"
step "building the wheel" bash scripts/build-wheel.sh "$work/wheelhouse"
wheel=$(ls "$work"/wheelhouse/tesmerine-*-cp39-abi3-*.whl)
so_hash=$("$build_python" - "$wheel" <<'PY'
import hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    print(hashlib.sha256(z.read("tesmerine.abi3.so")).hexdigest())
PY
)
echo "   $(basename "$wheel"), tesmerine.abi3.so sha256 $so_hash"

# Every interpreter >= 3.9 under pyenv (or the ones named in TESMERINE_PYTHONS).
find_pythons() {
  if [ -n "${TESMERINE_PYTHONS:-}" ]; then
    for p in $TESMERINE_PYTHONS; do command -v "$p"; done
    return
  fi
  local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  for exe in "$pyenv_root"/versions/*/bin/python3; do
    [ -x "$exe" ] || continue
    if "$exe" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 9) and sys.implementation.name == "cpython" else 1)' 2>/dev/null; then
      echo "$exe"
    fi
  done
}
pythons=$(find_pythons)
[ -n "$pythons" ] || pythons=$(command -v "$build_python")

failed=()
for exe in $pythons; do
  version=$("$exe" -c 'import platform; print(platform.python_version())')
  venv=$work/venvs/$version
  echo "== CPython $version"
  ensure_venv "$venv" "$exe" -r tests/requirements.txt
  step "installing the wheel under CPython $version" \
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" --no-deps --force-reinstall "$wheel"
  # The file that was installed, and that it imports: a crash at import is
  # reported here by its signal, before the suite starts.
  installed_hash=$("$venv/bin/python" -c 'import hashlib, importlib.util
print(hashlib.sha256(open(importlib.util.find_spec("tesmerine").origin, "rb").read()).hexdigest())')
  if [ "$installed_hash" != "$so_hash" ]; then
    echo "   the installed module is not the file that was built"; failed+=("$version"); continue
  fi
  if ! step "importing tesmerine under CPython $version" in_dir "$work" "$venv/bin/python" -c 'import tesmerine'; then
    failed+=("$version (import)"); continue
  fi
  if ! step "the test suite under CPython $version" \
       in_dir "$work" "$venv/bin/python" -X dev -W error -m pytest "$root/tests" \
       -q -p no:cacheprovider --junitxml="$work/reports/$version.xml" "$@"; then
    failed+=("$version")
  fi
done

"$build_python" scripts/junit_summary.py "$work/reports"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed on: ${failed[*]}"
  exit 1
fi

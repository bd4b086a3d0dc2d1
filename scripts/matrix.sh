#!/usr/bin/env bash
# The interpreter matrix and the stable ABI: runs scripts/test.sh (one wheel,
# the whole suite under every CPython >= 3.9 in pyenv), checks that wheel with
# `abi3audit --strict`, then runs the suite again under every interpreter with
# `-X dev -W error` (debug checks on, every warning an error).
#
#   bash scripts/matrix.sh                # everything
#   bash scripts/matrix.sh --after-test   # reuse the wheel and venvs test.sh just made
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build_python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/test
if [ "${1:-}" = "--after-test" ]; then shift; else bash scripts/test.sh; fi

wheel=$(ls "$work"/wheelhouse/tesmerine-*-cp39-abi3-*.whl)
audit_venv=$root/.build/abi3audit-venv
[ -x "$audit_venv/bin/python" ] || "$build_python" -m venv "$audit_venv"
"$audit_venv/bin/python" -m pip install --quiet --disable-pip-version-check abi3audit
echo "== abi3audit --strict $(basename "$wheel")"
"$audit_venv/bin/abi3audit" --strict --report "$wheel" | tee "$work/abi3audit.json"
echo

failed=()
for venv in "$work"/venvs/*/; do
  version=$(basename "$venv")
  echo "== CPython $version -X dev -W error"
  if ! (cd "$work" && "$venv/bin/python" -X dev -W error -m pytest "$root/tests" -q -p no:cacheprovider "$@"); then
    failed+=("$version")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "-X dev -W error failed on: ${failed[*]}"
  exit 1
fi
echo "matrix: abi3audit clean, -X dev -W error clean on $(ls "$work"/venvs | tr '\n' ' ')"

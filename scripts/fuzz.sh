#!/usr/bin/env bash
# Fuzzes every entry point with the atheris harness fuzz/fuzz_entry_points.py.
# atheris 3.0 ships wheels for CPython 3.11 to 3.13; the build interpreter
# (python3, or TESMERINE_BUILD_PYTHON) must be one of those.
#
#   bash scripts/fuzz.sh                       # 10^6 inputs
#   bash scripts/fuzz.sh -max_total_time=60    # any libFuzzer options instead
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
root=$PWD
build_python=${TESMERINE_BUILD_PYTHON:-python3}
work=$root/.build/fuzz
venv=$work/venv
mkdir -p "$work/corpus" "$work/findings"
ensure_venv "$venv" "$build_python" -r fuzz/requirements.txt
step "building and installing tesmerine" "$venv/bin/python" -m pip install "${pip_quiet[@]}" --force-reinstall --no-deps .
[ $# -gt 0 ] || set -- -runs=1000000
echo "== fuzzing with $*"
cd "$work"
"$venv/bin/python" "$root/fuzz/fuzz_entry_points.py" -artifact_prefix="$work/findings/" "$@" corpus 2>&1 \
  | grep --line-buffered -v '^#[0-9]' | tee "$work/fuzz.log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || echo "fuzz.sh: the fuzzer $(describe_status "$status") (log: .build/fuzz/fuzz.log, findings: .build/fuzz/findings)" >&2
exit "$status"

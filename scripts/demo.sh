#!/usr/bin/env bash
# Builds tesmerine into a virtual environment and runs the demo. Later runs
# reuse that build while the files it is made from (src/, CMakeLists.txt,
# pyproject.toml) and the interpreter are unchanged.
#
#   bash scripts/demo.sh
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
python=${TESMERINE_BUILD_PYTHON:-python3}
venv=.build/demo-venv
build=$PWD/.build/demo-build
stamp=$venv/tesmerine-sources.sha256
log=.build/demo-build.log

# Everything the installed files are made from, and the interpreter.
sources_hash() {
  { "$python" --version
    find CMakeLists.txt pyproject.toml src -type f -not -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum
  } |
    sha256sum | cut -d' ' -f1
}

# pip's verbose output goes to the log; its stages and the compiler's steps
# are shown as they happen ("[3/18] Building CXX object ..."), and on failure
# the end of the log.
build_and_install() {
  local status=0
  "$venv/bin/python" -m pip install -v --disable-pip-version-check --no-deps --force-reinstall \
    --config-settings=build-dir="$build" . 2>&1 | tee "$log" |
    { grep --line-buffered -E '^ *(\[[0-9]+/[0-9]+\] |\*\*\* |Installing build dependencies: started|Successfully installed)' ||
      true; } | sed -u 's/^ */   /' || status=$?
  if [ "$status" -ne 0 ]; then
    echo "   the last lines of $log:" >&2
    tail -n 25 "$log" >&2
  fi
  return "$status"
}

if [ ! -x "$venv/bin/python" ]; then
  echo "== making the virtual environment $venv (once)"
fi
ensure_venv "$venv" "$python"
hash=$(sources_hash)
if [ "$(cat "$stamp" 2>/dev/null)" = "$hash" ] &&
  "$venv/bin/python" -c 'import tesmerine, tesmerine_checked' 2>/dev/null; then
  echo "== tesmerine is built from the current sources: reusing it ($venv)"
else
  echo "== building tesmerine with CMake and the C++ compiler, then installing it into $venv"
  echo "   (the first build compiles about 20 files and takes a minute or two; pip's output goes to $log)"
  rm -f "$stamp"
  step "building and installing tesmerine" build_and_install
  echo "$hash" >"$stamp"
fi
echo "== the demo: examples/demo.py"
step "the demo" "$venv/bin/python" examples/demo.py

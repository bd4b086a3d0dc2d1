#!/usr/bin/env bash
# Makes the release artifacts in OUT_DIR (default dist/): the sdist, holding
# exactly the tracked files, and the wheel built from that sdist (on Linux
# x86_64 a manylinux2014 wheel), then checks both with `twine check`.
#
#   bash scripts/release.sh [OUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
python=${TESMERINE_BUILD_PYTHON:-python3}
cd "$root"
rm -f "$out"/tesmerine-*

echo "== sdist"
bash scripts/make-sdist.sh "$out"
sdist=$(ls "$out"/tesmerine-*.tar.gz)

echo "== wheel, built from the sdist"
unpacked=$root/.build/release-src
rm -rf "$unpacked" && mkdir -p "$unpacked"
tar -xzf "$sdist" -C "$unpacked"
bash scripts/build-wheel.sh "$out" "$unpacked"/tesmerine-*/

echo "== twine check"
tools=$root/.build/release-tools
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install --quiet --disable-pip-version-check "twine>=6.1"
"$tools/bin/twine" check --strict "$out"/tesmerine-*
ls -l "$out"/tesmerine-*

#!/usr/bin/env bash
# Makes the release artifacts in OUT_DIR (default dist/): the sdist, holding
# exactly the tracked files, and the wheels built from that sdist (on Linux
# x86_64 a manylinux2014 wheel for x86_64 and one cross-built for aarch64),
# then checks them all with `twine check`.
#
#   bash scripts/release.sh [OUT_DIR]
source "$(dirname "$0")/lib.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
python=${TESMERINE_BUILD_PYTHON:-python3}
cd "$root"
rm -f "$out"/tesmerine-*

echo "== sdist"
bash scripts/make-sdist.sh "$out"
sdist=$(ls "$out"/tesmerine-*.tar.gz)

unpacked=$root/.build/release-src
rm -rf "$unpacked" && mkdir -p "$unpacked"
tar -xzf "$sdist" -C "$unpacked"
echo "== wheel, built from the sdist"
step "building the wheel" bash scripts/build-wheel.sh "$out" "$unpacked"/tesmerine-*/
if [ "$(uname -s)-$(uname -m)" = "Linux-x86_64" ]; then
  echo "== aarch64 wheel, built from the sdist"
  TESMERINE_WHEEL_ARCH=aarch64 step "building the aarch64 wheel" \
    bash scripts/build-wheel.sh "$out" "$unpacked"/tesmerine-*/
fi

echo "== twine check"
tools=$root/.build/release-tools
ensure_venv "$tools" "$python" "twine>=6.1"
"$tools/bin/twine" check --strict "$out"/tesmerine-*
ls -l "$out"/tesmerine-*

#!/usr/bin/env bash
# Builds the sdist into OUT_DIR from the files git tracks, as they are in the
# working tree (untracked and ignored files never get in), and checks that it
# holds exactly those files and the generated PKG-INFO.
#
#   bash scripts/make-sdist.sh OUT_DIR
source "$(dirname "$0")/lib.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
python=${TESMERINE_BUILD_PYTHON:-python3}
cd "$root"

tools=$root/.build/sdist-tools
ensure_venv "$tools" "$python" "build>=1.0"

# A commit of the working tree's tracked files (HEAD when nothing is changed).
snapshot=$(git stash create)
export_dir=$root/.build/sdist-export
rm -rf "$export_dir" && mkdir -p "$export_dir"
git archive --format=tar "${snapshot:-HEAD}" | tar -x -C "$export_dir"
"$tools/bin/python" -m build --sdist --outdir "$out" "$export_dir" > "$export_dir.log" 2>&1 \
  || { cat "$export_dir.log"; exit 1; }

version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
sdist=$out/tesmerine-$version.tar.gz
"$tools/bin/python" - "$sdist" "tesmerine-$version" <<'PY'
import subprocess, sys, tarfile
sdist, top = sys.argv[1:]
with tarfile.open(sdist) as tar:
    names = sorted(m.name[len(top) + 1:] for m in tar.getmembers() if m.isfile())
tracked = sorted(subprocess.run(["git", "ls-files"], check=True, capture_output=True, text=True).stdout.split("\n")[:-1])
extra, missing = sorted(set(names) - set(tracked) - {"PKG-INFO"}), sorted(set(tracked) - set(names))
assert not extra and not missing, f"sdist differs from the tracked files: extra {extra}, missing {missing}"
print(f"   {sdist.rsplit('/', 1)[1]}: the {len(tracked)} tracked files and PKG-INFO")
PY

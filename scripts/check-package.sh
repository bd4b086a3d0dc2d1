#!/usr/bin/env bash
# Packaging and typing checks, run first by CI:
#   - `pip wheel .` gives exactly one cp39-abi3 wheel holding the module, the stub
#     twice (tesmerine.pyi, tesmerine-stubs/__init__.pyi), the pure-Python helper
#     package tesmerine_checked (with its py.typed marker), the license and the metadata;
#   - abi3audit --strict finds nothing outside the 3.9 stable ABI;
#   - the sdist holds exactly the tracked files, installs from itself into a fresh
#     virtual environment and imports;
#   - stubtest finds no difference between the stub and the installed module;
#   - mypy --strict and pyright accept the helper package, the examples and
#     tests/typecheck/surface.py.
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
python=${TESMERINE_BUILD_PYTHON:-python3}
work=.build/check-package
rm -rf "$work/dist" "$work/sdist-venv"
mkdir -p "$work/dist"
pip_quiet=(--quiet --disable-pip-version-check)

tools=$work/tools-venv
ensure_venv "$tools" "$python" -r scripts/check-requirements.txt

echo "== wheel"
"$tools/bin/python" -m pip wheel "${pip_quiet[@]}" --no-deps -w "$work/dist" .
"$tools/bin/python" - "$work/dist" <<'PY'
import glob, re, sys, zipfile
wheels = glob.glob(sys.argv[1] + "/*.whl")
assert len(wheels) == 1 and re.search(r"/tesmerine-[^-]+-cp39-abi3-[^-]+\.whl$", wheels[0]), wheels
with zipfile.ZipFile(wheels[0]) as z:
    names = sorted(z.namelist())
    info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
    helper = ["tesmerine_checked/__init__.py", "tesmerine_checked/py.typed"]
    want = sorted(["tesmerine.abi3.so", "tesmerine.pyi", "tesmerine-stubs/__init__.pyi", *helper]
                  + [f"{info}/{f}" for f in ("METADATA", "WHEEL", "RECORD", "licenses/LICENSE")])
    assert names == want, names
    stub = open("src/tesmerine.pyi", "rb").read()
    assert z.read("tesmerine.pyi") == stub and z.read("tesmerine-stubs/__init__.pyi") == stub
    for name in helper:
        assert z.read(name) == open(f"src/{name}", "rb").read(), name
    assert z.read(f"{info}/licenses/LICENSE") == open("LICENSE", "rb").read()
    meta = z.read(f"{info}/METADATA").decode()
for line in ("License-Expression: MIT", "Requires-Python: >=3.9", "Summary: Deterministic, verifiable"):
    assert "\n" + line in meta, line
assert "Project-URL" not in meta and "Home-page" not in meta
version = re.search(r"^Version: (\S+)$", meta, re.M).group(1)
assert re.search(rf"^## \[?{re.escape(version)}\]?", open("CHANGELOG.md").read(), re.M), \
    f"CHANGELOG.md has no entry for {version}"
print(f"   {wheels[0].rsplit('/', 1)[1]}: {', '.join(names)}")
PY
"$tools/bin/abi3audit" --strict --verbose "$work"/dist/*.whl

echo "== sdist (exactly the tracked files), installed from itself into a fresh environment"
bash scripts/make-sdist.sh "$work/dist"
sdist=$(ls "$work"/dist/tesmerine-*.tar.gz)
ensure_venv "$work/sdist-venv" "$python" "$sdist"
(cd "$work" && sdist-venv/bin/python - <<'PY'
import importlib.metadata as md, pathlib, sysconfig, tesmerine, tesmerine_checked
site = pathlib.Path(sysconfig.get_paths()["platlib"])
assert (site / "tesmerine.pyi").is_file() and (site / "tesmerine-stubs" / "__init__.pyi").is_file()
assert (site / "tesmerine_checked" / "py.typed").is_file()
a = tesmerine.PhaseHVec.random(8, 16, 42)
assert a.phases() == [7, 13, 9, 14, 12, 10, 0, 12], a.phases()
books = [[tesmerine.PhaseHVec.random(256, 16, 10 * f + j) for j in range(4)] for f in range(3)]
assert tesmerine_checked.factor_checked(tesmerine_checked.rebuild(books, [1, 2, 3]), books) == [1, 2, 3]
print(f"   tesmerine {md.version('tesmerine')} from the sdist: {tesmerine.__file__}")
PY
)

echo "== stubtest, mypy --strict, pyright"
"$tools/bin/python" -m pip install "${pip_quiet[@]}" --no-deps --force-reinstall "$work"/dist/*.whl
(cd "$work" && tools-venv/bin/python -m mypy.stubtest tesmerine)
typed=(examples/*.py tests/typecheck/surface.py)
# The helper package as installed: mypy reads it through its py.typed marker.
(cd "$work" && tools-venv/bin/python -m mypy --strict -p tesmerine_checked)
"$tools/bin/python" -m mypy --strict "${typed[@]}"
"$tools/bin/pyright" --pythonpath "$tools/bin/python" "${typed[@]}" src/tesmerine_checked/__init__.py

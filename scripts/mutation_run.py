#!/usr/bin/env python3
"""Which plausible mistakes in src/ would the test suite miss?

    python3 scripts/mutation_run.py [--only NAME,...] [--timeout SECONDS] [--json FILE] [--source COMMIT]
                                    [--ctest] [TEST ...]

Copies the source tree (every tracked and untracked, not ignored file; or
the tree of COMMIT) to .build/mutation/tree, so that the working tree is
never changed and edits made during a run do not reach it. Then applies
each mutant below to that copy one at a time (a single edit: an operator,
a bound, an off-by-one, a dropped check or poll, a swapped argument),
rebuilds the test build incrementally (.build/mutation/build), runs the C++
checks of tests/core (with --ctest) and the copy's tests (all of tests/, or
the TEST paths given, relative to the source tree) under this interpreter
with a time limit, stopping at the first failure, restores the file, and
prints each mutant as killed or survived. A mutant that no longer applies
(its text is gone from the source) is listed as not applicable, one that
does not compile as such: neither is a mistake the tests could catch. Not
part of CI: a full run takes about as long as 70 suite runs.

A mutant that only shows under one kernel variant names it; the suite then
runs with TESMERINE_KERNELS forcing that variant.
"""
import argparse
import io
import json
import os
import pathlib
import subprocess
import sys
import tarfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
TREE = ROOT / ".build" / "mutation" / "tree"
BUILD = ROOT / ".build" / "mutation" / "build"

# name, file, text, replacement[, kernel variant]
MUTANTS = [
    # --- arguments and the surface
    ("too-many uses >=", "src/arguments.cpp",
     "if (static_cast<std::size_t>(given) > params.count) throw_too_many(params, given);",
     "if (static_cast<std::size_t>(given) >= params.count) throw_too_many(params, given);"),
    ("was/were swapped", "src/arguments.cpp", '(given == 1 ? " was" : " were")', '(given == 1 ? " were" : " was")'),
    ("missing list: two names with a comma", "src/arguments.cpp",
     'list += missing.size() == 2 ? " and " :', 'list += missing.size() == 2 ? ", and " :'),
    ("duplicate keyword accepted", "src/arguments.cpp", "      if (slot != nullptr) {", "      if (false) {"),
    ("n upper bound off by one", "src/arguments.cpp",
     "static_cast<unsigned long long>(value) > 0xFFFFFFFFull", "static_cast<unsigned long long>(value) > 0xFFFFFFFEull"),
    ("negative n accepted", "src/arguments.cpp", "if (value < 0 || static_cast", "if (value < -1 || static_cast"),
    ("str accepted as a sequence", "src/arguments.cpp",
     'if (PyUnicode_Check(obj)) throw_type_error("Can\'t extract `str` to `Vec`");', ""),
    ("length hint trusted", "src/arguments.cpp",
     "return std::min(static_cast<std::size_t>(size), kMaxReservedItems);", "return static_cast<std::size_t>(size);"),
    ("iteration error dropped", "src/arguments.hpp",
     "  }\n  if (PyErr_Occurred()) throw PythonError{};\n}", "  }\n}"),
    ("note text changed", "src/arguments.cpp", '"while processing \'%s\'"', '"while processing %s"'),
    ("None message for every object", "src/errors.cpp", "if (obj == Py_None) {", "if (obj != Py_None) {"),
    ("UserError raised as TypeError", "src/errors.hpp",
     "PyErr_SetString(PyExc_ValueError, e.what());", "PyErr_SetString(PyExc_TypeError, e.what());"),
    ("bad_alloc as panic", "src/errors.hpp", "    PyErr_NoMemory();\n  } catch (const std::length_error&)",
     '    set_panic("out of memory");\n  } catch (const std::length_error&)'),
    ("repr swaps dim and n", "src/phase_hvec_class.cpp",
     'static_cast<unsigned long long>(record.dim),\n                  static_cast<unsigned long>(record.n)',
     'static_cast<unsigned long long>(record.n),\n                  static_cast<unsigned long>(record.dim)'),
    ("phases() drops the last entry", "src/phase_hvec_class.cpp",
     "for (std::size_t i = 0; i < values.size(); ++i) {", "for (std::size_t i = 0; i + 1 < values.size(); ++i) {"),
    ("max_iter default ignored", "src/resonator_function.cpp",
     "parsed.absent(kMaxIter) ? kParams.defaults[kMaxIter]", "parsed.absent(kMaxIter) ? 5"),
    ("__all__ misses the function", "src/module.cpp",
     "    add_to_module(module, function_name.get(), function.get());",
     "    check_status(PyObject_SetAttr(module, function_name.get(), function.get()));"),
    ("keyword matched by its prefix", "src/arguments.cpp", "static_cast<std::size_t>(length) == name_length && ", ""),
    ("BaseException from __len__ dropped", "src/arguments.cpp",
     "    clear_ordinary_error();\n    return 0;", "    PyErr_Clear();\n    return 0;"),
    ("BaseException from add_note dropped", "src/arguments.cpp",
     "      if (!PyErr_ExceptionMatches(PyExc_Exception)) {", "      if (false) {"),
    ("conversion never polls", "src/arguments.hpp", "    if (++seen % kItemsPerPoll == 0) check_signals();\n", ""),
    ("phases() never polls", "src/phase_hvec_class.cpp",
     "      if (i % kItemsPerPoll == 0 && i != 0) check_signals();\n", ""),
    ("thread's first exception not prepared", "src/errors.hpp",
     "  prepare_thread_for_exceptions();\n  try {", "  try {"),
    ("second import in the same interpreter refused", "src/module.cpp", " || expected == current", ""),
    ("refusal names qualname before module", "src/phase_hvec_class.cpp",
     '"cannot create \'%U.%U\' instances", module.get(), qualname.get()',
     '"cannot create \'%U.%U\' instances", qualname.get(), module.get()'),
    ("instances keep a reference to the class", "src/phase_hvec_class.cpp",
     "  class_slots().free(self);\n  Py_DECREF(type);", "  class_slots().free(self);"),
    # --- the record and its algebra
    ("compatibility ignores n", "src/core/phase_hvec.cpp",
     "if (a.dim != b.dim || a.n != b.n) throw UserError(kMismatchMessage);",
     "if (a.dim != b.dim) throw UserError(kMismatchMessage);"),
    ("resolution range off by one", "src/core/phase_hvec.cpp",
     "if (n - kMinResolution >= kMaxResolution - 1)", "if (n - kMinResolution > kMaxResolution - 1)"),
    ("capacity limit off", "src/core/phase_hvec.cpp",
     "constexpr std::uint64_t kMaxDim = 0x3FFFFFFFFFFFFFFFull;", "constexpr std::uint64_t kMaxDim = 0x7FFFFFFFFFFFFFFFull;"),
    ("seed multiplier dropped", "src/core/phase_hvec.cpp", "seed_word = seed * kSeedMultiplier;", "seed_word = seed;"),
    ("similarity of empty vectors 0", "src/core/phase_hvec.cpp", "if (a.dim == 0) return 1.0;", "if (a.dim == 0) return 0.0;"),
    ("similarity divides by dim - 1", "src/core/phase_hvec.cpp",
     "/ static_cast<double>(a.dim);", "/ static_cast<double>(a.dim - 1);"),
    ("bundle assertion sides swapped", "src/core/phase_hvec.cpp",
     'fail_bundle_assertion("dimension", item.dim, dim);', 'fail_bundle_assertion("dimension", dim, item.dim);'),
    ("bundle checks resolution first", "src/core/phase_hvec.cpp",
     '      if (item.dim != dim) fail_bundle_assertion("dimension", item.dim, dim);\n'
     '      if (item.n != n) fail_bundle_assertion("resolution", item.n, n);',
     '      if (item.n != n) fail_bundle_assertion("resolution", item.n, n);\n'
     '      if (item.dim != dim) fail_bundle_assertion("dimension", item.dim, dim);'),
    ("bundle table rounds to even", "src/core/phase_hvec.cpp",
     "round_half_away(std::cos(angle) * kScale)", "static_cast<std::int64_t>(std::nearbyint(std::cos(angle) * kScale))"),
    ("bundle angle: quotient before product", "src/core/phase_hvec.cpp",
     "const double product = static_cast<double>(k) * kTwoPi;\n      const double angle = product / resolution;",
     "const double angle = static_cast<double>(k) * (kTwoPi / resolution);"),
    ("bundle unpacks without the bias", "src/core/phase_hvec.cpp",
     "      cos_[i] += (packed_[i] & 0xFFFFFFFFull) - bias();", "      cos_[i] += (packed_[i] & 0xFFFFFFFFull);"),
    ("bundle block of 2^17 items", "src/core/phase_hvec.cpp",  # 2^17 * 2^15 overflows a 32-bit half
     "constexpr std::size_t kItemsPerBlock = std::size_t{1} << 16;",
     "constexpr std::size_t kItemsPerBlock = std::size_t{1} << 17;"),
    ("bundle fold never polls", "src/core/phase_hvec.cpp", "          poller.count(items_now * width);\n", ""),
    # --- rounding to a phase step
    ("rounding: product before quotient", "src/core/phase_rounding.cpp",
     "const double turns = theta / kTwoPi;\n  const double t = turns * static_cast<double>(n);",
     "const double t = (theta * static_cast<double>(n)) / kTwoPi;"),
    ("n = 2: NaN with a negative x taken as phase 1", "src/core/phase_rounding.cpp",
     "if (x[i] < 0.0 && !std::isnan(y[i])) {", "if (x[i] < 0.0) {"),
    ("n = 2: margin next to the axis too narrow", "src/core/phase_rounding.cpp",
     "std::fabs(y[i]) * 0x1p-30", "std::fabs(y[i]) * 0x1p-80"),
    ("negative steps not wrapped", "src/core/phase_rounding.cpp",
     "return static_cast<std::uint32_t>(k < 0 ? k + modulus : k);\n  std::int64_t r",
     "return static_cast<std::uint32_t>(k);\n  std::int64_t r"),
    ("halves rounded to even", "src/core/phase_rounding.cpp",
     "const double rounded = std::round(x);", "const double rounded = std::nearbyint(x);"),
    ("undecided steps taken as decided", "src/core/phase_rounding.cpp",
     "if (steps[i] == kUndecidedStep) {", "if (false) {"),
    # --- similarity sums
    ("similarity angle: quotient before product", "src/core/kernels/portable_loops.hpp",
     "angles[i] = (diff * kTwoPi) / resolution;", "angles[i] = diff * (kTwoPi / resolution);"),
    ("cosine table off by one", "src/core/cosine_sums.cpp",
     "const double* centre = table + (n - 1);", "const double* centre = table + n;"),
    ("cosine difference reduced mod n", "src/core/kernels/portable_loops.hpp",
     "const double diff = static_cast<double>(a[i]) - static_cast<double>(b[i]);",
     "const double diff = static_cast<double>(a[i] >= b[i] ? a[i] - b[i] : a[i] - b[i] + static_cast<int>(resolution));"),
    ("evicted cosine table kept", "src/core/cosine_sums.cpp",
     "      *slot = Slot{n, 0, 0, nullptr};", "      slot->n = n;"),
    # --- the resonator
    ("ties go to the lowest index", "src/core/phase_resonator.cpp",
     "if (best.similarity <= sim) best = {j, sim};", "if (best.similarity < sim) best = {j, sim};"),
    ("similarity not divided by D", "src/core/phase_resonator.cpp",
     "const double divisor = static_cast<double>(dim == 0 ? 1 : dim);", "const double divisor = 1.0;"),
    ("stop one sweep early", "src/core/phase_resonator.cpp", "stop = stable_count_ > 1;", "stop = stable_count_ > 0;"),
    ("estimate f unbinds itself", "src/core/phase_resonator.cpp", "      if (g == f) continue;\n", ""),
    ("estimates replaced at the end of the sweep", "src/core/phase_resonator.cpp",
     "    std::swap(estimates[f], scratch.next);", "    if (f + 1 == books.size()) std::swap(estimates[f], scratch.next);"),
    ("shorter entry accepted", "src/core/phase_resonator.cpp",
     "      if (entry->dim < dim) fail_index_out_of_bounds(entry->dim, entry->dim);", ""),
    ("similarity at D = 0 divides by 0", "src/core/phase_resonator.cpp",
     "const double divisor = static_cast<double>(dim == 0 ? 1 : dim);", "const double divisor = static_cast<double>(dim);"),
    ("lookup misses resolutions met before it was built", "src/core/phase_resonator.cpp",
     "        for (std::size_t k = 0; k < sections.size(); ++k) section_of[sections[k].n] = static_cast<std::uint32_t>(k);\n",
     ""),
    ("phase marks not cleared", "src/core/phase_resonator.cpp", "        marked_[k] = 0;\n", ""),
    ("a codebook of any size laid out again", "src/core/phase_resonator.cpp",
     "  if (book.dim != 0 && lanes > kLargestLayoutBytes / element_bytes / book.dim) return;\n", ""),
    ("superposition starts from the old estimate", "src/core/phase_resonator.cpp",
     "  sum.re.assign(dim, 0.0);", "  sum.re.resize(dim);"),
    ("composite not copied afresh for each factor", "src/core/phase_resonator.cpp",
     "    poller.over(dim, 2, [&](std::size_t first, std::size_t count) {\n"
     "      std::copy_n(composite.re.data() + first, count, w.re.data() + first);\n"
     "      std::copy_n(composite.im.data() + first, count, w.im.data() + first);\n"
     "    });\n", ""),
    ("stable count never reset", "src/core/phase_resonator.cpp",
     "    } else {\n      stable_count_ = 0;\n    }", "    }"),
    ("max_iter 0 still sweeps once", "src/core/phase_resonator.cpp", "while (max_iter != 0) {", "while (true) {"),
    # --- the kernels
    ("bind wraps one too early", "src/core/kernels/portable_loops.hpp",
     "out[i] = a[i] >= c ? static_cast<std::uint16_t>(a[i] - c)", "out[i] = a[i] > c ? static_cast<std::uint16_t>(a[i] - c)",
     "generic"),
    ("unbind forgets to add n", "src/core/kernels/portable_loops.hpp",
     "out[i] = a[i] >= b[i] ? diff : static_cast<std::uint16_t>(diff + n16);", "out[i] = diff;", "generic"),
    ("generator shift 29 -> 28", "src/core/kernels/portable_loops.hpp", "  x ^= x >> 29;\n  x *= kMixMultiplier;",
     "  x ^= x >> 28;\n  x *= kMixMultiplier;", "generic"),
    ("remainder constant off by one", "src/core/kernels/portable_loops.hpp",
     "c(~std::uint64_t{0} / divisor + 1)", "c(~std::uint64_t{0} / divisor)", "generic"),
    ("dot term uses im twice", "src/core/kernels/portable_loops.hpp",
     "lanes[2 * q + 1])) * w;\n      sums[q] = sums[q] + (Pair{a[0], b[0]} + Pair{a[1], b[1]});",
     "lanes[2 * q + 1])) * w;\n      sums[q] = sums[q] + (Pair{a[1], b[1]} + Pair{a[1], b[1]});", "generic"),
    ("superposition tile skips its last component", "src/core/kernels/portable_loops.hpp",
     "for (std::size_t c = 0; c < kComponentTile; ++c) acc[c] = acc[c] + (w * load_pair(book.pair_at(",
     "for (std::size_t c = 0; c + 1 < kComponentTile; ++c) acc[c] = acc[c] + (w * load_pair(book.pair_at(",
     "generic"),
    ("phasor unbind by the estimate, not its conjugate", "src/core/kernels/portable_loops.hpp",
     "w_im[i] = (m * e_re[i]) - (r * e_im[i]);", "w_im[i] = (m * e_re[i]) + (r * e_im[i]);", "generic"),
    ("step margin far too wide", "src/core/kernels/portable_loops.hpp",
     "constexpr double kStepMargin = 1.0 / 4096.0;", "constexpr double kStepMargin = 0.0;", "generic"),
    ("AVX2 generator remainder constant", "src/core/kernels/x86_avx2.cpp",
     "_mm256_set1_pd(0.5 / nd),", "_mm256_set1_pd(0.0),", "avx2"),
    ("two-position dot picks the other term", "src/core/kernels/portable_loops.hpp",
     "Pair{terms[masks[2 * q] >> 7],", "Pair{terms[(masks[2 * q] >> 7) ^ 1],", "generic"),
    ("AVX2 two-position dot picks the other term", "src/core/kernels/x86_phasor_pairs.hpp",
     "s0 = _mm256_add_pd(s0, _mm256_blendv_pd(t0, t1, mask0));",
     "s0 = _mm256_add_pd(s0, _mm256_blendv_pd(t1, t0, mask0));", "avx2"),
    ("AVX2 dot lanes out of order", "src/core/kernels/x86_phasor_pairs.hpp",
     "const double ordered[kEntryLanes] = {l[0], l[2], l[1], l[3],",
     "const double ordered[kEntryLanes] = {l[0], l[1], l[2], l[3],", "avx2"),
]


def sync_tree(revision):
    """Makes TREE a copy of the working tree, or of a commit's tree. Files already there with the same content
    keep their times, so that the build stays incremental."""
    if revision:
        archive = subprocess.run(["git", "archive", "--format=tar", revision], cwd=ROOT, check=True,
                                 capture_output=True).stdout
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            files = {m.name: (tar.extractfile(m).read(), m.mode) for m in tar.getmembers() if m.isfile()}
    else:
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                                check=True, capture_output=True).stdout.decode().split("\0")
        files = {name: ((ROOT / name).read_bytes(), (ROOT / name).stat().st_mode & 0o777)
                 for name in listed if name and (ROOT / name).is_file()}
    for name, (content, mode) in files.items():
        copy = TREE / name
        if not copy.is_file() or copy.read_bytes() != content:
            copy.parent.mkdir(parents=True, exist_ok=True)
            copy.write_bytes(content)
        os.chmod(copy, mode)
    wanted = set(files)
    for copy in [path for path in TREE.rglob("*") if path.is_file()]:
        if str(copy.relative_to(TREE)) not in wanted and "__pycache__" not in copy.parts:
            copy.unlink()


def build():
    if not (BUILD / "build.ninja").exists():
        subprocess.run(["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DTESMERINE_KERNELS_OVERRIDE=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, capture_output=True)
    return subprocess.run(["cmake", "--build", str(BUILD), "-j", "2"], capture_output=True, text=True)


def run_suite(tests, kernels, timeout, ctest):
    env = dict(os.environ, PYTHONPATH=str(BUILD))
    env.pop("TESMERINE_KERNELS", None)
    if kernels:
        env["TESMERINE_KERNELS"] = kernels
    try:
        if ctest:
            done = subprocess.run(["ctest", "--test-dir", str(BUILD), "--output-on-failure"], env=env,
                                  capture_output=True, text=True, timeout=timeout)
            if done.returncode != 0:
                failed = [line.split()[3] for line in done.stdout.splitlines() if "***Failed" in line]
                return "killed", f"C++ check {', '.join(failed) or done.returncode}", done.stdout
        done = subprocess.run([sys.executable, "-m", "pytest", *[str(TREE / t) for t in tests], "-x", "-q",
                               "-p", "no:cacheprovider", "--no-header", "-o", "console_output_style=classic"],
                              cwd=BUILD, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "killed", "timed out", ""
    if done.returncode == 0:
        return "survived", "", ""
    failed = [line for line in done.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return "killed", (failed[0] if failed else f"exit {done.returncode}")[:110], done.stdout + done.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tests", nargs="*", default=["tests"], help="test paths relative to the source tree")
    parser.add_argument("--only", help="comma-separated mutant names to run")
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--json", type=pathlib.Path, help="also write the results to this file")
    parser.add_argument("--source", metavar="COMMIT", help="test this commit's tree, not the working tree")
    parser.add_argument("--ctest", action="store_true", help="run the C++ checks (CTest) before the tests")
    args = parser.parse_args()
    chosen = MUTANTS
    if args.only:
        names = set(args.only.split(","))
        unknown = names - {m[0] for m in MUTANTS}
        if unknown:
            sys.exit(f"no such mutants: {', '.join(sorted(unknown))}")
        chosen = [m for m in MUTANTS if m[0] in names]
    sync_tree(args.source)
    done = build()
    if done.returncode != 0:
        sys.exit(f"the unmutated tree does not build:\n{done.stderr}")
    commit = subprocess.run(["git", "rev-parse", "--short", args.source or "HEAD"], cwd=ROOT, capture_output=True,
                            text=True).stdout.strip()
    where = f"commit {commit}" if args.source else f"the working tree (at {commit})"
    checks = "the C++ checks and " if args.ctest else ""
    print(f"{where}, {checks}tests {' '.join(args.tests)}, {sys.executable}", flush=True)
    status, why, output = run_suite(args.tests, None, args.timeout, args.ctest)
    if status != "survived":
        tail = "\n".join(output.splitlines()[-60:])
        sys.exit(f"{tail}\nthe unmutated tree fails the suite: {why}")
    statuses = ["killed", "survived", "not applicable", "does not compile"]
    counts, results = dict.fromkeys(statuses, 0), []
    start = time.time()
    for name, file, text, replacement, *variant in chosen:
        path = TREE / file
        original = path.read_text()
        began = time.time()
        if original.count(text) != 1:
            status, why = "not applicable", f"text found {original.count(text)} times in {file}"
        else:
            path.write_text(original.replace(text, replacement))
            try:
                made = build()
                if made.returncode != 0:
                    status, why = "does not compile", ""
                else:
                    status, why, _ = run_suite(args.tests, variant[0] if variant else None, args.timeout, args.ctest)
            finally:
                path.write_text(original)
        counts[status] += 1
        results.append({"name": name, "file": file, "variant": variant[0] if variant else None, "status": status,
                        "detail": why, "seconds": round(time.time() - began, 1)})
        print(f"{status:16} {name:50} {why}", flush=True)
        if args.json:
            record = {"source": commit if args.source else None, "ctest": args.ctest, "tests": args.tests}
            args.json.write_text(json.dumps({**record, "results": results}, indent=1) + "\n")
    build()  # back to the unmutated tree
    print(", ".join(f"{counts[s]} {s}" for s in statuses) + f" of {len(chosen)} mutants in {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Which plausible mistakes in src/ would the test suite miss?

    python3 scripts/mutation_run.py [--only NAME,...] [--timeout SECONDS] [--jobs-note]

Applies each mutant below to the source tree one at a time (a single edit: an
operator, a bound, an off-by-one, a dropped check or poll, a swapped
argument), rebuilds the test build incrementally (.build/mutation), runs the
test suite under this interpreter with a time limit (stopping at the first
failure), restores the file, and prints each mutant as killed or survived. A
mutant that no longer applies (its text is gone from the source) is listed
as such. Not part of CI: a full run takes about as long as 50 suite runs.

A mutant that only shows under one kernel variant names it; the suite then
runs with TESMERINE_KERNELS forcing that variant.
"""
import argparse
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / ".build" / "mutation"

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
    ("iteration error dropped", "src/arguments.cpp",
     "  if (PyErr_Occurred()) throw PythonError{};\n  return out;\n}\n\n}  // namespace tesmerine",
     "  return out;\n}\n\n}  // namespace tesmerine"),
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
    # --- the record and its algebra
    ("compatibility ignores n", "src/core/phase_hvec.cpp",
     "if (a.dim != b.dim || a.n != b.n) throw UserError(kMismatchMessage);",
     "if (a.dim != b.dim) throw UserError(kMismatchMessage);"),
    ("resolution range off by one", "src/core/phase_hvec.cpp",
     "if (n - kMinResolution >= kMaxResolution - 1)", "if (n - kMinResolution > kMaxResolution - 1)"),
    ("capacity limit off", "src/core/phase_hvec.cpp",
     "constexpr std::uint64_t kMaxDim = 0x3FFFFFFFFFFFFFFFull;", "constexpr std::uint64_t kMaxDim = 0x7FFFFFFFFFFFFFFFull;"),
    ("seed multiplier dropped", "src/core/phase_hvec.cpp", "seed * kSeedMultiplier, n);", "seed, n);"),
    ("similarity of empty vectors 0", "src/core/phase_hvec.cpp", "if (a.dim == 0) return 1.0;", "if (a.dim == 0) return 0.0;"),
    ("similarity divides by dim - 1", "src/core/phase_hvec.cpp",
     "/ static_cast<double>(a.dim);", "/ static_cast<double>(a.dim - 1);"),
    ("bundle assertion sides swapped", "src/core/phase_hvec.cpp",
     'fail_bundle_assertion("dimension", item.dim, dim);', 'fail_bundle_assertion("dimension", dim, item.dim);'),
    ("bundle checks resolution first", "src/core/phase_hvec.cpp",
     '    if (item.dim != dim) fail_bundle_assertion("dimension", item.dim, dim);\n'
     '    if (item.n != n) fail_bundle_assertion("resolution", item.n, n);',
     '    if (item.n != n) fail_bundle_assertion("resolution", item.n, n);\n'
     '    if (item.dim != dim) fail_bundle_assertion("dimension", item.dim, dim);'),
    ("bundle table rounds to even", "src/core/phase_hvec.cpp",
     "round_half_away(std::cos(angle) * kScale)", "static_cast<std::int64_t>(std::nearbyint(std::cos(angle) * kScale))"),
    ("bundle angle: quotient before product", "src/core/phase_hvec.cpp",
     "const double product = static_cast<double>(k) * kTwoPi;\n      const double angle = product / resolution;",
     "const double angle = static_cast<double>(k) * (kTwoPi / resolution);"),
    ("bundle unpacks without the bias", "src/core/phase_hvec.cpp",
     "      cos_[i] += (packed_[i] & 0xFFFFFFFFull) - bias();", "      cos_[i] += (packed_[i] & 0xFFFFFFFFull);"),
    ("bundle block of 2^16 + 1 items", "src/core/phase_hvec.cpp",
     "constexpr std::size_t kItemsPerBlock = std::size_t{1} << 16;",
     "constexpr std::size_t kItemsPerBlock = (std::size_t{1} << 16) + 1;"),
    ("bundle never polls", "src/core/phase_hvec.cpp", "          poll(interrupted);\n          unpolled = 0;",
     "          unpolled = 0;"),
    # --- rounding to a phase step
    ("rounding: product before quotient", "src/core/phase_rounding.cpp",
     "const double turns = theta / kTwoPi;\n  const double t = turns * static_cast<double>(n);",
     "const double t = (theta * static_cast<double>(n)) / kTwoPi;"),
    ("negative steps not wrapped", "src/core/phase_rounding.cpp",
     "return static_cast<std::uint32_t>(k < 0 ? k + modulus : k);\n  std::int64_t r",
     "return static_cast<std::uint32_t>(k);\n  std::int64_t r"),
    ("undecided steps taken as decided", "src/core/phase_rounding.cpp",
     "if (steps[i] == kUndecidedStep) {", "if (false) {"),
    # --- similarity sums
    ("cosine table off by one", "src/core/cosine_sums.cpp",
     "const double* centre = table + (n - 1);", "const double* centre = table + n;"),
    ("cosine difference reduced mod n", "src/core/cosine_sums.cpp",
     "sum += centre[static_cast<std::int32_t>(a[i]) - static_cast<std::int32_t>(b[i])];",
     "sum += centre[(static_cast<std::int32_t>(a[i]) - static_cast<std::int32_t>(b[i]) + static_cast<std::int32_t>(n)) "
     "% static_cast<std::int32_t>(n)];"),
    ("cosine table made too early", "src/core/cosine_sums.cpp",
     "if (slot->demand >= table_size(n)) slot->table = new_table(n);", "slot->table = new_table(n);"),
    # --- the resonator
    ("ties go to the lowest index", "src/core/phase_resonator.cpp",
     "if (best.similarity <= sim) best = {j, sim};", "if (best.similarity < sim) best = {j, sim};"),
    ("similarity not divided by D", "src/core/phase_resonator.cpp",
     "const double divisor = static_cast<double>(dim == 0 ? 1 : dim);", "const double divisor = 1.0;"),
    ("stop one sweep early", "src/core/phase_resonator.cpp", "stop = stable_count_ > 1;", "stop = stable_count_ > 0;"),
    ("estimate f unbinds itself", "src/core/phase_resonator.cpp", "      if (g != f) {", "      if (true) {"),
    ("estimates replaced at the end of the sweep", "src/core/phase_resonator.cpp",
     "    std::swap(estimates[f], scratch.next);", "    if (f + 1 == books.size()) std::swap(estimates[f], scratch.next);"),
    ("shorter entry accepted", "src/core/phase_resonator.cpp",
     "      if (entry->dim < dim) fail_index_out_of_bounds(entry->dim, entry->dim);", ""),
    ("phases above the resolution accepted", "src/core/phase_resonator.cpp",
     "    if (dim != 0) check_index(largest, entry->n);", ""),
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
     "s[l] = s[l] + ((table_re[k] * wr) + (table_im[k] * wi));\n    }\n  }\n  for (std::size_t start",
     "s[l] = s[l] + ((table_im[k] * wr) + (table_im[k] * wi));\n    }\n  }\n  for (std::size_t start", "generic"),
    ("superposition tile skips its last component", "src/core/kernels/portable_loops.hpp",
     "    for (std::size_t c = 0; c < kComponentTile; ++c) {\n      acc_re[c] = acc_re[c] + (w * tre[p[c]]);",
     "    for (std::size_t c = 0; c + 1 < kComponentTile; ++c) {\n      acc_re[c] = acc_re[c] + (w * tre[p[c]]);",
     "generic"),
    ("phasor unbind by the estimate, not its conjugate", "src/core/kernels/portable_loops.hpp",
     "w_im[i] = (m * e_re[i]) - (r * e_im[i]);", "w_im[i] = (m * e_re[i]) + (r * e_im[i]);", "generic"),
    ("step margin far too wide", "src/core/kernels/portable_loops.hpp",
     "constexpr double kStepMargin = 1.0 / 4096.0;", "constexpr double kStepMargin = 0.0;", "generic"),
    ("AVX2 generator remainder constant", "src/core/kernels/x86_avx2.cpp",
     "_mm256_set1_pd(0.5 / nd),", "_mm256_set1_pd(0.0),", "avx2"),
    ("AVX2 dot lanes out of order", "src/core/kernels/x86_phasor_pairs.hpp",
     "const double ordered[kEntryLanes] = {lanes0[0], lanes0[2], lanes0[1], lanes0[3],",
     "const double ordered[kEntryLanes] = {lanes0[0], lanes0[1], lanes0[2], lanes0[3],", "avx2"),
]


def build(env):
    if not (BUILD / "build.ninja").exists():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DTESMERINE_KERNELS_OVERRIDE=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, capture_output=True)
    return subprocess.run(["cmake", "--build", str(BUILD), "-j", "2"], capture_output=True, text=True, env=env)


def run_suite(kernels, timeout):
    env = dict(os.environ, PYTHONPATH=str(BUILD))
    if kernels:
        env["TESMERINE_KERNELS"] = kernels
    try:
        done = subprocess.run([sys.executable, "-m", "pytest", str(ROOT / "tests"), "-x", "-q", "-p", "no:cacheprovider",
                               "--no-header", "-o", "console_output_style=classic"],
                              cwd=BUILD, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "killed", "timed out"
    if done.returncode == 0:
        return "survived", ""
    failed = [line for line in done.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return "killed", (failed[0] if failed else f"exit {done.returncode}")[:110]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", help="comma-separated mutant names to run")
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()
    chosen = MUTANTS
    if args.only:
        names = set(args.only.split(","))
        chosen = [m for m in MUTANTS if m[0] in names]
    env = dict(os.environ)
    done = build(env)
    if done.returncode != 0:
        sys.exit(f"the unmutated tree does not build:\n{done.stderr}")
    status, why = run_suite(None, args.timeout)
    if status != "survived":
        sys.exit(f"the unmutated tree fails the suite: {why}")
    counts = {"killed": 0, "survived": 0, "not applicable": 0}
    start = time.time()
    for name, file, text, replacement, *variant in chosen:
        path = ROOT / file
        original = path.read_text()
        if original.count(text) != 1:
            status, why = "not applicable", f"text found {original.count(text)} times in {file}"
        else:
            path.write_text(original.replace(text, replacement))
            try:
                made = build(env)
                if made.returncode != 0:
                    status, why = "killed", "does not compile"
                else:
                    status, why = run_suite(variant[0] if variant else None, args.timeout)
            finally:
                path.write_text(original)
        counts[status] += 1
        print(f"{status:15} {name:50} {why}", flush=True)
    build(env)  # back to the unmutated tree
    print(f"{counts['killed']} killed, {counts['survived']} survived, {counts['not applicable']} not applicable "
          f"of {len(chosen)} mutants in {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()

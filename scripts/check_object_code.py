#!/usr/bin/env python3
"""Checks that no code built for AVX, AVX2 or AVX-512 can run before the processor check.

    python3 scripts/check_object_code.py BUILD_DIR [--module FILE]

BUILD_DIR is an unstripped CMake build of the module made with
CMAKE_EXPORT_COMPILE_COMMANDS=ON. Its compile_commands.json tells which sources
are compiled with instruction-set flags (-mavx, -mavx2, -mavx512..., -march);
those are the kernel variants, reached only through their tables once the
processor has been checked. The check fails unless:

  - every function of the linked tesmerine.abi3.so that holds a VEX or EVEX
    encoded instruction (AVX and later: ymm, zmm and mask registers included)
    is a local function of one of those sources;
  - no load-time initialiser (.init_array, .preinit_array, .ctors) is defined
    in one of those sources or reaches, by direct calls, any function of them
    or any VEX/EVEX instruction;
  - the object file of each such source has no load-time initialiser, no
    COMDAT group (the shared copy of an inline function or template that the
    linker may keep for every file) and no defined global or weak function:
    its only global symbols are its constant tables.

It prints every function that uses such instructions with its source, then
each violation, and exits with status 1 if there is one.
"""
import argparse
import json
import pathlib
import re
import shlex
import subprocess
import sys
from bisect import bisect_right

ISA_FLAG = re.compile(r"^-m(avx|fma|bmi|f16c|march=|arch=)|^-march=")
# In 64-bit mode C4 and C5 always start a VEX prefix and 62 an EVEX prefix;
# only segment overrides and the address-size prefix may come before them.
ALLOWED_BEFORE_VEX = {"26", "2e", "36", "3e", "64", "65", "67"}
VEX_STARTS = {"c4", "c5", "62"}
INIT_SECTIONS = (".init_array", ".preinit_array", ".ctors")


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def flagged_sources(build_dir):
    """Source file names compiled with instruction-set flags."""
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    flagged = {}
    for entry in commands:
        argv = entry.get("arguments") or shlex.split(entry["command"])
        if any(ISA_FLAG.match(arg) for arg in argv):
            flagged[pathlib.Path(entry["file"]).name] = pathlib.Path(entry["output"]).name
    return flagged


class Symbols:
    """The FUNC symbols of .symtab with the source file (FILE symbol) of each local one."""

    def __init__(self, path):
        self.functions = []  # (address, size, name, binding, visibility, file)
        current_file = ""
        for line in run("readelf", "-sW", path).splitlines():
            fields = line.split()
            if len(fields) < 8 or not fields[0].rstrip(":").isdigit():
                continue
            value, size, kind, binding, visibility, index = fields[1:7]
            name = fields[7] if len(fields) > 7 else ""
            if kind == "FILE":
                current_file = name
            elif kind in ("FUNC", "IFUNC") and index != "UND":
                file = current_file if binding == "LOCAL" else ""
                self.functions.append((int(value, 16), int(size), name, binding, visibility, file))
        self.functions.sort()
        self.starts = [f[0] for f in self.functions]

    def containing(self, address):
        i = bisect_right(self.starts, address) - 1
        while i >= 0:
            start, size, *_ = self.functions[i]
            if start <= address < start + max(size, 1):
                return self.functions[i]
            if start < address - (1 << 24):
                break
            i -= 1
        return None


def readable(names):
    """Demangled names without the namespaces and parameter lists."""
    shown = run("c++filt", *names).splitlines() if names else []
    return [re.sub(r"\(.*$", "", re.sub(r"tesmerine::core::(\(anonymous namespace\)::)?", "", name))
            for name in shown]


def is_vex(raw_bytes):
    for byte in raw_bytes:
        if byte in ALLOWED_BEFORE_VEX:
            continue
        return byte in VEX_STARTS
    return False


def disassemble(path, symbols):
    """Per function: the VEX/EVEX instructions and the direct call and jump targets."""
    vex = {}
    calls = {}
    outside = []
    line_form = re.compile(r"^\s*([0-9a-f]+):\t((?:[0-9a-f]{2} )+)\s*\t?(.*)$")
    for line in run("objdump", "-d", "-w", path).splitlines():
        match = line_form.match(line)
        if not match:
            continue
        address = int(match.group(1), 16)
        raw = match.group(2).split()
        text = match.group(3)
        function = symbols.containing(address)
        if is_vex(raw):
            if function is None:
                outside.append(f"{address:#x}: {text}")
            else:
                vex.setdefault(function, []).append(text)
        target = re.match(r"(?:call|jmp)\w*\s+([0-9a-f]+) <", text)
        if target and function is not None:
            calls.setdefault(function, set()).add(int(target.group(1), 16))
    return vex, calls, outside


def init_entries(path):
    """The function addresses listed in the load-time initialiser arrays."""
    sections = {}
    for line in run("readelf", "-SW", path).splitlines():
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+\S+\s+([0-9a-f]+)\s+([0-9a-f]+)\s+([0-9a-f]+)", line)
        if match and match.group(1) in INIT_SECTIONS:
            sections[match.group(1)] = (int(match.group(2), 16), int(match.group(4), 16))
    entries = []
    relocations = {}
    for line in run("readelf", "-rW", path).splitlines():
        fields = line.split()
        if len(fields) >= 4 and re.fullmatch(r"[0-9a-f]{8,16}", fields[0]) and "RELATIVE" in fields[2]:
            relocations[int(fields[0], 16)] = int(fields[-1], 16)
    for name, (address, size) in sections.items():
        dump = run("objdump", "-s", "-j", name, path)
        data = bytearray()
        for line in dump.splitlines():
            match = re.match(r"^\s*[0-9a-f]+ ((?:[0-9a-f]{1,8} ){1,4})", line + " ")
            if match:
                data += bytes.fromhex("".join(match.group(1).split()))
        for offset in range(0, size, 8):
            word = int.from_bytes(data[offset:offset + 8], "little")
            value = relocations.get(address + offset, word)
            if value not in (0, 0xFFFFFFFFFFFFFFFF):
                entries.append((name, value))
    return entries


def object_file(build_dir, object_name):
    found = sorted(build_dir.rglob(object_name))
    return str(found[0]) if found else None


def local_functions(build_dir, flagged):
    """Mangled name -> the flagged sources whose object file defines a local function of that name."""
    names = {}
    for source, object_name in sorted(flagged.items()):
        path = object_file(build_dir, object_name)
        for line in run("nm", "--defined-only", path).splitlines() if path else []:
            parts = line.split()
            if len(parts) == 3 and parts[1] == "t":
                names.setdefault(parts[2], []).append(source)
    return names


def check_objects(build_dir, flagged, problems):
    for source, object_name in sorted(flagged.items()):
        path = object_file(build_dir, object_name)
        if path is None:
            problems.append(f"{source}: object file {object_name} not found")
            continue
        sections = run("readelf", "-SW", path)
        for name in INIT_SECTIONS:
            if re.search(rf"\s{re.escape(name)}(\.\S*)?\s", sections):
                problems.append(f"{source}: has a load-time initialiser section ({name})")
        groups = run("readelf", "-gW", path)
        for match in re.finditer(r"COMDAT group section \[\s*\d+\] `\.group' \[([^\]]+)\]", groups):
            problems.append(f"{source}: COMDAT group {match.group(1)} (a shared inline or template copy)")
        for line in run("nm", "--defined-only", "-C", path).splitlines():
            parts = line.split(maxsplit=2)
            if len(parts) == 3 and parts[1] in ("T", "W", "V", "i", "u"):
                problems.append(f"{source}: defines the shared (global or weak) code or data {parts[2]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_dir", type=pathlib.Path)
    parser.add_argument("--module", type=pathlib.Path, help="the linked module to check (default: the build's)")
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    module = args.module or next(iter(sorted(build_dir.glob("tesmerine*.so"))), None)
    if module is None:
        sys.exit(f"no tesmerine*.so in {build_dir}")
    flagged = flagged_sources(build_dir)
    if not flagged:
        sys.exit(f"{build_dir}: no source is compiled with instruction-set flags (is this an x86-64 build?)")
    symbols = Symbols(str(module))
    if not any(f[3] == "LOCAL" for f in symbols.functions):
        sys.exit(f"{module}: no symbol table (the check needs a module that keeps it)")
    vex, calls, outside = disassemble(str(module), symbols)
    comment = run("readelf", "-p", ".comment", str(module))
    compiler = "; ".join(re.findall(r"\]\s+(.*\S)", comment))
    print(f"{module} ({compiler}), objects of {build_dir}")
    print(f"   sources with instruction-set flags: {', '.join(sorted(flagged))}")

    kernels_of = local_functions(build_dir, flagged)
    problems = [f"a VEX/EVEX instruction outside any function: {where}" for where in outside]
    by_file = {}
    for function, instructions in sorted(vex.items()):
        _, _, name, binding, visibility, file = function
        sources = kernels_of.get(name, [])
        # The symbol's own FILE entry where it is one of the sources defining
        # that local name (a linker may list a library's locals under the
        # previous FILE entry).
        source = file if file in sources else (sources[0] if sources else "")
        by_file.setdefault(source or f"({binding} {visibility}, no variant source)", []).append(
            (name, len(instructions)))
        if binding != "LOCAL" or visibility != "DEFAULT" or not sources:
            where = file or "no source file: a global, weak or merged hidden symbol"
            problems.append(f"{readable([name])[0]} ({binding} {visibility}, {where}) uses {instructions[0]}")
    for file, names in sorted(by_file.items()):
        shown = readable([name for name, _ in names])
        listed = ", ".join(f"{name} ({count})" for name, (_, count) in zip(shown, names))
        print(f"   {file}: {len(names)} functions with VEX/EVEX instructions: {listed}")

    by_address = {f[0]: f for f in symbols.functions}
    initialiser_of = {f"_GLOBAL__sub_I_{source}" for source in flagged}
    for section, address in init_entries(str(module)):
        root = symbols.containing(address)
        if root is None:
            problems.append(f"{section} entry {address:#x} is not a function")
            continue
        seen, stack = set(), [root]
        while stack:
            function = stack.pop()
            if function in seen:
                continue
            seen.add(function)
            if function in vex or function[2] in initialiser_of:
                what = "is" if function is root else f"reaches {readable([function[2]])[0]}, which is"
                problems.append(f"the load-time initialiser {readable([root[2]])[0]} ({section}) {what} "
                                f"built for another instruction set")
            for target in calls.get(function, ()):
                callee = by_address.get(target) or symbols.containing(target)
                if callee is not None:
                    stack.append(callee)
    check_objects(build_dir, flagged, problems)

    # The first few of each kind of problem say enough.
    kinds = {}
    for problem in problems:
        kind = problem.split(":")[0] if problem.startswith("a VEX") else problem
        kinds.setdefault(kind, []).append(problem)
    for kind, listed in kinds.items():
        for problem in listed[:10]:
            print(f"   FAIL: {problem}")
        if len(listed) > 10:
            print(f"   FAIL: ... and {len(listed) - 10} more of the same kind")
    if problems:
        print(f"object-code check: {len(problems)} problems")
        sys.exit(1)
    print("object-code check: passed (every VEX/EVEX function is a local kernel of a variant source; "
          "no load-time initialiser reaches one)")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Prints the kernel variant that the tesmerine module of this interpreter chose.

    python scripts/kernel_choice.py [--expect NAME]

The module chooses its kernels once, on first use, from the processor's
features, and keeps a pointer to the chosen table. This reads that pointer in
the running process (after one call has made the choice) and names the table it
points to, by the module's own symbol table, so that what is reported is the
choice of the very file that is loaded, on the processor (or emulated model) it
runs on. With --expect the exit status says whether it is NAME.
"""
import argparse
import ctypes
import os
import re
import struct
import sys

CHOSEN = "_ZZN9tesmerine4core7kernelsEvE6chosen"
TABLE = re.compile(r"_ZN9tesmerine4core\d+k(\w+)KernelsE$")


def symbols(path):
    """name -> value of every symbol of the ELF64 little-endian file's .symtab."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        sys.exit(f"{path}: not a 64-bit little-endian ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    found = {}
    for _, kind, _, _, offset, size, link, _, _, entsize in sections:
        if kind != 2:  # SHT_SYMTAB
            continue
        strings_offset = sections[link][4]
        for at in range(offset, offset + size, entsize):
            name_offset, _, _, _, value, _ = struct.unpack_from("<IBBHQQ", data, at)
            end = data.index(b"\0", strings_offset + name_offset)
            found[data[strings_offset + name_offset:end].decode()] = value
    return found


def load_address(path):
    """Where the file is mapped in this process: the start of its mapping at offset 0."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            if len(fields) >= 6 and os.path.realpath(fields[5]) == real and int(fields[2], 16) == 0:
                return int(fields[0].split("-")[0], 16)
    sys.exit(f"{path} is not mapped in this process")


def variant_name(table):
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "-", table).lower()  # Avx512Vbmi -> avx512-vbmi


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--expect", help="the variant that must have been chosen")
    args = parser.parse_args()
    import tesmerine

    tesmerine.PhaseHVec.random(8, 16, 42)  # the first use chooses the kernels
    path = tesmerine.__file__
    table = symbols(path)
    if CHOSEN not in table:
        sys.exit(f"{path} keeps no symbol table (or no chosen-kernels pointer): cannot tell")
    base = load_address(path)
    chosen = ctypes.c_void_p.from_address(base + table[CHOSEN]).value
    names = {base + value: variant_name(TABLE.match(name).group(1))
             for name, value in table.items() if TABLE.match(name)}
    name = names.get(chosen, f"an unknown table at {chosen:#x}")
    print(f"tesmerine kernels: {name} (chosen at run time by {os.path.basename(path)}; "
          f"variants in the file: {', '.join(sorted(names.values()))})")
    if args.expect and name != args.expect:
        print(f"expected {args.expect}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

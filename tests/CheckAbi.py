#!/usr/bin/env python3
"""Fails unless the Windows DLL exports the same public interface as the Linux
shared library: the same functions of the Quillet namespace and the C
interface (std::int64_t and std::size_t are long on Linux, long long on
Windows), the vtables
and typeinfo of every polymorphic class Linux exports, and in each vtable the
same virtual functions in the same slots, which hosts compiled against the
headers call by position (seen in the vtables of the classes that implement
them, internal ones included, from the files' symbol tables). A pure virtual slot is empty on Windows (its
__cxa_pure_virtual is a weak reference there).

    CheckAbi.py LINUX_LIBRARY WINDOWS_DLL

Exits 77 (skipped) when there is no Linux library to compare with.
"""
import os
import re
import bisect
import struct
import subprocess
import sys

MINGW = "x86_64-w64-mingw32-"


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def demangle(names, tool):
    out = run(tool, *names) if names else ""
    return out.splitlines()


def public(name):
    # Typeinfo names are not exported from a DLL: mingw compares typeinfo by
    # its name's text.
    return name.startswith(("_ZN7Quillet", "_ZNK7Quillet", "_ZTIN7Quillet", "_ZTVN7Quillet", "quillet_"))


def linux_side(path):
    """Exported names, and for each vtable of the namespace its slots' function names."""
    exported = {line.split()[-1] for line in run("nm", "-D", "--defined-only", path).splitlines()
                if len(line.split()) == 3}
    symbols = {}   # address -> name, every defined symbol of the file
    sizes = {}
    for line in run("nm", "-S", "--defined-only", path).splitlines():
        parts = line.split()
        if len(parts) == 4:
            address, size, _, name = parts
            symbols.setdefault(int(address, 16), name)
            sizes[name] = (int(address, 16), int(size, 16))
        elif len(parts) == 3:
            symbols.setdefault(int(parts[0], 16), parts[2])
    relocations = {}
    for line in run("readelf", "-rW", path).splitlines():
        parts = line.split()
        if len(parts) >= 4 and parts[2] == "R_X86_64_RELATIVE":
            relocations[int(parts[0], 16)] = symbols.get(int(parts[3], 16), parts[3])
        elif len(parts) >= 5 and parts[2] in ("R_X86_64_64", "R_X86_64_GLOB_DAT"):
            relocations[int(parts[0], 16)] = parts[4].split("@")[0]
    vtables = {}
    for name in sizes:
        if name.startswith("_ZTVN7Quillet"):
            start, size = sizes[name]
            vtables[name] = [relocations.get(at, "0").replace("__cxa_pure_virtual", "0")
                             for at in range(start + 16, start + size, 8)]
    return {n for n in exported if public(n)}, vtables


def pe_sections(data):
    lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", data, lfanew + 6)[0], struct.unpack_from("<H", data, lfanew + 20)[0]
    image_base = struct.unpack_from("<Q", data, lfanew + 24 + 24)[0]
    sections = []
    at = lfanew + 24 + optional_size
    for _ in range(count):
        vsize, vaddr, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
        sections.append((image_base + vaddr, vsize, raw_at))
        at += 40
    return sections


def read_va(data, sections, va):
    for start, size, raw in sections:
        if start <= va < start + size:
            return struct.unpack_from("<Q", data, raw + va - start)[0]
    return 0


def windows_side(path):
    exported = set()
    in_table = False
    for line in run(MINGW + "objdump", "-p", path).splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
        elif in_table:
            if not line.strip().startswith("["):
                break
            exported.add(line.split("]", 1)[1].strip())
    symbols = []
    for line in run(MINGW + "nm", "--defined-only", path).splitlines():
        parts = line.split()
        if len(parts) == 3 and not parts[2].startswith("."):
            symbols.append((int(parts[0], 16), parts[2]))
    symbols.sort()
    addresses = [a for a, _ in symbols]
    by_address = {}
    for address, name in symbols:
        by_address.setdefault(address, name)
    data = open(path, "rb").read()
    sections = pe_sections(data)
    vtables = {}
    for index, (address, name) in enumerate(symbols):
        if name.startswith("_ZTVN7Quillet"):
            end = next((a for a in addresses[index + 1:] if a > address), address + 16)
            vtables[name] = [by_address.get(read_va(data, sections, at), "0") if read_va(data, sections, at) else "0"
                             for at in range(address + 16, end, 8)]
    return {n for n in exported if public(n)}, vtables


def main():
    if not os.path.exists(sys.argv[1]):
        print("no Linux library at %s to compare with" % sys.argv[1])
        return 77
    linux_names, linux_vtables = linux_side(sys.argv[1])
    windows_names, windows_vtables = windows_side(sys.argv[2])
    problems = []
    functions = lambda names: {n for n in names if not n.startswith(("_ZTI", "_ZTV"))}
    linux_functions = set(demangle(sorted(functions(linux_names)), "c++filt"))
    windows_functions = {n.replace("long long", "long")
                         for n in demangle(sorted(functions(windows_names)), MINGW + "c++filt")}
    for name in sorted(linux_functions - windows_functions):
        problems.append("only on Linux: " + name)
    for name in sorted(windows_functions - linux_functions):
        problems.append("only on Windows: " + name)
    for name in sorted(n for n in linux_names - windows_names if n.startswith("_ZTV") or
                       (n.startswith("_ZTI") and "_ZTV" + n[4:] in linux_names)):
        problems.append("not exported on Windows: " + demangle([name], "c++filt")[0])
    # The exported interfaces' vtables have empty (pure) slots; the classes
    # that implement them, internal ones too, show which function each holds.
    for name in sorted(set(linux_vtables) & set(windows_vtables)):
        linux_slots = demangle(linux_vtables[name], "c++filt")
        # A vtable's size on Windows comes from the next symbol: padding after it reads as empty slots.
        windows_slots = [s.replace("long long", "long")
                         for s in demangle(windows_vtables.get(name, []), MINGW + "c++filt")]
        while len(windows_slots) > len(linux_slots) and windows_slots[-1] == "0":
            windows_slots.pop()
        # A slot the standard library fills is its own business: which of its
        # classes holds what() differs between its builds.
        linux_slots, windows_slots = ([re.sub(r"^std::[\w:]*::(?=\w+\()", "std::", s) for s in slots]
                                      for slots in (linux_slots, windows_slots))
        if linux_slots != windows_slots:
            problems.append("slots of %s differ:\n    Linux:   %s\n    Windows: %s" % (
                demangle([name], "c++filt")[0], linux_slots, windows_slots))
    if problems:
        print("\n".join(problems))
        return 1
    print("%d exported names, %d vtables with the same slots on Linux and Windows"
          % (len(linux_names), len(set(linux_vtables) & set(windows_vtables))))
    return 0


if __name__ == "__main__":
    sys.exit(main())

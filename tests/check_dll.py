#!/usr/bin/env python3
"""Checks the built 32-bit Marlune.dll as a Windows host and Explorer see it.

usage: check_dll.py CHECK Marlune.dll OBJDUMP EXPORTS.TXT
CHECK is one of: machine, exports, imports, stdcall, version.
"""
import re
import struct
import subprocess
import sys

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
PE32_MAGIC = 0x10B
RT_VERSION = 16


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise SystemExit(f"{path}: no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", self.data, optional)[0]
        self.image_base = struct.unpack_from("<I", self.data, optional + 28)[0]
        directories = optional + 96
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for _, vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError(f"RVA {rva:#x} is in no section")

    def section_of(self, rva):
        return next((name for name, vaddr, size, _ in self.sections if vaddr <= rva < vaddr + size), None)

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        """(directory name, ordinal base, {ordinal: rva}, {name: ordinal})"""
        rva, _ = self.directories[0]
        (_, _, _, _, name, base, functions, names,
         function_table, name_table, ordinal_table) = struct.unpack_from("<IIHHIIIIIII", self.data, self.offset(rva))
        addresses = {base + i: self.u32(function_table + 4 * i) for i in range(functions)}
        by_name = {self.cstring(self.u32(name_table + 4 * i)): base + self.u16(ordinal_table + 2 * i)
                   for i in range(names)}
        return self.cstring(name), base, addresses, by_name

    def imports(self):
        """{dll name: [function names]}"""
        result = {}
        rva, _ = self.directories[1]
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                return result
            functions = []
            entry = lookup or thunks
            while (value := self.u32(entry)) != 0:
                functions.append(f"#{value & 0xFFFF}" if value & 0x80000000 else self.cstring(value + 2))
                entry += 4
            result[self.cstring(name)] = functions
            rva += 20

    def resources(self, type_id):
        """[(name id, language, bytes)] of every resource of `type_id`."""
        root_rva, _ = self.directories[2]

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, self.offset(root_rva + directory + 12))
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, self.offset(root_rva + directory + 16 + 8 * i))
                yield ident, target

        found = []
        for kind, names in entries(0):
            if kind != type_id:
                continue
            for name, languages in entries(names & 0x7FFFFFFF):
                for language, leaf in entries(languages & 0x7FFFFFFF):
                    data_rva, size, _, _ = struct.unpack_from("<IIII", self.data, self.offset(root_rva + leaf))
                    start = self.offset(data_rva)
                    found.append((name, language, self.data[start:start + size]))
        return found


def align4(n):
    return (n + 3) & ~3


def version_block(data, start):
    """One node of a VS_VERSIONINFO tree: (key, value, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, start)
    end = start + length
    key_end = start + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[start + 6:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    if kind == 1:  # text: the length counts UTF-16 units, the terminating null included
        value = data[value_start:value_start + 2 * value_length].decode("utf-16-le").rstrip("\0")
        value_end = value_start + 2 * value_length
    else:
        value = data[value_start:value_start + value_length]
        value_end = value_start + value_length
    children = []
    child = align4(value_end)
    while child < end:
        node = version_block(data, child)
        children.append(node)
        child = align4(node[3])
    return key, value, children, end


failures = []


def expect(condition, what):
    print(("ok    " if condition else "FAIL  ") + what)
    if not condition:
        failures.append(what)


def check_machine(pe, _):
    expect(pe.machine == IMAGE_FILE_MACHINE_I386, f"machine i386 (0x14c): {pe.machine:#x}")
    expect(pe.magic == PE32_MAGIC, f"PE32 optional header (0x10b): {pe.magic:#x}")
    expect(pe.characteristics & IMAGE_FILE_DLL, f"DLL flag set: {pe.characteristics:#06x}")
    expect(pe.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE, "executable image flag set")


# Every export, at its ordinal, with the bytes of arguments its __stdcall return pops:
# read from the library's one list of exports.
EXPORTS = {}


def read_exports(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                EXPORTS[fields[0]] = (int(fields[1]), int(fields[2]))


def check_exports(pe, _):
    name, base, addresses, by_name = pe.exports()
    expect(name == "Marlune.dll", f"export directory name 'Marlune.dll': {name!r}")
    expect(base == 1, f"ordinal base 1: {base}")
    count = len(EXPORTS)
    expect(sorted(addresses) == list(range(1, count + 1)), f"exactly ordinals 1 to {count}: {sorted(addresses)}")
    expect(by_name == {export: ordinal for export, (ordinal, _) in EXPORTS.items()},
           f"KVRBinfo @1, IKVRBinfo @2 and the interface for programs after them, by name: {by_name}")
    for ordinal, rva in sorted(addresses.items()):
        expect(pe.section_of(rva) == ".text", f"ordinal {ordinal} is code, not a forwarder: {pe.section_of(rva)}")


def check_imports(pe, _):
    imports = pe.imports()
    expect({dll.upper() for dll in imports} == {"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL"},
           f"imports only KERNEL32.dll, USER32.dll, msvcrt.dll: {sorted(imports)}")
    functions = {dll.upper(): set(names) for dll, names in imports.items()}
    expect(functions.get("USER32.DLL") == {"MessageBoxA"},
           f"USER32.dll gives MessageBoxA only: {sorted(functions.get('USER32.DLL', []))}")
    wanted = {"CreateFileA", "ReadFile", "WriteFile", "SetFilePointerEx", "CloseHandle", "DeleteFileA",
              "FlushFileBuffers", "SetErrorMode"}
    missing = wanted - functions.get("KERNEL32.DLL", set())
    expect(not missing, f"KERNEL32.dll gives the ANSI file API and SetErrorMode: missing {sorted(missing)}")


def check_stdcall(pe, objdump):
    _, _, addresses, by_name = pe.exports()
    listing = subprocess.run([objdump, "-d", pe_path], check=True, capture_output=True, text=True).stdout
    # Each function's code, including the parts the compiler moved away (".cold").
    blocks = {}
    label = None
    for line in listing.splitlines():
        match = re.match(r"^([0-9a-f]+) <(.+)>:$", line)
        if match:
            label = match.group(2)
            blocks[label] = {"address": int(match.group(1), 16), "lines": []}
        elif label:
            blocks[label]["lines"].append(line)
    for name, ordinal in sorted(by_name.items()):
        address = pe.image_base + addresses[ordinal]
        labels = [l for l, block in blocks.items() if block["address"] == address]
        expect(len(labels) == 1, f"{name}: code found at {address:#x}")
        if not labels:
            continue
        returns = [line.split("\t")[-1].strip() for l, block in blocks.items()
                   if l == labels[0] or l.startswith(labels[0] + ".")
                   for line in block["lines"] if re.search(r"\tret", line)]
        popped = EXPORTS.get(name, (0, -1))[1]
        pattern = r"ret\s+\$" + hex(popped) if popped else r"ret\s*"
        expect(returns and all(re.fullmatch(pattern, r) for r in returns),
               f"{name} returns only with 'ret ${popped:#x}': {returns}")


def check_version(pe, _):
    found = pe.resources(RT_VERSION)
    expect([(name, language) for name, language, _ in found] == [(1, 0x0409)],
           f"one version resource, id 1, language 0x0409: {[(n, hex(l)) for n, l, _ in found]}")
    if not found:
        return
    key, fixed, children, _ = version_block(found[0][2], 0)
    expect(key == "VS_VERSION_INFO", f"root key VS_VERSION_INFO: {key!r}")
    fields = struct.unpack_from("<13I", fixed)
    (signature, _, file_ms, file_ls, product_ms, product_ls, flags_mask, flags, file_os, file_type,
     subtype, date_ms, date_ls) = fields
    expect(signature == 0xFEEF04BD, f"fixed part signature: {signature:#x}")
    expect((file_ms, file_ls) == (0x00010000, 0), f"FILEVERSION 1,0,0,0: {file_ms:#x} {file_ls:#x}")
    expect((product_ms, product_ls) == (0x00010000, 0), f"PRODUCTVERSION 1,0,0,0: {product_ms:#x} {product_ls:#x}")
    expect(flags_mask == 0x3F and flags == 0, f"FILEFLAGSMASK 0x3f, FILEFLAGS 0: {flags_mask:#x} {flags:#x}")
    expect(file_os == 0x4, f"FILEOS VOS__WINDOWS32 (4): {file_os:#x}")
    expect(file_type == 0x2, f"FILETYPE VFT_DLL (2): {file_type:#x}")
    expect(subtype == 0 and date_ms == 0 and date_ls == 0, "FILESUBTYPE and file date 0")

    blocks = {child[0]: child for child in children}
    expect(sorted(blocks) == ["StringFileInfo", "VarFileInfo"],
           f"StringFileInfo and VarFileInfo: {sorted(blocks)}")
    tables = blocks.get("StringFileInfo", ("", b"", [], 0))[2]
    expect([table[0] for table in tables] == ["040904B0"], f"one string table 040904B0: {[t[0] for t in tables]}")
    strings = {entry[0]: entry[1] for table in tables for entry in table[2]}
    expected = {
        "FileVersion": "1, 0, 0, 0",
        "ProductVersion": "1, 0, 0, 0",
        "FileDescription": "Marlune DLL",
        "InternalName": "Marlune",
        "OriginalFilename": "Marlune.DLL",
        "ProductName": "Marlune tools",
    }
    for name, value in expected.items():
        expect(strings.get(name) == value, f"{name} {value!r}: {strings.get(name)!r}")
    expect(set(strings) == set(expected), f"no other strings: {sorted(set(strings) - set(expected))}")
    variables = blocks.get("VarFileInfo", ("", b"", [], 0))[2]
    translation = [struct.unpack("<HH", var[1]) for var in variables if var[0] == "Translation"]
    expect(translation == [(0x0409, 1200)], f"Translation 0x0409, 1200: {translation}")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    check, pe_path, objdump_path, exports_path = sys.argv[1:]
    read_exports(exports_path)
    checks = {"machine": check_machine, "exports": check_exports, "imports": check_imports,
              "stdcall": check_stdcall, "version": check_version}
    pe_file = PeFile(pe_path)
    # The tables below are read with PE32's layout: a 64-bit image fails here, not with a traceback.
    if check != "machine" and pe_file.magic != PE32_MAGIC:
        raise SystemExit(f"FAIL  {pe_path} is not a PE32 (32-bit) image: {pe_file.magic:#x}")
    checks[check](pe_file, objdump_path)
    sys.exit(1 if failures else 0)

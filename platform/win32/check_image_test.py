#!/usr/bin/env python3
"""Tests of check_image.py on small PE images made here, byte by byte."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402

SECTION_RVA = 0x1000
SECTION_FILE_OFFSET = 0x200
FILE_ALIGNMENT = 0x200
DIRECTORY_COUNT = 16


def make_image(arch="i386", imports=None, delay_imports=None, machine=None, subsystem=3,
               os_version=(5, 0), subsystem_version=(5, 0), timestamp=0, symbols=0,
               debug_directory=False):
    """A PE image with one section that holds the import (and delay-load) directories.

    `imports` and `delay_imports` map a DLL name to its functions: names, or ints for imports
    by ordinal.
    """
    imports = {"KERNEL32.dll": ["ExitProcess"]} if imports is None else imports
    delay_imports = delay_imports or {}
    plus = arch == "amd64"
    thunk_size = 8 if plus else 4
    ordinal_flag = 1 << (8 * thunk_size - 1)
    section = bytearray()

    def alloc(data):
        rva = SECTION_RVA + len(section)
        section.extend(data)
        section.extend(b"\0" * (-len(section) % 8))
        return rva

    def thunks(functions):
        entries = []
        for function in functions:
            if isinstance(function, int):
                entries.append(ordinal_flag | function)
            else:
                entries.append(alloc(struct.pack("<H", 0) + function.encode() + b"\0"))
        entries.append(0)
        return alloc(b"".join(struct.pack("<Q" if plus else "<I", e) for e in entries))

    import_rva = alloc(b"\0" * 20 * (len(imports) + 1))
    for i, (dll, functions) in enumerate(imports.items()):
        name = alloc(dll.encode() + b"\0")
        lookup, first = thunks(functions), thunks(functions)
        offset = import_rva - SECTION_RVA + 20 * i
        section[offset:offset + 20] = struct.pack("<IIIII", lookup, 0, 0, name, first)
    delay_rva = 0
    if delay_imports:
        delay_rva = alloc(b"\0" * 32 * (len(delay_imports) + 1))
        for i, (dll, functions) in enumerate(delay_imports.items()):
            name, handle = alloc(dll.encode() + b"\0"), alloc(b"\0" * thunk_size)
            names, addresses = thunks(functions), thunks(functions)
            offset = delay_rva - SECTION_RVA + 32 * i
            section[offset:offset + 32] = struct.pack("<8I", 1, name, handle, addresses, names,
                                                      0, 0, 0)
    section.extend(b"\0" * (-len(section) % FILE_ALIGNMENT))

    directories = [(0, 0)] * DIRECTORY_COUNT
    directories[check_image.DIRECTORY_IMPORT] = (import_rva, 20 * (len(imports) + 1))
    if delay_rva:
        directories[check_image.DIRECTORY_DELAY_IMPORT] = (delay_rva, 32)
    if debug_directory:
        directories[check_image.DIRECTORY_DEBUG] = (SECTION_RVA, 28)
    optional = bytearray(112 if plus else 96)
    struct.pack_into("<H", optional, 0, 0x20B if plus else 0x10B)
    if plus:
        struct.pack_into("<Q", optional, 24, 0x140000000)
    else:
        struct.pack_into("<I", optional, 28, 0x400000)
    struct.pack_into("<II", optional, 32, 0x1000, FILE_ALIGNMENT)
    struct.pack_into("<HH", optional, 40, *os_version)
    struct.pack_into("<HH", optional, 48, *subsystem_version)
    struct.pack_into("<H", optional, 68, subsystem)
    struct.pack_into("<I", optional, 108 if plus else 92, DIRECTORY_COUNT)
    optional += b"".join(struct.pack("<II", *d) for d in directories)

    coff = struct.pack("<HHIIIHH", machine or check_image.MACHINES[arch], 1, timestamp,
                       0x10000 if symbols else 0, symbols, len(optional), 0x0102)
    section_header = struct.pack("<8sIIIIIIHHI", b".idata", len(section), SECTION_RVA,
                                 len(section), SECTION_FILE_OFFSET, 0, 0, 0, 0, 0xC0000040)
    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    headers = bytes(dos) + b"PE\0\0" + coff + bytes(optional) + section_header
    assert len(headers) <= SECTION_FILE_OFFSET
    return headers + b"\0" * (SECTION_FILE_OFFSET - len(headers)) + bytes(section)


ALLOWED = {("kernel32.dll", "ExitProcess"), ("kernel32.dll", "GetFileSizeEx"),
           ("msvcrt.dll", "printf")}


def problems_of(data, arch="i386", allowed=ALLOWED, max_version=(5, 0)):
    return check_image.check(check_image.Image(data), arch, allowed, max_version)


class ReadsTheImportTable(unittest.TestCase):
    def test_names_and_ordinals_in_both_formats(self):
        for arch in ("i386", "amd64"):
            with self.subTest(arch=arch):
                image = check_image.Image(make_image(
                    arch, {"KERNEL32.dll": ["ExitProcess", "GetFileSizeEx"],
                           "msvcrt.dll": ["printf", 17]}))
                self.assertEqual(image.imports(), [
                    ("KERNEL32.dll", "ExitProcess", "import"),
                    ("KERNEL32.dll", "GetFileSizeEx", "import"),
                    ("msvcrt.dll", "printf", "import"),
                    ("msvcrt.dll", "#17", "import"),
                ])

    def test_delay_loaded_imports(self):
        image = check_image.Image(make_image(delay_imports={"newdev.dll": ["UpdateDriverX"]}))
        self.assertIn(("newdev.dll", "UpdateDriverX", "delay-load"), image.imports())

    def test_a_damaged_image_is_an_error_not_a_crash(self):
        good = make_image()
        for what, data in (("empty", b""), ("no MZ", b"ZM" + good[2:]),
                           ("cut in the headers", good[:0x90]),
                           ("cut before the imports", good[:SECTION_FILE_OFFSET + 8])):
            with self.subTest(what):
                with self.assertRaises(check_image.ImageError):
                    check_image.Image(data).imports()


class ChecksTheImage(unittest.TestCase):
    def test_an_image_that_imports_only_listed_functions_passes(self):
        self.assertEqual(problems_of(make_image(
            imports={"KERNEL32.dll": ["ExitProcess", "GetFileSizeEx"]})), [])
        self.assertEqual(problems_of(make_image("amd64"), "amd64", max_version=(5, 2)), [])

    def test_each_import_outside_the_list_is_named(self):
        cases = [
            ("a function", {"KERNEL32.dll": ["ExitProcess", "GetTickCount64"]}, {},
             "KERNEL32.dll GetTickCount64 (import) is not in the allowed list"),
            ("an ordinal", {"msvcrt.dll": [17]}, {},
             "msvcrt.dll #17 (import) is not in the allowed list"),
            ("a DLL that is no KnownDLL", {"newdev.dll": ["UpdateDriverForPlugAndPlayDevicesA"]},
             {}, "newdev.dll is not a KnownDLL"),
            ("a delay-loaded DLL", {}, {"SETUPAPI.dll": ["SetupDiGetClassDevsA"]},
             "SETUPAPI.dll SetupDiGetClassDevsA (delay-load)"),
        ]
        for what, imports, delay, reported in cases:
            with self.subTest(what):
                problems = problems_of(make_image(imports=imports, delay_imports=delay))
                self.assertEqual(len(problems), 1, problems)
                self.assertIn(reported, problems[0])

    def test_a_listed_dll_that_is_no_known_dll_still_fails(self):
        allowed = ALLOWED | {("newdev.dll", "UpdateDriverForPlugAndPlayDevicesA")}
        problems = problems_of(make_image(
            imports={"newdev.dll": ["UpdateDriverForPlugAndPlayDevicesA"]}), allowed=allowed)
        self.assertEqual(len(problems), 1)
        self.assertIn("not a KnownDLL", problems[0])

    def test_headers(self):
        cases = [
            ("the other machine", dict(machine=0x8664), "machine type 0x8664 (amd64)"),
            ("PE32+ for i386", dict(arch="amd64", machine=0x014C), "format PE32+, expected PE32"),
            ("a GUI program", dict(subsystem=2), "subsystem 2, expected 3"),
            ("for XP", dict(os_version=(5, 1)), "operating system version 5.1"),
            ("for Vista", dict(subsystem_version=(6, 0)), "subsystem version 6.0"),
            ("a link time stamp", dict(timestamp=0x5F000000), "a link time stamp (0x5F000000)"),
            ("not stripped", dict(symbols=12), "a symbol table (12 symbols)"),
            ("debug information", dict(debug_directory=True), "a debug directory"),
        ]
        for what, fields, reported in cases:
            with self.subTest(what):
                problems = problems_of(make_image(**fields))
                self.assertTrue(any(reported in p for p in problems), problems)
        self.assertEqual(problems_of(make_image(os_version=(4, 0), subsystem_version=(5, 0))), [])

    def test_the_list_keeps_architecture_lines_apart(self):
        with tempfile.TemporaryDirectory() as folder:
            listing = os.path.join(folder, "allowed.txt")
            with open(listing, "w") as file:
                file.write("# comment\nkernel32.dll ExitProcess\n\n"
                           "kernel32.dll RtlVirtualUnwind amd64  # unwinding\n"
                           "msvcrt.dll _iob i386\n")
            self.assertEqual(check_image.read_allowed(listing, "amd64"),
                             {("kernel32.dll", "ExitProcess"),
                              ("kernel32.dll", "RtlVirtualUnwind")})
            self.assertEqual(check_image.read_allowed(listing, "i386"),
                             {("kernel32.dll", "ExitProcess"), ("msvcrt.dll", "_iob")})
            with open(listing, "a") as file:
                file.write("kernel32.dll Sleep arm64\n")
            with self.assertRaises(check_image.ImageError):
                check_image.read_allowed(listing, "i386")


class CommandLine(unittest.TestCase):
    def run_tool(self, data, *arguments):
        with tempfile.TemporaryDirectory() as folder:
            image = os.path.join(folder, "SETUP.exe")
            listing = os.path.join(folder, "allowed.txt")
            with open(image, "wb") as file:
                file.write(data)
            with open(listing, "w") as file:
                file.write("kernel32.dll ExitProcess\n")
            return subprocess.run(
                [sys.executable, check_image.__file__, "--arch", "i386", "--allowed", listing,
                 *arguments, image], capture_output=True, text=True)

    def test_exit_codes_and_messages(self):
        passed = self.run_tool(make_image())
        self.assertEqual(passed.returncode, 0, passed.stdout)
        failed = self.run_tool(make_image(imports={"KERNEL32.dll": ["ExitProcess", "Beep"]}))
        self.assertEqual(failed.returncode, 1)
        self.assertIn("KERNEL32.dll Beep", failed.stdout)
        unreadable = self.run_tool(b"MZ")
        self.assertEqual(unreadable.returncode, 2)
        newer = self.run_tool(make_image(os_version=(5, 2)), "--max-version", "5.2")
        self.assertEqual(newer.returncode, 0, newer.stdout)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Tests of check_image.py on small PE images made here, byte by byte (run by an interpreter that
imports pefile: Debian's /usr/bin/python3 with python3-pefile)."""

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
IMPORT, RESOURCE, DEBUG, DELAY_IMPORT = 1, 2, 6, 13  # data directory entries

# The version that the images made here carry, and the strings of their version resource.
VERSION = (1, 2, 3)
STRINGS = {"CompanyName": "ZOV", "FileDescription": "Driver setup", "FileVersion": "1.2.3",
           "InternalName": "SETUP", "OriginalFilename": "SETUP.EXE",
           "ProductName": "Server software", "ProductVersion": "1.2.3"}
RT_VERSION = 16


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def version_block(key, value=b"", value_length=0, text=False, children=()):
    """One block of a version resource: its length, the value's length, its type (1: text), the
    key in UTF-16 and its NUL, then the value and the children, each at a multiple of 4 bytes."""
    data = pad4(struct.pack("<HHH", 0, value_length, 1 if text else 0)
                + (key + "\0").encode("utf-16-le")) + value
    for child in children:
        data = pad4(data) + child
    return struct.pack("<H", len(data)) + data[2:]


def version_info(file_version=VERSION + (0,), product_version=VERSION + (0,), left_out=(),
                 **changes):
    """A version resource (VS_VERSIONINFO) as a resource compiler writes it: the fixed part with
    the two versions, one string table (US English, Unicode) of STRINGS with CHANGES and without
    the keys LEFT_OUT, and the translation."""
    strings = {key: value for key, value in dict(STRINGS, **changes).items()
               if key not in left_out}

    def most_least(version):
        return version[0] << 16 | version[1], version[2] << 16 | version[3]

    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, *most_least(file_version),
                        *most_least(product_version), 0x3F, 0, 0x40004, 1, 0, 0, 0)
    table = version_block("040904B0", text=True, children=[
        version_block(key, (value + "\0").encode("utf-16-le"), len(value) + 1, True)
        for key, value in strings.items()])
    return version_block("VS_VERSION_INFO", fixed, len(fixed), children=[
        version_block("StringFileInfo", text=True, children=[table]),
        version_block("VarFileInfo", text=True, children=[
            version_block("Translation", struct.pack("<HH", 0x409, 1200), 4)])])


def resource_tree(rva, data, timestamp=0):
    """A resource directory at RVA that holds DATA as the version resource (type 16, name 1,
    US English): three one-entry directories, a data entry, the data."""
    def directory(entry_id, target, stamp=0):
        return struct.pack("<IIHHHHII", 0, stamp, 0, 0, 0, 1, entry_id, target)
    data_entry = 3 * 24
    return (directory(RT_VERSION, 0x80000000 | 24, timestamp) + directory(1, 0x80000000 | 48)
            + directory(0x409, data_entry)
            + struct.pack("<IIII", rva + data_entry + 16, len(data), 0, 0) + data)


def make_image(arch="i386", imports=None, delay_imports=None, machine=None, subsystem=3,
               os_version=(5, 0), subsystem_version=(5, 0), timestamp=0, symbols=0,
               debug_directory=False, version_resource=b"default", resource_timestamp=0,
               dll=False):
    """A PE image with one section that holds the import (and delay-load) directories and the
    resource directory.

    `imports` and `delay_imports` map a DLL name to its functions: names, or ints for imports
    by ordinal. `version_resource` is the version resource's data (by default that of VERSION and
    STRINGS), or None for an image without resources. `dll`: a DLL, not a program.
    """
    if version_resource == b"default":
        version_resource = version_info()
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

    def descriptors(table, size, descriptor):
        """The array of TABLE's descriptors, SIZE bytes each, that DESCRIPTOR makes of the RVAs
        of a DLL's name and of its two thunk arrays, ended by a zero one: its RVA."""
        array = b"".join(descriptor(alloc(dll.encode() + b"\0"), thunks(functions),
                                    thunks(functions)) for dll, functions in table.items())
        return alloc(array + b"\0" * size)

    def import_descriptor(name, lookup, first):
        return struct.pack("<IIIII", lookup, 0, 0, name, first)

    def delay_descriptor(name, names, addresses):  # RVAs (attribute 1), the module handle's slot
        return struct.pack("<8I", 1, name, alloc(b"\0" * thunk_size), addresses, names, 0, 0, 0)

    import_rva = descriptors(imports, 20, import_descriptor)
    delay_rva = descriptors(delay_imports, 32, delay_descriptor) if delay_imports else 0
    resource_rva = 0
    if version_resource is not None:
        resource_rva = SECTION_RVA + len(section)
        resources = resource_tree(resource_rva, version_resource, resource_timestamp)
        alloc(resources)
    section.extend(b"\0" * (-len(section) % FILE_ALIGNMENT))

    directories = [(0, 0)] * DIRECTORY_COUNT
    directories[IMPORT] = (import_rva, 20 * (len(imports) + 1))
    if delay_rva:
        directories[DELAY_IMPORT] = (delay_rva, 32)
    if resource_rva:
        directories[RESOURCE] = (resource_rva, len(resources))
    if debug_directory:
        directories[DEBUG] = (SECTION_RVA, 28)
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
                       0x10000 if symbols else 0, symbols, len(optional),
                       0x2102 if dll else 0x0102)
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


def problems_of(data, arch="i386", allowed=ALLOWED, max_version=(5, 0), version=VERSION,
                dll=False):
    return check_image.check(check_image.Image(data), arch, allowed, max_version, version, dll)


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
        with self.subTest("cut before the resources"):
            data = make_image(imports={})
            with self.assertRaises(check_image.ImageError):
                check_image.Image(data[:SECTION_FILE_OFFSET + 40]).version_resource()


class ReadsTheVersionResource(unittest.TestCase):
    def test_versions_and_strings(self):
        for arch in ("i386", "amd64"):
            with self.subTest(arch=arch):
                resource = check_image.Image(make_image(arch, version_resource=version_info(
                    (1, 2, 3, 4), (5, 6, 7, 8)))).version_resource()
                self.assertEqual(resource.file_version, (1, 2, 3, 4))
                self.assertEqual(resource.product_version, (5, 6, 7, 8))
                self.assertEqual(resource.strings, STRINGS)

    def test_an_image_without_resources(self):
        image = check_image.Image(make_image(version_resource=None))
        self.assertIsNone(image.version_resource())
        self.assertEqual(image.resource_timestamps(), [])


class ChecksTheImage(unittest.TestCase):
    def test_an_image_that_imports_only_listed_functions_passes(self):
        self.assertEqual(problems_of(make_image(
            imports={"KERNEL32.dll": ["ExitProcess", "GetFileSizeEx"]})), [])
        self.assertEqual(problems_of(make_image("amd64"), "amd64", max_version=(5, 2)), [])

    def assert_one_problem_each(self, cases, **check):
        """Each case, (what, make_image's arguments, text), gives one problem, which says TEXT."""
        for what, fields, reported in cases:
            with self.subTest(what):
                problems = problems_of(make_image(**fields), **check)
                self.assertEqual(len(problems), 1, problems)
                self.assertIn(reported, problems[0])

    def test_each_import_outside_the_list_is_named(self):
        self.assert_one_problem_each([
            ("a function", dict(imports={"KERNEL32.dll": ["ExitProcess", "GetTickCount64"]}),
             "KERNEL32.dll GetTickCount64 (import) is not in the allowed list"),
            ("an ordinal", dict(imports={"msvcrt.dll": [17]}),
             "msvcrt.dll #17 (import) is not in the allowed list"),
            ("a DLL that is no KnownDLL",
             dict(imports={"newdev.dll": ["UpdateDriverForPlugAndPlayDevicesA"]}),
             "newdev.dll is not a KnownDLL"),
            ("a delay-loaded DLL",
             dict(imports={}, delay_imports={"SETUPAPI.dll": ["SetupDiGetClassDevsA"]}),
             "SETUPAPI.dll SetupDiGetClassDevsA (delay-load)"),
        ])

    def test_a_listed_dll_that_is_no_known_dll_still_fails(self):
        self.assert_one_problem_each([
            ("listed", dict(imports={"newdev.dll": ["UpdateDriverForPlugAndPlayDevicesA"]}),
             "not a KnownDLL"),
        ], allowed=ALLOWED | {("newdev.dll", "UpdateDriverForPlugAndPlayDevicesA")})

    def test_a_custom_action_dll(self):
        """--dll: a DLL of any subsystem without a version resource may import the installer's
        msi.dll too; a program, or another DLL that is no KnownDLL, fails."""
        msi = {("msi.dll", "MsiSetMode")}
        check = dict(allowed=ALLOWED | msi, version=None, dll=True)
        self.assertEqual(problems_of(make_image(
            imports={"KERNEL32.dll": ["ExitProcess"], "msi.dll": ["MsiSetMode"]}, dll=True,
            subsystem=2, version_resource=None), **check), [])
        self.assert_one_problem_each([
            ("a program", dict(imports={"msi.dll": ["MsiSetMode"]}), "not a DLL"),
            ("another DLL",
             dict(dll=True, imports={"newdev.dll": ["UpdateDriverForPlugAndPlayDevicesA"]}),
             "newdev.dll is not a KnownDLL"),
            ("an unlisted function", dict(dll=True, imports={"msi.dll": ["MsiDoActionA"]}),
             "msi.dll MsiDoActionA (import) is not in the allowed list"),
        ], **check)
        self.assertIn("msi.dll is not a KnownDLL", problems_of(make_image(
            imports={"msi.dll": ["MsiSetMode"]}), allowed=ALLOWED | msi)[0])

    def test_headers(self):
        self.assert_one_problem_each([
            ("the other machine", dict(machine=0x8664), "machine type 0x8664 (amd64)"),
            ("PE32+ for i386", dict(arch="amd64", machine=0x014C), "format PE32+, expected PE32"),
            ("a GUI program", dict(subsystem=2), "subsystem 2, expected 3"),
            ("for XP", dict(os_version=(5, 1)), "operating system version 5.1"),
            ("for Vista", dict(subsystem_version=(6, 0)), "subsystem version 6.0"),
            ("a link time stamp", dict(timestamp=0x5F000000), "a link time stamp (0x5F000000)"),
            ("not stripped", dict(symbols=12), "a symbol table (12 symbols)"),
            ("debug information", dict(debug_directory=True), "a debug directory"),
            ("a resource time stamp", dict(resource_timestamp=0x5F000001),
             "a time stamp in the resource directory (0x5F000001)"),
        ])
        self.assertEqual(problems_of(make_image(os_version=(4, 0), subsystem_version=(5, 0))), [])

    def test_the_version_resource(self):
        def resource(**arguments):  # make_image's arguments: version_info's ARGUMENTS
            return dict(version_resource=version_info(**arguments))
        self.assert_one_problem_each([
            ("none", dict(version_resource=None), "no version resource"),
            ("another file version", resource(file_version=(1, 2, 4, 0)),
             "file version 1.2.4.0, expected 1.2.3.0"),
            ("a build number", resource(product_version=(1, 2, 3, 7)),
             "product version 1.2.3.7, expected 1.2.3.0"),
            ("another version text", resource(FileVersion="1.2"),
             "FileVersion is \"1.2\", expected \"1.2.3\""),
            ("no product version text", resource(left_out=["ProductVersion"]),
             "ProductVersion is missing, expected \"1.2.3\""),
            ("another company", resource(CompanyName="ZOV Inc."),
             "CompanyName is \"ZOV Inc.\", expected \"ZOV\""),
            ("another file name", resource(OriginalFilename="setup.exe"),
             "OriginalFilename is \"setup.exe\", expected \"SETUP.EXE\""),
            ("no description", resource(left_out=["FileDescription"]), "no FileDescription"),
            ("a blank product name", resource(ProductName=" "), "no ProductName"),
        ])
        self.assertEqual(problems_of(make_image(), version=(1, 2, 3)), [])
        self.assertEqual(len(problems_of(make_image(), version=(1, 2, 4))), 4)

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
                 "--version", "1.2.3", *arguments, image], capture_output=True, text=True)

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
        other_version = self.run_tool(make_image(), "--version", "1.3.0")
        self.assertEqual(other_version.returncode, 1)
        self.assertIn("file version 1.2.3.0, expected 1.3.0.0", other_version.stdout)


if __name__ == "__main__":
    unittest.main()

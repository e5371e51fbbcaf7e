#!/usr/bin/env python3
"""Checks a built SETUP.EXE against what the systems it is for can run.

    check_image.py --arch i386|amd64 --allowed allowed_imports.txt [--max-version 5.0] IMAGE
    check_image.py --list IMAGE

The image must be a console program of the expected machine type and format (i386: PE32,
amd64: PE32+) whose operating system and subsystem versions are at most --max-version, and it
may import only the DLLs and functions that the allowed list names for its architecture, all
of them KnownDLLs of Windows 2000 (which Windows loads from the system directory whatever lies
beside the program). A release image also carries no link time stamp, no symbol table and no
debug directory, so that two builds of the same sources are the same bytes. Every problem
is printed; the exit code is 0 when there is none, 1 when there is one, 2 when the image or
the list cannot be read. --list prints what the image imports, one "DLL FUNCTION" line each,
in the list's format.

Standard library only: the PE headers and the import directories are read here.
"""

import argparse
import struct
import sys

# The KnownDLLs of Windows 2000 that a setup program may have reason to import. Any other DLL
# that an image imports by name is looked for first in the image's own folder.
KNOWN_DLLS = frozenset({"kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll"})

MACHINES = {"i386": 0x014C, "amd64": 0x8664}
MACHINE_NAMES = {value: name for name, value in MACHINES.items()}
PE32_MAGIC = 0x010B
PE32_PLUS_MAGIC = 0x020B
FORMATS = {"i386": PE32_MAGIC, "amd64": PE32_PLUS_MAGIC}
FORMAT_NAMES = {PE32_MAGIC: "PE32", PE32_PLUS_MAGIC: "PE32+"}
SUBSYSTEM_CONSOLE = 3

DOS_SIGNATURE = b"MZ"
PE_SIGNATURE = b"PE\0\0"
DOS_LFANEW_OFFSET = 0x3C
COFF_HEADER_SIZE = 20
SECTION_HEADER_SIZE = 40
IMPORT_DESCRIPTOR_SIZE = 20
DELAY_DESCRIPTOR_SIZE = 32
DIRECTORY_IMPORT = 1
DIRECTORY_DEBUG = 6
DIRECTORY_DELAY_IMPORT = 13
DELAY_ATTRIBUTE_RVA = 0x1
# Upper bounds that a sound image of this program stays far below; a damaged one must not make
# the reader loop for ever.
MAX_DESCRIPTORS = 1000
MAX_THUNKS = 100000
MAX_NAME_LENGTH = 4096


class ImageError(Exception):
    """The file is not a PE image that can be read."""


class Image:
    """The parts of a PE image that the checks look at."""

    def __init__(self, data):
        self.data = data
        if self._bytes(0, 2) != DOS_SIGNATURE:
            raise ImageError("no MZ signature: not a Windows image")
        pe = self._u32(DOS_LFANEW_OFFSET)
        if self._bytes(pe, 4) != PE_SIGNATURE:
            raise ImageError("no PE signature at offset 0x%X" % pe)
        coff = pe + 4
        (self.machine, sections, self.timestamp, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH",
                                                                   self._bytes(coff, 20))
        optional = coff + COFF_HEADER_SIZE
        self.magic = self._u16(optional)
        if self.magic == PE32_MAGIC:
            self.image_base = self._u32(optional + 28)
            directories, count_offset, self.thunk_size = optional + 96, optional + 92, 4
        elif self.magic == PE32_PLUS_MAGIC:
            self.image_base = self._u64(optional + 24)
            directories, count_offset, self.thunk_size = optional + 112, optional + 108, 8
        else:
            raise ImageError("optional header magic 0x%04X is neither PE32 nor PE32+" % self.magic)
        self.os_version = (self._u16(optional + 40), self._u16(optional + 42))
        self.subsystem_version = (self._u16(optional + 48), self._u16(optional + 50))
        self.subsystem = self._u16(optional + 68)
        directory_count = self._u32(count_offset)
        if directories - optional + 8 * directory_count > optional_size:
            raise ImageError("the data directories run past the optional header")
        self.directories = [
            struct.unpack_from("<II", self._bytes(directories + 8 * i, 8))
            for i in range(directory_count)
        ]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            header = self._bytes(table + SECTION_HEADER_SIZE * i, SECTION_HEADER_SIZE)
            name = header[:8].rstrip(b"\0").decode("latin-1")
            virtual_size, address, raw_size, raw_offset = struct.unpack_from("<IIII", header, 8)
            self.sections.append((name, address, max(virtual_size, raw_size), raw_size,
                                  raw_offset))

    # --- bounded reads ---------------------------------------------------------------------
    def _bytes(self, offset, size):
        if offset < 0 or offset + size > len(self.data):
            raise ImageError("the image ends before offset 0x%X" % (offset + size))
        return self.data[offset:offset + size]

    def _u16(self, offset):
        return struct.unpack_from("<H", self._bytes(offset, 2))[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self._bytes(offset, 4))[0]

    def _u64(self, offset):
        return struct.unpack_from("<Q", self._bytes(offset, 8))[0]

    def offset_of(self, rva):
        """The file offset at which the image holds the byte at `rva`."""
        for _, address, size, raw_size, raw_offset in self.sections:
            if address <= rva < address + size:
                if rva - address >= raw_size:
                    raise ImageError("RVA 0x%X lies in a section's uninitialised part" % rva)
                return raw_offset + rva - address
        raise ImageError("RVA 0x%X lies in no section" % rva)

    def u32_at(self, rva):
        return self._u32(self.offset_of(rva))

    def thunk_at(self, rva):
        offset = self.offset_of(rva)
        return self._u64(offset) if self.thunk_size == 8 else self._u32(offset)

    def string_at(self, rva):
        offset = self.offset_of(rva)
        end = self.data.find(b"\0", offset, offset + MAX_NAME_LENGTH)
        if end < 0:
            raise ImageError("the name at RVA 0x%X has no end" % rva)
        return self.data[offset:end].decode("latin-1")

    # --- imports -----------------------------------------------------------------------------
    def _names(self, thunks_rva):
        """The functions that a thunk array names: "Name", or "#N" for an import by ordinal."""
        ordinal_flag = 1 << (8 * self.thunk_size - 1)
        names = []
        for i in range(MAX_THUNKS):
            thunk = self.thunk_at(thunks_rva + i * self.thunk_size)
            if thunk == 0:
                return names
            if thunk & ordinal_flag:
                names.append("#%d" % (thunk & 0xFFFF))
            else:
                names.append(self.string_at((thunk & 0x7FFFFFFF) + 2))  # after the hint
        raise ImageError("a thunk array at RVA 0x%X has no end" % thunks_rva)

    def imports(self):
        """[(dll, function, how)], how being "import" or "delay-load"."""
        found = []
        if len(self.directories) > DIRECTORY_IMPORT and self.directories[DIRECTORY_IMPORT][0]:
            rva = self.directories[DIRECTORY_IMPORT][0]
            for i in range(MAX_DESCRIPTORS):
                descriptor = rva + i * IMPORT_DESCRIPTOR_SIZE
                lookup, _, _, name, first_thunk = (self.u32_at(descriptor + 4 * k)
                                                   for k in range(5))
                if lookup == 0 and name == 0 and first_thunk == 0:
                    break
                dll = self.string_at(name)
                for function in self._names(lookup or first_thunk):
                    found.append((dll, function, "import"))
            else:
                raise ImageError("the import directory has no end")
        if (len(self.directories) > DIRECTORY_DELAY_IMPORT
                and self.directories[DIRECTORY_DELAY_IMPORT][0]):
            rva = self.directories[DIRECTORY_DELAY_IMPORT][0]
            for i in range(MAX_DESCRIPTORS):
                descriptor = rva + i * DELAY_DESCRIPTOR_SIZE
                fields = [self.u32_at(descriptor + 4 * k) for k in range(8)]
                if not any(fields):
                    break
                attributes, name, names = fields[0], fields[1], fields[4]
                # Old images hold addresses where newer ones hold RVAs.
                base = 0 if attributes & DELAY_ATTRIBUTE_RVA else self.image_base
                dll = self.string_at(name - base)
                for function in self._names(names - base):
                    found.append((dll, function, "delay-load"))
            else:
                raise ImageError("the delay-load directory has no end")
        return found


def read_allowed(path, arch):
    """{(dll lower case, function)} that the list allows an image of `arch`."""
    allowed = set()
    with open(path, encoding="ascii") as listing:
        for number, line in enumerate(listing, 1):
            words = line.split("#", 1)[0].split() if not line.lstrip().startswith("#") else []
            if not words:
                continue
            if len(words) not in (2, 3) or (len(words) == 3 and words[2] not in MACHINES):
                raise ImageError("%s:%d: not \"DLL FUNCTION [i386|amd64]\": %s"
                                 % (path, number, line.strip()))
            if len(words) == 2 or words[2] == arch:
                allowed.add((words[0].lower(), words[1]))
    return allowed


def version_text(version):
    return "%d.%d" % version


def check(image, arch, allowed, max_version):
    """Every problem of `image`, as lines of text."""
    problems = []
    if image.machine != MACHINES[arch]:
        problems.append("machine type 0x%04X (%s), expected 0x%04X (%s)"
                        % (image.machine, MACHINE_NAMES.get(image.machine, "unknown"),
                           MACHINES[arch], arch))
    if image.magic != FORMATS[arch]:
        problems.append("format %s, expected %s" % (FORMAT_NAMES[image.magic],
                                                    FORMAT_NAMES[FORMATS[arch]]))
    if image.subsystem != SUBSYSTEM_CONSOLE:
        problems.append("subsystem %d, expected %d (console)" % (image.subsystem,
                                                                  SUBSYSTEM_CONSOLE))
    for what, version in (("operating system", image.os_version),
                          ("subsystem", image.subsystem_version)):
        if version > max_version:
            problems.append("%s version %s: the image asks for a newer Windows than %s"
                            % (what, version_text(version), version_text(max_version)))
    if image.timestamp != 0:
        problems.append("a link time stamp (0x%08X): two builds would differ" % image.timestamp)
    if image.symbol_table != 0 or image.symbol_count != 0:
        problems.append("a symbol table (%d symbols): the release image is stripped"
                        % image.symbol_count)
    if len(image.directories) > DIRECTORY_DEBUG and image.directories[DIRECTORY_DEBUG][0]:
        problems.append("a debug directory: the release image carries no debug information")
    for dll, function, how in image.imports():
        if dll.lower() not in KNOWN_DLLS:
            problems.append("%s %s (%s): %s is not a KnownDLL of Windows 2000, so Windows looks "
                            "for it beside the program first; load it by full path instead"
                            % (dll, function, how, dll))
        elif (dll.lower(), function) not in allowed:
            problems.append("%s %s (%s) is not in the allowed list: check that Windows 2000 SP4 "
                            "provides it before adding it" % (dll, function, how))
    return problems


def parse_version(text):
    try:
        major, minor = text.split(".")
        return int(major), int(minor)
    except ValueError:
        raise argparse.ArgumentTypeError("not MAJOR.MINOR: %s" % text)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image")
    parser.add_argument("--arch", choices=sorted(MACHINES))
    parser.add_argument("--allowed", help="the allowed import list")
    parser.add_argument("--max-version", type=parse_version, default=(5, 0))
    parser.add_argument("--list", action="store_true", help="print the imports and stop")
    args = parser.parse_args(argv)
    if not args.list and (args.arch is None or args.allowed is None):
        parser.error("--arch and --allowed are needed unless --list is given")
    try:
        with open(args.image, "rb") as file:
            image = Image(file.read())
        if args.list:
            for dll, function, how in image.imports():
                print("%s %s%s" % (dll.lower(), function,
                                   "" if how == "import" else "  # " + how))
            return 0
        problems = check(image, args.arch, read_allowed(args.allowed, args.arch),
                         args.max_version)
    except (OSError, ImageError) as error:
        print("check_image: %s: %s" % (args.image, error))
        return 2
    for problem in problems:
        print("check_image: %s: %s" % (args.image, problem))
    if problems:
        return 1
    print("check_image: %s: %s %s, console, versions %s and %s, %d imports, all allowed"
          % (args.image, args.arch, FORMAT_NAMES[image.magic], version_text(image.os_version),
             version_text(image.subsystem_version), len(image.imports())))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Checks a built SETUP.EXE against what the systems it is for can run.

    check_image.py --arch i386|amd64 --allowed allowed_imports.txt --version X.Y.Z
                   [--max-version 5.0] IMAGE
    check_image.py --dll --arch i386 --allowed allowed_imports.txt [--max-version 5.0] IMAGE
    check_image.py --list IMAGE

The image must be a console program of the expected machine type and format (i386: PE32,
amd64: PE32+) whose operating system and subsystem versions are at most --max-version, and it
may import only the DLLs and functions that the allowed list names for its architecture, all
of them KnownDLLs of Windows 2000 (which Windows loads from the system directory whatever lies
beside the program). Its version resource says what a file's properties and inventory tools
show: file and product version X.Y.Z (in numbers and in text), a file description and product
name, the company "ZOV" (as the banner names it) and the original file name SETUP.EXE. A release
image also carries no link time stamp (nor one in its resource directory), no symbol table and
no debug directory, so that two builds of the same sources are the same bytes. Every problem is
printed; the exit code is 0 when there is none, 1 when there is one, 2 when the image or the
list cannot be read. --list prints what the image imports, one "DLL FUNCTION" line each, in the
list's format.

--dll checks a custom action DLL of the Windows Installer package instead (release/msi/): a DLL
rather than a console program, with no version resource wanted, which may also import msi.dll
(the installer's own, already loaded in the process that loads a custom action); the other
checks are the same.

The image is read with pefile (Debian's python3-pefile, which Debian's own /usr/bin/python3
imports).
"""

import argparse
import collections
import sys

import pefile

# The KnownDLLs of Windows 2000 that a setup program may have reason to import. Any other DLL
# that an image imports by name is looked for first in the image's own folder.
KNOWN_DLLS = frozenset({"kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll"})
# What a custom action DLL may import beside them: the installer's DLL, which the process that
# loads the custom action has loaded already.
CUSTOM_ACTION_DLLS = KNOWN_DLLS | {"msi.dll"}

MACHINES = {"i386": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
            "amd64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
MACHINE_NAMES = {value: name for name, value in MACHINES.items()}
FORMATS = {"i386": pefile.OPTIONAL_HEADER_MAGIC_PE, "amd64": pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS}
FORMAT_NAMES = {pefile.OPTIONAL_HEADER_MAGIC_PE: "PE32",
                pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS: "PE32+"}
SUBSYSTEM_CONSOLE = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]

# The data directories that pefile reads for the checks (the debug directory is only looked for).
READ_DIRECTORIES = ("IMPORT", "DELAY_IMPORT", "RESOURCE")

# What the version resource's strings must say: exactly these, and some text for the others.
COMPANY_NAME = "ZOV"
ORIGINAL_FILE_NAME = "SETUP.EXE"
DESCRIBING_STRINGS = ("FileDescription", "ProductName")


class ImageError(Exception):
    """The file is not a PE image that can be read."""


# The version resource: its fixed part's file and product versions (four numbers each) and the
# strings of its string tables.
VersionResource = collections.namedtuple("VersionResource",
                                         "file_version product_version strings")


def four_numbers(most, least):
    return (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


def directory_index(name):
    """The index of the data directory NAME ("IMPORT", "DEBUG"...) in the optional header."""
    return pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_" + name]


class Image:
    """A PE image as pefile reads it: its headers (header, optional) and the versions the
    optional header asks for, and what the checks read of its data directories."""

    def __init__(self, data):
        try:
            self.pe = pefile.PE(data=bytes(data), fast_load=True)
            self.pe.parse_data_directories(directories=[
                directory_index(name) for name in READ_DIRECTORIES])
        except pefile.PEFormatError as error:
            raise ImageError(error.value)
        self.header, self.optional = self.pe.FILE_HEADER, self.pe.OPTIONAL_HEADER
        if self.optional.Magic not in FORMAT_NAMES:
            raise ImageError("optional header magic 0x%04X is neither PE32 nor PE32+"
                             % self.optional.Magic)
        self.os_version = (self.optional.MajorOperatingSystemVersion,
                           self.optional.MinorOperatingSystemVersion)
        self.subsystem_version = (self.optional.MajorSubsystemVersion,
                                  self.optional.MinorSubsystemVersion)

    def directory(self, name):
        """(RVA, size) of the data directory NAME; (0, 0) when the image has no such entry."""
        index, entries = directory_index(name), self.optional.DATA_DIRECTORY
        if index >= len(entries):
            return 0, 0
        return entries[index].VirtualAddress, entries[index].Size

    def _entries(self, name, empty):
        """What pefile read of the data directory NAME (one of READ_DIRECTORIES), EMPTY when
        the image names none. pefile passes over what it cannot read; a directory whose bytes
        do not all lie in the file is an error here."""
        rva, size = self.directory(name)
        if rva == 0:
            return empty
        try:
            whole = len(self.pe.get_data(rva, size)) == size
        except pefile.PEFormatError:
            whole = False
        if not whole:
            raise ImageError("the %s directory at RVA 0x%X runs past the end of the image"
                             % (name.lower().replace("_", " "), rva))
        return getattr(self.pe, "DIRECTORY_ENTRY_" + name, empty)

    def imports(self):
        """[(dll, function, how)], how being "import" or "delay-load"; a function imported by
        ordinal is "#N"."""
        found = []
        for directory, how in (("IMPORT", "import"), ("DELAY_IMPORT", "delay-load")):
            for entry in self._entries(directory, []):
                dll = entry.dll.decode("latin-1")
                for function in entry.imports:
                    name = (function.name.decode("latin-1") if function.name is not None
                            else "#%d" % function.ordinal)
                    found.append((dll, name, how))
        return found

    def resource_timestamps(self):
        """The time stamps of the resource directory and its subdirectories that are not 0."""
        stamps = []

        def walk(directory):
            if directory.struct.TimeDateStamp:
                stamps.append(directory.struct.TimeDateStamp)
            for entry in directory.entries:
                if hasattr(entry, "directory"):
                    walk(entry.directory)

        resources = self._entries("RESOURCE", None)
        if resources is not None:
            walk(resources)
        return stamps

    def version_resource(self):
        """The version resource, or None when the image has none."""
        self.resource_timestamps()  # a resource directory that cannot be read is an error
        fixed = getattr(self.pe, "VS_FIXEDFILEINFO", None)
        if not fixed:
            return None
        strings = {}
        for file_info in getattr(self.pe, "FileInfo", []):
            for block in file_info:
                for table in getattr(block, "StringTable", []):
                    strings.update({key.decode("utf-8", "replace"): value.decode("utf-8", "replace")
                                    for key, value in table.entries.items()})
        return VersionResource(four_numbers(fixed[0].FileVersionMS, fixed[0].FileVersionLS),
                               four_numbers(fixed[0].ProductVersionMS, fixed[0].ProductVersionLS),
                               strings)


def read_allowed(path, arch):
    """{(dll lower case, function)} that the list allows an image of `arch`."""
    allowed = set()
    with open(path, encoding="ascii") as listing:
        for number, line in enumerate(listing, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            if len(words) not in (2, 3) or (len(words) == 3 and words[2] not in MACHINES):
                raise ImageError("%s:%d: not \"DLL FUNCTION [i386|amd64]\": %s"
                                 % (path, number, line.strip()))
            if len(words) == 2 or words[2] == arch:
                allowed.add((words[0].lower(), words[1]))
    return allowed


def version_text(version):
    return ".".join("%d" % part for part in version)


def version_problems(image, version):
    """What is wrong with the version resource of an image of `version` (MAJOR, MINOR, PATCH)."""
    resource = image.version_resource()
    if resource is None:
        return ["no version resource: a file's properties and inventory tools would show no "
                "version"]
    problems = []
    numbers = tuple(version) + (0,)
    for what, found in (("file", resource.file_version), ("product", resource.product_version)):
        if found != numbers:
            problems.append("version resource: %s version %s, expected %s"
                            % (what, version_text(found), version_text(numbers)))
    wanted = {"FileVersion": version_text(version), "ProductVersion": version_text(version),
              "CompanyName": COMPANY_NAME, "OriginalFilename": ORIGINAL_FILE_NAME}
    for key, value in wanted.items():
        if resource.strings.get(key) != value:
            problems.append("version resource: %s is %s, expected \"%s\""
                            % (key, "\"%s\"" % resource.strings[key] if key in resource.strings
                               else "missing", value))
    for key in DESCRIBING_STRINGS:
        if not resource.strings.get(key, "").strip():
            problems.append("version resource: no %s" % key)
    return problems


def check(image, arch, allowed, max_version, version, dll=False):
    """Every problem of `image` (with DLL, of a custom action DLL), as lines of text."""
    problems = []
    header, optional = image.header, image.optional
    known_dlls = CUSTOM_ACTION_DLLS if dll else KNOWN_DLLS
    if header.Machine != MACHINES[arch]:
        problems.append("machine type 0x%04X (%s), expected 0x%04X (%s)"
                        % (header.Machine, MACHINE_NAMES.get(header.Machine, "unknown"),
                           MACHINES[arch], arch))
    if optional.Magic != FORMATS[arch]:
        problems.append("format %s, expected %s" % (FORMAT_NAMES[optional.Magic],
                                                    FORMAT_NAMES[FORMATS[arch]]))
    if dll and not header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]:
        problems.append("not a DLL")
    if not dll and optional.Subsystem != SUBSYSTEM_CONSOLE:
        problems.append("subsystem %d, expected %d (console)" % (optional.Subsystem,
                                                                  SUBSYSTEM_CONSOLE))
    for what, found in (("operating system", image.os_version),
                        ("subsystem", image.subsystem_version)):
        if found > max_version:
            problems.append("%s version %s: the image asks for a newer Windows than %s"
                            % (what, version_text(found), version_text(max_version)))
    if header.TimeDateStamp != 0:
        problems.append("a link time stamp (0x%08X): two builds would differ"
                        % header.TimeDateStamp)
    for stamp in image.resource_timestamps():
        problems.append("a time stamp in the resource directory (0x%08X): two builds would differ"
                        % stamp)
    if header.PointerToSymbolTable != 0 or header.NumberOfSymbols != 0:
        problems.append("a symbol table (%d symbols): the release image is stripped"
                        % header.NumberOfSymbols)
    if image.directory("DEBUG")[0] != 0:
        problems.append("a debug directory: the release image carries no debug information")
    for name, function, how in image.imports():
        if name.lower() not in known_dlls:
            problems.append("%s %s (%s): %s is not a KnownDLL of Windows 2000, so Windows looks "
                            "for it beside the program first; load it by full path instead"
                            % (name, function, how, name))
        elif (name.lower(), function) not in allowed:
            problems.append("%s %s (%s) is not in the allowed list: check that Windows 2000 SP4 "
                            "provides it before adding it" % (name, function, how))
    if version is not None:
        problems += version_problems(image, version)
    return problems


def parse_numbers(count, form):
    def parse(text):
        try:
            numbers = tuple(int(part) for part in text.split("."))
        except ValueError:
            numbers = ()
        if len(numbers) != count:
            raise argparse.ArgumentTypeError("not %s: %s" % (form, text))
        return numbers
    return parse


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image")
    parser.add_argument("--arch", choices=sorted(MACHINES))
    parser.add_argument("--allowed", help="the allowed import list")
    parser.add_argument("--version", type=parse_numbers(3, "MAJOR.MINOR.PATCH"),
                        help="the product's version, which the version resource must give")
    parser.add_argument("--max-version", type=parse_numbers(2, "MAJOR.MINOR"), default=(5, 0))
    parser.add_argument("--list", action="store_true", help="print the imports and stop")
    parser.add_argument("--dll", action="store_true", help="a custom action DLL, not SETUP.EXE")
    args = parser.parse_args(argv)
    if not args.list and None in (args.arch, args.allowed) + (() if args.dll else (args.version,)):
        parser.error("--arch, --allowed and (but with --dll) --version are needed unless --list "
                     "is given")
    try:
        with open(args.image, "rb") as file:
            image = Image(file.read())
        if args.list:
            for dll, function, how in image.imports():
                print("%s %s%s" % (dll.lower(), function,
                                   "" if how == "import" else "  # " + how))
            return 0
        problems = check(image, args.arch, read_allowed(args.allowed, args.arch),
                         args.max_version, args.version, args.dll)
    except (OSError, ImageError) as error:
        print("check_image: %s: %s" % (args.image, error))
        return 2
    for problem in problems:
        print("check_image: %s: %s" % (args.image, problem))
    if problems:
        return 1
    print("check_image: %s: %s %s, %s, versions %s and %s, %d imports, all allowed%s"
          % (args.image, args.arch, FORMAT_NAMES[image.optional.Magic],
             "DLL" if args.dll else "console", version_text(image.os_version),
             version_text(image.subsystem_version), len(image.imports()),
             ", version resource " + version_text(args.version) if args.version else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

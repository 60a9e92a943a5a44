#!/usr/bin/env python3
"""Checks what a PE image imports, function by function, against allow-lists.

    check-imports.py IMAGE LIST...   every import (also the delay-loaded ones) must be allowed
    check-imports.py --list IMAGE    prints "DLL FUNCTION KIND" per import, KIND import or delay

A LIST is a module-definition file (LIBRARY name, then the names under EXPORTS: what that
library publishes) or a text file of "[name.dll]" sections, each followed by the functions allowed
from that library, one per line; "#" and ";" start comments. Library names compare without case.

Delay imports are read from the delay-import directory where the linker filled it in (MSVC, lld)
and also found by their descriptors, because GNU ld links a dlltool delay-import library without
filling that directory in, and objdump then shows nothing of them.
"""
import re
import struct
import sys

IMPORT_DIRECTORY, DELAY_IMPORT_DIRECTORY = 1, 13
DLL_NAME = re.compile(rb"[A-Za-z0-9_.\-]+\.dll\Z", re.IGNORECASE)
FUNCTION_NAME = re.compile(rb"[A-Za-z_?@$][A-Za-z0-9_?@$]*\Z")


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not a PE image (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image (no PE signature)")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic != 0x20B:
            raise ValueError("not a PE32+ (x86-64) image")
        self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            _, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
            self.sections.append((rva, max(vsize, raw_size), raw, raw_size))

    def offset(self, rva, size=1):
        for start, span, raw, raw_size in self.sections:
            if start <= rva and rva + size <= start + min(span, raw_size):
                return raw + rva - start
        return None

    def c_string(self, rva, limit=512):
        at = self.offset(rva)
        if at is None:
            return None
        end = self.data.find(b"\0", at, at + limit)
        return None if end < 0 else self.data[at:end]

    def thunk_names(self, rva):
        """The names a table of 64-bit thunks (import or delay-import name table) imports."""
        names = []
        while True:
            at = self.offset(rva, 8)
            if at is None:
                return None
            thunk = struct.unpack_from("<Q", self.data, at)[0]
            if thunk == 0:
                return names
            if thunk >> 63:
                names.append("#%d" % (thunk & 0xFFFF))  # by ordinal
            else:
                name = self.c_string((thunk & 0x7FFFFFFF) + 2)
                if name is None or not FUNCTION_NAME.match(name):
                    return None
                names.append(name.decode())
            rva += 8

    def imports(self):
        result = set()
        rva, size = self.directories[IMPORT_DIRECTORY] if len(self.directories) > IMPORT_DIRECTORY else (0, 0)
        while rva and size:
            at = self.offset(rva, 20)
            if at is None:
                raise ValueError("import directory outside the image")
            lookup, _, _, name_rva, address = struct.unpack_from("<IIIII", self.data, at)
            if name_rva == 0:
                break
            dll = self.c_string(name_rva).decode().lower()
            names = self.thunk_names(lookup or address)
            if names is None:
                raise ValueError("unreadable import name table of " + dll)
            result.update((dll, name, "import") for name in names)
            rva += 20
        for dll, names in self.delay_descriptors():
            result.update((dll, name, "delay") for name in names)
        return result

    def delay_descriptor(self, at):
        attributes, name_rva, module_rva, address_rva, lookup_rva, bound, unload, stamp = struct.unpack_from(
            "<8I", self.data, at)
        if attributes != 1 or bound or unload or stamp:
            return None
        if None in (self.offset(module_rva, 8), self.offset(address_rva, 8)):
            return None
        name = self.c_string(name_rva)
        if name is None or not DLL_NAME.match(name):
            return None
        names = self.thunk_names(lookup_rva)
        return (name.decode().lower(), names) if names else None

    def delay_descriptors(self):
        found = {}
        rva, size = self.directories[DELAY_IMPORT_DIRECTORY] if len(
            self.directories) > DELAY_IMPORT_DIRECTORY else (0, 0)
        candidates = []
        if rva and size:
            at = self.offset(rva, size)
            if at is None:
                raise ValueError("delay-import directory outside the image")
            candidates += range(at, at + size - 31, 32)
        # Descriptors GNU ld did not list: a 32-bit 1 (RVA-based) on a 4-byte boundary, then
        # addresses inside the image, a library name and a name table that read as such.
        at = self.data.find(b"\x01\0\0\0")
        while at >= 0:
            if at % 4 == 0 and at + 32 <= len(self.data):
                candidates.append(at)
            at = self.data.find(b"\x01\0\0\0", at + 1)
        for at in candidates:
            descriptor = self.delay_descriptor(at)
            if descriptor:
                found[at] = descriptor
        return found.values()


def read_lists(paths):
    allowed = {}
    for path in paths:
        library, in_exports = None, False
        for line in open(path, encoding="utf-8"):
            line = re.split(r"[#;]", line, 1)[0].strip()
            if not line:
                continue
            section = re.fullmatch(r"\[(.+)\]", line)
            words = line.split()
            if section:
                library, in_exports = section.group(1).lower(), True
            elif words[0] == "LIBRARY":
                library = words[1].lower()
                if not library.endswith(".dll"):
                    library += ".dll"
            elif words[0] == "EXPORTS":
                in_exports = True
            elif library and in_exports:
                allowed.setdefault(library, set()).add(words[0])
            else:
                raise ValueError("%s: a name outside a library: %s" % (path, line))
    return allowed


def main(argv):
    if len(argv) == 3 and argv[1] == "--list":
        for dll, name, kind in sorted(Image(open(argv[2], "rb").read()).imports()):
            print(dll, name, kind)
        return 0
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    image, allowed = argv[1], read_lists(argv[2:])
    imports = Image(open(image, "rb").read()).imports()
    bad = sorted((dll, name, kind) for dll, name, kind in imports if name not in allowed.get(dll, ()))
    for dll, name, kind in bad:
        why = "by ordinal" if name.startswith("#") else (
            "not in the list of that library" if dll in allowed else "from a library no list allows")
        print("%s: %s %s!%s: %s" % (image, "delay-imports" if kind == "delay" else "imports", dll, name, why))
    libraries = sorted({dll for dll, _, _ in imports})
    if not bad:
        print("%s: %d functions from %d libraries, each allowed by name (%d delay-loaded)" %
              (image, len(imports), len(libraries), sum(kind == "delay" for _, _, kind in imports)))
    return 1 if bad else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError, struct.error) as error:
        print("check-imports: %s" % error, file=sys.stderr)
        sys.exit(2)

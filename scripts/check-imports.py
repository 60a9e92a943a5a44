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
import os
import re
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_image import Image  # noqa: E402


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

#!/usr/bin/env python3
"""Writes THIRD-PARTY-NOTICES.txt for an executable from what its link actually took in.

    notices.py MAP OUT [--ours DIR]...     GNU ld's link map (-Map), on Debian
    notices.py --msvc OUT                  an MSVC build

Every object file and archive member the link used that is not ours (a path relative to the build
folder, or under an --ours folder: the project, the release inputs' import libraries) must belong
to a Debian package; the file lists those packages with the files taken from each, then each
package's copyright file as Debian ships it. A file no package owns stops it, so that nothing
linked in statically can go unnoticed when the toolchain changes.
"""
import os
import subprocess
import sys

MEMBERS = "Archive member included to satisfy reference by file (symbol)"
HEADER = """Third-party notices for orvane.exe

orvane.exe contains code of the packages below, linked into it statically by the toolchain it was
built with (the C and C++ run-time libraries and their support code). Each package is listed with
the files of it that the link took in, and followed by its copyright and licence text as its
distribution ships it.

"""


def linked_files(map_text):
    """Absolute paths of the archives that gave members and of the object files loaded."""
    files = set()
    lines = map_text.splitlines()
    if MEMBERS in lines:
        for line in lines[lines.index(MEMBERS) + 1:]:
            if line.startswith("Discarded input sections") or line.startswith("Memory Configuration"):
                break
            if line and not line[0].isspace() and "(" in line:
                files.add(line[:line.index("(")])
    for line in lines:
        if line.startswith("LOAD "):
            path = line[5:].strip()
            if not path.endswith((".a", ".lib")):
                files.add(path)
    return sorted(os.path.realpath(path) for path in files if os.path.isabs(path))


def owners(paths):
    """{package: [paths]} from dpkg's database."""
    result = subprocess.run(["dpkg-query", "--search", *paths], capture_output=True, text=True)
    found = {}
    for line in result.stdout.splitlines():
        packages, _, path = line.partition(": ")
        for package in packages.split(", "):
            found.setdefault(package.split(":")[0], []).append(path)
    missing = sorted(set(paths) - {path for owned in found.values() for path in owned})
    if missing:
        raise ValueError("no Debian package owns %s: its notices cannot be found" % ", ".join(missing))
    return found


def gnu_notices(map_path, ours):
    ours = [os.path.realpath(folder) + os.sep for folder in ours]
    paths = [path for path in linked_files(open(map_path, encoding="utf-8", errors="replace").read())
             if not any(path.startswith(folder) for folder in ours)]
    packages = owners(paths)
    texts = {}  # copyright file -> the packages that share it
    listing = []
    for package in sorted(packages):
        version = subprocess.run(["dpkg-query", "--show", "--showformat=${Version}", package],
                                 capture_output=True, text=True, check=True).stdout
        names = ", ".join(sorted({os.path.basename(path) for path in packages[package]}))
        listing.append("  %s %s: %s" % (package, version, names))
        copyright_file = os.path.realpath("/usr/share/doc/%s/copyright" % package)
        if not os.path.isfile(copyright_file):
            raise ValueError("%s has no copyright file (%s)" % (package, copyright_file))
        texts.setdefault(copyright_file, []).append(package)
    parts = [HEADER, "\n".join(listing) + "\n"]
    for copyright_file, sharing in texts.items():
        parts.append("\n%s\n%s (%s)\n%s\n\n" % ("=" * 100, ", ".join(sharing), copyright_file, "=" * 100))
        parts.append(open(copyright_file, encoding="utf-8", errors="replace").read())
    return "".join(parts)


MSVC_NOTICES = """Third-party notices for orvane.exe

orvane.exe was built with Microsoft Visual C++ and links no third-party code statically: the C and
C++ run-time libraries it uses are Microsoft's, under the licence of Visual Studio.
"""


def main(argv):
    if len(argv) == 2 and argv[0] == "--msvc":
        text, out = MSVC_NOTICES, argv[1]
    elif len(argv) >= 2 and len(argv) % 2 == 0 and all(flag == "--ours" for flag in argv[2::2]):
        text, out = gnu_notices(argv[0], argv[3::2]), argv[1]
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(out + ".partial", "w", encoding="utf-8", newline="\n") as file:
        file.write(text)
    os.replace(out + ".partial", out)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (OSError, ValueError, subprocess.CalledProcessError) as error:
        print("notices: %s" % error, file=sys.stderr)
        sys.exit(1)

#!/usr/bin/env python3
"""Packs a release bundle into a zip archive, with its SHA-256 file beside it (ARCHIVE.sha256, as
`sha256sum -c` reads it); and the debug files into a symbols archive the same way.

    pack.py --bundle DIR --files LIST --archive ZIP [--allow-standins]
            [--symbols FILE]... [--symbols-archive ZIP]

LIST is a file naming the executable and the DLLs it loads, ';'-separated (written by the build):
only those, THIRD-PARTY-NOTICES.txt and data/ are packed, at the archive's top level, whatever
else a build may have left in the bundle's folder.

A DLL that is one of our stand-ins (it exports the stand-ins' own "Standin..." functions) is
refused by name: a release holds the real engine and plugins. --allow-standins lets a test pack
them anyway; the build then names the archive as a test archive.

The archives are the same bytes for the same files, whoever packs them where and when: entries in
name order, each with the same fixed time (1980-01-01 00:00, the earliest a zip entry holds), no
owner, no permissions and no extra fields, compressed at one fixed level.
"""
import argparse
import hashlib
import os
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from pe_image import Image  # noqa: E402

FIXED_TIME = (1980, 1, 1, 0, 0, 0)
REQUIRED = ("THIRD-PARTY-NOTICES.txt", "data/app.so", "data/icudtl.dat")


def bundle_entries(bundle, file_list):
    names = [os.path.basename(path) for path in open(file_list, encoding="utf-8").read().strip().split(";") if path]
    entries = names + ["THIRD-PARTY-NOTICES.txt"]
    for folder, _, files in os.walk(os.path.join(bundle, "data")):
        entries += [os.path.relpath(os.path.join(folder, name), bundle).replace(os.sep, "/") for name in files]
    missing = [entry for entry in REQUIRED + tuple(entries) if not os.path.isfile(os.path.join(bundle, entry))]
    if missing:
        raise ValueError("%s has no %s" % (bundle, ", ".join(sorted(set(missing)))))
    return sorted(set(entries))


def standins(bundle, entries):
    """The DLLs among the entries that are ours, with the stand-in functions that tell so."""
    found = []
    for entry in entries:
        if entry.lower().endswith(".dll"):
            exports = Image(open(os.path.join(bundle, entry), "rb").read()).exports()
            marks = [name for name in exports if name.startswith("Standin")]
            if marks:
                found.append("%s (it exports %s%s)" % (entry, marks[0], " and %d more" % (len(marks) - 1) if len(marks) > 1 else ""))
    return found


def write_archive(archive, sources):
    """sources: [(entry name, file path)]. Written beside the final name and renamed last, so that
    an interrupted run leaves no archive that looks complete."""
    partial = archive + ".partial"
    with zipfile.ZipFile(partial, "w") as out:
        for name, path in sorted(sources):
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.create_system = 0  # MS-DOS: no Unix owner or permission bits
            info.external_attr = 0
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as file:
                out.writestr(info, file.read(), compresslevel=9)
    digest = hashlib.sha256(open(partial, "rb").read()).hexdigest()
    os.replace(partial, archive)
    with open(archive + ".sha256", "w", encoding="utf-8", newline="\n") as file:
        file.write("%s  %s\n" % (digest, os.path.basename(archive)))
    print("%s: %d files, SHA-256 %s" % (archive, len(sources), digest))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bundle", required=True)
    parser.add_argument("--files", required=True)
    parser.add_argument("--archive", required=True)
    parser.add_argument("--allow-standins", action="store_true")
    parser.add_argument("--symbols", action="append", default=[])
    parser.add_argument("--symbols-archive")
    arguments = parser.parse_args(argv)
    for path in (arguments.archive, arguments.symbols_archive):
        if path:
            for stale in (path, path + ".sha256"):
                if os.path.exists(stale):
                    os.remove(stale)
    entries = bundle_entries(arguments.bundle, arguments.files)
    found = standins(arguments.bundle, entries)
    if found and not arguments.allow_standins:
        raise ValueError("refusing to pack stand-ins into a release: %s. A release is built from the "
                         "real engine and plugins (ORVANE_ENGINE_DIR, ORVANE_PLUGIN_DIRS)" % "; ".join(found))
    for entry in found:
        print("pack: test archive: %s is a stand-in" % entry)
    write_archive(arguments.archive, [(entry, os.path.join(arguments.bundle, entry)) for entry in entries])
    if arguments.symbols_archive:
        write_archive(arguments.symbols_archive, [(os.path.basename(path), path) for path in arguments.symbols])
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (OSError, ValueError) as error:
        print("pack: %s" % error, file=sys.stderr)
        sys.exit(1)

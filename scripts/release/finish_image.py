#!/usr/bin/env python3
"""Turns a linked release image into the file that ships, its debug information kept beside it.

    finish_image.py OBJCOPY IMAGE DEBUG_FILE

IMAGE, as the linker wrote it (COFF symbol table and DWARF sections included), is rewritten in
place: without the symbol table and the debug sections, with a .gnu_debuglink section naming
DEBUG_FILE (and its CRC, so a debugger takes only the matching one), padded to a multiple of 8
bytes, its checksum made right. DEBUG_FILE receives the debug sections and the symbols.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from pe_image import Image, with_checksum  # noqa: E402


def objcopy(tool, *arguments):
    # objcopy writes the time of the copy into the PE header unless told the time of the build;
    # the linker wrote none (--no-insert-timestamp), and neither may this.
    subprocess.run([tool, *arguments], check=True, env=dict(os.environ, SOURCE_DATE_EPOCH="0"))


def main(tool, image, debug_file):
    stripped = image + ".stripped"
    objcopy(tool, "--only-keep-debug", image, debug_file + ".partial")
    os.replace(debug_file + ".partial", debug_file)
    objcopy(tool, "--strip-all", "--add-gnu-debuglink=" + debug_file, image, stripped)
    data = open(stripped, "rb").read()
    # A signature starts on an 8-byte boundary at the end of the file. Padded now, signing only
    # appends, and setting the signature aside again gives back exactly these bytes.
    data = with_checksum(data + b"\0" * (-len(data) % 8))
    finished = Image(data)
    debug_sections = [name for name in finished.section_names if name.startswith(".debug")]
    if finished.symbol_count or debug_sections:
        raise ValueError("%s still has %d symbols and the sections %s" % (image, finished.symbol_count, debug_sections))
    with open(stripped, "wb") as out:
        out.write(data)
    os.replace(stripped, image)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    try:
        main(*sys.argv[1:])
    except (OSError, ValueError, subprocess.CalledProcessError) as error:
        print("finish_image: %s" % error, file=sys.stderr)
        sys.exit(1)

"""Reads and mends PE images (x86-64): the headers, sections, imports, delay imports and exports,
the Authenticode signature's place and the image checksum. Used by check-imports.py and the
release scripts (scripts/release/)."""
import re
import struct

EXPORT_DIRECTORY, IMPORT_DIRECTORY, CERTIFICATE_DIRECTORY, DELAY_IMPORT_DIRECTORY = 0, 1, 4, 13
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
        self.symbol_table, self.symbol_count = struct.unpack_from("<II", data, pe + 12)
        self.characteristics = struct.unpack_from("<H", data, pe + 22)[0]
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        # OS, image and subsystem versions: major and minor of each.
        self.versions = struct.unpack_from("<6H", data, optional + 40)
        self.checksum_at = optional + 64
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories_at = optional + 112
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        self.sections = []
        self.section_names = []
        for i in range(sections):
            name, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
            self.sections.append((rva, max(vsize, raw_size), raw, raw_size))
            self.section_names.append(self.section_name(name))

    def section_name(self, field):
        """A section's name; one longer than eight bytes stands in the string table as "/OFFSET"."""
        name = field.rstrip(b"\0")
        if name.startswith(b"/") and name[1:].isdigit() and self.symbol_table:
            at = self.symbol_table + 18 * self.symbol_count + int(name[1:])
            end = self.data.find(b"\0", at)
            if end > at:
                name = self.data[at:end]
        return name.decode("latin-1")

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

    def directory(self, index):
        return self.directories[index] if len(self.directories) > index else (0, 0)

    def exports(self):
        """The names the image exports."""
        rva, size = self.directory(EXPORT_DIRECTORY)
        at = self.offset(rva, 40) if rva and size else None
        if at is None:
            return []
        count = struct.unpack_from("<I", self.data, at + 24)[0]  # NumberOfNames
        names_rva = struct.unpack_from("<I", self.data, at + 32)[0]  # AddressOfNames
        names = []
        for i in range(count):
            entry = self.offset(names_rva + 4 * i, 4)
            name = None if entry is None else self.c_string(struct.unpack_from("<I", self.data, entry)[0])
            if name is None:
                raise ValueError("unreadable export name table")
            names.append(name.decode("latin-1"))
        return names

    def certificate_table(self):
        """(file offset, size) of the Authenticode signature, or None for an unsigned image. Unlike
        every other directory, its address is a file offset, not an RVA."""
        at, size = self.directory(CERTIFICATE_DIRECTORY)
        return (at, size) if at and size else None


def pe_checksum(data, checksum_at):
    """The image checksum the loader verifies for drivers and the signing tools write: 16-bit
    words summed with carry folding, the checksum field itself counted as zero, plus the length."""
    total = 0
    padded = bytes(data[:checksum_at]) + b"\0\0\0\0" + bytes(data[checksum_at + 4:])
    if len(padded) % 2:
        padded += b"\0"
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def with_checksum(data):
    """The image with its checksum field made right for its bytes."""
    data = bytearray(data)
    at = Image(bytes(data)).checksum_at
    struct.pack_into("<I", data, at, pe_checksum(data, at))
    return bytes(data)


def without_signature(data):
    """The image as it was before it was signed: the signature cut off the end, its directory entry
    zeroed and the checksum made right again. An unsigned image comes back unchanged."""
    image = Image(data)
    table = image.certificate_table()
    if table is None:
        return data
    at, size = table
    if at + size != len(data):
        raise ValueError("the signature is not at the end of the image")
    data = bytearray(data[:at])
    struct.pack_into("<II", data, image.directories_at + 8 * CERTIFICATE_DIRECTORY, 0, 0)
    return with_checksum(data)

"""The parts of a PE32 image the driver image's finishing and checks read and write."""

import struct

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000

DIRECTORY_EXPORT = 0
DIRECTORY_IMPORT = 1
DIRECTORY_BASERELOC = 5
DIRECTORY_TLS = 9


class PeError(Exception):
    pass


class Section:
    def __init__(self, header_offset, raw):
        name, self.virtual_size, self.rva, self.raw_size, self.raw_offset = struct.unpack_from("<8sIIII", raw)
        self.name = name.rstrip(b"\0").decode("latin-1")
        self.header_offset = header_offset
        self.characteristics = struct.unpack_from("<I", raw, 36)[0]

    def holds(self, rva):
        return self.rva <= rva < self.rva + max(self.virtual_size, self.raw_size)


class PeImage:
    def __init__(self, data):
        self.data = bytearray(data)
        if len(self.data) < 0x40 or self.data[:2] != b"MZ":
            raise PeError("no MZ header")
        self.pe_offset = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, section_count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, coff)
        self.optional = coff + 20
        self.magic = struct.unpack_from("<H", self.data, self.optional)[0]
        if self.magic != 0x10B:
            raise PeError("not PE32 (optional header magic 0x%x)" % self.magic)
        o = self.optional
        self.entry_rva = struct.unpack_from("<I", self.data, o + 16)[0]
        self.image_base, self.section_alignment, self.file_alignment = struct.unpack_from("<III", self.data, o + 28)
        self.checksum_offset = o + 64
        self.checksum = struct.unpack_from("<I", self.data, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", self.data, o + 68)
        directory_count = struct.unpack_from("<I", self.data, o + 92)[0]
        self.directories = [struct.unpack_from("<II", self.data, o + 96 + 8 * i) for i in range(min(directory_count, 16))]
        first = o + optional_size
        self.sections = [Section(first + 40 * i, self.data[first + 40 * i:first + 40 * (i + 1)])
                         for i in range(section_count)]

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def read(self, rva, size):
        for s in self.sections:
            if s.holds(rva):
                start = s.raw_offset + rva - s.rva
                return bytes(self.data[start:start + size])
        raise PeError("RVA 0x%x is in no section" % rva)

    def string(self, rva):
        out = bytearray()
        while True:
            chunk = self.read(rva + len(out), 1)
            if not chunk or chunk == b"\0":
                return out.decode("latin-1")
            out += chunk

    def imports(self):
        """[(module, name or None for an import by ordinal)]"""
        rva, size = self.directory(DIRECTORY_IMPORT)
        found = []
        if rva == 0:
            return found
        descriptor = rva
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack("<IIIII", self.read(descriptor, 20))
            if name_rva == 0:
                return found
            module = self.string(name_rva)
            entry = lookup or thunk
            while True:
                value = struct.unpack("<I", self.read(entry, 4))[0]
                if value == 0:
                    break
                found.append((module, None if value & 0x80000000 else self.string(value + 2)))
                entry += 4
            descriptor += 20

    def computed_checksum(self):
        """The image checksum as the loader checks it: 16-bit one's-complement-style sum of
        the file with the checksum field taken as zero, plus the file length."""
        data = bytes(self.data)
        if len(data) % 2:
            data += b"\0"
        words = struct.unpack("<%dH" % (len(data) // 2), data)
        total = 0
        skip = self.checksum_offset // 2
        for index, word in enumerate(words):
            if index in (skip, skip + 1):
                continue
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def set_section_characteristics(self, section, value):
        struct.pack_into("<I", self.data, section.header_offset + 36, value)
        section.characteristics = value

    def set_checksum(self, value):
        struct.pack_into("<I", self.data, self.checksum_offset, value)
        self.checksum = value

"""Reading and editing the headers of a PE32+ image: the machine, the
section table, the data directories, and one section appended at the end.

Only what packaging and inspection need: the image is the linker's output
(or a finished installer), so anything unusual is reported as PeError rather
than worked around.
"""
import struct

MACHINES = {0x8664: "x64", 0xAA64: "arm64", 0x014C: "x86", 0xA641: "arm64ec", 0x01C4: "arm"}
PE32 = 0x10B
PE32_PLUS = 0x20B
DIRECTORY_RESOURCE = 2
DIRECTORY_SECURITY = 4
SECTION_HEADER_SIZE = 40
# IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ: what a resource
# section is marked with.
RESOURCE_SECTION_FLAGS = 0x40000040
# Enough for the headers of any image a linker writes.
HEADER_READ = 64 * 1024

# The largest value of a 32-bit field (SizeOfImage, a section's raw size and
# file offset, a resource's Size, SizeofResource's DWORD, the certificate
# table's file offset and size).
DWORD_MAX = 0xFFFFFFFF


class PeError(Exception):
    pass


def read_span(f, offset, size, chunk=8 * 1024 * 1024):
    """The bytes f holds at offset, size of them, in pieces of at most
    chunk bytes; PeError when the file ends before them."""
    f.seek(offset)
    left = size
    while left:
        piece = f.read(min(left, chunk))
        if not piece:
            raise PeError("a resource runs past the end of the file")
        yield piece
        left -= len(piece)


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Section:
    def __init__(self, raw):
        (name, self.virtual_size, self.virtual_address, self.raw_size, self.raw_pointer,
         _, _, _, _, self.characteristics) = struct.unpack("<8sIIIIIIHHI", raw)
        self.name = name.rstrip(b"\0").decode("ascii", "replace")

    def contains(self, rva):
        return self.virtual_address <= rva < self.virtual_address + max(self.virtual_size,
                                                                       self.raw_size)


class Image:
    """The headers of a PE image held in `head` (its first bytes, at least
    SizeOfHeaders of them), with offsets of the fields that get edited."""

    def __init__(self, head):
        if len(head) < 64 or head[:2] != b"MZ":
            raise PeError("not a Windows executable (no MZ header)")
        self.pe_offset = struct.unpack_from("<I", head, 0x3C)[0]
        if head[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise PeError("not a Windows executable (no PE signature)")
        coff = self.pe_offset + 4
        (self.machine, self.section_count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", head, coff)
        self.optional = coff + 20
        self.magic = struct.unpack_from("<H", head, self.optional)[0]
        self.section_table = self.optional + optional_size
        self.head = bytearray(head)
        if self.magic not in (PE32, PE32_PLUS):
            raise PeError(f"unknown optional header (magic 0x{self.magic:X})")
        o = self.optional
        (self.section_alignment, self.file_alignment) = struct.unpack_from("<II", head, o + 32)
        (self.size_of_image, self.size_of_headers, self.checksum) = struct.unpack_from(
            "<III", head, o + 56)
        # PE32+ has a 64-bit ImageBase and stack and heap sizes: its
        # directories start 16 bytes further on.
        count_at = o + (108 if self.magic == PE32_PLUS else 92)
        self.directory_count = struct.unpack_from("<I", head, count_at)[0]
        self.directories = count_at + 4
        end = self.section_table + self.section_count * SECTION_HEADER_SIZE
        if len(head) < end:
            raise PeError("the section table lies beyond the bytes read")
        self.sections = [Section(head[at:at + SECTION_HEADER_SIZE])
                         for at in range(self.section_table, end, SECTION_HEADER_SIZE)]

    @property
    def arch(self):
        return MACHINES.get(self.machine, f"machine 0x{self.machine:04X}")

    def directory(self, index):
        if index >= self.directory_count:
            return 0, 0
        return struct.unpack_from("<II", self.head, self.directories + 8 * index)

    def rva_to_offset(self, rva):
        for section in self.sections:
            if section.contains(rva) and rva - section.virtual_address < section.raw_size:
                return section.raw_pointer + rva - section.virtual_address
        raise PeError(f"address 0x{rva:X} lies in no section's file data")

    def file_end(self):
        """Where the sections' file data ends: an appended section starts here."""
        ends = [s.raw_pointer + s.raw_size for s in self.sections if s.raw_size]
        return align(max(ends + [self.size_of_headers]), self.file_alignment)

    def next_virtual_address(self):
        ends = [s.virtual_address + s.virtual_size for s in self.sections]
        return align(max(ends + [self.size_of_headers]), self.section_alignment)

    def placement(self, virtual_size):
        """Where a section of virtual_size appended at the end would go:
        (file offset, virtual address, raw size, the SizeOfImage it makes).
        Nothing is changed, and nothing is bounded to 32 bits yet."""
        raw_pointer = self.file_end()
        virtual_address = self.next_virtual_address()
        return (raw_pointer, virtual_address, align(virtual_size, self.file_alignment),
                align(virtual_address + virtual_size, self.section_alignment))

    def append_section(self, name, virtual_size, characteristics, directory=None):
        """Adds a section header after the last one, placed at the end of the
        file data and of the address space, and fixes the headers that
        count sections: NumberOfSections, SizeOfImage, SizeOfInitializedData
        and, when given, one data directory (index) that comes to point at
        the whole section. Returns (file offset, virtual address, raw size)."""
        if self.magic != PE32_PLUS:
            raise PeError("not a PE32+ image")
        table_end = self.section_table + (self.section_count + 1) * SECTION_HEADER_SIZE
        first_data = min([s.raw_pointer for s in self.sections if s.raw_size] or
                         [self.size_of_headers])
        if table_end > min(self.size_of_headers, first_data):
            raise PeError("no room in the headers for one more section")
        raw_pointer, virtual_address, raw_size, size_of_image = self.placement(virtual_size)
        header = struct.pack("<8sIIIIIIHHI", name.encode("ascii"), virtual_size, virtual_address,
                             raw_size, raw_pointer, 0, 0, 0, 0, characteristics)
        at = self.section_table + self.section_count * SECTION_HEADER_SIZE
        self.head[at:at + SECTION_HEADER_SIZE] = header
        self.sections.append(Section(header))
        self.section_count += 1
        struct.pack_into("<H", self.head, self.pe_offset + 6, self.section_count)
        self.size_of_image = size_of_image
        struct.pack_into("<I", self.head, self.optional + 56, self.size_of_image)
        initialized = struct.unpack_from("<I", self.head, self.optional + 8)[0]
        struct.pack_into("<I", self.head, self.optional + 8, initialized + raw_size)
        if directory is not None:
            struct.pack_into("<II", self.head, self.directories + 8 * directory,
                             virtual_address, virtual_size)
        return raw_pointer, virtual_address, raw_size


def read_image(path):
    """The Image of the file at path (its headers read, nothing else)."""
    with open(path, "rb") as f:
        head = f.read(HEADER_READ)
    try:
        return Image(head)
    except struct.error:
        raise PeError("the headers run past the end of the file")

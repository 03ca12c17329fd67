"""The resource section: compiled resource files read, the directory tree
laid out as the loader searches it, and the section written with file
contents copied by the kernel.

Directory order (PE format, "The .rsrc Section"): in every table the
entries with string names come first, in ascending order of their UTF-16
code units, then the integer identifiers in ascending order. The loader finds
a name by binary search over that order (FindResourceW upper-cases the name
it is given, and names are stored upper case), and EnumResourceNamesW
delivers the names in it.
"""
import os
import struct

from .pe import DIRECTORY_RESOURCE as RESOURCE_DIRECTORY, PeError, align

LANGUAGE_EN_US = 0x0409  # what the kit's installer.rc declares
DATA_ALIGNMENT = 8       # each resource's bytes start on this boundary
DIRECTORY_SIZE = 16
ENTRY_SIZE = 8
DATA_ENTRY_SIZE = 16
SUBDIRECTORY = 0x80000000  # high bit of an entry's offset: a table, not data
NAMED = 0x80000000         # high bit of an entry's name: a string, not an ID


class Resource:
    """One resource: type and name (an int for an integer identifier, else a
    string), language, and its bytes, held (data) or in a file (path, size)."""

    def __init__(self, type_key, name_key, language, data=None, path=None, size=None):
        self.type = type_key
        self.name = name_key
        self.language = language
        self.data = data
        self.path = path
        self.size = len(data) if data is not None else size


def order_key(key):
    """Sort key of one table's entries: strings by UTF-16 code units first,
    then integer identifiers by value."""
    if isinstance(key, int):
        return (1, key, b"")
    return (0, 0, key.encode("utf-16-be"))


def directory_order(resources):
    """The resources in the order the directory lists them."""
    return sorted(resources, key=lambda r: (order_key(r.type), order_key(r.name), r.language))


def _res_field(data, at):
    """One type or name field of a compiled resource header: (key, next offset)."""
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def read_res(path):
    """The resources of a compiled resource file (llvm-rc's .res), in file
    order; the empty entry a .res file starts with is left out."""
    with open(path, "rb") as f:
        data = f.read()
    resources = []
    at = 0
    while at + 8 <= len(data):
        data_size, header_size = struct.unpack_from("<II", data, at)
        type_key, after = _res_field(data, at + 8)
        name_key, after = _res_field(data, after)
        after = align(after, 4)
        language = struct.unpack_from("<H", data, after + 6)[0]
        start = at + header_size
        if not (type_key == 0 and name_key == 0 and data_size == 0):
            resources.append(Resource(type_key, name_key, language,
                                      data=data[start:start + data_size]))
        at = align(start + data_size, 4)
    return resources


class Layout:
    """Where everything of the section goes: the directory tables, names and
    data entries (built in memory: `table`), then each resource's bytes at
    `offsets[i]` of `placed[i]`. Sizes are known before anything is written,
    so that limits can be checked first."""

    def __init__(self, resources):
        self.resources = directory_order(resources)
        types = {}
        for resource in self.resources:
            types.setdefault(resource.type, {}).setdefault(resource.name, []).append(resource)
        self.tree = types
        tables = DIRECTORY_SIZE + ENTRY_SIZE * len(types)
        for names in types.values():
            tables += DIRECTORY_SIZE + ENTRY_SIZE * len(names)
            for languages in names.values():
                tables += DIRECTORY_SIZE + ENTRY_SIZE * len(languages)
        strings = 0
        for type_key, names in types.items():
            for key in [type_key, *names]:
                if isinstance(key, str):
                    strings += 2 + len(key.encode("utf-16-le"))
        self.tables_size = tables
        self.strings_size = strings
        self.entries_at = align(tables + strings, DATA_ALIGNMENT)
        self.table_size = self.entries_at + DATA_ENTRY_SIZE * len(self.resources)
        # Bytes held in memory first, then files from the smallest to the
        # largest: the directory, the small resources and setup stay together
        # at the head of the section, and the archive comes last.
        self.placed = sorted(self.resources, key=lambda r: (r.data is None, r.size))
        self.offsets = []
        at = self.table_size
        for resource in self.placed:
            at = align(at, DATA_ALIGNMENT)
            self.offsets.append(at)
            at += resource.size
        self.size = at

    def largest(self):
        return max(self.resources, key=lambda r: r.size) if self.resources else None

    def build_table(self, section_rva):
        """The directory tables, names and data entries for a section at
        section_rva (data entries hold addresses, not offsets)."""
        out = bytearray(self.table_size)
        string_at = self.tables_size
        data_rva = {id(r): section_rva + at for r, at in zip(self.placed, self.offsets)}
        entry_index = 0

        def put_name(key):
            nonlocal string_at
            if isinstance(key, int):
                return key
            encoded = key.encode("utf-16-le")
            struct.pack_into("<H", out, string_at, len(encoded) // 2)
            out[string_at + 2:string_at + 2 + len(encoded)] = encoded
            offset = string_at
            string_at += 2 + len(encoded)
            return NAMED | offset

        def put_table(at, keys):
            named = sum(1 for k in keys if isinstance(k, str))
            struct.pack_into("<IIHHHH", out, at, 0, 0, 0, 0, named, len(keys) - named)

        # Breadth first: the root, every type's table, every name's table.
        type_keys = list(self.tree)
        put_table(0, type_keys)
        next_table = DIRECTORY_SIZE + ENTRY_SIZE * len(type_keys)
        name_tables = []
        for index, type_key in enumerate(type_keys):
            names = self.tree[type_key]
            struct.pack_into("<II", out, DIRECTORY_SIZE + ENTRY_SIZE * index,
                             put_name(type_key), SUBDIRECTORY | next_table)
            name_tables.append((next_table, names))
            next_table += DIRECTORY_SIZE + ENTRY_SIZE * len(names)
        for at, names in name_tables:
            put_table(at, list(names))
            for index, (name_key, languages) in enumerate(names.items()):
                struct.pack_into("<II", out, at + DIRECTORY_SIZE + ENTRY_SIZE * index,
                                 put_name(name_key), SUBDIRECTORY | next_table)
                put_table(next_table, [r.language for r in languages])
                for lang_index, resource in enumerate(languages):
                    data_entry = self.entries_at + DATA_ENTRY_SIZE * entry_index
                    entry_index += 1
                    struct.pack_into("<II", out, next_table + DIRECTORY_SIZE + ENTRY_SIZE * lang_index,
                                     resource.language, data_entry)
                    struct.pack_into("<IIII", out, data_entry, data_rva[id(resource)],
                                     resource.size, 0, 0)
                next_table += DIRECTORY_SIZE + ENTRY_SIZE * len(languages)
        return bytes(out)


def copy_range(source, out, size):
    """Copies size bytes from the start of file object source to out's
    position with the kernel's own copy (no pass through this process's
    memory); returns the bytes copied, fewer when the source is shorter."""
    copied = 0
    src, dst = source.fileno(), out.fileno()
    position = out.tell()
    try:
        while copied < size:
            done = os.copy_file_range(src, dst, size - copied, copied, position + copied)
            if done == 0:
                break
            copied += done
    except OSError:
        # Kernels and file systems that refuse copy_file_range between these
        # two files (EXDEV before Linux 5.3, some network file systems): the
        # same through sendfile, which takes a file as its source.
        os.lseek(dst, position + copied, os.SEEK_SET)
        while copied < size:
            done = os.sendfile(dst, src, copied, min(size - copied, 1 << 30))
            if done == 0:
                break
            copied += done
    out.seek(position + copied)
    return copied


def write_section(out, layout, section_rva, on_short_read):
    """Writes the section at out's position, padded by the caller. Each
    file is opened once and must still hold the bytes its size promised;
    on_short_read(resource) raises when it does not."""
    start = out.tell()
    out.write(layout.build_table(section_rva))
    for resource, offset in zip(layout.placed, layout.offsets):
        out.write(b"\0" * (start + offset - out.tell()))
        if resource.data is not None:
            out.write(resource.data)
            continue
        out.flush()
        with open(resource.path, "rb") as source:
            copied = copy_range(source, out, resource.size)
            if copied != resource.size or os.fstat(source.fileno()).st_size != resource.size:
                on_short_read(resource)
    out.flush()


class Found:
    """A resource found in an image: type, name, language, size, the file
    offset of its bytes, and its first bytes (head)."""

    def __init__(self, type_key, name_key, language, size, offset, head):
        self.type = type_key
        self.name = name_key
        self.language = language
        self.size = size
        self.offset = offset
        self.head = head

    def label(self):
        return f"{self.type}:{self.name}"


def read_image_resources(f, image, head_bytes=4):
    """Every resource of the image in file f, in directory order (the order
    the loader enumerates them in), the first language of each name."""
    rva, size = image.directory(RESOURCE_DIRECTORY)
    if not size:
        return []
    base = image.rva_to_offset(rva)

    def read(offset, length):
        f.seek(base + offset)
        data = f.read(length)
        if len(data) != length:
            raise PeError("the resource directory runs past the end of the file")
        return data

    def entries(offset):
        named, ids = struct.unpack("<HH", read(offset + 12, 4))
        table = read(offset + DIRECTORY_SIZE, ENTRY_SIZE * (named + ids))
        for index in range(named + ids):
            name, target = struct.unpack_from("<II", table, ENTRY_SIZE * index)
            if name & NAMED:
                length = struct.unpack("<H", read(name & ~NAMED, 2))[0]
                key = read((name & ~NAMED) + 2, 2 * length).decode("utf-16-le", "replace")
            else:
                key = name & 0xFFFF
            yield key, target

    found = []
    for type_key, type_target in entries(0):
        if not type_target & SUBDIRECTORY:
            continue
        for name_key, name_target in entries(type_target & ~SUBDIRECTORY):
            if not name_target & SUBDIRECTORY:
                continue
            for language, data_entry in entries(name_target & ~SUBDIRECTORY):
                data_rva, data_size = struct.unpack("<II", read(data_entry, 8))
                offset = image.rva_to_offset(data_rva) if data_size else 0
                f.seek(offset)
                found.append(Found(type_key, name_key, language, data_size, offset,
                                   f.read(min(head_bytes, data_size))))
                break
    return found

"""What Windows' loader demands of an image before one instruction of it runs.

Windows makes an image section of the file before it starts a process; when
the kernel refuses the headers, section creation fails with
STATUS_INVALID_IMAGE_FORMAT, CreateProcessW fails (the caller most likely
sees ERROR_BAD_EXE_FORMAT, 193) and nothing of the installer runs, so it
cannot report anything either. Wine maps images Windows refuses (one of any
size), so no run under Wine shows these rules: tools/package checks every
installer it writes against them and tools/inspect reports them.

Each rule names its source: Microsoft's "PE Format" page, and the kernel's
section creation in the Windows Research Kernel (base/ntos/mm/creasect.c).
The size rule binds first: no other limit of the format is reached before it.
"""
from .pe import SECTION_HEADER_SIZE, align

# MM_SIZE_OF_LARGEST_IMAGE: MiVerifyImageHeader refuses an image whose
# SizeOfImage is larger, before any rule of one machine, so ARM64 as much as
# x64 (creasect.c). Loader emulators that model what Windows accepts carry
# the same constant (retdec's PeLib: PELIB_MM_SIZE_OF_LARGEST_IMAGE,
# LDR_ERROR_SIZE_OF_IMAGE_TOO_BIG); Microsoft's "x64 ABI conventions", Image
# format: "Executable images (both DLLs and EXEs) are restricted to a maximum
# size of 2 gigabytes".
LARGEST_IMAGE = 0x77000000
# "PE Format", COFF File Header: "the Windows loader limits the number of
# sections to 96".
MAXIMUM_SECTIONS = 96
# "PE Format", Characteristics: the flag "indicates that the image file is
# valid and can be run"; MiVerifyImageHeader refuses an image without it.
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
PAGE_SIZE = 4096
# "PE Format", FileAlignment: "a power of 2 between 512 and 64 K, inclusive".
FILE_ALIGNMENT_MIN = 512
FILE_ALIGNMENT_MAX = 64 * 1024
# The kernel takes the file's size as 32 bits: a file of 4 GiB or more cannot
# back an image section (creasect.c, MiCreateImageFileMap); the section
# table's file offsets and sizes are 32 bits too ("PE Format", Section Table).
FILE_SIZE_LIMIT = 1 << 32


def count(n):
    return f"{n:,}"


def size_problem(size_of_image):
    """The size rule's words for an image of size_of_image bytes, or None."""
    if size_of_image <= LARGEST_IMAGE:
        return None
    return (f"SizeOfImage is {count(size_of_image)} bytes; Windows maps no image larger than "
            f"{count(LARGEST_IMAGE)} (0x{LARGEST_IMAGE:X}), {count(size_of_image - LARGEST_IMAGE)} "
            "more")


def is_power_of_two(n):
    return n > 0 and n & (n - 1) == 0


def alignment_problems(image):
    file_alignment, section_alignment = image.file_alignment, image.section_alignment
    found = []
    # "PE Format", FileAlignment and SectionAlignment; MiVerifyImageHeader
    # refuses a FileAlignment that is not a power of two, one not a multiple
    # of 512 unless it equals SectionAlignment, and a SectionAlignment below it.
    if not is_power_of_two(file_alignment) or file_alignment > FILE_ALIGNMENT_MAX or (
            file_alignment < FILE_ALIGNMENT_MIN and file_alignment != section_alignment):
        found.append(f"FileAlignment {count(file_alignment)} is not a power of two from "
                     f"{FILE_ALIGNMENT_MIN} to {count(FILE_ALIGNMENT_MAX)}")
    if section_alignment < file_alignment:
        found.append(f"SectionAlignment {count(section_alignment)} is below FileAlignment "
                     f"{count(file_alignment)}")
    elif section_alignment < PAGE_SIZE and file_alignment != section_alignment:
        found.append(f"SectionAlignment {count(section_alignment)} is below the page size but "
                     f"FileAlignment {count(file_alignment)} differs from it")
    # "PE Format", SizeOfImage: "must be a multiple of SectionAlignment".
    if section_alignment and image.size_of_image % section_alignment:
        found.append(f"SizeOfImage {count(image.size_of_image)} is not a multiple of "
                     f"SectionAlignment {count(section_alignment)}")
    return found


def header_problems(image):
    # "PE Format", SizeOfHeaders: the DOS stub, the PE header and the section
    # headers, rounded up to FileAlignment. They are mapped as the image's
    # first page(s), ahead of every section ("PE Format", Section Table: the
    # sections' addresses follow one another in ascending order).
    found = []
    table_end = image.section_table + image.section_count * SECTION_HEADER_SIZE
    if table_end > image.size_of_headers:
        found.append(f"the headers run to byte {count(table_end)}, past SizeOfHeaders "
                     f"{count(image.size_of_headers)}")
    if image.file_alignment and image.size_of_headers % image.file_alignment:
        found.append(f"SizeOfHeaders {count(image.size_of_headers)} is not a multiple of "
                     f"FileAlignment {count(image.file_alignment)}")
    if image.sections and image.sections[0].virtual_address < image.size_of_headers:
        found.append(f"section {image.sections[0].name} at 0x{image.sections[0].virtual_address:X} "
                     f"overlaps the headers ({count(image.size_of_headers)} bytes)")
    return found


def section_problems(image, file_size):
    found = []
    if not 1 <= image.section_count <= MAXIMUM_SECTIONS:
        found.append(f"{image.section_count} sections; Windows loads 1 to {MAXIMUM_SECTIONS}")
    expected = None
    for section in image.sections:
        name = section.name
        # "PE Format", Section Table: in an image the addresses "are in
        # ascending order and adjacent, and they must be a multiple of the
        # SectionAlignment value"; PointerToRawData and SizeOfRawData "must be
        # a multiple of FileAlignment".
        if image.section_alignment and section.virtual_address % image.section_alignment:
            found.append(f"section {name} at 0x{section.virtual_address:X} is not aligned to "
                         f"SectionAlignment")
        if expected is not None and section.virtual_address != expected:
            found.append(f"section {name} at 0x{section.virtual_address:X} does not follow the "
                         f"one before it (0x{expected:X})")
        if image.file_alignment and (section.raw_pointer % image.file_alignment or
                                     section.raw_size % image.file_alignment):
            found.append(f"section {name}'s file data is not aligned to FileAlignment")
        # MiCreateImageFileMap refuses a section whose file data runs past
        # the end of the file.
        if section.raw_size and section.raw_pointer + section.raw_size > file_size:
            found.append(f"section {name}'s file data ends at {count(section.raw_pointer + section.raw_size)}, "
                         f"past the end of the file ({count(file_size)})")
        end = section.virtual_address + (section.virtual_size or section.raw_size)
        # "PE Format", SizeOfImage: the image in memory, every section included.
        if end > image.size_of_image:
            found.append(f"section {name} ends at 0x{end:X}, past SizeOfImage "
                         f"0x{image.size_of_image:X}")
        expected = align(end, image.section_alignment or 1)
    return found


def problems(image, file_size):
    """Every rule the image (a pe.Image, with the headers as they will be in
    the file) breaks in a file of file_size bytes, in words; the size rule
    first. Empty when Windows maps it and can start it."""
    found = [p for p in [size_problem(image.size_of_image)] if p]
    if not image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
        found.append("the file header does not mark it an executable image")
    found += alignment_problems(image) + header_problems(image)
    found += section_problems(image, file_size)
    if file_size >= FILE_SIZE_LIMIT:
        found.append(f"the file is {count(file_size)} bytes; an image file ends below "
                     f"{count(FILE_SIZE_LIMIT)}")
    return found


def report(image, file_size):
    """tools/inspect's "loader" entry: whether Windows starts the image, and why not."""
    found = problems(image, file_size)
    return {"starts": not found, "problems": found}


def summary(entry):
    """One line for tools/inspect's table."""
    if entry["starts"]:
        return (f"starts: Windows maps it (SizeOfImage at most {count(LARGEST_IMAGE)}; "
                "alignments, headers, sections and file size as its loader demands)")
    return "does NOT start on Windows: " + "; ".join(entry["problems"])

"""How large an installer may be, and the refusal of anything larger, made
before the output is written.

The binding limit is Windows' loader: it maps no image whose SizeOfImage is
larger than 0x77000000 bytes (loader.LARGEST_IMAGE, with its sources), so an
installer beyond it never starts. Wine maps and runs such an image, so only
this check stands between a release and an installer Windows refuses. The
largest archive is that limit less what the image holds besides it (headers,
code, the kit's resources, setup and alignment): 1,996,406,464 bytes beside a
small setup.

The format's own limits, each a 32-bit field, stay as further checks
(Microsoft's documentation pages in brackets):

- One resource's bytes: the resource data entry's Size is 32 bits ["PE
  Format", The .rsrc Section, Resource Data Entry], and SizeofResource, through
  which setup learns the archive's size, returns a DWORD ["SizeofResource
  function (libloaderapi.h)"]. At most 4,294,967,295 bytes.
- The whole image in memory: SizeOfImage is 32 bits and a multiple of
  SectionAlignment (4 KiB here) ["PE Format", Optional Header Windows-Specific
  Fields]; a section's VirtualSize and VirtualAddress are 32 bits too
  ["PE Format", Section Table]. At most 4,294,963,200 bytes, headers, code and
  every resource included.
- The file: a section's PointerToRawData and SizeOfRawData are 32 bits ["PE
  Format", Section Table], and a signature's certificate table is found
  through a 32-bit file offset with a 32-bit size, at the end of the file ["PE
  Format", The Attribute Certificate Table (Image Only)]. So a signed file ends
  before 4 GiB; SIGNATURE_ROOM is kept free for the signature itself.

A payload file too large for one resource is refused first, before the code
is linked; the loader's limit is checked next, once the code's size is
known and the programs among the payload are signed (their signatures count),
before the payload is copied or the installer signed.
"""
from . import loader
from .loader import count
from .layout import Refusal
from .pe import DWORD_MAX

RESOURCE_SIZE_MAX = DWORD_MAX
SECTION_ALIGNMENT = 4096
IMAGE_SIZE_MAX = DWORD_MAX // SECTION_ALIGNMENT * SECTION_ALIGNMENT
FILE_SIZE_MAX = DWORD_MAX
# Room left for the certificate table when signing: a chain of a few
# certificates and a timestamp or two take some kilobytes.
SIGNATURE_ROOM = 64 * 1024


def check_resource_sizes(entries):
    """Refuses a payload file too large for one resource."""
    for entry in entries:
        if entry.size > RESOURCE_SIZE_MAX:
            raise Refusal(f"{entry.origin}: {entry.label()} ({entry.path}) is {count(entry.size)} "
                          f"bytes; one resource holds at most {count(RESOURCE_SIZE_MAX)} (its data "
                          "entry's Size and SizeofResource are 32-bit)")


def check_image(size_of_image, section_end, file_size, layout, signing):
    """Refuses an installer whose image Windows would not map (section_end:
    where the resource section's bytes end in memory), or whose image or file
    would not fit the format."""
    largest = layout.largest()
    made_of = (f"{count(size_of_image - layout.size)} of headers, code and alignment, "
               f"{count(layout.size)} of resources")
    if largest is not None:
        made_of += f", of which {largest.type}:{largest.name} is {count(largest.size)}"
    if size_of_image > loader.LARGEST_IMAGE:
        # Shrinking by the unaligned overshoot is enough: the limit is a
        # multiple of the section alignment. The resource placed last (the
        # largest file) can take the whole cut.
        over = section_end - loader.LARGEST_IMAGE
        last = layout.placed[-1] if layout.placed else None
        most = (f" ({last.type}:{last.name} can be at most {count(last.size - over)} bytes "
                "beside the rest)" if last is not None and last.size > over else "")
        raise Refusal(f"the installer's image would span {count(size_of_image)} bytes ({made_of}); "
                      f"Windows maps no image larger than {count(loader.LARGEST_IMAGE)} bytes "
                      f"(SizeOfImage, 0x{loader.LARGEST_IMAGE:X}) and would not start it, so the "
                      f"payload must shrink by {count(over)} byte{'' if over == 1 else 's'}{most}; a "
                      "larger payload does not fit one installer")
    if size_of_image > IMAGE_SIZE_MAX:
        raise Refusal(f"the installer's image would span {count(size_of_image)} bytes ({made_of}); "
                      f"SizeOfImage allows at most {count(IMAGE_SIZE_MAX)}, so the payload must "
                      f"shrink by {count(size_of_image - IMAGE_SIZE_MAX)} bytes")
    room = SIGNATURE_ROOM if signing else 0
    if file_size + room > FILE_SIZE_MAX:
        what = " with room for its signature" if signing else ""
        raise Refusal(f"the installer would be a file of {count(file_size + room)} bytes{what} "
                      f"({made_of}); its 32-bit file offsets reach {count(FILE_SIZE_MAX)}, so the "
                      f"payload must shrink by {count(file_size + room - FILE_SIZE_MAX)} bytes")

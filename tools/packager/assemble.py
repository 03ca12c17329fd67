"""Putting an installer together: the kit's code linked alone, its own
resources compiled, the resource section written after the code with every
payload file copied into place by the kernel (the programs among them signed
beforehand: embedded.py), then, when asked, signed.

Memory stays small whatever the payload: only the linker's output and the
kit's resources are held, and file contents go from file to file inside the
kernel (copy_file_range). The output appears whole or not at all: it is
written beside OUT under another name and renamed when complete.
"""
import json
import os
import shutil
import subprocess

from . import limits, loader, signing
from .layout import Refusal
from .pe import DIRECTORY_RESOURCE, RESOURCE_SECTION_FLAGS, Image, read_image
from .rsrc import Layout, Resource, read_res, write_section
from .version import check_version, compiler_defines

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load_kit(arch, kit_dir):
    if kit_dir is None:
        kit_dir = os.path.join(REPO, "build", arch, "kit")
        if not os.path.exists(os.path.join(kit_dir, "kit.json")):
            subprocess.run(["cmake", "--preset", arch], cwd=REPO, check=True,
                           stdout=subprocess.DEVNULL)
        # Keep the kit current with the sources.
        subprocess.run(["cmake", "--build", os.path.join(REPO, "build", arch), "--target", "kit"],
                       cwd=REPO, check=True, stdout=subprocess.DEVNULL)
    kit_file = os.path.join(kit_dir, "kit.json")
    try:
        with open(kit_file) as f:
            kit = json.load(f)
    except (OSError, ValueError) as error:
        raise Refusal(f"cannot read the kit description {kit_file}: {error}")
    if kit.get("arch") != arch:
        raise Refusal(f"kit {kit_dir} is for {kit.get('arch')}, not {arch}")
    return kit


def ensure_signing_packages():
    """Installs what signing needs when it is missing (tools/lib/packages.sh)."""
    subprocess.run(["bash", "-c", '. "$0/tools/lib/packages.sh"; ensure_signing_packages', REPO],
                   check=True, stdout=subprocess.DEVNULL)


def make_cabinet(setup, work):
    cab = os.path.join(work, "setup.cab")
    member_dir = os.path.join(work, "member")
    os.makedirs(member_dir)
    member = os.path.join(member_dir, "setup.exe")
    shutil.copyfile(setup, member)
    shutil.copystat(setup, member)
    subprocess.run(["gcab", "-c", "-z", "-n", cab, member], check=True, cwd=member_dir,
                   stdout=subprocess.DEVNULL)
    return cab


def rc_path(path):
    return os.path.abspath(path).replace("\\", "\\\\")


def kit_resources(kit, work, version):
    """The kit's own resources (manifest, version record, icon), compiled
    with the version when one is given."""
    script = os.path.join(work, "installer.rc")
    with open(script, "w", encoding="utf-8") as f:
        f.write(f'#include "{rc_path(os.path.join(kit["resources"], "installer.rc"))}"\n')
    res = os.path.join(work, "installer.res")
    defines = compiler_defines(version) if version else []
    # The input and output by name, from their directory: llvm-rc reads a
    # path that starts with a slash as an option when it stands alone.
    subprocess.run([kit["rc"], "/C", "65001", *defines, "/I", kit["resources"],
                    "/I", kit["include"], "/FO", os.path.basename(res),
                    os.path.basename(script)], check=True, cwd=work,
                   stdout=subprocess.DEVNULL)
    resources = read_res(res)
    if version:
        check_version(resources, version)
    return resources


def link_code(kit, work):
    """The installer's code and data, without resources."""
    linked = os.path.join(work, "code.exe")
    subprocess.run([kit["cxx"], f"--target={kit['triple']}", "-nostdlib", "-fuse-ld=lld",
                    f"-Wl,-e,{kit['entry']}", "-Wl,--subsystem,windows",
                    "-Wl,--no-insert-timestamp", "-Wl,--file-alignment,4096",
                    "-Wl,--dynamicbase", "-Wl,--nxcompat", "-Wl,--high-entropy-va",
                    "-Wl,--guard-cf",
                    "-Wl,--gc-sections", "-s", "-o", linked,
                    "-Wl,--whole-archive", kit["installer_library"], "-Wl,--no-whole-archive",
                    *kit["import_libraries"]], check=True)
    with open(linked, "rb") as f:
        return f.read()


def payload_resources(entries):
    resources = []
    for entry in entries:
        resource = Resource(entry.type, entry.name, entry.language, path=entry.path,
                            size=entry.size)
        resource.entry = entry
        resources.append(resource)
    return resources


def changed_while_read(resource):
    entry = resource.entry
    raise Refusal(f"{entry.origin}: {entry.path} changed size while it was read")


def check_loader(image, file_size):
    """Refuses an installer whose headers Windows' loader would refuse."""
    problems = loader.problems(image, file_size)
    if problems:
        raise Refusal("Windows would not start the installer: " + "; ".join(problems))


def write_installer(code, resources, path, request):
    """Writes the installer to path: the code image with a resource section
    appended. Refuses, before opening path, an image Windows would not start
    or the format cannot hold."""
    image = Image(bytearray(code))
    layout = Layout(resources)
    raw_pointer, section_rva, raw_size, size_of_image = image.placement(layout.size)
    limits.check_image(size_of_image, section_rva + layout.size, raw_pointer + raw_size, layout,
                       request is not None)
    raw_pointer, section_rva, raw_size = image.append_section(
        ".rsrc", layout.size, RESOURCE_SECTION_FLAGS, directory=DIRECTORY_RESOURCE)
    check_loader(image, raw_pointer + raw_size)
    with open(path, "wb") as out:
        out.write(image.head)
        out.write(b"\0" * (raw_pointer - out.tell()))
        write_section(out, layout, section_rva, changed_while_read)
        out.write(b"\0" * (raw_pointer + raw_size - out.tell()))


def assemble(kit, entries, output, work, version=None, request=None):
    """Links the installer at output from the kit and the checked entries
    (the programs among them already signed, when request asks for signing:
    embedded.sign_programs), and signs it as request asks."""
    own = kit_resources(kit, work, version)
    taken = {(r.type, r.name) for r in own}
    for entry in entries:
        if (entry.type, entry.name) in taken:
            raise Refusal(f"{entry.label()} is one of the kit's own resources (manifest, version "
                          "record, icon); an executable holds one resource per type and name")
    resources = own + payload_resources(entries)
    code = link_code(kit, work)
    # Staged beside the output, so that the last step is a rename within one
    # file system: a reader never sees a partly written installer.
    output = os.path.abspath(output)
    os.makedirs(os.path.dirname(output), exist_ok=True)
    staged = output + ".partial"
    unsigned = output + ".unsigned.partial" if request else staged
    try:
        write_installer(code, resources, unsigned, request)
        if request:
            signing.sign(request, unsigned, staged)
            size = os.path.getsize(staged)
            if size <= os.path.getsize(unsigned):
                raise signing.SigningFailed(
                    f"{signing.TOOL} reported success but wrote {limits.count(size)} bytes for an "
                    f"input of {limits.count(os.path.getsize(unsigned))} (osslsigncode 2.5 does "
                    "so for files of 2 GiB or more; tools/lib/packages.sh installs 2.9)")
            os.remove(unsigned)
            if size > limits.FILE_SIZE_MAX:
                raise Refusal(f"the signed installer is {limits.count(size)} bytes; its 32-bit "
                              f"file offsets reach {limits.count(limits.FILE_SIZE_MAX)}")
            check_loader(read_image(staged), size)
        # Executable, as a linker leaves its output.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(staged, 0o777 & ~umask)
        os.replace(staged, output)
    except BaseException:
        for leftover in {staged, unsigned}:
            if os.path.lexists(leftover):
                os.remove(leftover)
        raise

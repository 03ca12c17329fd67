"""Warnings about a setup that Windows may refuse to start from the
installer, or start only under emulation. They do not stop packaging.

- The installer runs as invoker and starts setup with CreateProcessW, which
  does not elevate: a setup whose manifest asks for requireAdministrator or
  highestAvailable fails to start for a user who is not already elevated
  (ERROR_ELEVATION_REQUIRED, 740), and the installer ends with 124 and 740.
- A setup built for another machine than the installer's: on an ARM64
  installer an x64 setup starts only under Windows 11's x64 emulation (an x86
  one under the x86 emulation of Windows on Arm); an ARM64 setup never starts
  on x64 Windows.
"""
import re

from .pe import PeError, read_image
from .rsrc import read_image_resources

RT_MANIFEST = 24
LEVEL = re.compile(rb"""requestedExecutionLevel[^>]*?\blevel\s*=\s*["'](\w+)["']""")
ELEVATED_LEVELS = ("requireAdministrator", "highestAvailable")
MACHINE_NOTES = {
    ("arm64", "x64"): "it starts only where Windows emulates x64 (Windows 11 on Arm)",
    ("arm64", "x86"): "it starts only under the x86 emulation of Windows on Arm",
    ("x64", "arm64"): "it cannot start on x64 Windows",
}


def requested_level(path, image):
    with open(path, "rb") as f:
        for found in read_image_resources(f, image):
            if found.type == RT_MANIFEST:
                f.seek(found.offset)
                match = LEVEL.search(f.read(found.size))
                return match.group(1).decode("ascii") if match else None
    return None


def setup_warnings(path, what, installer_arch):
    """The warnings for setup at path (what names it in the messages)."""
    try:
        image = read_image(path)
        level = requested_level(path, image)
    except (OSError, PeError):
        # Not a program Windows could start at all: nothing to say here.
        return []
    warnings = []
    if image.arch != installer_arch and not (installer_arch == "x64" and image.arch == "x86"):
        note = MACHINE_NOTES.get((installer_arch, image.arch),
                                 "Windows may refuse to start it, or start it only under emulation")
        warnings.append(f"{what} is built for {image.arch} and the installer for {installer_arch}: "
                        f"{note}")
    if level in ELEVATED_LEVELS:
        warnings.append(f"{what} asks for administrator rights in its manifest "
                        f"(requestedExecutionLevel {level}); the installer runs as invoker, so "
                        "for a user who is not elevated setup does not start and the installer "
                        "ends with 124 (detail 740, elevation required)")
    return warnings

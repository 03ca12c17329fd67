"""The installer's exit codes: the stage each comes from, what it means, what
its detail holds, whether the run records it, and what usually causes it.
The one table of them for tools/explain; the README's exit-code table is
the same list for readers, and a test keeps the two together.

A detail (InstallerExtraCode1) is one of: "zero" (always 0), "error" (the
Windows error of the failed call), "attributes" (the attribute word of
setup's path) or "layout" (the payload's verdict: 2, 68, 206, 13 or 0).
Explanations of particular details are in details.py.
"""

WHEN_RECORDED = " (when the updater made the key and no earlier failure is recorded there)"
RECORDED = ("recorded in the client-state key: InstallerResult 1, InstallerError the code, "
            "InstallerExtraCode1 the detail" + WHEN_RECORDED)
SETUP_RECORDED = ("recorded in the client-state key: InstallerResult 1, InstallerError the "
                  "code, InstallerExtraCode1 0" + WHEN_RECORDED)
NOT_RECORDED = ("not recorded: the run ends before its work directory exists, and only a "
                "run that made one writes the client-state key")


class Code:
    def __init__(self, name, stage, meaning, detail, causes, recorded=RECORDED):
        self.name = name
        self.stage = stage
        self.meaning = meaning
        self.detail = detail
        self.causes = causes
        self.recorded = recorded


CODES = {
    0: Code("RC_OK", "the whole run", "setup ran and exited with 0", "zero",
            ["nothing went wrong"],
            "recorded as success: InstallerExtraCode1 = 0x30000 + (the most attempts any "
            "removal needed - 1); InstallerResult and InstallerError are left as they were"),
    101: Code("RC_BAD_COMMAND_LINE", "reading the command line",
              "the command line cannot be split into arguments, or SHELL32, which splits it, "
              "cannot be had from the system directory", "error",
              ["SHELL32 or its CommandLineToArgvW cannot be loaded from the system directory "
               "(126, 127): a damaged Windows installation, or a sandbox that keeps the "
               "process from loading it",
               "the process is out of memory (8, 14)"], NOT_RECORDED),
    105: Code("RC_SETUP_COMMAND_FAILED", "composing setup's command line",
              "the installer's own path cannot be taken in 259 characters (or holds no "
              "backslash), setup's path does not fit, or setup's command line does not fit",
              "zero",
              ["the installer sits in a folder whose path is too long: move it nearer the "
               "drive's root",
               "the installer was given so many or such long arguments that setup's command "
               "line, its three switches with their paths and every argument passed on "
               "(1,299 characters at most), cannot hold them"],
              "recorded when setup's path or command line does not fit; not recorded when "
              "the installer's own path cannot be taken (nothing is made then)"),
    107: Code("RC_SETUP_WAIT_FAILED", "waiting for setup",
              "setup started, but waiting for it or reading its exit code failed", "error",
              ["rare: the system could not wait for the process (out of resources, 1450), "
               "or something closed or broke the installer's handle to setup; setup itself "
               "may have run to its end"]),
    108: Code("RC_PATH_TOO_LONG", "placing the work directory",
              "a composed path (work directory, setup's file, the expanded setup) does not fit "
              "259 characters, or the installer's folder has 236 characters or more, past "
              "which Windows creates no directory of the work directory's name", "zero",
              ["the installer sits in a folder whose path is too long (236 characters or "
               "more with its final backslash): move it nearer the drive's root"],
              "not recorded when the folder is too long (nothing is created then); recorded "
              "when a path inside the work directory does not fit"),
    109: Code("RC_WORK_DIR_FAILED", "creating and holding the work directory",
              "no work directory could be created beside the installer after 10 attempts, or "
              "no random name could be drawn, or the directory just created could not be "
              "held: what stands at its name cannot be opened, is not a plain directory, or "
              "belongs to someone else", "error",
              ["the folder the installer is in cannot be written by this user"],
              NOT_RECORDED),
    112: Code("RC_ARCHIVE_NOT_FOUND", "finding the payload",
              "the payload has no archive, or its layout is broken before the archive's type "
              "was recorded", "layout",
              ["the installer was packaged without --archive, or with a layout that "
               "tools/package refuses unless --unchecked is given: tools/inspect shows what "
               "it carries and the verdict"]),
    115: Code("RC_SETUP_NOT_EXTRACTED", "finding, writing or expanding setup",
              "the payload has no setup, its layout is broken after the archive's type was "
              "recorded, or a compressed setup could not be expanded", "layout",
              ["the installer was packaged without --setup, or with a layout tools/package "
               "refuses unless --unchecked is given: tools/inspect shows it"]),
    116: Code("RC_PAYLOAD_WRITE_FAILED", "writing and holding setup's file",
              "creating, writing or holding setup's file (or its cabinet) in the work "
              "directory failed; a file already at its name is never replaced", "error",
              ["the volume is full, or refuses the write or a query of the file"]),
    117: Code("RC_WORK_DIR_ACL_FAILED", "building the work directory's access list",
              "the work directory's access list could not be built", "error",
              ["the process token's owner cannot be read, or the system cannot build the "
               "security descriptor (out of memory, 8): rare, and nothing was created"],
              NOT_RECORDED),
    118: Code("RC_UNSUPPORTED_SWITCH", "reading the command line",
              "--cleanup or --brivel-frame was given; these switches are retired and nothing "
              "is done", "zero",
              ["the updater or a script still starts the installer with a switch of an older "
               "installer: remove --cleanup and --brivel-frame from its command line"],
              NOT_RECORDED),
    122: Code("RC_SETUP_FILE_MISSING", "starting setup",
              "CreateProcessW failed with \"file not found\" (2) for setup's path",
              "attributes",
              ["something removed setup.exe from the work directory between its writing and "
               "its start: an antivirus that quarantined it (look at its detection history), "
               "or a cleaner of temporary files"]),
    123: Code("RC_SETUP_PATH_MISSING", "starting setup",
              "CreateProcessW failed with \"path not found\" (3) for setup's path",
              "attributes",
              ["the work directory or a folder above it is gone or renamed: a cleaner of "
               "temporary folders, a sync client that moved the folder, or a removable drive "
               "or share that went away while the installer ran"]),
    124: Code("RC_SETUP_NOT_STARTED", "starting setup",
              "CreateProcessW refused to start setup.exe for a reason other than \"file not "
              "found\" or \"path not found\"", "error",
              ["a policy that refuses unsigned or unknown programs (Smart App Control, App "
               "Control for Business, AppLocker, Defender), or setup is not a program this "
               "machine runs: the detail says which",
               "Defender's attack-surface rules can refuse setup.exe with no documented error "
               "code: look for event 1121 in Microsoft-Windows-Windows Defender/Operational"]),
}

# Never an exit code of the installer: an internal status of its registry
# code. An exit code of 111 is setup's own.
INTERNAL_STATUS = {111: "RC_STATE_KEY_TOO_LONG"}

SUCCESS_RECORD_BASE = 0x30000
SUCCESS_RECORD_MOST = 0x30063  # 100 attempts, the removal's limit

# The attribute word of 122 and 123 (GetFileAttributesW; winnt.h).
INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF
FILE_ATTRIBUTES = [
    (0x1, "READONLY"), (0x2, "HIDDEN"), (0x4, "SYSTEM"), (0x10, "DIRECTORY"),
    (0x20, "ARCHIVE"), (0x80, "NORMAL"), (0x100, "TEMPORARY"), (0x200, "SPARSE_FILE"),
    (0x400, "REPARSE_POINT"), (0x800, "COMPRESSED"), (0x1000, "OFFLINE"),
    (0x2000, "NOT_CONTENT_INDEXED"), (0x4000, "ENCRYPTED"), (0x80000, "PINNED"),
    (0x100000, "UNPINNED"), (0x400000, "RECALL_ON_DATA_ACCESS"),
]


def attribute_words(value):
    """The attribute word in names, or None for INVALID_FILE_ATTRIBUTES."""
    if value == INVALID_FILE_ATTRIBUTES:
        return None
    names = [name for bit, name in FILE_ATTRIBUTES if value & bit]
    rest = value & ~sum(bit for bit, _ in FILE_ATTRIBUTES)
    if rest:
        names.append(f"0x{rest:X}")
    return names

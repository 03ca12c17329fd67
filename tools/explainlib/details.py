"""What a detail says about its exit code: for each code, the details that
tell a story of their own, in plain words, with what usually causes them.

Sources, for what Windows does (the URLs are in docs/policies.md):
- Smart App Control and App Control for Business: Microsoft's "Smart App
  Control overview", "Code signing for Smart App Control", "Select types of
  rules to create" (signer rules: RSA keys up to 4096 bits, no ECDSA; option
  20); the code-integrity errors 4551 to 4583; event 3077.
- AppLocker: "Executable rules in AppLocker" (the default rules), 1260 and
  event 8004. Defender: "Attack surface reduction rules reference" (event
  1121, no documented error), "Protect important folders with controlled
  folder access" (event 1123; the write is refused, not the start).
- UAC: "How User Account Control works" (CreateProcessW fails with 740 for a
  program that asks for elevation, and installer detection of 32-bit
  programs named like installers).
- Volumes: Microsoft's FAT driver (Windows-driver-samples,
  filesys/fastfat/fileinfo.c, FatCommonQueryInformation: classes beyond the
  basic ones get STATUS_INVALID_PARAMETER, 87), microsoft/STL #233 and #6180
  (FileAttributeTagInfo and FileIdInfo refused with 87 on FAT32, exFAT and
  SMB shares backed by them), MS-SMB2 3.3.5.20.1 (a server without SMB 3.x
  MUST refuse FileIdInformation with STATUS_NOT_SUPPORTED, 50), Samba's
  smbd (no FileIdInformation class: 87; owners mapped from the server's
  accounts).
"""

SIGN_SETUP = ("sign setup.exe with a certificate of a CA in Microsoft's Trusted Root Program, "
              "RSA key, whole chain (tools/package signs setup whenever it signs the installer; "
              "tools/inspect shows setup's signature)")
CODE_INTEGRITY_EVENT = ("Code Integrity logs event 3077 (3076 in audit mode) in "
                        "Microsoft-Windows-CodeIntegrity/Operational, naming the file")
REPUTATION = ("Smart App Control's cloud reputation service (or an App Control for Business "
              "policy that uses the Intelligent Security Graph) refused setup.exe: ")
FAT_QUERIES = ("the volume refused a file-information query of the installer's hold: "
               "Microsoft's FAT driver answers only the basic classes of "
               "GetFileInformationByHandleEx, and refuses FileAttributeTagInfo and FileIdInfo "
               "with 87; exFAT and CD/DVD volumes answer the same, and so does a share of such "
               "a volume, or a Samba share, which has no FileIdInfo. Installers of this "
               "release ask those volumes only what they answer and fall back where one "
               "refuses, so this comes from an earlier installer or from a filter driver "
               "that refuses more")
FAT_PLACES = ["the installer was started from a USB stick, SD card or external drive formatted "
              "FAT32 or exFAT, from a CD or DVD, or from a share of such a volume or served by "
              "Samba (a Linux server or NAS): copy it to a local NTFS folder and start it "
              "there, or ship an installer of this release"]
SMB_OLD = ("the volume refused a query with ERROR_NOT_SUPPORTED: an SMB server without SMB 3.x "
           "must refuse FileIdInfo so (MS-SMB2 3.3.5.20.1); installers of this release fall "
           "back to GetFileInformationByHandle there, so this comes from an earlier installer "
           "or another refused query")
SMB_OLD_PLACES = ["the installer was started from a share of an old Windows server (2008 R2 or "
                  "Windows 7) or an old NAS: copy it to a local folder, or ship an installer "
                  "of this release"]
NO_CLASS = ("the volume, or a filter driver on it, does not implement a query the installer "
            "makes (STATUS_INVALID_DEVICE_REQUEST)")
CONTROLLED_FOLDERS = ("Controlled Folder Access (Defender) lets only trusted programs write in "
                      "the folders it protects (Documents, Pictures, Videos, Music, Favorites, "
                      "their public counterparts, and any folder an administrator adds): "
                      "the installer's write there is refused, and Defender logs event 1123 "
                      "(\"Unauthorized changes blocked\")")
SHARING = ("another process holds the file or directory open in a way the installer's open "
           "cannot share")

POLICY_BLOCKS = {
    4551: ("Windows' code integrity refused setup.exe: Smart App Control (Windows 11) or an "
           "App Control for Business policy does not allow it. Both check every program the "
           "loader maps, also one an installer writes and starts; a signed installer does not "
           "make its setup trusted. " + CODE_INTEGRITY_EVENT,
           ["setup.exe is not signed: " + SIGN_SETUP,
            "setup.exe is signed by a certificate whose CA is not in Microsoft's Trusted Root "
            "Program (a private or test CA)",
            "App Control's signer rules accept RSA keys of up to 4096 bits only: a setup "
            "signed with an ECDSA key is unsigned there",
            "a policy with option 20 (Revoked Expired As Unsigned) and a revoked certificate, "
            "or an expired one with the lifetime-signing usage",
            "a managed device whose App Control policy allows only its managed installer or "
            "certain publishers"]),
    4556: (REPUTATION + "it classes the file as malicious. A signature does not help then.",
           ["a detection of setup.exe, or a false positive on a new build: look at the file "
            "in the security center's protection history"]),
    4557: (REPUTATION + "it classes the file as a potentially unwanted application.",
           ["setup bundles offers or behaves like adware to the service"]),
    4558: (REPUTATION + "the file has an extension Smart App Control treats as dangerous.",
           ["setup.exe is started under another name or extension than a program's"]),
    4559: (REPUTATION + "the device is offline, so an unknown file cannot be judged; one "
           "signed by a CA of the Trusted Root Program would have run.",
           ["no network on the device: " + SIGN_SETUP]),
    4580: (REPUTATION + "it classes the file as unfriendly.", ["as for 4556"]),
    4581: (REPUTATION + "its reputation could not be had now (a problem of the service); "
           "trying again later may pass.", ["the service or the network failed; " + SIGN_SETUP]),
    4582: ("Windows' code integrity refused setup.exe: the file is explicitly denied, by an App "
           "Control deny rule or Smart App Control's block list. " + CODE_INTEGRITY_EVENT,
           ["a policy denies this file, its hash or its publisher"]),
    4583: ("Windows' code integrity refused setup.exe: the policy requires WHQL signing, which "
           "the file lacks. " + CODE_INTEGRITY_EVENT, ["a strict App Control policy"]),
    1260: ("AppLocker (or a Software Restriction Policy) does not allow setup.exe where it is: "
           "its default rules let standard users run programs only from %WINDIR% and "
           "%PROGRAMFILES%, and the work directory sits beside the installer (Downloads, "
           "AppData, %TEMP%). AppLocker logs event 8004 in Microsoft-Windows-AppLocker/EXE and "
           "DLL.",
           ["a standard user started the installer from a folder of their own on a managed "
            "device: a publisher rule that allows the signed setup lets it run, so " + SIGN_SETUP,
            "or start the installer from a folder the rules allow, as an administrator"]),
    225: ("Microsoft Defender (or another antivirus) found setup.exe infected or unwanted and "
          "refused to start it.",
          ["a detection, or a false positive on a new build: look at Defender's protection "
           "history; a block by an attack-surface rule has no documented error code but "
           "logs event 1121"]),
    740: ("setup.exe asks for elevation and the installer, which runs as invoker, starts it "
          "with CreateProcessW, which does not elevate.",
          ["setup's manifest says requireAdministrator or highestAvailable (tools/package warns "
           "about it)",
           "UAC's installer detection caught a 32-bit setup without a requestedExecutionLevel "
           "whose name or version strings say setup, install or update: give it a manifest "
           "with asInvoker",
           "or start the installer itself elevated"]),
    193: ("setup.exe is not a program this machine can run.",
          ["an x64 setup on Windows 10 on Arm, which does not emulate x64 (Windows 11 on Arm "
           "does)", "an ARM64 setup on x64 Windows",
           "setup.exe is damaged, or not a program at all"]),
    216: ("setup.exe is built for another machine than this one.",
          ["as for 193: an x64 setup on Windows 10 on Arm, an ARM64 setup on x64 Windows"]),
    5: ("access to setup.exe was refused at its start.",
        ["an antivirus, or a Defender attack-surface rule (no documented error code: look for "
         "event 1121)",
         "a share whose server does not grant execute: Samba wants execute permission to "
         "start a program (its create mask or access list lacks it)"]),
    14001: ("setup's manifest is broken, or names an assembly that is not installed.",
            ["look at the SideBySide events in the Application log"]),
    32: ("setup.exe could not be opened to start it: " + SHARING + ".", ["a scanner"]),
}

VOLUME_109 = {
    87: (FAT_QUERIES + ".", FAT_PLACES),
    50: (SMB_OLD + ".", SMB_OLD_PLACES),
    1: (NO_CLASS + ".", FAT_PLACES),
    1307: ("the directory just made is owned by another account than this process's. On a "
           "share the owner is the server's (a local account of a workgroup server, or the "
           "Unix owner Samba maps), never the client's.",
           ["the installer was started from a network share: copy it to a local folder",
            "or someone replaced the directory between its creation and its hold (a shared "
            "download folder): the run refused to use it, as it must"]),
    267: ("what stands at the work directory's name is not a plain directory (a file, a link "
          "or a junction).",
          ["someone replaced the directory between its creation and its hold: the run refused "
           "to use it, as it must"]),
    5: ("the directory just made could not be opened.",
        ["on a share, the server's rules: an access list mapped by Samba may keep even its "
         "maker out", "an antivirus or a filter driver"]),
    32: ("the directory just made could not be held: " + SHARING + ".",
         ["a scanner, indexer or sync client (OneDrive, Dropbox) that opened the new folder "
          "at once"]),
    31: ("the system's random generator failed, so no name anyone could not foresee could be "
         "drawn; nothing was created.", ["a damaged or restricted Windows installation"]),
    126: ("the system's random generator (ADVAPI32's SystemFunction036) could not be loaded; "
          "nothing was created.", ["a damaged or restricted Windows installation"]),
    127: ("the system's random generator (ADVAPI32's SystemFunction036) could not be found; "
          "nothing was created.", ["a damaged or restricted Windows installation"]),
    0: ("every one of the 10 attempts to create a uniquely named work directory beside the "
        "installer failed (their errors are not kept).",
        ["the folder cannot be written by this user: Program Files or another folder of the "
         "system, a read-only folder, a CD or DVD, a write-protected USB stick or SD card",
         CONTROLLED_FOLDERS,
         "the disk is full"]),
}

WRITE_116 = {
    80: ("a file already stood at setup's name in the fresh work directory; it is never "
         "replaced.",
         ["someone put it there between the directory's creation and setup's writing: on a "
          "shared folder, or on FAT/exFAT, where there are no access lists"]),
    1006: ("the file held after writing is not the one the installer wrote.",
           ["someone swapped setup's file between its writing and its hold: the run refused "
            "to start it, as it must"]),
    5: ("creating or writing setup's file was refused (access denied).",
        [CONTROLLED_FOLDERS, "an antivirus that refuses programs written there",
         "on a share, the server's rules"]),
    2: ("creating setup's file failed with \"file not found\", though the work directory "
        "exists.",
        ["Controlled Folder Access: refused creates in a protected folder have been seen to "
         "report \"file not found\"; look for Defender event 1123"]),
    87: (FAT_QUERIES + ".", FAT_PLACES),
    50: (SMB_OLD + ".", SMB_OLD_PLACES),
    1: (NO_CLASS + ".", FAT_PLACES),
    32: ("setup's file could not be opened again to hold it: " + SHARING + ".",
         ["a scanner or sync client that opened the new file for writing or deleting"]),
    112: ("the disk is full.", ["free space on the installer's volume: setup is written there"]),
    39: ("the disk is full.", ["free space on the installer's volume: setup is written there"]),
    19: ("the volume is write-protected.", ["a locked SD card or USB stick, or a read-only "
                                            "medium"]),
    225: ("Defender (or another antivirus) refused setup's file as it was written.",
          ["a detection, or a false positive on a new build: look at the protection history"]),
}

LAYOUT = {
    2: ("the payload has no {what}.", ["packaged without --{option}"]),
    68: ("the payload holds two archives or two setups.", ["a --resource beside --setup or "
                                                           "--archive"]),
    206: ("a payload name has 260 characters or more.", ["a --resource with a long name"]),
    13: ("a payload name begins neither with \"brivel\" nor with \"setup\".",
         ["a --resource in the types B7, BL or BN that is neither"]),
}

EXPANSION_115 = ("the compressed setup could not be expanded through cabinet.dll.",
                 ["the cabinet is damaged, or not made as tools/package makes it",
                  "cabinet.dll cannot be loaded from the system directory",
                  "the work directory's path, in UTF-8, passes the cabinet library's 256-byte "
                  "limit (a deep folder with non-ASCII names)",
                  "the disk filled up while setup was expanded"])

BY_CODE = {109: VOLUME_109, 116: WRITE_116, 124: POLICY_BLOCKS}


def explain_detail(code, detail):
    """(explanation, causes) of a detail of code, or None when the detail
    tells nothing of its own here."""
    if code in (112, 115) and detail in LAYOUT:
        text, causes = LAYOUT[detail]
        what = "archive" if code == 112 else "setup"
        return text.format(what=what), [cause.format(option=what) for cause in causes]
    if code == 115 and detail == 0:
        return EXPANSION_115
    table = BY_CODE.get(code, {})
    if detail & 0xFFFF0000 == 0x80070000:
        detail &= 0xFFFF
    return table.get(detail)

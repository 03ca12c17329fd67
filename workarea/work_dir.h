// The private work directory: created fresh beside the executable under a
// random name ("BV_" + five upper-case hexadecimal digits + ".tmp"), never
// shared with another run. On volumes that keep access lists it gets a
// protected list of its own, so it does not take over the permissions of the
// folder the executable was started from: only Administrators, Local System
// and the process token's default owner reach the directory, and every file
// created inside is reachable by Administrators, Local System and its own
// owner.
#pragma once

#include "base/bounded_string.h"
#include "base/run_outcome.h"
#include "base/windows_api.h"

constexpr int WORK_DIR_NAME_ATTEMPTS = 10;

// The work directory held open from its creation to its removal: nobody can
// rename or remove it meanwhile (the handle shares reading and writing but
// not deletion), so its name keeps naming the directory the installer made.
// Files inside can still be created and deleted. Dropping the record
// releases the handle.
struct WorkDirHold {
  WorkDirHold() = default;
  WorkDirHold(const WorkDirHold&) = delete;
  WorkDirHold& operator=(const WorkDirHold&) = delete;
  ~WorkDirHold();

  HANDLE handle = INVALID_HANDLE_VALUE;
};

// Closes the handle, if any. Safe on an empty record and twice in a row.
void ReleaseWorkDir(WorkDirHold& hold);

inline WorkDirHold::~WorkDirHold() { ReleaseWorkDir(*this); }

// Creates the work directory inside parent (which ends in a backslash) and
// holds it: right after its creation the directory is opened and checked to
// be a directory, not a link or junction, and, on a local volume that keeps
// access lists, owned by this process (the token's default owner or its
// user). On a share the server owns what is made there, so no owner is
// compared, and FAT32 and exFAT keep no owners at all.
// RC_OK: the directory exists, path holds its full path with a final
// backslash, and hold, when given, holds it (otherwise it is released
// before returning). RC_PATH_TOO_LONG (no platform call made) when the
// directory's path would be longer than the platform creates directories
// for (a parent of 236 characters or more), RC_WORK_DIR_ACL_FAILED with the
// last error when the security descriptor cannot be built,
// RC_WORK_DIR_FAILED when every name attempt failed (detail 0), when no
// random name could be drawn (detail: the generator's error), or when the
// created directory could not be held (detail: the error of the open or of
// a query, ERROR_DIRECTORY for something other than a plain directory,
// ERROR_INVALID_OWNER for another owner's directory). On failure path
// holds no usable path and no handle stays open. When the hold cannot be
// taken, the directory goes again if it is empty (RemoveDirectoryW), and
// whatever else stands at the name is left alone.
RunOutcome CreateWorkDir(const WideChar* parent, PathBuffer& path,
                         WorkDirHold* hold = nullptr);

// Builds the work directory's security descriptor for a directory inside
// parent. True with *descriptor null: the volume keeps no access lists, is
// a share (whose server's rules apply), or cannot be asked, and default
// security applies. True with a
// descriptor: the caller releases it with LocalFree. False: the owner SID
// could not be had or the descriptor not built; the last-error value tells
// why.
bool BuildWorkDirSecurity(const WideChar* parent,
                          PSECURITY_DESCRIPTOR* descriptor);

// The process token's default owner SID (TokenOwner, not TokenUser) as text,
// which the caller releases with LocalFree. False when it cannot be had.
bool GetOwnerSidString(LPWSTR* sid_string);

// The descriptor text for an owner SID string: the fixed protected list and
// one entry for the owner. False, with the text empty, when it does not fit.
bool ComposeWorkDirSddl(const WideChar* owner_sid, SddlBuffer& sddl);

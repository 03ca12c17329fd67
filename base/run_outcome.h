// The result every stage of a run returns, and the table of the installer's
// own exit codes. The process exit code is either setup's own code, passed
// through unchanged, or one of the codes below; os_error is only ever
// recorded in the updater's client-state key.
#pragma once

#include <stdint.h>

struct RunOutcome {
  uint32_t exit_code;  // 0 is success; any other value is a failure
  uint32_t os_error;   // a Windows error, a file-attribute word or 0
};

// Success; as the run's outcome: setup ran and exited with 0.
constexpr uint32_t RC_OK = 0;
// The process command line cannot be split into arguments. Detail: the
// last-error value of the failed split.
constexpr uint32_t RC_BAD_COMMAND_LINE = 101;
// The executable's own path cannot be taken in 259 characters, setup's path
// does not fit its copy, or setup's command line does not fit. Detail: 0.
constexpr uint32_t RC_SETUP_COMMAND_FAILED = 105;
// Setup was started but waiting for it, or reading its exit code, failed.
// Detail: the last-error value.
constexpr uint32_t RC_SETUP_WAIT_FAILED = 107;
// A composed path does not fit PATH_CAPACITY. Detail: 0.
constexpr uint32_t RC_PATH_TOO_LONG = 108;
// None of the attempts to create a uniquely named work directory succeeded.
// Detail: 0.
constexpr uint32_t RC_WORK_DIR_FAILED = 109;
// Status of OpenClientStateKey only: the key's path does not fit. Never an
// exit code.
constexpr uint32_t RC_STATE_KEY_TOO_LONG = 111;
// The payload search failed before the archive's type was recorded, or found
// no archive. Detail: 68, 206, 13, or 2 when there is no archive at all.
constexpr uint32_t RC_ARCHIVE_NOT_FOUND = 112;
// The payload search failed after the archive's type was recorded, found no
// setup (detail 2), or a compressed setup could not be expanded (detail 0).
constexpr uint32_t RC_SETUP_NOT_EXTRACTED = 115;
// Creating setup's file or writing its bytes failed. Detail: the last error.
constexpr uint32_t RC_PAYLOAD_WRITE_FAILED = 116;
// The work directory's security descriptor could not be built. Detail: the
// last-error value at that moment.
constexpr uint32_t RC_WORK_DIR_ACL_FAILED = 117;
// A retired switch is among the arguments. Detail: 0.
constexpr uint32_t RC_UNSUPPORTED_SWITCH = 118;
// Starting setup failed with ERROR_FILE_NOT_FOUND. Detail: the attribute word
// of setup's path (INVALID_FILE_ATTRIBUTES when nothing is there).
constexpr uint32_t RC_SETUP_FILE_MISSING = 122;
// Starting setup failed with ERROR_PATH_NOT_FOUND. Detail: as for 122.
constexpr uint32_t RC_SETUP_PATH_MISSING = 123;
// Starting setup failed with any other error. Detail: that error.
constexpr uint32_t RC_SETUP_NOT_STARTED = 124;

// Turns the executable's payload resources into a runnable setup file in the
// work directory, and finds the archive that setup will read straight out of
// this executable. The archive itself is never written.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/run_outcome.h"
#include "base/windows_api.h"
#include "workarea/output_file.h"

// Searches "B7", "BL" and "BN" in that order, writes setup into work_dir
// ("setup.exe" for "BN", its own resource name for "BL" and "B7") and expands
// a cabinet of type "BL" to "setup.exe", removing the compressed file.
// Every file is created new and held from its writing: the cabinet until
// its expansion has ended, setup's file, with setup_hold, until the caller
// releases it (otherwise it is closed before returning), so that nobody
// can write, delete or rename it meanwhile. archive_name and archive_type
// receive what the search recorded (the type once the walk of its type
// ended cleanly), setup_path the file to run, or, on failure, what the
// table of outcomes says; a file whose hold could not be taken fails the
// stage as its writing would (116 for setup's file or the cabinet, 115 for
// the expanded setup). largest_attempt_count is only ever raised, by the
// removal of a compressed file.
RunOutcome ExtractPayload(HMODULE module, const WideChar* work_dir,
                          PathBuffer& setup_path, PathBuffer& archive_name,
                          ResourceTypeBuffer& archive_type,
                          int32_t& largest_attempt_count,
                          OutputFile* setup_hold = nullptr);

#include "run/run_installer.h"

#include "base/bounded_string.h"
#include "launch/setup_launch.h"
#include "payload/payload_extraction.h"
#include "run/install_result.h"
#include "run/invocation_config.h"
#include "workarea/removal.h"
#include "workarea/work_dir.h"

namespace {

// Removes setup's file (when its path was composed) and then the work
// directory, and returns the largest attempt count of the run's removals.
int32_t RemoveWorkArea(const PathBuffer& setup_path, const PathBuffer& work_dir,
                       int32_t largest_attempt_count) {
  int32_t running_maximum = largest_attempt_count;
  if (BoundedLength(setup_path.text, PATH_CAPACITY) != 0) {
    int32_t attempts = 0;
    RemoveWithRetries(setup_path.text, attempts);
    if (attempts > running_maximum) running_maximum = attempts;
  }
  // Attempted whatever happened to setup's file.
  int32_t attempts = 0;
  RemoveWithRetries(work_dir.text, attempts);
  return attempts > running_maximum ? attempts : running_maximum;
}

}  // namespace

RunOutcome RunInstaller(HMODULE module) {
  InvocationConfig config;
  RunOutcome outcome = {RC_OK, 0};

  if (!ParseInvocation(config)) {
    outcome = {RC_BAD_COMMAND_LINE, GetLastError()};
    ResetInvocation(config);
    return outcome;
  }
  if (config.unsupported_switch) {
    ResetInvocation(config);
    return {RC_UNSUPPORTED_SWITCH, 0};
  }

  // Without its own directory the run cannot place its work directory; it
  // ends with the code setup's launch uses for the same condition, having
  // created and recorded nothing (exiting with 0 would report success).
  PathBuffer directory;
  const DWORD length =
      GetModuleFileNameW(module, directory.text, PATH_CAPACITY);
  WideChar* name = nullptr;
  if (length != 0 && length < PATH_CAPACITY) {
    name = FileNamePart(directory.text, length);
  }
  if (name == nullptr || name == directory.text) {
    ResetInvocation(config);
    return {RC_SETUP_COMMAND_FAILED, 0};
  }
  *name = 0;

  PathBuffer work_dir;
  outcome = CreateWorkDir(directory.text, work_dir);
  if (outcome.exit_code != RC_OK) {
    ResetInvocation(config);
    return outcome;
  }

  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  int32_t largest_attempt_count = 0;
  const RunOutcome extraction =
      ExtractPayload(module, work_dir.text, setup_path, archive_name,
                     archive_type, largest_attempt_count);
  // Setup's bytes were paged in from the image only to be written out; give
  // the memory back before setup runs.
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1),
                           static_cast<SIZE_T>(-1));

  bool setup_succeeded = false;
  if (extraction.exit_code == RC_OK) {
    outcome = LaunchSetup(config, module, archive_name.text, archive_type.text,
                          setup_path.text);
    setup_succeeded = outcome.exit_code == RC_OK;
  } else {
    outcome = extraction;
  }

  if (config.cleanup_enabled) {
    largest_attempt_count =
        RemoveWorkArea(setup_path, work_dir, largest_attempt_count);
  }

  if (setup_succeeded) {
    ReportInstallSuccess(config, largest_attempt_count);
  } else {
    ReportInstallFailure(config, outcome);
  }
  ResetInvocation(config);
  return outcome;
}

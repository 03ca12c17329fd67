#include "run/run_installer.h"

#include "base/bounded_string.h"
#include "launch/setup_launch.h"
#include "payload/payload_extraction.h"
#include "run/install_result.h"
#include "run/invocation_config.h"
#include "workarea/output_file.h"
#include "workarea/removal.h"
#include "workarea/work_dir.h"

namespace {

// Removes setup's file (when its path was composed) and then the work
// directory, and returns the largest attempt count of the run's removals.
// Each goes first through the hold the run has on it, so that what goes is
// what the run made even if someone renames it once the hold has gone;
// removal by path then rides out whatever kept that from working (a
// scanner still holding setup, a directory whose entries are on their way
// out) and, where no hold was taken, removes what stands at the name.
int32_t RemoveWorkArea(const PathBuffer& setup_path, OutputFile& setup_hold,
                       const PathBuffer& work_dir, WorkDirHold& work_dir_hold,
                       int32_t largest_attempt_count) {
  int32_t running_maximum = largest_attempt_count;
  if (setup_path.text[0] != 0) {
    RemoveThroughHandle(setup_hold.handle);
    int32_t attempts = 0;
    RemoveWithRetries(setup_path.text, attempts);
    if (attempts > running_maximum) running_maximum = attempts;
  }
  // Attempted whatever happened to setup's file.
  RemoveThroughHandle(work_dir_hold.handle);
  int32_t attempts = 0;
  RemoveWithRetries(work_dir.text, attempts);
  return attempts > running_maximum ? attempts : running_maximum;
}

// Everything from the work directory's creation on: the run's outcome, its
// removals and its record. Nothing is left open when it returns.
RunOutcome RunInWorkArea(const InvocationConfig& config, HMODULE module,
                         const WideChar* directory) {
  // The work directory is held from its creation to its removal, and setup's
  // file from its writing until setup has ended: from the moment each exists
  // nobody can rename them, or write or delete setup, so the directory and
  // the program that run are the ones this run made.
  PathBuffer work_dir;
  WorkDirHold work_dir_hold;
  RunOutcome outcome = CreateWorkDir(directory, work_dir, &work_dir_hold);
  if (outcome.exit_code != RC_OK) return outcome;

  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  int32_t largest_attempt_count = 0;
  OutputFile setup_hold;
  const RunOutcome extraction =
      ExtractPayload(module, work_dir.text, setup_path, archive_name,
                     archive_type, largest_attempt_count, &setup_hold);
  // Setup's bytes were paged in from the image only to be written out; give
  // the memory back before setup runs.
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1),
                           static_cast<SIZE_T>(-1));

  bool setup_succeeded = false;
  if (extraction.exit_code == RC_OK) {
    // Process creation starts setup from the held file, which the hold
    // reads and shares for reading only. Microsoft documents the access
    // process creation needs to the image (read and execute, CreateProcessW)
    // but not the share mode of its open; that open must share reading,
    // since one program can run several times at once, and so it is granted
    // beside the hold (Wine's shares reading and deletion). The hold lasts
    // until setup has ended, not only until it has started: a running image
    // can still be renamed, on Windows as under Wine, and a setup renamed
    // away would outlive the run while something else put in its place was
    // removed instead.
    outcome = LaunchSetup(config, module, archive_name.text, archive_type.text,
                          setup_path.text);
    setup_succeeded = outcome.exit_code == RC_OK;
  } else {
    outcome = extraction;
  }
  if (config.cleanup_enabled) {
    largest_attempt_count = RemoveWorkArea(
        setup_path, setup_hold, work_dir, work_dir_hold, largest_attempt_count);
  }
  CloseOutputFile(setup_hold);
  ReleaseWorkDir(work_dir_hold);

  if (setup_succeeded) {
    ReportInstallSuccess(config, largest_attempt_count);
  } else {
    ReportInstallFailure(config, outcome);
  }
  return outcome;
}

}  // namespace

RunOutcome RunInstaller(HMODULE module) {
  InvocationConfig config;
  RunOutcome outcome = {RC_UNSUPPORTED_SWITCH, 0};
  PathBuffer directory;
  if (!ParseInvocation(config)) {
    outcome = {RC_BAD_COMMAND_LINE, CallGetLastError()};
  } else if (!config.unsupported_switch) {
    // Without its own directory the run cannot place its work directory; it
    // ends with the code setup's launch uses for the same condition, having
    // created and recorded nothing (exiting with 0 would report success).
    const DWORD length =
        GetModuleFileNameW(module, directory.text, PATH_CAPACITY);
    WideChar* name = directory.text;
    if (length != 0 && length < PATH_CAPACITY) {
      name = FileNamePart(directory.text, length);
    }
    if (name == directory.text) {
      outcome = {RC_SETUP_COMMAND_FAILED, 0};
    } else {
      *name = 0;
      outcome = RunInWorkArea(config, module, directory.text);
    }
  }
  ResetInvocation(config);
  return outcome;
}

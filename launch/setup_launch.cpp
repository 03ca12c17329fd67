#include "launch/setup_launch.h"

#include "base/stack_protection.h"

FRAME_WITHOUT_ARRAYS
RunOutcome RunAndWait(const WideChar* application_path,
                      WideChar* child_command_line,
                      uint32_t file_not_found_code,
                      uint32_t path_not_found_code,
                      uint32_t start_failed_code) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application_path, child_command_line, nullptr, nullptr,
                      FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    const DWORD error = CallGetLastError();  // before anything else
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return {start_failed_code, error};
    }
    const uint32_t code = error == ERROR_FILE_NOT_FOUND ? file_not_found_code
                                                        : path_not_found_code;
    return {code, GetFileAttributesW(application_path)};
  }
  CallCloseHandle(process.hThread);

  DWORD exit_code = 0;
  RunOutcome outcome = {0, 0};
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &exit_code)) {
    outcome = {RC_SETUP_WAIT_FAILED, CallGetLastError()};
  } else {
    outcome = {exit_code, 0};
  }
  CallCloseHandle(process.hProcess);
  return outcome;
}

RunOutcome LaunchSetup(const InvocationConfig& config, HMODULE module,
                       const WideChar* archive_name,
                       const WideChar* archive_type,
                       const WideChar* setup_path) {
  const RunOutcome command_failed = {RC_SETUP_COMMAND_FAILED, 0};
  PathBuffer own_path;
  const DWORD length =
      GetModuleFileNameW(module, own_path.text, PATH_CAPACITY);
  // PATH_CAPACITY itself means the path filled the buffer and may be cut.
  if (length == 0 || length >= PATH_CAPACITY) return command_failed;

  PathBuffer setup_copy;
  if (!BoundedCopy(setup_copy.text, PATH_CAPACITY, setup_path)) {
    return command_failed;
  }
  CommandBuffer command_line;
  if (!ComposeSetupCommandLine(setup_copy.text, own_path.text, archive_name,
                               archive_type, config.command_line,
                               command_line)) {
    return command_failed;
  }
  return RunAndWait(setup_copy.text, command_line.text, RC_SETUP_FILE_MISSING,
                    RC_SETUP_PATH_MISSING, RC_SETUP_NOT_STARTED);
}

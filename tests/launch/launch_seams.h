// Link seams of launch_seam_test: the program defines the import slots of a
// few KERNEL32 functions itself, so every call through them, the product's
// included, reaches the fakes below. Each fake passes through to the real
// function until a test arms it; ResetLaunchSeams restores that.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace launch_seams {

// What the fakes saw while recording: "create", "close <handle>",
// "wait <handle>", "exit-code <handle>", "module-file-name".
// Only calls from the thread that set `recording` count: GoogleTest's own
// watcher thread waits on handles too.
struct Record {
  bool recording = false;
  DWORD thread = 0;
  std::vector<std::string> calls;
  PROCESS_INFORMATION created = {};  // what CreateProcessW handed back
  int create_calls = 0;
  // What CreateProcessW was asked for besides the program and its command
  // line: "flags=0x... inherit=N environment=own|given directory=own|given".
  std::string creation;
};

struct Faults {
  // WaitForSingleObject returns wait_result with wait_error as last error.
  bool fail_wait = false;
  DWORD wait_result = WAIT_FAILED;
  DWORD wait_error = 0;
  // GetExitCodeProcess returns FALSE with exit_code_error.
  bool fail_exit_code = false;
  DWORD exit_code_error = 0;
  // GetModuleFileNameW fills module_file_name (cut to the buffer with a
  // terminator, as the function does) and returns module_file_name_result.
  bool fake_module_file_name = false;
  std::wstring module_file_name;
  DWORD module_file_name_result = 0;
  DWORD module_file_name_error = 0;
};

extern Record record;
extern Faults faults;

void ResetLaunchSeams();

// Starts and stops recording on the calling thread.
void StartRecording();
void StopRecording();

// The handles CreateProcessW handed back, as "close"/"wait" entries name
// them.
std::string Name(HANDLE handle);

}  // namespace launch_seams

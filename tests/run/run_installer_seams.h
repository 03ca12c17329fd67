// Link seams of run_installer_seam_test: the whole run, RunInstaller, inside
// the test program, whose own module carries no payload. While a test has
// armed the seams (Arm), the fakes below observe the run's platform calls and
// can fail them; the program's own calls, and every call while disarmed, pass
// through untouched.
//
// While armed, the run never reads the real "BrivelInstallerCleanup" (the
// open of HKEY_CURRENT_USER "Software\Morvex" fails as if the key were
// missing, so removal stays on), and its client-state key, whatever the GUID,
// is the test's own key named by client_state_redirect.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace run_seams {

struct State {
  // Faults and stand-ins.
  DWORD split_error = 0;  // CommandLineToArgvW fails with it
  DWORD shell32_load_error = 0;  // SHELL32 cannot be loaded, with it
  // GetModuleFileNameW writes module_file_name (cut to the buffer, with a
  // terminator) and returns module_file_name_result with
  // module_file_name_error as last error.
  bool fake_module_file_name = false;
  std::wstring module_file_name;
  DWORD module_file_name_result = 0;
  DWORD module_file_name_error = 0;
  DWORD fail_open_token = 0;        // OpenProcessToken
  DWORD fail_create_directory = 0;  // every CreateDirectoryW
  DWORD fail_trim = 0;              // SetProcessWorkingSetSize
  std::wstring fail_value_write;    // RegSetValueExW of this value name
  // The sub-key (under the root the run chose) opened instead of any
  // client-state key; empty: a key that does not exist.
  std::wstring client_state_redirect;

  // Observations.
  int module_file_name_calls = 0;
  std::vector<std::wstring> created_directories;
  int trim_calls = 0;
  SIZE_T trim_minimum = 0;
  SIZE_T trim_maximum = 0;
  // Client-state sub-keys the run asked for, as it composed them.
  std::vector<std::wstring> client_state_opens;
  // What others got at the moment of process creation, 0 for success: an
  // open of the program for writing, one for deleting, and a rename of the
  // directory it lies in.
  std::vector<DWORD> at_process_creation;
};

State& Seams();

// Disarmed, every fault off, every observation cleared.
void Reset();

// Faults and observations apply only between Arm and Disarm.
void Arm();
void Disarm();

}  // namespace run_seams

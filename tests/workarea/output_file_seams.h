// Link seams of output_file_test. The file calls of OutputFile and
// WriteSpanToFile are replaced for the whole program by fakes that count
// them and pass through to the real functions, unless a test arms a fault.
#pragma once

#include <windows.h>

#include <vector>

namespace output_file_seams {

struct State {
  // Faults.
  int fail_write_number = 0;  // 1-based WriteFile call that fails, 0: none
  DWORD fail_write_error = 0;
  // Non-zero: SetFileInformationByHandle and CloseHandle leave this as the
  // last-error value even when they succeed, as platform calls may.
  DWORD clean_up_error = 0;
  // CloseHandle closes the handle but reports failure (ERROR_INVALID_HANDLE).
  bool fail_close = false;
  // Runs just before CreateFileW opens an existing file: what someone else
  // may do between the writing handle's close and the hold's open.
  void (*before_open_existing)(const wchar_t* path) = nullptr;
  // Non-zero: GetFileInformationByHandleEx refuses FileIdInfo with it.
  DWORD refuse_file_id = 0;

  // Observations.
  int create_file_calls = 0;
  int write_calls = 0;
  std::vector<DWORD> write_sizes;  // bytes asked for, in call order
  int close_calls = 0;
  int set_information_calls = 0;
  int duplicate_calls = 0;
};

State& Seams();

// Every fault off, every count zero.
void Reset();

}  // namespace output_file_seams

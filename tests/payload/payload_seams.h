// Link seams of payload_test. A few imports of the whole program are replaced
// by fakes that pass through to the real functions unless a test arms a
// fault: a write that fails (a full disk cannot be had on demand), a cabinet
// library that will not load, a handle that cannot be duplicated; and they
// record the basic information and deletion marks set on files (Wine keeps
// no creation time it is given, so the time the product asked for is read
// here). WriteFile counts every call of the program, the tests' own included.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace payload_seams {

struct State {
  // Faults.
  int fail_write_number = 0;  // 1-based WriteFile call that fails, 0: none
  DWORD fail_write_error = 0;
  bool fail_library_loads = false;  // LoadLibraryExW fails with 126
  bool fail_duplicate = false;       // DuplicateHandle fails with 8

  // Observations.
  int write_calls = 0;
  std::vector<std::wstring> library_loads;  // paths given to LoadLibraryExW
  int basic_info_calls = 0;
  FILE_BASIC_INFO last_basic_info = {};  // the last FileBasicInfo record set
  int disposition_calls = 0;  // FileDispositionInfo: a file marked for deletion
};

State& Seams();

// Every fault off, every observation cleared.
void Reset();

}  // namespace payload_seams

// Link seams of payload_test. A few imports of the whole program are replaced
// by fakes that pass through to the real functions unless a test arms a
// fault: a write that fails (a full disk cannot be had on demand), a cabinet
// library that will not load or lacks its entry points, a handle that cannot
// be duplicated, process-heap memory that runs out, a resource that cannot be
// loaded or locked; and they record the basic information and deletion marks
// set on files (Wine keeps no creation time it is given, so the time the
// product asked for is read here). WriteFile counts every call of the
// program, the tests' own included.
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
  // Non-empty: LoadLibraryExW loads this library instead of the one asked
  // for (a real library that lacks the cabinet entry points).
  std::wstring substitute_library;
  // LoadLibraryExW hands back this program's own module, which exports the
  // stand-in cabinet library's entry points (cabinet_stand_in.h).
  bool stand_in_library = false;
  int fail_heap_alloc_number = 0;  // 1-based HeapAlloc call that fails
  bool fail_load_resource = false;  // LoadResource fails with 1812
  bool fail_lock_resource = false;  // LockResource gives no pointer

  // Observations.
  int write_calls = 0;
  std::vector<std::wstring> library_loads;  // paths given to LoadLibraryExW
  int basic_info_calls = 0;
  FILE_BASIC_INFO last_basic_info = {};  // the last FileBasicInfo record set
  int disposition_calls = 0;  // FileDispositionInfo: a file marked for deletion
  int heap_alloc_calls = 0;
  int live_heap_blocks = 0;  // handed out by HeapAlloc, not yet freed
};

State& Seams();

// Every fault off, every observation cleared.
void Reset();

}  // namespace payload_seams

// Link seams of work_dir_test. The imports that CreateWorkDir reaches are
// replaced for the whole program by fakes that count and observe each call
// and pass through to the real function, unless a test arms a fault. The
// random generator, which the product looks up in ADVAPI32 from the system
// directory at run time, is this program's own exported SystemFunction036:
// the LoadLibraryExW fake hands the program's module back for ADVAPI32.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace work_dir_seams {

// What CreateDirectoryW was handed besides the path.
struct CapturedAttributes {
  bool present = false;
  DWORD length = 0;
  BOOL inherit_handle = TRUE;
  // A copy of the self-relative security descriptor (empty when none).
  std::vector<uint8_t> descriptor;
};

struct State {
  // Faults: each fake fails with the given error when it is non-zero.
  // Bytes handed to SystemFunction036 in order; the real generator once the
  // queue is empty.
  std::deque<std::array<uint8_t, 4>> random_bytes;
  DWORD fail_generator_load = 0;   // ADVAPI32 from the system directory
  bool generator_missing = false;  // the library lacks SystemFunction036
  bool generator_fails = false;    // SystemFunction036 returns FALSE
  bool clear_persistent_acls = false;  // the volume's flags
  bool remote_volume = false;  // FileRemoteProtocolInfo answered: a share
  // Windows' rule, which Wine does not apply: CreateDirectoryW refuses a
  // path longer than MAX_PATH - 12 characters with the terminator (247
  // characters) with ERROR_FILENAME_EXCED_RANGE, unless it begins with
  // "\\?\" ("Naming Files, Paths, and Namespaces"; the CreateDirectoryW
  // page).
  bool windows_directory_path_limit = false;
  DWORD fail_volume_information = 0;  // GetVolumeInformationByHandleW
  DWORD fail_open_token = 0;
  DWORD fail_owner_size_probe = 0;  // GetTokenInformation without a buffer
  DWORD fail_owner_query = 0;       // GetTokenInformation into the block
  DWORD fail_local_alloc = 0;
  DWORD fail_sid_conversion = 0;
  DWORD fail_descriptor_conversion = 0;
  // Non-zero: ConvertSidToStringSidW hands out a well-formed-looking SID
  // text of this many characters instead of the real one.
  size_t sid_text_length = 0;
  // Non-zero: LocalFree and CloseHandle leave this as the last-error value
  // even when they succeed, as platform calls may.
  DWORD clean_up_error = 0;
  // The hold on the created directory: the attributes its query reports
  // (non-zero: instead of the real ones), its owner query (or a foreign
  // owner).
  DWORD held_attributes = 0;
  DWORD fail_owner_read = 0;
  bool foreign_owner = false;

  // Observations.
  int platform_calls = 0;  // every seamed call below
  int random_calls = 0;
  int volume_information_calls = 0;
  int open_token_calls = 0;
  std::vector<std::wstring> created_paths;  // every CreateDirectoryW path
  std::vector<CapturedAttributes> attributes;
  HANDLE token = nullptr;
  bool token_closed = false;
  // Local-heap blocks handed to the program (LocalAlloc, the SID string, the
  // security descriptor) and not yet given back to LocalFree.
  int local_blocks_handed_out = 0;
  std::set<void*> live_local_blocks;
};

State& Seams();

// Every fault off, every observation cleared.
void Reset();

}  // namespace work_dir_seams

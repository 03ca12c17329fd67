// decoy.dll: a library that only records that it was loaded. The scenarios
// copy it under the names of system libraries (cabinet.dll, version.dll, ...)
// beside an installer and into the current directory; a marker file shows
// that some loader picked it up instead of the system's own library.
//
// On DLL_PROCESS_ATTACH it writes "<its own path>.loaded", holding the path
// of the loading process's executable (UTF-16, no terminator), and returns
// TRUE so that the loading process goes on as if nothing had happened.
//
// No run-time library: a raw entry point and KERNEL32 only.
#include "base/windows_api.h"

namespace {

// Every path the scenarios use is well below this.
constexpr DWORD PATH_CHARS = 600;
const wchar_t MARKER_SUFFIX[] = L".loaded";

void WriteMarker(HINSTANCE instance) {
  wchar_t marker[PATH_CHARS + sizeof(MARKER_SUFFIX) / sizeof(wchar_t)];
  const DWORD length = GetModuleFileNameW(instance, marker, PATH_CHARS);
  if (length == 0 || length >= PATH_CHARS) return;
  for (DWORD i = 0; MARKER_SUFFIX[i] != 0; ++i) {
    marker[length + i] = MARKER_SUFFIX[i];
    marker[length + i + 1] = 0;
  }
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  wchar_t process_path[PATH_CHARS];
  const DWORD process_length =
      GetModuleFileNameW(nullptr, process_path, PATH_CHARS);
  DWORD written = 0;
  if (process_length != 0 && process_length < PATH_CHARS) {
    WriteFile(file, process_path, process_length * sizeof(wchar_t), &written,
              nullptr);
  }
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DecoyEntry(HINSTANCE instance, DWORD reason,
                                  LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) WriteMarker(instance);
  return TRUE;
}

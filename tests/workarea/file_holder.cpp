// Holds a file open from a process of its own, the way a scanner or a child
// that has not quite let go does: read access, sharing read and write but
// not delete, so nobody can delete the file while it is held.
//
//   workarea_file_holder PATH READY_EVENT RELEASE_EVENT HOLD_MS
//
// Opens PATH, signals the named READY_EVENT, then holds the file until the
// named RELEASE_EVENT is signalled or HOLD_MS milliseconds have passed
// ("infinite": no time limit), closes it and exits with 0. Exits with the
// open's error when PATH cannot be opened, with 1 on bad arguments.
#include <windows.h>

#include <cwchar>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 1;
  const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
  const HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
  if (!ready || !release) return 1;
  const DWORD hold = std::wcscmp(argv[4], L"infinite") == 0
                         ? INFINITE
                         : static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10));

  const HANDLE file =
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  SetEvent(ready);
  WaitForSingleObject(release, hold);
  CloseHandle(file);
  return 0;
}

#include "workarea/removal.h"

#include "base/stack_protection.h"
#include "base/windows_api.h"

namespace {

// Opens files and directories alike; a link or junction is opened itself.
constexpr DWORD OPEN_FLAGS =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD SHARE_ALL =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Marks path for deletion. ERROR_SUCCESS once the mark is set (the handle is
// closed again), otherwise the error of the open or of the mark.
DWORD TryMarkForDeletion(const WideChar* path) {
  HANDLE handle = CreateFileW(path, DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                              OPEN_FLAGS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return CallGetLastError();
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  DWORD error = ERROR_SUCCESS;
  if (!SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                  sizeof(disposition))) {
    error = CallGetLastError();
  }
  CallCloseHandle(handle);
  return error;
}

// Clears a read-only attribute, writing every other attribute and time back
// as it was read. True only when the attribute was set and the write was
// accepted. An attribute word of 0 tells SetFileInformationByHandle to leave
// the attributes as they are (FILE_BASIC_INFO, "If this is set to 0 ... none
// of the attributes are changed"), so a file whose only attribute is
// read-only gets FILE_ATTRIBUTE_NORMAL instead. Wine adds the archive
// attribute to every file, which hides this there.
bool ClearReadOnly(const WideChar* path) {
  HANDLE handle =
      CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  SHARE_ALL, nullptr, OPEN_EXISTING, OPEN_FLAGS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO basic = {};
  bool cleared = false;
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic,
                                   sizeof(basic)) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    cleared = SetFileInformationByHandle(handle, FileBasicInfo, &basic,
                                         sizeof(basic)) != FALSE;
  }
  CallCloseHandle(handle);
  return cleared;
}

}  // namespace

FRAME_WITHOUT_ARRAYS
bool RemoveWithRetries(const WideChar* path, int32_t& attempt_count) {
  attempt_count = 1;
  // Within one attempt the routine may go back once after a deletion mark
  // and once after clearing read-only without counting; anything more
  // counts as a wait. So no answer of the platform, however odd, can keep
  // it going past the attempt limit.
  bool marked = false;
  bool cleared = false;
  for (;;) {
    const DWORD error = TryMarkForDeletion(path);
    // A successful mark is checked by opening again: the object is gone only
    // when the open says so; one still held by someone else answers with
    // access denied and is waited for. A platform that lets a marked object
    // be opened and marked again is waited for too.
    if (error == ERROR_SUCCESS && !marked) {
      marked = true;
      continue;
    }
    switch (error) {
      case ERROR_SUCCESS:
        break;
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return true;
      case ERROR_DIR_NOT_EMPTY:
      case ERROR_SHARING_VIOLATION:
        break;
      case ERROR_ACCESS_DENIED:
        // A clear that did not take effect is waited for like any other
        // refusal.
        if (!cleared && ClearReadOnly(path)) {
          cleared = true;
          continue;
        }
        break;
      default:
        return false;
    }
    if (attempt_count == REMOVAL_ATTEMPT_LIMIT) return false;
    marked = false;
    cleared = false;
    ++attempt_count;
    Sleep(REMOVAL_WAIT_MS);
  }
}

FRAME_WITHOUT_ARRAYS
void RemoveThroughHandle(HANDLE& held) {
  HANDLE handle = held;
  held = INVALID_HANDLE_VALUE;
  // The hold is traded for the attributes-only handle, that one for the
  // deleting one, and that one is closed: each handle is closed once the
  // next one has been asked for, and a failed trade ends the chain.
  for (int step = 0; handle != INVALID_HANDLE_VALUE; ++step) {
    HANDLE next = INVALID_HANDLE_VALUE;
    if (step < 2) {
      const bool deleting = step == 1;
      next = ReOpenFile(handle, deleting ? DELETE : FILE_READ_ATTRIBUTES,
                        SHARE_ALL,
                        deleting ? OPEN_FLAGS | FILE_FLAG_DELETE_ON_CLOSE
                                 : OPEN_FLAGS);
    }
    CallCloseHandle(handle);
    handle = next;
  }
}

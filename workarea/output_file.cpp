#include "workarea/output_file.h"

#include "base/stack_protection.h"

namespace {

bool SameBytes(const void* left, const void* right, size_t count) {
  const uint8_t* a = static_cast<const uint8_t*>(left);
  const uint8_t* b = static_cast<const uint8_t*>(right);
  for (size_t i = 0; i < count; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A file's identity, and the query it came from, so that identities of the
// two kinds never compare alike.
struct FileIdentity {
  uint64_t by_index;
  FILE_ID_INFO id;
};

// Fills identity for the file of handle; ERROR_SUCCESS or the query's error.
// FileIdInfo gives the volume's serial and the 128-bit ID, the only ID that
// is unique on ReFS (BY_HANDLE_FILE_INFORMATION's remarks). FAT32, exFAT
// and CDFS answer it with ERROR_INVALID_PARAMETER (the FAT driver answers
// only the classes of FatCommonQueryInformation), a share without SMB 3.x
// with ERROR_NOT_SUPPORTED (MS-SMB2 3.3.5.20.1), Samba with
// ERROR_INVALID_PARAMETER; a class no file system below knows may come
// back as ERROR_INVALID_FUNCTION. There the volume's serial and the 64-bit
// index of GetFileInformationByHandle stand in: unique while the file
// exists, though on FAT it is the position of the file's directory entry,
// so a file renamed may come back with another one.
FRAME_WITHOUT_ARRAYS
DWORD QueryFileIdentity(HANDLE file, FileIdentity& identity) {
  identity.by_index = 0;
  if (GetFileInformationByHandleEx(file, FileIdInfo, &identity.id,
                                   sizeof(identity.id))) {
    return ERROR_SUCCESS;
  }
  const DWORD error = CallGetLastError();
  if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
      error != ERROR_INVALID_FUNCTION) {
    return error;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) {
    return CallGetLastError();
  }
  identity.by_index = 1;
  identity.id.VolumeSerialNumber = information.dwVolumeSerialNumber;
  uint64_t* words = reinterpret_cast<uint64_t*>(identity.id.FileId.Identifier);
  words[0] = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
             information.nFileIndexLow;
  words[1] = 0;
  return ERROR_SUCCESS;
}

}  // namespace

bool CreateOutputFile(OutputFile& output, const WideChar* path) {
  CloseOutputFile(output);
  if (!BoundedCopy(output.path.text, PATH_CAPACITY, path)) return false;
  // DELETE access is what lets MarkOutputFileForDeletion work on this
  // handle, attribute access what lets HoldOutputFile read the file's ID
  // through it. No sharing: nobody else can open the file at all while it
  // is being written, not even to delete or rename it.
  output.handle = CreateFileW(
      output.path.text, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0,
      nullptr, CREATE_NEW, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL,
      nullptr);
  if (output.handle == INVALID_HANDLE_VALUE) {
    output.path.text[0] = 0;
    return false;
  }
  return true;
}

void CloseOutputFile(OutputFile& output) {
  HANDLE held = output.handle;
  output.handle = INVALID_HANDLE_VALUE;
  output.path.text[0] = 0;
  if (held != INVALID_HANDLE_VALUE) CallCloseHandle(held);
}

HANDLE OpenToHold(const WideChar* path, DWORD access, DWORD share,
                  DWORD flags) {
  for (int attempt = 1;; ++attempt) {
    const HANDLE handle = CreateFileW(path, access, share, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD error = CallGetLastError();
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_SHARING_VIOLATION) ||
        attempt == HOLD_OPEN_ATTEMPTS) {
      return handle;
    }
    Sleep(HOLD_OPEN_WAIT_MS);
  }
}

FRAME_WITHOUT_ARRAYS
bool HoldOutputFile(OutputFile& output) {
  // The writing handle shares nothing, so the file can only be opened again
  // once it is closed. Between the two, someone with access to the folder
  // could put another file in its place: the file's identity tells. The
  // two records are compared only once both queries have filled them.
  FileIdentity written;
  FileIdentity reopened;
  const HANDLE writer = output.handle;
  output.handle = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_INVALID_HANDLE;
  if (writer != INVALID_HANDLE_VALUE) {
    error = QueryFileIdentity(writer, written);
    CallCloseHandle(writer);
  }
  if (error == ERROR_SUCCESS) {
    // A link put in the file's place is opened itself, and has another ID.
    output.handle = OpenToHold(output.path.text, GENERIC_READ,
                               FILE_SHARE_READ, FILE_FLAG_OPEN_REPARSE_POINT);
    if (output.handle == INVALID_HANDLE_VALUE) {
      error = CallGetLastError();
    } else {
      error = QueryFileIdentity(output.handle, reopened);
      if (error == ERROR_SUCCESS &&
          !SameBytes(&written, &reopened, sizeof(written))) {
        error = ERROR_FILE_INVALID;
      }
    }
  }
  if (error == ERROR_SUCCESS) return true;
  CloseOutputFile(output);
  SetLastError(error);
  return false;
}

bool IsOutputFileOpen(const OutputFile& output) {
  return output.handle != INVALID_HANDLE_VALUE;
}

FRAME_WITHOUT_ARRAYS
bool MarkOutputFileForDeletion(OutputFile& output) {
  if (output.handle == INVALID_HANDLE_VALUE) return false;
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(output.handle, FileDispositionInfo,
                                    &disposition, sizeof(disposition)) != FALSE;
}

FRAME_WITHOUT_ARRAYS
HANDLE DuplicateOutputFileHandle(const OutputFile& output) {
  if (output.handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, output.handle, process, &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return duplicate;
}

HANDLE OutputFileHandle(const OutputFile& output) { return output.handle; }

bool WriteSpanToFile(const ResourceSpan& span, const WideChar* path,
                     OutputFile* hold) {
  OutputFile own_output;
  OutputFile& output = hold ? *hold : own_output;
  if (!CreateOutputFile(output, path)) return false;
  for (uint64_t offset = 0; offset < span.size;) {
    uint64_t chunk = span.size - offset;
    if (chunk > WRITE_CHUNK_SIZE) chunk = WRITE_CHUNK_SIZE;
    DWORD written = 0;
    if (!WriteFile(OutputFileHandle(output), span.data + offset,
                   static_cast<DWORD>(chunk), &written, nullptr)) {
      const DWORD error = CallGetLastError();
      // No other handle is open, so closing the marked file removes it now.
      MarkOutputFileForDeletion(output);
      CloseOutputFile(output);
      SetLastError(error);
      return false;
    }
    // A successful call counts as the whole chunk written.
    offset += chunk;
  }
  if (hold) return HoldOutputFile(output);
  CloseOutputFile(output);
  return true;
}

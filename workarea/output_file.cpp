#include "workarea/output_file.h"

OutputFile::~OutputFile() { CloseOutputFile(*this); }

bool CreateOutputFile(OutputFile& output, const WideChar* path) {
  CloseOutputFile(output);
  if (!BoundedCopy(output.path.text, PATH_CAPACITY, path)) return false;
  // DELETE access is what lets MarkOutputFileForDeletion work on this handle;
  // delete-only sharing keeps everyone else from reading or writing the file
  // while it is being written.
  output.handle = CreateFileW(
      output.path.text, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
      CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL,
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
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
}

bool IsOutputFileOpen(const OutputFile& output) {
  return output.handle != INVALID_HANDLE_VALUE;
}

bool MarkOutputFileForDeletion(OutputFile& output) {
  if (output.handle == INVALID_HANDLE_VALUE) return false;
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(output.handle, FileDispositionInfo,
                                    &disposition, sizeof(disposition)) != FALSE;
}

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

bool WriteSpanToFile(const ResourceSpan& span, const WideChar* path) {
  OutputFile output;
  if (!CreateOutputFile(output, path)) return false;
  for (uint64_t offset = 0; offset < span.size;) {
    uint64_t chunk = span.size - offset;
    if (chunk > WRITE_CHUNK_SIZE) chunk = WRITE_CHUNK_SIZE;
    DWORD written = 0;
    if (!WriteFile(OutputFileHandle(output), span.data + offset,
                   static_cast<DWORD>(chunk), &written, nullptr)) {
      const DWORD error = GetLastError();
      // No other handle is open, so closing the marked file removes it now.
      MarkOutputFileForDeletion(output);
      CloseOutputFile(output);
      SetLastError(error);
      return false;
    }
    // A successful call counts as the whole chunk written.
    offset += chunk;
  }
  CloseOutputFile(output);
  return true;
}

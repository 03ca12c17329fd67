// One file being written in the work directory: a path and an owned handle.
// The platform can be asked to delete the file when its last handle closes,
// so that a write failing part-way leaves nothing behind, and a second handle
// to the same open file can be handed to a library that writes through its
// own handle.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"

// The largest amount handed to one write call.
constexpr uint32_t WRITE_CHUNK_SIZE = 0x800000;

// Bytes of a resource in the executable's own mapped image; copies and owns
// nothing, and stays valid for the life of the process.
struct ResourceSpan {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

struct OutputFile {
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Dropping the record does what CloseOutputFile does.
  ~OutputFile();

  PathBuffer path;  // empty when the record holds no file
  HANDLE handle = INVALID_HANDLE_VALUE;
};

// Closes what the record holds (without a deletion mark: an unmarked file
// stays on disk), then creates a new file at path for writing, shared with
// nobody while it is written. A file already at the path is not replaced:
// in a fresh work directory it can only have been put there by someone
// else. False when the path does not fit (no platform call; the last-error
// value is untouched) or the file cannot be created (the last-error value
// is CreateFileW's, ERROR_FILE_EXISTS for a file already there); the record
// is then empty.
bool CreateOutputFile(OutputFile& output, const WideChar* path);

// Opens the object at path (OPEN_EXISTING) to hold it, with the access,
// sharing and flags given. Someone renaming it in the instant before (and
// putting it back), or holding it open to rename it, makes the open fail
// with ERROR_FILE_NOT_FOUND or ERROR_SHARING_VIOLATION: it is tried again
// after HOLD_OPEN_WAIT_MS, at most HOLD_OPEN_ATTEMPTS times in all. The
// handle, or INVALID_HANDLE_VALUE with the last open's error as the
// last-error value. What it opens is the caller's to check.
constexpr int HOLD_OPEN_ATTEMPTS = 100;
constexpr uint32_t HOLD_OPEN_WAIT_MS = 1;
HANDLE OpenToHold(const WideChar* path, DWORD access, DWORD share,
                  DWORD flags);

// Turns the record's writing handle into a hold on the written file: the
// file is opened again by its path for reading, sharing reading only, so
// that nobody can write, delete or rename it while the record holds it
// (CloseOutputFile releases it), and it must be the very file that was
// written, compared by its file ID. False, with the record empty, when the
// file cannot be opened again or is another file by now
// (ERROR_FILE_INVALID); the last-error value tells which. Whatever is at
// the path then stays there.
bool HoldOutputFile(OutputFile& output);

// Closes the handle, if any, and empties the path. Safe on an empty record
// and twice in a row.
void CloseOutputFile(OutputFile& output);

// Inline, so that dropping a record is a call of CloseOutputFile where it
// is dropped, not a routine of its own.
inline OutputFile::~OutputFile() { CloseOutputFile(*this); }

bool IsOutputFileOpen(const OutputFile& output);

// Asks the platform to delete the file once its last handle, duplicates
// included, closes. False without a platform call on an empty record.
bool MarkOutputFileForDeletion(OutputFile& output);

// A second handle to the same open file with the same access, owned by the
// caller; INVALID_HANDLE_VALUE on an empty record (no platform call) or when
// duplication fails.
HANDLE DuplicateOutputFileHandle(const OutputFile& output);

// The record's own handle; the record keeps ownership.
HANDLE OutputFileHandle(const OutputFile& output);

// Writes span to a new file at path in chunks of at most WRITE_CHUNK_SIZE,
// straight from the span (no intermediate buffer, nothing flushed). With
// hold, the written file is then held in *hold (HoldOutputFile) until the
// caller releases it; otherwise it is closed. On failure the last-error
// value is that of the failing create, write or hold, not of the clean-up
// after it; after a failed create or write no file is left, after a failed
// hold whatever is at the path stays for the caller to remove.
bool WriteSpanToFile(const ResourceSpan& span, const WideChar* path,
                     OutputFile* hold = nullptr);

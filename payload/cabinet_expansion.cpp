#include "payload/cabinet_expansion.h"

#include "base/stack_protection.h"
#include "base/system_library.h"

namespace {

// The installer's process-wide state; zero at start.
CabinetLibrary cabinet_library;
// The expansion in progress, for the close callback, which the library
// hands no context of its own.
ExpansionContext* active_expansion;

// Tried in this order, then the system directory as the system itself
// names it, for a process whose environment names no Windows directory
// (Windows need not live on drive C).
const WideChar* const CABINET_LIBRARY_CANDIDATES[] = {
    L"%WINDIR%\\system32\\cabinet.dll",
    L"%SYSTEMROOT%\\system32\\cabinet.dll",
};
const WideChar CABINET_LIBRARY_NAME[] = L"\\cabinet.dll";

// The library's open flags (the C run-time's values).
constexpr int OPEN_WRITE_ONLY = 0x0001;
constexpr int OPEN_READ_WRITE = 0x0002;
constexpr int OPEN_CREATE = 0x0100;

// Read-only, hidden, system and archive: the cabinet attribute bits that
// share their values with the platform's file attributes.
constexpr USHORT MEMBER_ATTRIBUTE_MASK = 0x27;

constexpr INT_PTR NOTIFY_CONTINUE = 0;
constexpr INT_PTR NOTIFY_SKIP = 0;  // from the copy-file notification
constexpr INT_PTR NOTIFY_ABORT = -1;

// A drive-absolute path ("C:\...") or one beginning with two backslashes
// (a share, or "\\?\"): anything else a loader would resolve against the
// current directory or its search path.
bool IsFullPath(const WideChar* path) {
  const WideChar first = path[0];
  const bool letter = (first >= L'A' && first <= L'Z') ||
                      (first >= L'a' && first <= L'z');
  if (letter && path[1] == L':' && path[2] == L'\\') return true;
  return path[0] == L'\\' && path[1] == L'\\';
}

HANDLE AsHandle(INT_PTR handle) { return reinterpret_cast<HANDLE>(handle); }

// Converts the wide text[0..length) (length -1: up to and including the
// terminator) to UTF-8 in a process-heap block, taken and given back as the
// library's own blocks are. With an explicit length the block is one byte
// longer than the text and the terminator goes there.
char* ToUtf8(const WideChar* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0,
                                       nullptr, nullptr);
  if (size == 0) return nullptr;
  // At most one more than a positive int: it fits the library's ULONG.
  const ULONG block_size = static_cast<ULONG>(size) + (length < 0 ? 0 : 1);
  char* block = static_cast<char*>(CabinetAlloc(block_size));
  if (block == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, 0, text, length, block, size, nullptr,
                          nullptr) == 0) {
    CabinetFree(block);
    return nullptr;
  }
  if (length >= 0) block[size] = 0;
  return block;
}

void FreeUtf8(char* block) {
  if (block) CabinetFree(block);
}

INT_PTR OnCloseFileInfo(ExpansionContext& context,
                        const FDINOTIFICATION& notification) {
  // A zero time or attribute field leaves that property unchanged.
  FILE_BASIC_INFO basic = {};
  FILETIME local = {};
  FILETIME utc = {};
  if (DosDateTimeToFileTime(notification.date, notification.time, &local) &&
      LocalFileTimeToFileTime(&local, &utc)) {
    basic.CreationTime.LowPart = utc.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
  }
  basic.FileAttributes = notification.attribs & MEMBER_ATTRIBUTE_MASK;
  SetFileInformationByHandle(AsHandle(notification.hf), FileBasicInfo, &basic,
                             sizeof(basic));
  // Some cabinet libraries announce a member complete even when its data
  // ran short (a truncated cabinet); a setup cut short must not pass for a
  // good one, so the bytes written are checked against the size announced.
  const DWORD written = SetFilePointer(AsHandle(notification.hf), 0, nullptr,
                                       FILE_CURRENT);
  if (AsHandle(notification.hf) == context.library_handle) {
    context.library_handle = INVALID_HANDLE_VALUE;
  }
  CallCloseHandle(AsHandle(notification.hf));
  context.completed = written == context.member_size;
  // Asks the library to stop: a cabinet holds setup as its one member, and
  // the outcome is decided by `completed`, never by the library's result.
  return NOTIFY_ABORT;
}

// Loads the library from candidate when it is a full path. Its own
// dependencies come from its folder and the system directory only.
void LoadCabinetCandidate(const PathBuffer& candidate) {
  if (!IsFullPath(candidate.text)) return;
  cabinet_library.module = LoadLibraryExW(
      candidate.text, nullptr,
      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Runs the library over the cabinet named by file_name in directory with
// the instance fdi, which it destroys, and decides the outcome as
// ExpandCabinet describes.
bool CopyFirstMember(HFDI fdi, char* file_name, char* directory,
                     const WideChar* destination_path, OutputFile* hold) {
  OutputFile own_output;
  OutputFile& output = hold ? *hold : own_output;
  CloseOutputFile(output);
  ExpansionContext context;
  context.destination_path = destination_path;
  context.output = &output;
  context.completed = false;
  context.member_announced = false;
  context.member_size = 0;
  context.library_handle = INVALID_HANDLE_VALUE;
  active_expansion = &context;
  cabinet_library.fdi_copy(fdi, file_name, directory, 0, CabinetNotify,
                           nullptr, &context);
  cabinet_library.fdi_destroy(fdi);
  active_expansion = nullptr;

  if (context.library_handle != INVALID_HANDLE_VALUE) {
    // The library failed inside the member and neither announced it closed
    // nor closed the handle it was given. Marked first, the file goes when
    // the record's own handle closes below, and no handle to it stays open
    // to keep it (and the work directory) in place.
    MarkOutputFileForDeletion(output);
    CallCloseHandle(context.library_handle);
    context.library_handle = INVALID_HANDLE_VALUE;
  }
  bool expanded = context.completed;
  if (expanded) {
    FlushFileBuffers(OutputFileHandle(output));
    if (hold) expanded = HoldOutputFile(output);
  } else if (IsOutputFileOpen(output)) {
    // Closing the marked file deletes it: a partial setup is never left.
    MarkOutputFileForDeletion(output);
  }
  if (!hold || !expanded) CloseOutputFile(output);
  return expanded;
}

}  // namespace

CabinetLibrary& LoadedCabinetLibrary() { return cabinet_library; }

void LoadCabinetLibrary() {
  PathBuffer candidate;
  FillBytes(candidate.text, 0, PATH_CAPACITY * sizeof(WideChar));
  for (const WideChar* pattern : CABINET_LIBRARY_CANDIDATES) {
    if (cabinet_library.module != nullptr) return;
    const DWORD count =
        ExpandEnvironmentStringsW(pattern, candidate.text, PATH_CAPACITY);
    // The count includes the terminator; 0 is a failure and a larger count
    // means the expansion did not fit. A variable missing from the
    // environment stays unexpanded ("%WINDIR%\system32\cabinet.dll"), and
    // a relative path would be looked for in the current directory.
    if (count != 0 && count <= PATH_CAPACITY) LoadCabinetCandidate(candidate);
  }
  if (cabinet_library.module != nullptr) return;
  // The length without the terminator; the size it needs when it does not
  // fit, 0 on failure.
  const UINT length = GetSystemDirectoryW(candidate.text, PATH_CAPACITY);
  if (length != 0 && length < PATH_CAPACITY &&
      BoundedAppend(candidate.text, PATH_CAPACITY, CABINET_LIBRARY_NAME)) {
    LoadCabinetCandidate(candidate);
  }
}

void* DIAMONDAPI CabinetAlloc(ULONG size) {
  return HeapAlloc(GetProcessHeap(), 0, size);
}

void DIAMONDAPI CabinetFree(void* block) {
  HeapFree(GetProcessHeap(), 0, block);
}

INT_PTR DIAMONDAPI CabinetOpen(char* path, int flags, int /*mode*/) {
  DWORD access = GENERIC_READ;
  if (flags & OPEN_READ_WRITE) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (flags & OPEN_WRITE_ONLY) {
    access = GENERIC_WRITE;
  }
  const DWORD disposition = (flags & OPEN_CREATE) ? CREATE_ALWAYS
                                                  : OPEN_EXISTING;
  const int length = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (length == 0) return -1;
  // A positive int's worth of characters: its bytes fit the library's ULONG.
  WideChar* wide = static_cast<WideChar*>(
      CabinetAlloc(static_cast<ULONG>(length) * ULONG{sizeof(WideChar)}));
  if (wide == nullptr) return -1;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, length) != 0) {
    handle = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  CabinetFree(wide);
  return reinterpret_cast<INT_PTR>(handle);
}

FRAME_WITHOUT_ARRAYS
UINT DIAMONDAPI CabinetRead(INT_PTR handle, void* buffer, UINT count) {
  DWORD read = 0;
  if (!ReadFile(AsHandle(handle), buffer, count, &read, nullptr)) {
    return 0xFFFFFFFF;
  }
  return read;
}

FRAME_WITHOUT_ARRAYS
UINT DIAMONDAPI CabinetWrite(INT_PTR handle, void* buffer, UINT count) {
  DWORD written = 0;
  if (!WriteFile(AsHandle(handle), buffer, count, &written, nullptr)) {
    return 0xFFFFFFFF;
  }
  return written;
}

int DIAMONDAPI CabinetClose(INT_PTR handle) {
  if (active_expansion != nullptr &&
      AsHandle(handle) == active_expansion->library_handle) {
    active_expansion->library_handle = INVALID_HANDLE_VALUE;
  }
  return CallCloseHandle(AsHandle(handle)) ? 0 : -1;
}

LONG DIAMONDAPI CabinetSeek(INT_PTR handle, LONG distance, int seek_type) {
  // The library's seek types 0, 1 and 2 are FILE_BEGIN, FILE_CURRENT and
  // FILE_END.
  return static_cast<LONG>(SetFilePointer(AsHandle(handle), distance, nullptr,
                                          static_cast<DWORD>(seek_type)));
}

FRAME_WITHOUT_ARRAYS
INT_PTR DIAMONDAPI CabinetNotify(FDINOTIFICATIONTYPE type,
                                 PFDINOTIFICATION notification) {
  ExpansionContext& context =
      *static_cast<ExpansionContext*>(notification->pv);
  switch (type) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
      return NOTIFY_CONTINUE;
    case fdintCOPY_FILE: {
      // Setup is the first member, whatever the library does next: one that
      // goes on after being asked to stop (Wine's takes -1 from the
      // close-file notification as "go on") has every later member skipped,
      // so none can replace the first or turn a later failure into success.
      if (context.member_announced) return NOTIFY_SKIP;
      context.member_announced = true;
      // The member's own name is never read: whatever it is called, its
      // bytes go to the destination. The library writes through a duplicate
      // so that the record keeps a handle of its own to flush or to mark for
      // deletion once the library is done.
      CreateOutputFile(*context.output, context.destination_path);
      context.member_size = static_cast<uint32_t>(notification->cb);
      const HANDLE duplicate = DuplicateOutputFileHandle(*context.output);
      if (duplicate == INVALID_HANDLE_VALUE) return NOTIFY_ABORT;
      context.library_handle = duplicate;
      return reinterpret_cast<INT_PTR>(duplicate);
    }
    case fdintCLOSE_FILE_INFO:
      return OnCloseFileInfo(context, *notification);
    default:
      return NOTIFY_ABORT;
  }
}

bool ExpandCabinet(const WideChar* source_path,
                   const WideChar* destination_path, OutputFile* hold) {
  if (cabinet_library.module == nullptr) LoadCabinetLibrary();
  if (cabinet_library.module == nullptr) return false;
  cabinet_library.fdi_create =
      AsFunction<decltype(&FDICreate)>(
          GetProcAddress(cabinet_library.module, "FDICreate"));
  cabinet_library.fdi_destroy =
      AsFunction<decltype(&FDIDestroy)>(
          GetProcAddress(cabinet_library.module, "FDIDestroy"));
  cabinet_library.fdi_copy =
      AsFunction<decltype(&FDICopy)>(
          GetProcAddress(cabinet_library.module, "FDICopy"));
  if (cabinet_library.fdi_create == nullptr ||
      cabinet_library.fdi_destroy == nullptr ||
      cabinet_library.fdi_copy == nullptr) {
    return false;
  }

  // Split at the last backslash after the first character: the library
  // takes the directory (with its backslash) and the file name apart.
  const uint64_t length = BoundedLength(source_path, PATH_CAPACITY);
  uint64_t split = 0;
  for (uint64_t i = length; i > 1; --i) {
    if (source_path[i - 1] == L'\\') {
      split = i;
      break;
    }
  }
  if (split == 0) return false;

  char* file_name = ToUtf8(source_path + split, -1);
  char* directory = ToUtf8(source_path, static_cast<int>(split));
  bool expanded = false;
  if (file_name != nullptr && directory != nullptr) {
    ERF error = {};
    const HFDI fdi = cabinet_library.fdi_create(
        CabinetAlloc, CabinetFree, CabinetOpen, CabinetRead, CabinetWrite,
        CabinetClose, CabinetSeek, cpuUNKNOWN, &error);
    if (fdi != nullptr) {
      expanded =
          CopyFirstMember(fdi, file_name, directory, destination_path, hold);
    }
  }
  // Given back here on every path, whichever of them could be had.
  FreeUtf8(file_name);
  FreeUtf8(directory);
  return expanded;
}

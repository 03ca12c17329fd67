// Expansion of a setup stored as a cabinet, through the platform's own
// cabinet library loaded at run time from the system directory; the
// installer holds no decompressor of its own. Whatever the cabinet's one
// member is called, its bytes go to the destination path.
#pragma once

#include "base/bounded_string.h"
#include "base/windows_api.h"

#include <fdi.h>
#include "workarea/output_file.h"

// The process-wide cabinet library: empty until a load succeeds, then
// loaded for the life of the process. The entry points are looked up again
// on every expansion. Written without a lock: expansion runs on the
// installer's one thread only.
struct CabinetLibrary {
  HMODULE module;
  decltype(&FDICreate) fdi_create;
  decltype(&FDIDestroy) fdi_destroy;
  decltype(&FDICopy) fdi_copy;
};

// One expansion: where the member goes, the record of the file being
// written (the caller's, when it is to be held afterwards), the size the
// library announced for the member, whether it announced one at all, the
// handle it was given to write the member through (INVALID_HANDLE_VALUE
// once it is closed, by the close-file notification or by the library's
// close callback), and whether the member is complete.
struct ExpansionContext {
  const WideChar* destination_path;
  OutputFile* output;
  bool completed;
  bool member_announced;
  uint32_t member_size;
  HANDLE library_handle;
};

// Expands the cabinet's first member into destination_path, a new file;
// any member the library announces after it is skipped. True exactly when
// the library announced that member complete with as many bytes written as
// it announced for it; the destination then holds the member's bytes,
// flushed, with the member's DOS date and time as its creation time and its
// read-only, hidden, system and archive attributes, and is closed, or, with
// hold, held in *hold (HoldOutputFile) until the caller releases it. False
// otherwise: no destination file of this call's writing is left behind,
// nor any handle to it, whether or not the library gave back the handle it
// was given; only a file whose hold could not be taken stays at the path
// for the caller to remove.
bool ExpandCabinet(const WideChar* source_path,
                   const WideChar* destination_path,
                   OutputFile* hold = nullptr);

// Loads the library from the system directory while it is not loaded yet,
// trying "%WINDIR%\system32", "%SYSTEMROOT%\system32" and then the system
// directory as GetSystemDirectoryW names it; a candidate that does not
// expand to a full path is skipped unloaded.
void LoadCabinetLibrary();

// The process-wide record (for tests of the load rules).
CabinetLibrary& LoadedCabinetLibrary();

// The notification handler the library drives.
INT_PTR DIAMONDAPI CabinetNotify(FDINOTIFICATIONTYPE type,
                                 PFDINOTIFICATION notification);

// The input/output callbacks handed to the library.
void* DIAMONDAPI CabinetAlloc(ULONG size);
void DIAMONDAPI CabinetFree(void* block);
INT_PTR DIAMONDAPI CabinetOpen(char* path, int flags, int mode);
UINT DIAMONDAPI CabinetRead(INT_PTR handle, void* buffer, UINT count);
UINT DIAMONDAPI CabinetWrite(INT_PTR handle, void* buffer, UINT count);
int DIAMONDAPI CabinetClose(INT_PTR handle);
LONG DIAMONDAPI CabinetSeek(INT_PTR handle, LONG distance, int seek_type);

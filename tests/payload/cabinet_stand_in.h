// A stand-in cabinet library inside the payload test program, for what no
// real library can be brought to do on demand. Windows does not document
// what its library does with the destination's handle when it fails inside
// a member, and Wine's always sends the close-file notification; the
// stand-in fails a member without it. The program exports FDICreate,
// FDICopy and FDIDestroy itself, and while a StandInLibrary is alive the
// LoadLibraryExW seam hands the program's own module back for the cabinet
// library, so the product finds these entry points.
//
// Its FDICopy opens the cabinet through the open callback and reads from it,
// announces one member of MEMBER_SIZE bytes with fdintCOPY_FILE, writes half
// of them through the handle it was given, closes the cabinet and fails,
// never sending fdintCLOSE_FILE_INFO. With FAILS_CLOSING the destination's
// handle is closed through the close callback first; with FAILS_KEEPING it
// is left open.
#pragma once

#include <windows.h>

#include "payload/cabinet_expansion.h"

namespace cabinet_stand_in {

constexpr ULONG MEMBER_SIZE = 4096;

enum class Behaviour { FAILS_KEEPING, FAILS_CLOSING };

// What the stand-in saw during the last FDICopy.
struct Observations {
  int copies = 0;
  INT_PTR member_handle = 0;  // what fdintCOPY_FILE returned
  UINT bytes_written = 0;
};

// Puts the stand-in in place of the cabinet library for its lifetime: the
// process-wide record is emptied, so the next expansion loads "the
// library" afresh, and put back as it was afterwards.
class StandInLibrary {
 public:
  explicit StandInLibrary(Behaviour behaviour);
  ~StandInLibrary();
  StandInLibrary(const StandInLibrary&) = delete;
  StandInLibrary& operator=(const StandInLibrary&) = delete;

  const Observations& observed() const;

 private:
  CabinetLibrary saved_;
};

}  // namespace cabinet_stand_in

#include "cabinet_stand_in.h"

#include <cstring>
#include <string>

#include "payload_seams.h"

namespace cabinet_stand_in {
namespace {

constexpr int OPEN_READ_ONLY_BINARY = 0x8000;  // _O_RDONLY | _O_BINARY

struct Library {
  Behaviour behaviour = Behaviour::FAILS_KEEPING;
  PFNOPEN open = nullptr;
  PFNREAD read = nullptr;
  PFNWRITE write = nullptr;
  PFNCLOSE close = nullptr;
  Observations observed;
};

Library library;
char context_token;  // what FDICreate hands out: any non-null address

}  // namespace

StandInLibrary::StandInLibrary(Behaviour behaviour)
    : saved_(LoadedCabinetLibrary()) {
  library = Library();
  library.behaviour = behaviour;
  LoadedCabinetLibrary() = CabinetLibrary{};
  payload_seams::Seams().stand_in_library = true;
}

StandInLibrary::~StandInLibrary() {
  payload_seams::Seams().stand_in_library = false;
  LoadedCabinetLibrary() = saved_;
}

const Observations& StandInLibrary::observed() const {
  return library.observed;
}

}  // namespace cabinet_stand_in

using cabinet_stand_in::Behaviour;
using cabinet_stand_in::library;

// The platform's header declares these entry points; this program defines
// and exports them.
#pragma clang diagnostic ignored "-Wdll-attribute-on-redeclaration"

extern "C" {

__declspec(dllexport) HFDI DIAMONDAPI FDICreate(PFNALLOC, PFNFREE,
                                                PFNOPEN open, PFNREAD read,
                                                PFNWRITE write,
                                                PFNCLOSE close, PFNSEEK,
                                                int, PERF) {
  library.open = open;
  library.read = read;
  library.write = write;
  library.close = close;
  return &cabinet_stand_in::context_token;
}

__declspec(dllexport) BOOL DIAMONDAPI FDICopy(HFDI, char* cabinet,
                                              char* directory, int,
                                              PFNFDINOTIFY notify,
                                              PFNFDIDECRYPT, void* user) {
  ++library.observed.copies;
  std::string path = std::string(directory) + cabinet;
  const INT_PTR source =
      library.open(&path[0], cabinet_stand_in::OPEN_READ_ONLY_BINARY, 0);
  if (source == -1) return FALSE;
  char header[36];
  library.read(source, header, sizeof(header));

  char member_name[] = "member.dat";
  FDINOTIFICATION notification = {};
  notification.cb = cabinet_stand_in::MEMBER_SIZE;
  notification.psz1 = member_name;
  notification.pv = user;
  const INT_PTR member = notify(fdintCOPY_FILE, &notification);
  library.observed.member_handle = member;
  if (member != 0 && member != -1) {
    static char bytes[cabinet_stand_in::MEMBER_SIZE / 2];
    std::memset(bytes, 'm', sizeof(bytes));
    const UINT written = library.write(member, bytes, sizeof(bytes));
    if (written != 0xFFFFFFFF) library.observed.bytes_written = written;
    if (library.behaviour == Behaviour::FAILS_CLOSING) library.close(member);
  }
  library.close(source);
  return FALSE;
}

__declspec(dllexport) BOOL DIAMONDAPI FDIDestroy(HFDI) { return TRUE; }

}  // extern "C"

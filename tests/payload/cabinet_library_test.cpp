// The cabinet library itself: where it is loaded from, what happens when it
// cannot be loaded or lacks its entry points, and the process-heap memory the
// expansion and the library take.
#include "payload/cabinet_expansion.h"

#include <string>
#include <vector>

#include "cabinet_stand_in.h"
#include "cabinet_test_support.h"

namespace {

using namespace cabinet_testing;
using payload_seams::Seams;
using testing_support::FileExists;
using testing_support::ListDirectory;
using testing_support::Narrow;

TEST_F(CabinetExpansionTest, SourceWithoutBackslashAfterFirstCharacterFails) {
  for (const wchar_t* source : {L"member_mszip.cab", L"\\member_mszip.cab"}) {
    SCOPED_TRACE(Narrow(source));
    EXPECT_FALSE(ExpandCabinet(source, destination_.c_str()));
    EXPECT_NE(nullptr, LoadedCabinetLibrary().module);
    EXPECT_FALSE(FileExists(destination_));
  }
}

TEST_F(CabinetExpansionTest, SecondCallLoadsNothingNew) {
  const std::wstring cabinet = PayloadPath(L"member_stored.cab");
  ASSERT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
  const HMODULE loaded = LoadedCabinetLibrary().module;
  ASSERT_NE(nullptr, loaded);
  payload_seams::Reset();
  DeleteFileW(destination_.c_str());

  EXPECT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));

  EXPECT_EQ(std::vector<std::wstring>{}, Seams().library_loads);
  EXPECT_EQ(loaded, LoadedCabinetLibrary().module);
  EXPECT_NE(nullptr, LoadedCabinetLibrary().fdi_copy);
}

// A failed load leaves the record empty, and the next call starts again
// from the first candidate.
TEST_F(CabinetExpansionTest, FailedLoadIsRetriedFromFirstCandidate) {
  const std::wstring cabinet = PayloadPath(L"member_stored.cab");
  wchar_t windir[MAX_PATH] = {};
  wchar_t systemroot[MAX_PATH] = {};
  ASSERT_NE(0u, GetEnvironmentVariableW(L"WINDIR", windir, MAX_PATH));
  ASSERT_NE(0u, GetEnvironmentVariableW(L"SYSTEMROOT", systemroot, MAX_PATH));
  const std::wstring first = std::wstring(windir) + L"\\system32\\cabinet.dll";
  const std::wstring second =
      std::wstring(systemroot) + L"\\system32\\cabinet.dll";
  // The last candidate is the system directory as the system names it,
  // never a fixed drive letter.
  wchar_t system_directory[MAX_PATH] = {};
  ASSERT_NE(0u, GetSystemDirectoryW(system_directory, MAX_PATH));
  const std::wstring third =
      std::wstring(system_directory) + L"\\cabinet.dll";

  CabinetLibrary& library = LoadedCabinetLibrary();
  library = CabinetLibrary{};  // as at the start of a process
  Seams().fail_library_loads = true;
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE("failing call " + std::to_string(call));
    Seams().library_loads.clear();
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    EXPECT_EQ((std::vector<std::wstring>{first, second, third}),
              Seams().library_loads);
    EXPECT_EQ(nullptr, library.module);
  }
  // A candidate that does not expand to a full path is never loaded: one
  // that does not fit, and one that a loader would look for relative to
  // the current directory (a variable missing from the environment stays
  // unexpanded).
  const std::wstring long_windir = L"C:\\" + std::wstring(240, L'w');
  const struct {
    const char* name;
    const wchar_t* windir;
  } skipped[] = {
      {"%WINDIR% expands beyond 259 characters", long_windir.c_str()},
      {"WINDIR is missing", nullptr},
      {"WINDIR is a relative path", L"Windows"},
  };
  for (const auto& c : skipped) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", c.windir));
    Seams().library_loads.clear();
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    SetEnvironmentVariableW(L"WINDIR", windir);
    EXPECT_EQ((std::vector<std::wstring>{second, third}),
              Seams().library_loads);
  }
  EXPECT_FALSE(FileExists(destination_));

  Seams().fail_library_loads = false;
  Seams().library_loads.clear();
  EXPECT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
  EXPECT_EQ(std::vector<std::wstring>{first}, Seams().library_loads);
  EXPECT_NE(nullptr, library.module);
}

// A library that loads but lacks the decompression entry points (here the
// real KERNEL32, handed back for cabinet.dll through the seam): the
// expansion fails, and the library stays loaded, so a later call loads
// nothing and looks the entry points up again.
TEST_F(CabinetExpansionTest, LibraryWithoutTheEntryPointsFailsAndStaysLoaded) {
  const std::wstring cabinet = PayloadPath(L"member_stored.cab");
  CabinetLibrary& library = LoadedCabinetLibrary();
  const CabinetLibrary saved = library;
  library = CabinetLibrary{};
  // A full path, as the library's own folder is searched for its
  // dependencies.
  wchar_t system[MAX_PATH] = {};
  ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
  Seams().substitute_library = std::wstring(system) + L"\\kernel32.dll";
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE("call " + std::to_string(call));
    Seams().library_loads.clear();
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    EXPECT_EQ(call == 1 ? 1u : 0u, Seams().library_loads.size());
    EXPECT_EQ(GetModuleHandleW(L"kernel32.dll"), library.module);
    EXPECT_EQ(nullptr, library.fdi_create);
    EXPECT_EQ(nullptr, library.fdi_copy);
    EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
  }
  library = saved;
}

// The cabinet's name and directory go to the library as UTF-8 in blocks of
// the process heap, and the library's own memory comes from the same heap:
// when one of those blocks cannot be had, the expansion fails, frees what
// it took and leaves no file. The calls are, in order, the file name's
// block, the directory's, and the library context's inside FDICreate.
TEST_F(CabinetExpansionTest, ProcessHeapExhaustionFailsAndFreesEverything) {
  const std::wstring cabinet = PayloadPath(L"member_mszip.cab");
  ASSERT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
  ASSERT_TRUE(DeleteFileW(destination_.c_str()));
  struct Case {
    const char* name;
    int failing_call;
  };
  const Case cases[] = {
      {"the file name's UTF-8 block", 1},
      {"the directory's UTF-8 block", 2},
      {"FDICreate's context", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    payload_seams::Reset();
    Seams().fail_heap_alloc_number = c.failing_call;
    EXPECT_FALSE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    // Both conversions are tried before either result is looked at; after a
    // failed FDICreate nothing more is asked for.
    EXPECT_EQ(c.failing_call < 3 ? 2 : 3, Seams().heap_alloc_calls);
    EXPECT_EQ(0, Seams().live_heap_blocks);
    EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
  }
}

// Windows does not document what its library does with the destination's
// handle when it fails inside a member; Wine's always hands it back through
// the close-file notification. Whether the library keeps the handle or
// closes it through the close callback without a word, the expansion fails
// and neither the file nor a handle to it is left: the name can be taken
// again at once.
TEST_F(CabinetExpansionTest, LibraryFailingAMemberWithoutNotifyingLeavesNothing) {
  using cabinet_stand_in::Behaviour;
  const struct {
    const char* name;
    Behaviour behaviour;
  } cases[] = {
      {"the library keeps the handle", Behaviour::FAILS_KEEPING},
      {"the library closes the handle itself", Behaviour::FAILS_CLOSING},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    payload_seams::Reset();
    cabinet_stand_in::StandInLibrary stand_in(c.behaviour);

    EXPECT_FALSE(ExpandCabinet(PayloadPath(L"member_stored.cab").c_str(),
                               destination_.c_str()));

    EXPECT_EQ(1, stand_in.observed().copies);
    EXPECT_EQ(cabinet_stand_in::MEMBER_SIZE / 2,
              stand_in.observed().bytes_written);
    EXPECT_EQ(std::vector<std::wstring>{}, ListDirectory(out_.path()));
    HANDLE again = CreateFileW(destination_.c_str(), GENERIC_WRITE, 0,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, again) << "error " << GetLastError();
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    DeleteFileW(destination_.c_str());
  }
}

}  // namespace

// bench_copy.exe SOURCE DESTINATION
//
// The plain file copy that the installer's extraction is compared with:
// reads SOURCE and writes DESTINATION in chunks of COPY_CHUNK_SIZE through
// one buffer, the destination opened exactly as the installer opens the
// setup file it writes (write and delete access, delete-only sharing, always
// created, sequential-scan hint), nothing flushed. Prints one "key=value"
// line each:
//   copy_start=T   the clock before SOURCE is opened (100 ns units)
//   copy_end=T     the clock after DESTINATION is closed
//   bytes=N        the bytes copied
//
// Exit status: 0 on success, 1 when a file cannot be opened, read or
// written, 2 for a usage error.
//
// No run-time library: raw entry point, KERNEL32 only, the buffer static.
#include "bench/bench_support.h"

namespace {

// The installer's own write size.
constexpr DWORD COPY_CHUNK_SIZE = 0x800000;
constexpr int ARGUMENT_CAPACITY = 2;
constexpr DWORD COMMAND_CAPACITY = 32768;

wchar_t g_storage[COMMAND_CAPACITY];
uint8_t g_buffer[COPY_CHUNK_SIZE];

const char PROGRAM_NAME[] = "bench_copy";

}  // namespace

extern "C" [[noreturn]] void BenchCopyEntry() {
  const wchar_t* arguments[ARGUMENT_CAPACITY] = {};
  if (SplitArguments(GetCommandLineW(), g_storage, arguments,
                     ARGUMENT_CAPACITY) != 2) {
    Fail(PROGRAM_NAME, "usage: bench_copy SOURCE DESTINATION", nullptr, 0, 2);
  }
  const wchar_t* source_path = arguments[0];
  const wchar_t* destination_path = arguments[1];

  const uint64_t start = PreciseNow();
  HANDLE source = CreateFileW(source_path, GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (source == INVALID_HANDLE_VALUE) {
    Fail(PROGRAM_NAME, "cannot open", source_path, GetLastError(), 1);
  }
  HANDLE destination = CreateFileW(
      destination_path, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
      CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL,
      nullptr);
  if (destination == INVALID_HANDLE_VALUE) {
    Fail(PROGRAM_NAME, "cannot create", destination_path, GetLastError(), 1);
  }
  uint64_t total = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, g_buffer, COPY_CHUNK_SIZE, &read, nullptr)) {
      Fail(PROGRAM_NAME, "cannot read", source_path, GetLastError(), 1);
    }
    if (read == 0) break;
    DWORD written = 0;
    if (!WriteFile(destination, g_buffer, read, &written, nullptr) ||
        written != read) {
      Fail(PROGRAM_NAME, "cannot write", destination_path, GetLastError(), 1);
    }
    total += read;
  }
  CloseHandle(destination);
  CloseHandle(source);
  const uint64_t end = PreciseNow();

  Report report;
  ClearReport(report);
  AppendField(report, "copy_start", start);
  AppendField(report, "copy_end", end);
  AppendField(report, "bytes", total);
  WriteReportToStdout(report);
  ExitProcess(0);
}

// bench_setup.exe: the setup program that benchmark installers carry. Its
// first action is to read the clock, so that (its stamp) - (the runner's
// stamp taken just before the installer was created) is the installer's
// time to setup's start. Then it writes its report and exits with 0 at once.
//
// Environment:
//   BRIVEL_BENCH_STAMP  file to write the report into (replaced); no report
//                       when unset
//
// Report, one "key=value" line each:
//   setup_start=T       the stamp, 100 ns units (GetSystemTimePreciseAsFileTime)
//   image_size=N        the size of its own file in bytes (the benchmark pads
//                       the program with bytes after its image)
//   image_created=T     its own file's creation and last-write times as the
//   image_written=T     platform reports them (Wine reports the last-write
//                       time for both, at the kernel's clock-tick resolution):
//                       for a setup written by the installer, about when
//                       extraction's last write ended
//
// The bytes after the image are never read: the loader maps only the image.
// No run-time library: raw entry point, KERNEL32 only.
#include "bench/bench_support.h"

namespace {

uint64_t FromFileTime(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

wchar_t g_path[MAX_PATH + 1];

}  // namespace

extern "C" [[noreturn]] void BenchSetupEntry() {
  const uint64_t start = PreciseNow();

  const DWORD length = GetEnvironmentVariableW(L"BRIVEL_BENCH_STAMP", g_path,
                                               MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) ExitProcess(0);
  Report report;
  ClearReport(report);
  AppendField(report, "setup_start", start);

  wchar_t own_path[MAX_PATH + 1];
  const DWORD own_length = GetModuleFileNameW(nullptr, own_path, MAX_PATH + 1);
  WIN32_FILE_ATTRIBUTE_DATA own = {};
  if (own_length > 0 && own_length <= MAX_PATH &&
      GetFileAttributesExW(own_path, GetFileExInfoStandard, &own)) {
    AppendField(report, "image_size",
                (static_cast<uint64_t>(own.nFileSizeHigh) << 32) |
                    own.nFileSizeLow);
    AppendField(report, "image_created", FromFileTime(own.ftCreationTime));
    AppendField(report, "image_written", FromFileTime(own.ftLastWriteTime));
  }
  // Exit with 0 whatever: a lost report shows as a missing stamp.
  WriteReportToFile(report, g_path);
  ExitProcess(0);
}

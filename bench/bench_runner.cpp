// bench_runner.exe [--sample-memory] PROGRAM
//
// Starts PROGRAM (command line: its path in quotation marks, no window, no
// inherited handles), waits for it to end and prints one "key=value" line
// each:
//   runner_start=T      the clock just before CreateProcessW (100 ns units,
//                       GetSystemTimePreciseAsFileTime: the clock bench_setup
//                       stamps with)
//   runner_end=T        the clock as soon as the wait returned
//   exit_code=0x........  the child's full exit code
//   peak_working_set=N  the child's PeakWorkingSetSize in bytes, read from its
//                       handle after it ended; or, when that read fails,
//   peak_working_set_error=E
// With --sample-memory the runner waits in slices of SAMPLE_INTERVAL_MS
// instead of in one wait, reads the child's memory counters after each slice
// and also prints
//   sampled_peak_working_set=N  the largest PeakWorkingSetSize seen
//   samples=K
// (sampling costs the runner some processor time, so timing runs do not use
// it).
//
// Exit status: 0 when the child ran to its end, 1 when it could not be
// started or waited for, 2 for a usage error.
//
// No run-time library: raw entry point, KERNEL32 only.
#include "bench/bench_support.h"

// K32GetProcessMemoryInfo is declared from version 2 of the header on.
#define PSAPI_VERSION 2
#include <psapi.h>

namespace {

constexpr DWORD SAMPLE_INTERVAL_MS = 1;
constexpr int ARGUMENT_CAPACITY = 2;
constexpr DWORD COMMAND_CAPACITY = 32768;

wchar_t g_storage[COMMAND_CAPACITY];
wchar_t g_command_line[COMMAND_CAPACITY];

const char PROGRAM_NAME[] = "bench_runner";

bool ReadPeak(HANDLE process, uint64_t& peak) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!K32GetProcessMemoryInfo(process, &counters, sizeof(counters))) {
    return false;
  }
  peak = counters.PeakWorkingSetSize;
  return true;
}

}  // namespace

extern "C" [[noreturn]] void BenchRunnerEntry() {
  const wchar_t* arguments[ARGUMENT_CAPACITY] = {};
  const int count = SplitArguments(GetCommandLineW(), g_storage, arguments,
                                   ARGUMENT_CAPACITY);
  bool sample = false;
  const wchar_t* program = nullptr;
  if (count == 1) {
    program = arguments[0];
  } else if (count == 2 && lstrcmpW(arguments[0], L"--sample-memory") == 0) {
    sample = true;
    program = arguments[1];
  } else {
    Fail(PROGRAM_NAME, "usage: bench_runner [--sample-memory] PROGRAM",
         nullptr, 0, 2);
  }
  const int program_length = lstrlenW(program);
  if (program_length + 3 > static_cast<int>(COMMAND_CAPACITY)) {
    Fail(PROGRAM_NAME, "path too long:", program, 0, 2);
  }
  g_command_line[0] = L'"';
  for (int i = 0; i < program_length; ++i) g_command_line[1 + i] = program[i];
  g_command_line[program_length + 1] = L'"';
  g_command_line[program_length + 2] = 0;

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child = {};
  const uint64_t start = PreciseNow();
  if (!CreateProcessW(program, g_command_line, nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child)) {
    Fail(PROGRAM_NAME, "cannot start", program, GetLastError(), 1);
  }
  CloseHandle(child.hThread);

  uint64_t sampled_peak = 0;
  uint64_t samples = 0;
  DWORD waited = WAIT_TIMEOUT;
  if (sample) {
    while ((waited = WaitForSingleObject(child.hProcess, SAMPLE_INTERVAL_MS)) ==
           WAIT_TIMEOUT) {
      uint64_t peak = 0;
      if (ReadPeak(child.hProcess, peak)) {
        if (peak > sampled_peak) sampled_peak = peak;
        ++samples;
      }
    }
  } else {
    waited = WaitForSingleObject(child.hProcess, INFINITE);
  }
  const uint64_t end = PreciseNow();
  DWORD exit_code = 0;
  if (waited != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(child.hProcess, &exit_code)) {
    Fail(PROGRAM_NAME, "cannot wait for", program, GetLastError(), 1);
  }

  Report report;
  ClearReport(report);
  AppendField(report, "runner_start", start);
  AppendField(report, "runner_end", end);
  AppendText(report, "exit_code=");
  AppendHex32(report, exit_code);
  AppendText(report, "\n");
  uint64_t peak = 0;
  if (ReadPeak(child.hProcess, peak)) {
    AppendField(report, "peak_working_set", peak);
  } else {
    AppendField(report, "peak_working_set_error", GetLastError());
  }
  if (sample) {
    AppendField(report, "sampled_peak_working_set", sampled_peak);
    AppendField(report, "samples", samples);
  }
  CloseHandle(child.hProcess);
  WriteReportToStdout(report);
  ExitProcess(0);
}

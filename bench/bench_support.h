// Small pieces shared by the benchmark's Windows programs (bench_setup,
// bench_runner, bench_copy): a precise clock, a fixed text buffer for the
// "key=value" reports they write, and a plain argument splitter. No run-time
// library, no heap: everything lives in static or caller-owned buffers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/windows_api.h"

// The system clock in 100 ns units since 1601 (GetSystemTimePreciseAsFileTime).
// Every benchmark program reads this one clock, so stamps taken in different
// processes of the same Wine can be subtracted.
uint64_t PreciseNow();

// A report being composed: UTF-8, at most REPORT_CAPACITY bytes; appends that
// do not fit are dropped whole.
constexpr DWORD REPORT_CAPACITY = 1024;
struct Report {
  char text[REPORT_CAPACITY];
  DWORD length;
};

void ClearReport(Report& report);
void AppendText(Report& report, const char* text);
void AppendDecimal(Report& report, uint64_t value);
void AppendHex32(Report& report, DWORD value);
void AppendWide(Report& report, const wchar_t* text);
// Appends "key=decimal\n".
void AppendField(Report& report, const char* key, uint64_t value);

// Writes the report to standard output; false when the write fails.
bool WriteReportToStdout(const Report& report);
// Writes the report to a new file at `path` (replacing one that is there).
bool WriteReportToFile(const Report& report, const wchar_t* path);

// Splits a process command line after its program name: blanks separate
// arguments, quotation marks group (and are removed); backslashes are
// literal. Arguments are stored terminated in `storage` (at least as long as
// the command line) and pointed at from `arguments`. Returns the count, or
// -1 when there are more than `capacity`.
int SplitArguments(const wchar_t* line, wchar_t* storage,
                   const wchar_t** arguments, int capacity);

// Ends the process after writing "<program>: <what> <subject>: error N" to
// standard error.
[[noreturn]] void Fail(const char* program, const char* what,
                       const wchar_t* subject, DWORD error, DWORD status);

#include "bench/bench_support.h"

uint64_t PreciseNow() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void ClearReport(Report& report) {
  report.length = 0;
  report.text[0] = 0;
}

namespace {

DWORD Length(const char* text) {
  DWORD length = 0;
  while (text[length] != 0) ++length;
  return length;
}

void AppendBytes(Report& report, const char* bytes, DWORD count) {
  if (count >= REPORT_CAPACITY - report.length) return;
  for (DWORD i = 0; i < count; ++i) report.text[report.length + i] = bytes[i];
  report.length += count;
  report.text[report.length] = 0;
}

}  // namespace

void AppendText(Report& report, const char* text) {
  AppendBytes(report, text, Length(text));
}

void AppendDecimal(Report& report, uint64_t value) {
  char digits[24];
  DWORD count = 0;
  do {
    digits[sizeof(digits) - 1 - count] = static_cast<char>('0' + value % 10);
    value /= 10;
    ++count;
  } while (value != 0);
  AppendBytes(report, digits + sizeof(digits) - count, count);
}

void AppendHex32(Report& report, DWORD value) {
  const char* const hex = "0123456789ABCDEF";
  char digits[10] = {'0', 'x'};
  for (int i = 9; i >= 2; --i) {
    digits[i] = hex[value & 0xF];
    value >>= 4;
  }
  AppendBytes(report, digits, sizeof(digits));
}

void AppendWide(Report& report, const wchar_t* text) {
  char utf8[3 * MAX_PATH + 4];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8,
                                        sizeof(utf8), nullptr, nullptr);
  // The count includes the terminator; a text too long is dropped whole.
  if (bytes > 1) AppendBytes(report, utf8, static_cast<DWORD>(bytes - 1));
}

void AppendField(Report& report, const char* key, uint64_t value) {
  AppendText(report, key);
  AppendText(report, "=");
  AppendDecimal(report, value);
  AppendText(report, "\n");
}

bool WriteReportToStdout(const Report& report) {
  DWORD written = 0;
  return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report.text, report.length,
                   &written, nullptr) != FALSE &&
         written == report.length;
}

bool WriteReportToFile(const Report& report, const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, report.text, report.length, &written,
                            nullptr) != FALSE &&
                  written == report.length;
  CloseHandle(file);
  return ok;
}

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

int SplitArguments(const wchar_t* line, wchar_t* storage,
                   const wchar_t** arguments, int capacity) {
  // The program name: quoted up to the next quotation mark, or up to a blank.
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && !IsBlank(*line)) ++line;
  }
  int count = 0;
  for (;;) {
    while (IsBlank(*line)) ++line;
    if (*line == 0) return count;
    if (count == capacity) return -1;
    arguments[count++] = storage;
    bool quoted = false;
    while (*line != 0 && (quoted || !IsBlank(*line))) {
      if (*line == L'"') {
        quoted = !quoted;
      } else {
        *storage++ = *line;
      }
      ++line;
    }
    *storage++ = 0;
  }
}

[[noreturn]] void Fail(const char* program, const char* what,
                       const wchar_t* subject, DWORD error, DWORD status) {
  Report message;
  ClearReport(message);
  AppendText(message, program);
  AppendText(message, ": ");
  AppendText(message, what);
  if (subject != nullptr) {
    AppendText(message, " ");
    AppendWide(message, subject);
  }
  if (error != 0) {
    AppendText(message, ": error ");
    AppendDecimal(message, error);
  }
  AppendText(message, "\n");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), message.text, message.length,
            &written, nullptr);
  ExitProcess(status);
}

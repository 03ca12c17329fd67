// The demo setup's log (install_log.h).
#include "demo/install_log.h"

void LogBytes(InstallLog& log, const void* bytes, DWORD count) {
  DWORD written = 0;
  // A log that cannot be written must not stop the install.
  if (log.file != INVALID_HANDLE_VALUE && count != 0)
    WriteFile(log.file, bytes, count, &written, nullptr);
}

void LogAscii(InstallLog& log, const char* text) {
  DWORD count = 0;
  while (text[count] != 0) ++count;
  LogBytes(log, text, count);
}

// UTF-8 of text, converted in slices small enough for a stack buffer; a
// slice never ends between the two halves of a surrogate pair.
void LogWide(InstallLog& log, const WideChar* text) {
  constexpr int SLICE = 128;
  char utf8[SLICE * 3 + 8];
  while (*text != 0) {
    int count = 0;
    while (count < SLICE && text[count] != 0) ++count;
    if (count == SLICE && text[count] != 0 && text[count - 1] >= 0xD800 &&
        text[count - 1] <= 0xDBFF)
      --count;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, count, utf8,
                                          sizeof(utf8), nullptr, nullptr);
    if (bytes > 0) LogBytes(log, utf8, static_cast<DWORD>(bytes));
    text += count;
  }
}

void LogNumber(InstallLog& log, uint64_t value) {
  char digits[24];
  int at = sizeof(digits);
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  LogBytes(log, digits + at, static_cast<DWORD>(sizeof(digits) - at));
}

void LogHex32(InstallLog& log, uint32_t value) {
  char text[11] = {'0', 'x'};
  for (int i = 0; i < 8; ++i)
    text[2 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
  LogBytes(log, text, 10);
}

void LogEnd(InstallLog& log) { LogBytes(log, "\r\n", 2); }

void LogFailure(InstallLog& log, const char* what, DWORD error) {
  LogAscii(log, "error: ");
  LogAscii(log, what);
  LogAscii(log, " (error ");
  LogNumber(log, error);
  LogAscii(log, ")");
  LogEnd(log);
}

// The demo setup's log, "install.log" in the target folder: plain text in
// UTF-8, one item a line, written as it goes so that a setup that stops half
// way still leaves what it did. Every function here ignores a log that could
// not be opened or written: a log must not stop the install.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"

constexpr WideChar LOG_NAME[] = L"install.log";

struct InstallLog {
  HANDLE file = INVALID_HANDLE_VALUE;
};

void LogBytes(InstallLog& log, const void* bytes, DWORD count);
void LogAscii(InstallLog& log, const char* text);
// UTF-8 of text.
void LogWide(InstallLog& log, const WideChar* text);
// Decimal.
void LogNumber(InstallLog& log, uint64_t value);
// "0x" and eight upper-case hexadecimal digits.
void LogHex32(InstallLog& log, uint32_t value);
// Ends the line.
void LogEnd(InstallLog& log);
// "error: <what> (error N)" with the last-error value read by the caller.
void LogFailure(InstallLog& log, const char* what, DWORD error);

// The setup probe's text helpers, without a run-time library, and its
// report: one "key=value" line each, the value escaped so that every
// record stays on one line (a backslash as \\, tab, line feed and carriage
// return as \t \n \r, other control characters as \xHH), in UTF-8.
#pragma once

#include <stdint.h>

#include "base/windows_api.h"

namespace probe {

// The longest command line or environment value, with its terminator.
constexpr DWORD TEXT_CAPACITY = 32768;

DWORD Length(const wchar_t* text);
// Copies source into destination (capacity in characters); false, with the
// destination empty, when it does not fit.
bool Copy(wchar_t* destination, DWORD capacity, const wchar_t* source);
// Appends source; false, with destination as it was, when it does not fit.
bool Append(wchar_t* destination, DWORD capacity, const wchar_t* source);
bool StartsWith(const wchar_t* text, const wchar_t* prefix);
// The first occurrence of needle in text, or null.
const wchar_t* Find(const wchar_t* text, const wchar_t* needle);
// Decimal, or hexadecimal after "0x"/"0X"; all 32 bits, nothing else
// allowed.
bool ParseNumber(const wchar_t* text, DWORD& value);
// What follows the program name, with the installer's own rule: a quoted
// name ends at the next quotation mark, an unquoted one at a space or tab.
const wchar_t* SkipProgramName(const wchar_t* command_line);
// The quoted value of `switch_text` ("--name=\"") in the command line into
// value (TEXT_CAPACITY); false when the switch or its closing quotation
// mark is missing.
bool SwitchValue(const wchar_t* command_line, const wchar_t* switch_text,
                 wchar_t* value);
// Appends value in base (10 or 16, lower-case), with at least min_digits.
void AppendNumber(wchar_t* text, DWORD capacity, uint64_t value, DWORD base,
                  DWORD min_digits);

class Report {
 public:
  explicit Report(HANDLE file) : file_(file) {}

  // Writes "key=value\n" with the value escaped; nothing when there is no
  // report file.
  void Line(const wchar_t* key, const wchar_t* value);
  void Close();

 private:
  HANDLE file_;
};

}  // namespace probe

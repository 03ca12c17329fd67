// The setup probe's text helpers and its report (setup_probe_report.h).
#include "tests/support/setup_probe_report.h"

namespace probe {
namespace {

// Each character escapes to at most four ("\xHH").
constexpr DWORD ESCAPED_CAPACITY = 4 * TEXT_CAPACITY + 64;
// Each UTF-16 unit becomes at most three UTF-8 bytes.
constexpr DWORD UTF8_CAPACITY = 3 * ESCAPED_CAPACITY;

wchar_t g_escaped[ESCAPED_CAPACITY];
char g_utf8[UTF8_CAPACITY];

}  // namespace

DWORD Length(const wchar_t* text) {
  DWORD length = 0;
  while (text[length] != 0) ++length;
  return length;
}

bool Copy(wchar_t* destination, DWORD capacity, const wchar_t* source) {
  DWORD i = 0;
  for (; source[i] != 0; ++i) {
    if (i + 1 >= capacity) {
      destination[0] = 0;
      return false;
    }
    destination[i] = source[i];
  }
  destination[i] = 0;
  return true;
}

bool Append(wchar_t* destination, DWORD capacity, const wchar_t* source) {
  const DWORD held = Length(destination);
  DWORD i = 0;
  for (; source[i] != 0; ++i) {
    if (held + i + 1 >= capacity) {
      destination[held] = 0;
      return false;
    }
    destination[held + i] = source[i];
  }
  destination[held + i] = 0;
  return true;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix != 0; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

const wchar_t* Find(const wchar_t* text, const wchar_t* needle) {
  for (; *text != 0; ++text) {
    if (StartsWith(text, needle)) return text;
  }
  return nullptr;
}

bool ParseNumber(const wchar_t* text, DWORD& value) {
  uint64_t result = 0;
  DWORD base = 10;
  if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text += 2;
  }
  if (*text == 0) return false;
  for (; *text != 0; ++text) {
    DWORD digit;
    if (*text >= L'0' && *text <= L'9') {
      digit = *text - L'0';
    } else if (base == 16 && *text >= L'a' && *text <= L'f') {
      digit = *text - L'a' + 10;
    } else if (base == 16 && *text >= L'A' && *text <= L'F') {
      digit = *text - L'A' + 10;
    } else {
      return false;
    }
    if (digit >= base) return false;
    result = result * base + digit;
    if (result > 0xFFFFFFFFu) return false;
  }
  value = static_cast<DWORD>(result);
  return true;
}


const wchar_t* SkipProgramName(const wchar_t* command_line) {
  const wchar_t* rest = command_line;
  if (*rest == L'"') {
    ++rest;
    while (*rest != 0 && *rest != L'"') ++rest;
    return *rest == 0 ? rest : rest + 1;
  }
  while (*rest != 0 && *rest != L' ' && *rest != L'\t') ++rest;
  return rest;
}

bool SwitchValue(const wchar_t* command_line, const wchar_t* switch_text,
                 wchar_t* value) {
  const wchar_t* start = Find(command_line, switch_text);
  if (start == nullptr) return false;
  start += Length(switch_text);
  DWORD i = 0;
  for (; start[i] != L'"'; ++i) {
    if (start[i] == 0 || i + 1 >= TEXT_CAPACITY) return false;
    value[i] = start[i];
  }
  value[i] = 0;
  return true;
}

void AppendNumber(wchar_t* text, DWORD capacity, uint64_t value, DWORD base,
                  DWORD min_digits) {
  wchar_t digits[24];
  DWORD count = 0;
  do {
    const DWORD digit = static_cast<DWORD>(value % base);
    digits[count++] =
        static_cast<wchar_t>(digit < 10 ? L'0' + digit : L'a' + digit - 10);
    value /= base;
  } while (value != 0 || count < min_digits);
  wchar_t out[24];
  for (DWORD i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  out[count] = 0;
  Append(text, capacity, out);
}


void Report::Line(const wchar_t* key, const wchar_t* value) {
  if (file_ == INVALID_HANDLE_VALUE) return;
  DWORD out = 0;
  for (const wchar_t* c = key; *c != 0; ++c) g_escaped[out++] = *c;
  g_escaped[out++] = L'=';
  for (const wchar_t* c = value; *c != 0 && out < ESCAPED_CAPACITY - 8; ++c) {
    const wchar_t ch = *c;
    if (ch == L'\\') {
      g_escaped[out++] = L'\\';
      g_escaped[out++] = L'\\';
    } else if (ch == L'\t' || ch == L'\n' || ch == L'\r') {
      g_escaped[out++] = L'\\';
      g_escaped[out++] = ch == L'\t' ? L't' : ch == L'\n' ? L'n' : L'r';
    } else if (ch < 0x20 || ch == 0x7F) {
      const wchar_t* const hex = L"0123456789abcdef";
      g_escaped[out++] = L'\\';
      g_escaped[out++] = L'x';
      g_escaped[out++] = hex[(ch >> 4) & 0xF];
      g_escaped[out++] = hex[ch & 0xF];
    } else {
      g_escaped[out++] = ch;
    }
  }
  g_escaped[out++] = L'\n';
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, g_escaped, static_cast<int>(out),
                          g_utf8, UTF8_CAPACITY, nullptr, nullptr);
  DWORD written = 0;
  if (bytes > 0) WriteFile(file_, g_utf8, bytes, &written, nullptr);
}

void Report::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

}  // namespace probe

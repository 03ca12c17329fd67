// Text for the test programs that have no run-time library (the conformance
// runner, the native scenarios, the crasher): growable, always terminated
// strings on the process heap, UTF-8 and UTF-16 conversion, whole-file
// reads and writes, and console output.
//
// A heap that cannot grow a string ends the process with
// STATUS_NO_MEMORY: these programs hold a few megabytes at most, and a
// half-built report or command line is worth less than a clear failure.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/windows_api.h"

namespace plain {

template <typename Char>
size_t Length(const Char* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

template <typename Char>
bool StartsWith(const Char* text, const Char* prefix) {
  for (; *prefix != 0; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

template <typename Char>
bool Equal(const Char* a, const Char* b) {
  return StartsWith(a, b) && a[Length(b)] == 0;
}

// The first occurrence of needle in text, or null.
template <typename Char>
const Char* Find(const Char* text, const Char* needle) {
  for (; *text != 0; ++text) {
    if (StartsWith(text, needle)) return text;
  }
  return nullptr;
}

// A string of Char on the process heap; data() is never null and always
// terminated. Not copyable: one owner per buffer.
template <typename Char>
class Text {
 public:
  Text() = default;
  ~Text();
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  const Char* c_str() const { return data_ ? data_ : EMPTY; }
  Char* data() {
    Reserve(0);
    return data_;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  Text& Add(const Char* text) { return Add(text, Length(text)); }
  Text& Add(const Char* text, size_t count);
  Text& Add(const Text& text) { return Add(text.c_str(), text.size()); }
  Text& AddChar(Char c) { return Add(&c, 1); }
  // Digits of value in base (10 or 16, upper-case letters), at least
  // min_digits of them.
  Text& AddNumber(uint64_t value, unsigned base = 10, unsigned min_digits = 1);
  // "0x" and eight hexadecimal digits.
  Text& AddHex32(uint32_t value) {
    return Add(HEX_PREFIX).AddNumber(value, 16, 8);
  }
  Text& Set(const Char* text) {
    Clear();
    return Add(text);
  }
  Text& Set(const Text& text) {
    Clear();
    return Add(text);
  }
  void Clear() { Truncate(0); }
  void Truncate(size_t size);
  // Makes room for size characters and a terminator, and sets the size to
  // it; the caller fills them (a platform call told the capacity).
  Char* Resize(size_t size);

 private:
  static constexpr Char EMPTY[1] = {0};
  static constexpr Char HEX_PREFIX[3] = {'0', 'x', 0};
  void Reserve(size_t size);

  Char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;  // characters, without the terminator
};

using Wide = Text<wchar_t>;
using Bytes = Text<char>;

// UTF-8 of a UTF-16 string, appended; and the reverse. Unpaired surrogates
// and invalid bytes become replacement characters.
void AppendUtf8(Bytes& out, const wchar_t* text, size_t count);
inline void AppendUtf8(Bytes& out, const Wide& text) {
  AppendUtf8(out, text.c_str(), text.size());
}
void AppendUtf16(Wide& out, const char* text, size_t count);

// The whole file into out (replacing what it held); false with the error
// when it cannot be opened or read.
bool ReadWholeFile(const wchar_t* path, Bytes& out, DWORD& error);
// Creates or replaces path with bytes; false with the error.
bool WriteWholeFile(const wchar_t* path, const Bytes& bytes, DWORD& error);

// Standard output and standard error, as UTF-8.
void Print(const char* text);
void Print(const Bytes& text);
void PrintWide(const wchar_t* text);
void PrintError(const char* text);

// The variable's value into out; false (out empty) when it is not set.
bool ReadVariable(const wchar_t* name, Wide& out);

// True under Wine: its ntdll exports wine_get_version, Windows' does not.
bool RunningUnderWine();

// The folder of this program's own file, without a final backslash.
void OwnFolder(Wide& out);

// "\\?\" + path ("\\?\UNC\server\share..." for "\\server\share..."): how
// a path beyond MAX_PATH - 12 characters reaches a call.
void LongPath(Wide& out, const wchar_t* path);

// Removes a folder or file with everything under it, links themselves
// rather than their targets, read-only entries included; paths of any
// length. Best effort.
void RemoveTree(const wchar_t* path);

}  // namespace plain

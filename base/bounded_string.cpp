#include "base/bounded_string.h"

namespace {

constexpr WideChar HEX_DIGITS[16] = {L'0', L'1', L'2', L'3', L'4', L'5',
                                     L'6', L'7', L'8', L'9', L'A', L'B',
                                     L'C', L'D', L'E', L'F'};

WideChar FoldAsciiLetter(WideChar c) {
  return (c >= 0x41 && c <= 0x5A) ? static_cast<WideChar>(c | 0x20) : c;
}

}  // namespace

uint64_t BoundedLength(const WideChar* text, uint64_t capacity) {
  if (capacity < 2 || text == nullptr) return 0;
  for (uint64_t i = 0; i + 1 < capacity; ++i) {
    if (text[i] == 0) return i;
  }
  return capacity - 1;
}

bool BoundedCopy(WideChar* destination, uint64_t capacity,
                 const WideChar* source) {
  if (destination == nullptr || capacity == 0) return false;
  for (uint64_t i = 0; i < capacity; ++i) {
    destination[i] = source[i];
    if (source[i] == 0) return true;
  }
  destination[0] = 0;
  return false;
}

bool BoundedAppend(WideChar* destination, uint64_t capacity,
                   const WideChar* source) {
  const uint64_t length = BoundedLength(destination, capacity);
  if (destination == nullptr || capacity - length == 0) return false;
  for (uint64_t i = 0; i < capacity - length; ++i) {
    destination[length + i] = source[i];
    if (source[i] == 0) return true;
  }
  destination[length] = 0;
  return false;
}

bool HasPrefixNoCase(const WideChar* text, const WideChar* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  for (uint64_t i = 0;; ++i) {
    if (prefix[i] == 0) return true;
    // A shorter text meets the prefix with its terminator and differs here,
    // so nothing beyond it is read.
    if (FoldAsciiLetter(text[i]) != FoldAsciiLetter(prefix[i])) return false;
  }
}

const WideChar* FileNamePart(const WideChar* path, uint64_t length) {
  for (uint64_t i = length; i > 0; --i) {
    if (path[i - 1] == L'\\') return path + i;
  }
  return path;
}

WideChar* FileNamePart(WideChar* path, uint64_t length) {
  return const_cast<WideChar*>(
      FileNamePart(static_cast<const WideChar*>(path), length));
}

bool BytesToHexWide(const uint8_t* bytes, uint64_t count,
                    WideChar* destination, uint64_t capacity) {
  if (capacity <= 2 * count) return false;
  destination[2 * count] = 0;
  for (uint64_t i = 0; i < count; ++i) {
    destination[2 * i] = HEX_DIGITS[bytes[i] >> 4];
    destination[2 * i + 1] = HEX_DIGITS[bytes[i] & 0x0F];
  }
  return true;
}

void* FillBytes(void* buffer, int value, uint64_t count) {
  // volatile keeps the compiler from turning this loop into a call to memset,
  // which in the product is itself built on this function.
  volatile uint8_t* bytes = static_cast<volatile uint8_t*>(buffer);
  for (uint64_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value);
  return buffer;
}

// What the fuzz targets share: a forward reader that turns the fuzzer's bytes
// into capacities, lengths and code units, exact-size heap storage (so that
// AddressSanitizer reports the first element read or written past the end),
// and the check that ends a run when a contract is broken.
//
// These targets build for Linux, where WideChar is wchar_t and 32 bits wide
// instead of 16. The operations work one code unit at a time and every unit
// generated here is a 16-bit value, so the width changes nothing they decide.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "base/bounded_string.h"

// A broken contract aborts, so libFuzzer keeps the input as a crash.
#define FUZZ_REQUIRE(condition)                                     \
  ((condition) ? static_cast<void>(0)                               \
               : FuzzContractBroken(#condition, __FILE__, __LINE__))

[[noreturn]] inline void FuzzContractBroken(const char* condition,
                                            const char* file, int line) {
  fprintf(stderr, "%s:%d: contract broken: %s\n", file, line, condition);
  abort();
}

// Reads the input from the front, so a hand-written seed reads in the order
// the target consumes it. Once the input is used up every read yields 0.
//
// Unit encoding, one byte b first:
//   b < 0x80           the ASCII unit b (0 is the terminator)
//   0x80 <= b < 0xA0   an entry of INTERESTING_UNITS
//   b >= 0xA0          the next two bytes, little-endian: any 16-bit unit
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return position_ == size_; }

  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }

  // A value in [low, high], from as few little-endian bytes as the span
  // needs (1, 2, 4 or 8).
  uint64_t Range(uint64_t low, uint64_t high) {
    const uint64_t span = high - low;
    const int bytes = span <= 0xFF ? 1 : span <= 0xFFFF ? 2
                      : span <= 0xFFFFFFFF ? 4 : 8;
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= static_cast<uint64_t>(Byte()) << (8 * i);
    }
    return span == UINT64_MAX ? value : low + value % (span + 1);
  }

  WideChar Unit() {
    const uint8_t lead = Byte();
    if (lead < 0x80) return lead;
    if (lead < 0xA0) return INTERESTING_UNITS[lead - 0x80];
    const uint16_t low = Byte();
    return static_cast<WideChar>(low | static_cast<uint16_t>(Byte()) << 8);
  }

  // A unit that is never the terminator: a 0 reads as a space, which the
  // command line treats specially anyway.
  WideChar NonZeroUnit() {
    const WideChar unit = Unit();
    return unit == 0 ? L' ' : unit;
  }

  std::wstring Units(size_t count) {
    std::wstring units(count, 0);
    for (WideChar& unit : units) unit = Unit();
    return units;
  }

  std::wstring NonZeroUnits(size_t count) {
    std::wstring units(count, 0);
    for (WideChar& unit : units) unit = NonZeroUnit();
    return units;
  }

 private:
  // Units the operations or their callers treat specially, and neighbours
  // that must not be mistaken for them.
  static constexpr WideChar INTERESTING_UNITS[32] = {
      0x0000, 0x005C, 0x002F, 0x0022, 0x0020, 0x0009, 0x000A, 0x000D,
      0x0040, 0x0041, 0x005A, 0x005B, 0x0060, 0x0061, 0x007A, 0x007B,
      0x00C0, 0x00E0, 0x00FF, 0x0130, 0x0131, 0x212A, 0xD800, 0xDC00,
      0xFEFF, 0xFFFF, 0x002D, 0x003D, 0x002E, 0x0030, 0x0046, 0x0066,
  };

  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Exactly count elements on the heap, nothing more: ASan reports an access
// to element count.
template <typename T>
std::unique_ptr<T[]> ExactArray(size_t count) {
  return std::unique_ptr<T[]>(new T[count]);
}

// units followed by a terminator, in exactly units.size() + 1 elements.
inline std::unique_ptr<WideChar[]> TerminatedCopy(const std::wstring& units) {
  std::unique_ptr<WideChar[]> copy = ExactArray<WideChar>(units.size() + 1);
  for (size_t i = 0; i < units.size(); ++i) copy[i] = units[i];
  copy[units.size()] = 0;
  return copy;
}

// Index of the first terminator among text[0..limit), or limit.
inline uint64_t UnitsBeforeTerminator(const WideChar* text, uint64_t limit) {
  uint64_t i = 0;
  while (i < limit && text[i] != 0) ++i;
  return i;
}

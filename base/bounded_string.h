// Bounded UTF-16 strings. Every path, key path, resource name and command
// line lives in a fixed-capacity buffer with storage for capacity + 1
// elements; the last element is a guard that always holds a terminator and is
// never written after creation. Every operation is told the capacity of the
// buffer it writes, never touches an element at or beyond it, and never
// leaves a truncated string: a failed copy empties the destination, a failed
// append leaves it exactly as it was. None of them allocates, calls the
// platform or keeps state.
#pragma once

#include <stdint.h>

using WideChar = wchar_t;  // one UTF-16 code unit; no surrogate handling

constexpr uint64_t PATH_CAPACITY = 260;
constexpr uint64_t COMMAND_CAPACITY = 1300;
constexpr uint64_t SDDL_CAPACITY = 300;
constexpr uint64_t RESOURCE_TYPE_CAPACITY = 3;

// A buffer of capacity N: element 0 and the guard element N start as
// terminators. Only the bounded operations below, and system calls told the
// capacity N, write into it.
template <uint64_t N>
struct BoundedBuffer {
  static constexpr uint64_t capacity = N;

  BoundedBuffer() {
    text[0] = 0;
    text[N] = 0;
  }
  BoundedBuffer(const BoundedBuffer&) = delete;
  BoundedBuffer& operator=(const BoundedBuffer&) = delete;

  WideChar text[N + 1];
};

using PathBuffer = BoundedBuffer<PATH_CAPACITY>;
using CommandBuffer = BoundedBuffer<COMMAND_CAPACITY>;
using SddlBuffer = BoundedBuffer<SDDL_CAPACITY>;
using ResourceTypeBuffer = BoundedBuffer<RESOURCE_TYPE_CAPACITY>;

// Length of text, at most capacity - 1; 0 for a null text or a capacity
// below 2. Element capacity - 1 is never read.
uint64_t BoundedLength(const WideChar* text, uint64_t capacity);

// Copies source with its terminator. False when it does not fit (or the
// destination is null or the capacity 0): the destination then reads as the
// empty string.
bool BoundedCopy(WideChar* destination, uint64_t capacity,
                 const WideChar* source);

// Appends source to the string in destination. False when the text held,
// source and a terminator do not fit together: the destination then reads
// exactly as before the call.
bool BoundedAppend(WideChar* destination, uint64_t capacity,
                   const WideChar* source);

// True when text begins with prefix, with only the ASCII letters A-Z folded
// to lower case. A null text or prefix never matches.
bool HasPrefixNoCase(const WideChar* text, const WideChar* prefix);

// The position just after the last backslash among path[0..length), or path
// itself when there is none. Terminators are not looked for.
const WideChar* FileNamePart(const WideChar* path, uint64_t length);
WideChar* FileNamePart(WideChar* path, uint64_t length);

// Writes two upper-case hexadecimal digits per byte, upper nibble first, and
// a terminator. False, with nothing written, when capacity <= 2 * count.
bool BytesToHexWide(const uint8_t* bytes, uint64_t count,
                    WideChar* destination, uint64_t capacity);

// Sets count bytes of buffer to the low byte of value; returns buffer.
void* FillBytes(void* buffer, int value, uint64_t count);

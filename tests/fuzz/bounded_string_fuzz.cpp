// Runs sequences of bounded string operations on buffers of fuzzer-chosen
// capacity and checks every result against the operation's contract.
//
// Each buffer is laid out as the product lays out its own: capacity elements
// plus one guard element holding a terminator, allocated on the heap with
// exactly that many elements, so ASan reports any access past the guard and
// the guard check below reports any write to it. Operations may also be given
// a window of a buffer (a start and a smaller capacity, as the work
// directory's composition does with the room left after a prefix); every
// element outside the window must then come through unchanged.
//
// Input: three capacities, then operations until the input is used up.
#include <string.h>

#include <vector>

#include "base/bounded_string.h"
#include "fuzz_input.h"

namespace {

constexpr uint64_t MAX_CAPACITY = 300;
constexpr size_t SLOT_COUNT = 3;
constexpr size_t MAX_OPERATIONS = 64;
constexpr size_t MAX_SOURCE_LENGTH = 320;
constexpr size_t MAX_HEX_BYTES = 160;
constexpr size_t MAX_FILL_BYTES = 600;
// What a new buffer holds behind its first terminator: the product leaves
// those elements uninitialised, so no result may depend on them.
constexpr WideChar FILLER = 0xCDCD;

struct Slot {
  uint64_t capacity = 0;
  std::unique_ptr<WideChar[]> storage;  // capacity + 1 elements exactly
};

struct Window {
  uint64_t offset;    // first element of the slot the operation is given
  uint64_t capacity;  // the capacity it is told
};

// Independent of the product: the length BoundedLength must report.
uint64_t ReferenceLength(const WideChar* text, uint64_t capacity) {
  if (text == nullptr || capacity < 2) return 0;
  return UnitsBeforeTerminator(text, capacity - 1);
}

WideChar ReferenceFold(WideChar c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<WideChar>(c - L'A' + L'a') : c;
}

bool ReferenceHasPrefix(const WideChar* text, const WideChar* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (ReferenceFold(text[i]) != ReferenceFold(prefix[i])) return false;
  }
  return true;
}

std::vector<WideChar> Snapshot(const Slot& slot) {
  return std::vector<WideChar>(slot.storage.get(),
                               slot.storage.get() + slot.capacity + 1);
}

// Every element of the slot outside [begin, end) holds what it held before.
void RequireUnchangedOutside(const Slot& slot,
                             const std::vector<WideChar>& before,
                             uint64_t begin, uint64_t end) {
  for (uint64_t i = 0; i <= slot.capacity; ++i) {
    if (i >= begin && i < end) continue;
    FUZZ_REQUIRE(slot.storage[i] == before[i]);
  }
}

// What holds after any operation: the guards keep their terminators and
// the lengths stay within the capacities.
void RequireSlotsSound(const Slot (&slots)[SLOT_COUNT]) {
  for (const Slot& slot : slots) {
    FUZZ_REQUIRE(slot.storage[slot.capacity] == 0);
    const uint64_t length = BoundedLength(slot.storage.get(), slot.capacity);
    FUZZ_REQUIRE(length == ReferenceLength(slot.storage.get(), slot.capacity));
    FUZZ_REQUIRE(slot.capacity < 2 ? length == 0 : length <= slot.capacity - 1);
  }
}

// Mostly the whole buffer; sometimes a window inside it.
Window ChooseWindow(InputReader& in, const Slot& slot) {
  if (in.Byte() % 4 != 0) return {0, slot.capacity};
  const uint64_t offset = in.Range(0, slot.capacity);
  return {offset, in.Range(0, slot.capacity - offset)};
}

// A terminated source in exact storage; the string ends at its first
// terminator, which may come before the last element.
struct Source {
  std::unique_ptr<WideChar[]> units;
  uint64_t length;
};

Source ReadSource(InputReader& in) {
  const std::wstring units = in.Units(in.Range(0, MAX_SOURCE_LENGTH));
  Source source{TerminatedCopy(units), 0};
  source.length = UnitsBeforeTerminator(source.units.get(), units.size());
  return source;
}

void CheckCopy(Slot& slot, const Window& window, const WideChar* source,
               uint64_t source_length) {
  WideChar* destination = slot.storage.get() + window.offset;
  const std::vector<WideChar> before = Snapshot(slot);
  const bool fits = window.capacity > 0 && source_length + 1 <= window.capacity;

  FUZZ_REQUIRE(BoundedCopy(destination, window.capacity, source) == fits);

  RequireUnchangedOutside(slot, before, window.offset,
                          window.offset + window.capacity);
  if (fits) {
    FUZZ_REQUIRE(memcmp(destination, source,
                        (source_length + 1) * sizeof(WideChar)) == 0);
  } else if (window.capacity > 0) {
    FUZZ_REQUIRE(destination[0] == 0);  // reads as the empty string
  }
}

void CheckAppend(Slot& slot, const Window& window, const WideChar* source,
                 uint64_t source_length) {
  WideChar* destination = slot.storage.get() + window.offset;
  const std::vector<WideChar> before = Snapshot(slot);
  const uint64_t length = ReferenceLength(destination, window.capacity);
  const bool fits =
      window.capacity > 0 && length + source_length + 1 <= window.capacity;

  FUZZ_REQUIRE(BoundedAppend(destination, window.capacity, source) == fits);

  // The string held is never touched, and nothing outside the window.
  RequireUnchangedOutside(slot, before, window.offset + length,
                          window.offset + window.capacity);
  if (fits) {
    FUZZ_REQUIRE(memcmp(destination + length, source,
                        (source_length + 1) * sizeof(WideChar)) == 0);
    RequireUnchangedOutside(slot, before, window.offset + length,
                            window.offset + length + source_length + 1);
  } else if (window.capacity > 0) {
    // Reads exactly as before: the same length-unit string, terminated
    // right after it.
    FUZZ_REQUIRE(destination[length] == 0);
    FUZZ_REQUIRE(BoundedLength(destination, window.capacity) == length);
  }
}

// A call with a null destination fails and writes nothing.
void CheckNullDestination(InputReader& in) {
  const Source source = ReadSource(in);
  const uint64_t capacity = in.Range(0, MAX_CAPACITY);
  FUZZ_REQUIRE(!BoundedCopy(nullptr, capacity, source.units.get()));
  FUZZ_REQUIRE(!BoundedAppend(nullptr, capacity, source.units.get()));
  FUZZ_REQUIRE(BoundedLength(nullptr, capacity) == 0);
}

// Stands for a system call told the slot's capacity: it may fill every
// element below the guard, with or without a terminator.
void RawFill(InputReader& in, Slot& slot) {
  const uint64_t count = in.Range(0, slot.capacity);
  for (uint64_t i = 0; i < count; ++i) slot.storage[i] = in.Unit();
  if (count < slot.capacity && in.Byte() % 2 == 0) slot.storage[count] = 0;
}

// BoundedLength on text that has exactly capacity - 1 readable elements:
// element capacity - 1 must never be read.
void CheckLengthReadsBelowLastElement(InputReader& in) {
  const uint64_t capacity = in.Range(0, MAX_CAPACITY + 1);
  const uint64_t readable = capacity < 2 ? 0 : capacity - 1;
  std::unique_ptr<WideChar[]> text = ExactArray<WideChar>(readable);
  for (uint64_t i = 0; i < readable; ++i) text[i] = in.Unit();
  const uint64_t length = BoundedLength(text.get(), capacity);
  FUZZ_REQUIRE(length == ReferenceLength(text.get(), capacity));
}

void CheckHasPrefix(InputReader& in) {
  const std::wstring prefix_units = in.Units(in.Range(0, MAX_CAPACITY));
  std::unique_ptr<WideChar[]> prefix = TerminatedCopy(prefix_units);
  const uint64_t prefix_length =
      UnitsBeforeTerminator(prefix.get(), prefix_units.size());

  // Text near the prefix: every unit possibly with bit 0x20 flipped (case
  // for A-Z and a-z, a different unit for everything else), then more.
  std::wstring near(prefix.get(), prefix_length);
  for (WideChar& unit : near) {
    if (in.Byte() % 2) unit ^= 0x20;
  }

  std::unique_ptr<WideChar[]> text;
  switch (in.Byte() % 5) {
    case 0:
      text = TerminatedCopy(in.Units(in.Range(0, MAX_CAPACITY)));
      break;
    case 1:
      text = TerminatedCopy(near + in.Units(in.Range(0, 8)));
      break;
    case 2: {
      // Exactly as long as the prefix and not terminated: a read past the
      // prefix's length is a read past the storage.
      text = ExactArray<WideChar>(near.size());
      for (size_t i = 0; i < near.size(); ++i) text[i] = near[i];
      break;
    }
    case 3:
      FUZZ_REQUIRE(!HasPrefixNoCase(nullptr, prefix.get()));
      return;
    default: {
      const std::wstring text_units = in.Units(in.Range(0, 8));
      text = TerminatedCopy(text_units);
      FUZZ_REQUIRE(!HasPrefixNoCase(text.get(), nullptr));
      FUZZ_REQUIRE(!HasPrefixNoCase(nullptr, nullptr));
      return;
    }
  }
  FUZZ_REQUIRE(HasPrefixNoCase(text.get(), prefix.get()) ==
               ReferenceHasPrefix(text.get(), prefix.get()));
}

// The path has exactly length elements and no terminator.
void CheckFileNamePart(InputReader& in) {
  const uint64_t length = in.Range(0, MAX_CAPACITY);
  std::unique_ptr<WideChar[]> path = ExactArray<WideChar>(length);
  for (uint64_t i = 0; i < length; ++i) path[i] = in.Unit();

  uint64_t expected = 0;
  for (uint64_t i = 0; i < length; ++i) {
    if (path[i] == L'\\') expected = i + 1;
  }
  const WideChar* start = path.get();
  const WideChar* result = FileNamePart(start, length);
  FUZZ_REQUIRE(result >= start && result <= start + length);
  FUZZ_REQUIRE(result == start + expected);
  FUZZ_REQUIRE(FileNamePart(path.get(), length) == path.get() + expected);
}

void CheckBytesToHex(InputReader& in, Slot& slot) {
  const Window window = ChooseWindow(in, slot);
  const uint64_t count = in.Range(0, MAX_HEX_BYTES);
  std::unique_ptr<uint8_t[]> bytes = ExactArray<uint8_t>(count);
  for (uint64_t i = 0; i < count; ++i) bytes[i] = in.Byte();

  WideChar* destination = slot.storage.get() + window.offset;
  const std::vector<WideChar> before = Snapshot(slot);
  const bool fits = window.capacity > 2 * count;

  FUZZ_REQUIRE(BytesToHexWide(bytes.get(), count, destination,
                              window.capacity) == fits);
  if (!fits) {
    RequireUnchangedOutside(slot, before, 0, 0);
    return;
  }
  RequireUnchangedOutside(slot, before, window.offset,
                          window.offset + 2 * count + 1);
  static const wchar_t DIGITS[] = L"0123456789ABCDEF";
  for (uint64_t i = 0; i < count; ++i) {
    FUZZ_REQUIRE(destination[2 * i] == DIGITS[bytes[i] / 16]);
    FUZZ_REQUIRE(destination[2 * i + 1] == DIGITS[bytes[i] % 16]);
  }
  FUZZ_REQUIRE(destination[2 * count] == 0);
}

void CheckFillBytes(InputReader& in) {
  const uint64_t size = in.Range(0, MAX_FILL_BYTES);
  const uint64_t count = in.Range(0, size);
  const int value = static_cast<int>(in.Range(0, UINT32_MAX));
  std::unique_ptr<uint8_t[]> buffer = ExactArray<uint8_t>(size);
  const uint8_t background = in.Byte();
  memset(buffer.get(), background, size);

  FUZZ_REQUIRE(FillBytes(buffer.get(), value, count) == buffer.get());
  for (uint64_t i = 0; i < size; ++i) {
    FUZZ_REQUIRE(buffer[i] == (i < count ? static_cast<uint8_t>(value & 0xFF)
                                         : background));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);

  Slot slots[SLOT_COUNT];
  for (Slot& slot : slots) {
    slot.capacity = in.Range(0, MAX_CAPACITY);
    slot.storage = ExactArray<WideChar>(slot.capacity + 1);
    for (uint64_t i = 0; i < slot.capacity; ++i) slot.storage[i] = FILLER;
    // As a new BoundedBuffer: element 0 and the guard hold terminators.
    slot.storage[0] = 0;
    slot.storage[slot.capacity] = 0;
  }

  for (size_t step = 0; step < MAX_OPERATIONS && !in.Empty(); ++step) {
    const uint8_t operation = in.Byte();
    Slot& slot = slots[in.Byte() % SLOT_COUNT];
    switch (operation % 10) {
      case 0: {
        const Window window = ChooseWindow(in, slot);
        const Source source = ReadSource(in);
        CheckCopy(slot, window, source.units.get(), source.length);
        break;
      }
      case 1: {
        const Window window = ChooseWindow(in, slot);
        const Source source = ReadSource(in);
        CheckAppend(slot, window, source.units.get(), source.length);
        break;
      }
      case 2: {
        // One buffer's string into another, as paths are passed along.
        const Slot& from = slots[(&slot - slots + 1 + in.Byte() % 2) %
                                 SLOT_COUNT];
        const uint64_t from_length =
            UnitsBeforeTerminator(from.storage.get(), from.capacity + 1);
        const Window window = ChooseWindow(in, slot);
        if (in.Byte() % 2) {
          CheckCopy(slot, window, from.storage.get(), from_length);
        } else {
          CheckAppend(slot, window, from.storage.get(), from_length);
        }
        break;
      }
      case 3:
        RawFill(in, slot);
        break;
      case 4:
        CheckLengthReadsBelowLastElement(in);
        break;
      case 5:
        CheckHasPrefix(in);
        break;
      case 6:
        CheckFileNamePart(in);
        break;
      case 7:
        CheckBytesToHex(in, slot);
        break;
      case 8:
        CheckFillBytes(in);
        break;
      default:
        CheckNullDestination(in);
        break;
    }
    RequireSlotsSound(slots);
  }
  return 0;
}

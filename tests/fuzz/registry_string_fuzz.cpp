// Feeds TerminateRegistryString buffers of fuzzer-chosen contents and
// capacity with data sizes around and far beyond what the buffer holds, and
// compares the result and the whole buffer with a model of the rule: data of
// 0 or 1 bytes is the empty string, data already ending in a terminator is
// kept, otherwise a terminator goes right after the data when there is room,
// and data filling the buffer without one (or claiming more than it holds)
// is refused.
//
// The buffer is exactly capacity elements on the heap: ASan reports any
// element read or written at or past the capacity. Data sizes count bytes
// of 16-bit code units whatever WideChar's width on this host.
//
// Input: capacity, data size, then the buffer's elements.
#include <vector>

#include "fuzz_input.h"
#include "run/registry_string.h"

namespace {

constexpr uint32_t MAX_CAPACITY = 8;

struct Expected {
  bool result;
  int64_t terminator_at;  // the one element that may change, or -1
};

Expected Model(const std::vector<WideChar>& buffer, uint32_t data_size) {
  const uint64_t capacity = buffer.size();
  if (data_size <= 1) return {true, 0};
  const uint64_t characters = data_size / 2;
  if (characters > capacity) return {false, -1};
  if (buffer[characters - 1] == 0) return {true, -1};
  if (characters < capacity) {
    return {true, static_cast<int64_t>(characters)};
  }
  return {false, -1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const uint32_t capacity =
      static_cast<uint32_t>(in.Range(1, MAX_CAPACITY));
  uint32_t data_size = 0;
  switch (in.Byte() % 4) {
    case 0:  // anything, up to sizes no buffer holds
      data_size = static_cast<uint32_t>(in.Range(0, UINT32_MAX));
      break;
    case 1:  // just past what the buffer holds
      data_size = static_cast<uint32_t>(in.Range(0, 4 * capacity + 3));
      break;
    default:  // within the buffer, odd sizes included
      data_size = static_cast<uint32_t>(in.Range(0, 2 * capacity));
      break;
  }

  std::unique_ptr<WideChar[]> buffer = ExactArray<WideChar>(capacity);
  std::vector<WideChar> before(capacity);
  for (uint32_t i = 0; i < capacity; ++i) {
    // Terminators often enough that some data ends in one.
    before[i] = in.Byte() % 3 == 0 ? 0 : in.NonZeroUnit();
    buffer[i] = before[i];
  }

  const Expected expected = Model(before, data_size);
  FUZZ_REQUIRE(TerminateRegistryString(buffer.get(), capacity, data_size) ==
               expected.result);
  for (uint32_t i = 0; i < capacity; ++i) {
    if (static_cast<int64_t>(i) == expected.terminator_at) {
      FUZZ_REQUIRE(buffer[i] == 0);
    } else {
      FUZZ_REQUIRE(buffer[i] == before[i]);
    }
  }
  // Whenever it succeeds the buffer reads as a string within its capacity.
  if (expected.result) {
    FUZZ_REQUIRE(UnitsBeforeTerminator(buffer.get(), capacity) < capacity);
  }
  return 0;
}

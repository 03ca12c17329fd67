// The bounded wide-string operations: both sides of every capacity limit,
// and the promise that nothing at or beyond the capacity is ever written.
// Writes are caught with a sentinel: each operation works in a larger raw
// array filled with SENTINEL, and every element from the capacity on must
// still hold it afterwards. Reads that must not happen are caught with a
// page that cannot be accessed placed right after the last element that may
// be read.
#include "base/bounded_string.h"

#include <windows.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr WideChar SENTINEL = 0xBEEF;
constexpr uint64_t SLACK = 8;  // sentinel elements kept after the capacity

// A raw array of capacity + SLACK elements, all SENTINEL, optionally with a
// string (and its terminator, when there is room for it) at the front. The
// string's characters must lie within the capacity.
std::vector<WideChar> SentinelArray(uint64_t capacity,
                                    const std::wstring& initial = {},
                                    bool terminate = true) {
  std::vector<WideChar> storage(capacity + SLACK, SENTINEL);
  for (size_t i = 0; i < initial.size() && i < capacity; ++i) {
    storage[i] = initial[i];
  }
  if (terminate && initial.size() < capacity) storage[initial.size()] = 0;
  return storage;
}

// Every element at or beyond capacity still holds the sentinel.
void ExpectUntouchedFrom(const std::vector<WideChar>& storage,
                         uint64_t capacity) {
  for (uint64_t i = capacity; i < storage.size(); ++i) {
    ASSERT_EQ(SENTINEL, storage[i]) << "element " << i << " was written";
  }
}

std::wstring Repeat(wchar_t c, size_t count) { return std::wstring(count, c); }

// count elements that end exactly where an inaccessible page begins: reading
// or writing one element too far faults.
class FencedElements {
 public:
  explicit FencedElements(size_t count) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT,
                     PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
    elements_ = reinterpret_cast<WideChar*>(base_ + page_) - count;
  }
  ~FencedElements() { VirtualFree(base_, 0, MEM_RELEASE); }
  FencedElements(const FencedElements&) = delete;
  FencedElements& operator=(const FencedElements&) = delete;

  WideChar* elements() { return elements_; }

 private:
  size_t page_ = 0;
  uint8_t* base_ = nullptr;
  WideChar* elements_ = nullptr;
};

// --------------------------------------------------------------- buffers

// A new buffer has terminators at element 0 and at the guard element N, and
// storage for N + 1 elements; operations told the capacity N never disturb
// the guard, even when they fail on a source one character too long.
template <typename Buffer>
void CheckBuffer(const char* name) {
  SCOPED_TRACE(name);
  constexpr uint64_t n = Buffer::capacity;
  static_assert(sizeof(Buffer::text) == (n + 1) * sizeof(WideChar));

  alignas(Buffer) unsigned char raw[sizeof(Buffer)];
  WideChar* elements = reinterpret_cast<WideChar*>(raw);
  for (uint64_t i = 0; i <= n; ++i) elements[i] = SENTINEL;
  Buffer* buffer = new (raw) Buffer;
  EXPECT_EQ(0, buffer->text[0]);
  EXPECT_EQ(0, buffer->text[n]);

  EXPECT_TRUE(BoundedCopy(buffer->text, n, Repeat(L'a', n - 1).c_str()));
  EXPECT_EQ(n - 1, BoundedLength(buffer->text, n));
  EXPECT_FALSE(BoundedCopy(buffer->text, n, Repeat(L'b', n).c_str()));
  EXPECT_EQ(0, buffer->text[0]);
  EXPECT_EQ(0, buffer->text[n]);

  EXPECT_TRUE(BoundedCopy(buffer->text, n, Repeat(L'c', n - 2).c_str()));
  EXPECT_FALSE(BoundedAppend(buffer->text, n, L"de"));
  EXPECT_TRUE(BoundedAppend(buffer->text, n, L"d"));
  EXPECT_EQ(Repeat(L'c', n - 2) + L"d", std::wstring(buffer->text));
  EXPECT_EQ(0, buffer->text[n]);
  buffer->~Buffer();
}

TEST(BoundedBuffer, EveryBufferOfTheSystemKeepsItsGuard) {
  CheckBuffer<PathBuffer>("PathBuffer");
  CheckBuffer<CommandBuffer>("CommandBuffer");
  CheckBuffer<SddlBuffer>("SddlBuffer");
  CheckBuffer<ResourceTypeBuffer>("ResourceTypeBuffer");
  EXPECT_EQ(260u, PathBuffer::capacity);
  EXPECT_EQ(1300u, CommandBuffer::capacity);
  EXPECT_EQ(300u, SddlBuffer::capacity);
  EXPECT_EQ(3u, ResourceTypeBuffer::capacity);
}

TEST(BoundedBuffer, TwoLetterTypeFillsATypeBufferExactly) {
  ResourceTypeBuffer type;
  EXPECT_TRUE(BoundedCopy(type.text, RESOURCE_TYPE_CAPACITY, L"BN"));
  EXPECT_EQ(2u, BoundedLength(type.text, RESOURCE_TYPE_CAPACITY));
  EXPECT_FALSE(BoundedCopy(type.text, RESOURCE_TYPE_CAPACITY, L"BNX"));
  EXPECT_EQ(0u, BoundedLength(type.text, RESOURCE_TYPE_CAPACITY));
}

// --------------------------------------------------------- BoundedLength

TEST(BoundedLength, CountsUpToTheFirstTerminatorButNeverPastCapacityMinusOne) {
  struct Case {
    const char* name;
    std::wstring text;
    bool terminated;
    uint64_t capacity;
    uint64_t expected;
  };
  const Case cases[] = {
      {"259 characters in capacity 260", Repeat(L'x', 259), true, 260, 259},
      {"258 characters in capacity 260", Repeat(L'x', 258), true, 260, 258},
      {"259 non-zero, no terminator, capacity 260", Repeat(L'x', 300), false,
       260, 259},
      {"empty string", L"", true, 260, 0},
      {"capacity 0", L"abc", true, 0, 0},
      {"capacity 1", L"abc", true, 1, 0},
      {"capacity 2", L"abc", true, 2, 1},
      {"capacity 3", L"abc", true, 3, 2},
      {"capacity 4, exactly fitting", L"abc", true, 4, 3},
      {"capacity 5", L"abc", true, 5, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<WideChar> storage =
        SentinelArray(c.text.size() + 1, c.text, c.terminated);
    EXPECT_EQ(c.expected, BoundedLength(storage.data(), c.capacity));
  }
  EXPECT_EQ(0u, BoundedLength(nullptr, 260));
}

TEST(BoundedLength, NeverReadsElementCapacityMinusOne) {
  // Elements 0 .. capacity - 2 are non-zero and element capacity - 1 lies on
  // the inaccessible page: the length is capacity - 1 without reading it.
  for (const uint64_t capacity : {2u, 3u, 260u}) {
    SCOPED_TRACE(capacity);
    FencedElements fence(capacity - 1);
    for (uint64_t i = 0; i + 1 < capacity; ++i) fence.elements()[i] = L'x';
    EXPECT_EQ(capacity - 1, BoundedLength(fence.elements(), capacity));
  }
}

// ----------------------------------------------------------- BoundedCopy

TEST(BoundedCopy, SucceedsExactlyWhenSourceAndTerminatorFit) {
  struct Case {
    const char* name;
    size_t source_length;
    uint64_t capacity;
    bool fits;
  };
  const Case cases[] = {
      {"259 into 260", 259, 260, true},
      {"260 into 260", 260, 260, false},
      {"261 into 260", 261, 260, false},
      {"1299 into 1300", 1299, 1300, true},
      {"1300 into 1300", 1300, 1300, false},
      {"2 into 3", 2, 3, true},
      {"3 into 3", 3, 3, false},
      {"empty into 1", 0, 1, true},
      {"1 into 1", 1, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring source = Repeat(L's', c.source_length);
    std::vector<WideChar> storage =
        SentinelArray(c.capacity, c.capacity > 3 ? L"old" : L"");
    EXPECT_EQ(c.fits, BoundedCopy(storage.data(), c.capacity, source.c_str()));
    if (c.fits) {
      EXPECT_EQ(source, std::wstring(storage.data()));
    } else {
      EXPECT_EQ(0, storage[0]) << "a failed copy reads as the empty string";
    }
    ExpectUntouchedFrom(storage, c.capacity);
  }
}

// BoundedCopy and BoundedAppend given capacity 0 or no destination fail and
// write nothing.
void ExpectNoRoomWritesNothing(bool (*operation)(WideChar*, uint64_t,
                                                 const WideChar*)) {
  std::vector<WideChar> storage = SentinelArray(0);
  EXPECT_FALSE(operation(storage.data(), 0, L""));
  EXPECT_FALSE(operation(storage.data(), 0, L"abc"));
  ExpectUntouchedFrom(storage, 0);
  EXPECT_FALSE(operation(nullptr, 260, L"abc"));
}

TEST(BoundedCopy, CapacityZeroOrNullDestinationWritesNothing) {
  ExpectNoRoomWritesNothing(BoundedCopy);
}

TEST(BoundedCopy, ReadsNoSourceElementBeyondTheCapacity) {
  // The source has no terminator before the inaccessible page: the copy
  // gives up after capacity elements without reading further.
  FencedElements fence(5);
  for (int i = 0; i < 5; ++i) fence.elements()[i] = L'q';
  std::vector<WideChar> storage = SentinelArray(5);
  EXPECT_FALSE(BoundedCopy(storage.data(), 5, fence.elements()));
  EXPECT_EQ(0, storage[0]);
  ExpectUntouchedFrom(storage, 5);
}

// --------------------------------------------------------- BoundedAppend

TEST(BoundedAppend, SucceedsExactlyWhenTextSourceAndTerminatorFit) {
  struct Case {
    const char* name;
    size_t held;
    size_t added;
    uint64_t capacity;
    bool fits;
  };
  const Case cases[] = {
      {"250 + 9 in 260", 250, 9, 260, true},
      {"250 + 10 in 260", 250, 10, 260, false},
      {"259 + empty in 260", 259, 0, 260, true},
      {"259 + 1 in 260", 259, 1, 260, false},
      {"empty + 259 in 260", 0, 259, 260, true},
      {"empty + 260 in 260", 0, 260, 260, false},
      {"800 + 499 in 1300", 800, 499, 1300, true},
      {"800 + 500 in 1300", 800, 500, 1300, false},
      {"1 + 1 in 3", 1, 1, 3, true},
      {"1 + 2 in 3", 1, 2, 3, false},
      {"empty + empty in 1", 0, 0, 1, true},
      {"empty + 1 in 1", 0, 1, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring held = Repeat(L'h', c.held);
    const std::wstring added = Repeat(L'a', c.added);
    std::vector<WideChar> storage = SentinelArray(c.capacity, held);
    EXPECT_EQ(c.fits, BoundedAppend(storage.data(), c.capacity, added.c_str()));
    EXPECT_EQ(c.fits ? held + added : held, std::wstring(storage.data()));
    ExpectUntouchedFrom(storage, c.capacity);
  }
}

TEST(BoundedAppend, UnterminatedDestinationEndsAtCapacityMinusOne) {
  // No terminator among the first capacity - 1 elements: the text counts as
  // capacity - 1 characters long. An empty source fits and terminates it;
  // any other source fails and leaves the same terminator.
  struct Case {
    const char* name;
    const wchar_t* source;
    bool fits;
  };
  const Case cases[] = {{"empty source", L"", true},
                        {"one character", L"z", false},
                        {"several characters", L"zzz", false}};
  constexpr uint64_t capacity = 6;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<WideChar> storage = SentinelArray(capacity, L"xxxxxx", false);
    EXPECT_EQ(c.fits, BoundedAppend(storage.data(), capacity, c.source));
    EXPECT_EQ(std::wstring(L"xxxxx"), std::wstring(storage.data()));
    ExpectUntouchedFrom(storage, capacity);
  }
}

TEST(BoundedAppend, CapacityZeroOrNullDestinationWritesNothing) {
  ExpectNoRoomWritesNothing(BoundedAppend);
}

// ------------------------------------------------------- HasPrefixNoCase

TEST(HasPrefixNoCase, FoldsOnlyTheAsciiLetters) {
  struct Case {
    const char* name;
    const wchar_t* text;
    const wchar_t* prefix;
    bool matches;
  };
  const Case cases[] = {
      {"archive name", L"BRIVEL.7Z", L"brivel", true},
      {"setup name", L"SETUP.EXE", L"setup", true},
      {"upper-case prefix", L"brivel.7z", L"BRIVEL", true},
      {"mixed case", L"SeTuP", L"sEtUp", true},
      {"whole text equals prefix", L"setup", L"setup", true},
      {"text shorter than prefix", L"set", L"setup", false},
      {"empty text", L"", L"s", false},
      {"empty prefix", L"anything", L"", true},
      {"empty prefix and text", L"", L"", true},
      {"different letter", L"setap", L"setup", false},
      {"A and a", L"A", L"a", true},
      {"Z and z", L"Z", L"z", true},
      {"0x40 and 0x60", L"\x40", L"\x60", false},
      {"0x5B and 0x7B", L"\x5B", L"\x7B", false},
      {"0x5E and 0x7E", L"\x5E", L"\x7E", false},
      {"accented capital and its small letter", L"\x00C9", L"\x00E9", false},
      {"Cyrillic capital and its small letter", L"\x0411", L"\x0431", false},
      {"non-ASCII matches itself", L"\x00C9t\x00E9", L"\x00C9T", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.matches, HasPrefixNoCase(c.text, c.prefix));
  }
  EXPECT_FALSE(HasPrefixNoCase(nullptr, L"setup"));
  EXPECT_FALSE(HasPrefixNoCase(nullptr, L""));
  EXPECT_FALSE(HasPrefixNoCase(L"setup", nullptr));
  EXPECT_FALSE(HasPrefixNoCase(nullptr, nullptr));
}

TEST(HasPrefixNoCase, ReadsNoTextBeyondThePrefix) {
  // "SETUP" without a terminator, ending at the inaccessible page.
  FencedElements fence(5);
  const wchar_t name[] = L"SETUP";
  for (int i = 0; i < 5; ++i) fence.elements()[i] = name[i];
  EXPECT_TRUE(HasPrefixNoCase(fence.elements(), L"setup"));
  EXPECT_TRUE(HasPrefixNoCase(fence.elements(), L"set"));
  EXPECT_FALSE(HasPrefixNoCase(fence.elements(), L"sex"));
}

// ---------------------------------------------------------- FileNamePart

TEST(FileNamePart, PointsJustAfterTheLastBackslashWithinTheLength) {
  struct Case {
    const char* name;
    std::wstring path;
    uint64_t length;
    uint64_t expected_offset;
  };
  const Case cases[] = {
      {"length 0", L"\\abc", 0, 0},
      {"single backslash", L"\\", 1, 1},
      {"no backslash", L"setup.exe", 9, 0},
      {"forward slashes only", L"C:/dir/setup.exe", 16, 0},
      {"directory and file", L"C:\\dir\\setup.exe", 16, 7},
      {"trailing backslash", L"C:\\dir\\", 7, 7},
      {"backslash beyond the length", L"ab\\cd\\ef", 5, 3},
      {"only backslash beyond the length", L"abc\\", 3, 0},
      {"last element within the length", L"abc\\", 4, 4},
      {"terminator inside the length", std::wstring(L"a\\b\0c\\d", 7), 7, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WideChar* path = c.path.c_str();
    EXPECT_EQ(path + c.expected_offset, FileNamePart(path, c.length));
    std::wstring writable = c.path;
    EXPECT_EQ(&writable[0] + c.expected_offset,
              FileNamePart(&writable[0], c.length));
  }
}

TEST(FileNamePart, ReadsNothingBeyondTheLength) {
  FencedElements fence(3);
  fence.elements()[0] = L'a';
  fence.elements()[1] = L'\\';
  fence.elements()[2] = L'b';
  EXPECT_EQ(fence.elements() + 2, FileNamePart(fence.elements(), 3));
}

// -------------------------------------------------------- BytesToHexWide

TEST(BytesToHexWide, NeedsRoomForTwoDigitsPerByteAndATerminator) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint64_t capacity;
    const wchar_t* expected;  // null: fails and writes nothing
  };
  const Case cases[] = {
      {"two bytes in 5", {0x0A, 0xF3}, 5, L"0AF3"},
      {"two bytes in 4", {0x0A, 0xF3}, 4, nullptr},
      {"two bytes in 6", {0x0A, 0xF3}, 6, L"0AF3"},
      {"every digit in 17",
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF},
       17,
       L"0123456789ABCDEF"},
      {"every digit in 16",
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF},
       16,
       nullptr},
      {"extremes", {0x00, 0xFF, 0x10}, 7, L"00FF10"},
      {"no bytes in 1", {}, 1, L""},
      {"no bytes in 0", {}, 0, nullptr},
      {"sixteen bytes in 33", std::vector<uint8_t>(16, 0x5C), 33,
       L"5C5C5C5C5C5C5C5C5C5C5C5C5C5C5C5C"},
      {"sixteen bytes in 32", std::vector<uint8_t>(16, 0x5C), 32,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<WideChar> storage = SentinelArray(c.capacity, L"", false);
    const bool fitted = BytesToHexWide(c.bytes.data(), c.bytes.size(),
                                       storage.data(), c.capacity);
    if (c.expected != nullptr) {
      EXPECT_TRUE(fitted);
      EXPECT_EQ(std::wstring(c.expected), std::wstring(storage.data()));
      ExpectUntouchedFrom(storage, c.capacity);
    } else {
      EXPECT_FALSE(fitted);
      ExpectUntouchedFrom(storage, 0);
    }
  }
}

// ------------------------------------------------------------- FillBytes

TEST(FillBytes, SetsExactlyCountBytesToTheLowByteOfValue) {
  struct Case {
    const char* name;
    int value;
    uint64_t count;
    uint8_t expected;
  };
  const Case cases[] = {
      {"nothing", 0x11, 0, 0},
      {"one byte", 0x11, 1, 0x11},
      {"a path buffer with zeros", 0, 520, 0x00},
      {"low byte of a wider value", 0x1AB, 9, 0xAB},
      {"minus one", -1, 4, 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes(c.count + SLACK, 0xEE);
    EXPECT_EQ(bytes.data(), FillBytes(bytes.data(), c.value, c.count));
    for (uint64_t i = 0; i < bytes.size(); ++i) {
      ASSERT_EQ(i < c.count ? c.expected : 0xEE, bytes[i]) << "byte " << i;
    }
  }
}

}  // namespace

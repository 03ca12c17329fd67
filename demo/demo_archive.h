// The demo archive, which make_demo_archive.py writes and only the demo's
// setup reads. All numbers little-endian:
//   magic "BRVDEMO1" | u32 count | count x (u16 name bytes | UTF-8 name |
//   u32 size | bytes) | u32 CRC-32 of everything before it
// Names are plain file names (no folders); the trailer must end the resource
// exactly.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"

constexpr uint32_t MAX_ENTRIES = 64;
constexpr uint32_t MAX_NAME_BYTES = 128;
constexpr uint64_t NAME_CAPACITY = MAX_NAME_BYTES + 1;

struct ArchiveEntry {
  const uint8_t* name = nullptr;
  uint32_t name_bytes = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

struct DemoArchive {
  uint32_t count = 0;
  uint32_t checksum = 0;
  ArchiveEntry entries[MAX_ENTRIES];
};

// Checks the whole archive before anything is written: layout, checksum, and
// every name (valid UTF-8 that fits, a plain file name that Windows accepts,
// not the log's, no two alike ignoring case). The entries then point into
// data. Null on success, otherwise what is wrong.
const char* ReadArchive(const uint8_t* data, uint64_t size,
                        DemoArchive& archive);

// The entry's name as UTF-16, if it is valid UTF-8 and fits; otherwise
// false and name empty.
bool WideName(const ArchiveEntry& entry, BoundedBuffer<NAME_CAPACITY>& name);

// The demo archive (demo_archive.h).
#include "demo/demo_archive.h"

#include "base/windows_api.h"
#include "demo/install_log.h"

namespace {

constexpr uint8_t ARCHIVE_MAGIC[8] = {'B', 'R', 'V', 'D', 'E', 'M', 'O', '1'};

uint32_t Crc32(const uint8_t* bytes, uint64_t count) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint64_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

struct ArchiveReader {
  const uint8_t* data;
  uint64_t size;
  uint64_t position;
};

bool Take(ArchiveReader& reader, uint64_t count, const uint8_t*& at) {
  if (reader.size - reader.position < count) return false;
  at = reader.data + reader.position;
  reader.position += count;
  return true;
}

bool TakeNumber(ArchiveReader& reader, uint64_t width, uint32_t& value) {
  const uint8_t* at = nullptr;
  if (!Take(reader, width, at)) return false;
  value = 0;
  for (uint64_t i = width; i > 0; --i) value = (value << 8) | at[i - 1];
  return true;
}

// A plain file name that Windows accepts and that is not the log's.
bool IsPlainFileName(const WideChar* name) {
  uint64_t length = 0;
  for (; name[length] != 0; ++length) {
    const WideChar c = name[length];
    if (c < 0x20) return false;
    for (const WideChar* bad = L"\\/:*?\"<>|"; *bad != 0; ++bad)
      if (c == *bad) return false;
  }
  if (length == 0) return false;
  // Windows drops a trailing dot or space, which would make a different file.
  const WideChar last = name[length - 1];
  if (last == L'.' || last == L' ') return false;
  return lstrcmpiW(name, LOG_NAME) != 0;
}

}  // namespace

bool WideName(const ArchiveEntry& entry, BoundedBuffer<NAME_CAPACITY>& name) {
  const int count = MultiByteToWideChar(
      CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(entry.name),
      static_cast<int>(entry.name_bytes), name.text, NAME_CAPACITY - 1);
  if (count <= 0) {
    name.text[0] = 0;
    return false;
  }
  name.text[count] = 0;
  return true;
}

const char* ReadArchive(const uint8_t* data, uint64_t size,
                        DemoArchive& archive) {
  ArchiveReader reader{data, size, 0};
  if (size < sizeof(ARCHIVE_MAGIC) + 8) return "too short for a demo archive";
  for (uint64_t i = 0; i < sizeof(ARCHIVE_MAGIC); ++i)
    if (data[i] != ARCHIVE_MAGIC[i]) return "no demo archive header";
  reader.position = sizeof(ARCHIVE_MAGIC);

  const uint64_t body = size - 4;
  archive.checksum = 0;
  for (int i = 0; i < 4; ++i)
    archive.checksum |= static_cast<uint32_t>(data[body + i]) << (8 * i);
  if (Crc32(data, body) != archive.checksum) return "checksum mismatch";
  reader.size = body;

  if (!TakeNumber(reader, 4, archive.count)) return "truncated entry count";
  if (archive.count == 0 || archive.count > MAX_ENTRIES)
    return "entry count out of range";
  for (uint32_t i = 0; i < archive.count; ++i) {
    ArchiveEntry& entry = archive.entries[i];
    if (!TakeNumber(reader, 2, entry.name_bytes) ||
        !Take(reader, entry.name_bytes, entry.name) ||
        !TakeNumber(reader, 4, entry.size) ||
        !Take(reader, entry.size, entry.data))
      return "truncated entry";
    if (entry.name_bytes == 0 || entry.name_bytes > MAX_NAME_BYTES)
      return "entry name length out of range";
    BoundedBuffer<NAME_CAPACITY> name;
    if (!WideName(entry, name)) return "entry name is not UTF-8";
    if (!IsPlainFileName(name.text)) return "entry name is not a plain file name";
    for (uint32_t j = 0; j < i; ++j) {
      BoundedBuffer<NAME_CAPACITY> earlier;
      WideName(archive.entries[j], earlier);
      if (lstrcmpiW(name.text, earlier.text) == 0) return "duplicate entry name";
    }
  }
  if (reader.position != reader.size) return "data after the last entry";
  return nullptr;
}

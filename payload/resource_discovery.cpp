#include "payload/resource_discovery.h"

#include "base/stack_protection.h"

namespace {

const WideChar ARCHIVE_PREFIX[] = L"brivel";
const WideChar SETUP_PREFIX[] = L"setup";

}  // namespace

bool PayloadSearch::VisitResource(const WideChar* name,
                                  const ResourceSpan& span) {
  if (HasPrefixNoCase(name, ARCHIVE_PREFIX)) {
    if (archive_name_[0] != 0) {
      error_ = ERROR_TOO_MANY_NAMES;
      return false;
    }
    if (!BoundedCopy(archive_name_, PATH_CAPACITY, name)) {
      error_ = ERROR_FILENAME_EXCED_RANGE;
      return false;
    }
    return true;  // the archive's bytes are setup's business
  }
  if (HasPrefixNoCase(name, SETUP_PREFIX)) {
    if (setup_span_.size != 0) {
      error_ = ERROR_TOO_MANY_NAMES;
      return false;
    }
    if (!BoundedCopy(setup_name_, PATH_CAPACITY, name)) {
      error_ = ERROR_FILENAME_EXCED_RANGE;
      return false;
    }
    setup_span_ = span;
    return true;
  }
  error_ = ERROR_INVALID_DATA;
  return false;
}

bool FindPayloadResources(ResourceVisitor& visitor, HMODULE module,
                          const WideChar* type) {
  return EnumResourceNamesW(module, type, OnResourceName,
                            reinterpret_cast<LONG_PTR>(&visitor)) != FALSE;
}

FRAME_WITHOUT_ARRAYS
BOOL CALLBACK OnResourceName(HMODULE module, LPCWSTR type, LPWSTR name,
                             LONG_PTR context) {
  ResourceVisitor* visitor = reinterpret_cast<ResourceVisitor*>(context);
  if (visitor == nullptr || IS_INTRESOURCE(name)) return FALSE;
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return FALSE;
  const DWORD size = SizeofResource(module, found);
  if (size == 0) return FALSE;
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return FALSE;
  const void* locked = LockResource(loaded);
  if (locked == nullptr) return FALSE;
  ResourceSpan span;
  span.data = static_cast<const uint8_t*>(locked);
  span.size = size;
  return visitor->VisitResource(name, span) ? TRUE : FALSE;
}

// The payload resource layout and the walk over it. The executable carries
// the installation archive (a name beginning with "brivel") and setup (a name
// beginning with "setup") as named resources of the types "B7", "BL" and
// "BN"; ASCII letter case is ignored in the prefixes. Across the three types
// there is exactly one archive and one setup. The archive is only located,
// never read: setup reads it straight out of this executable.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"
#include "workarea/output_file.h"

// What the walk calls for every named resource of a type. Return false to
// stop the walk of that type.
class ResourceVisitor {
 public:
  virtual bool VisitResource(const WideChar* name,
                             const ResourceSpan& span) = 0;

 protected:
  ~ResourceVisitor() = default;
};

// Records the archive's name and setup's name and bytes into storage its
// creator owns. The archive counts as found when archive_name is non-empty,
// setup when setup_span has a non-zero size. A second archive or setup
// records ERROR_TOO_MANY_NAMES, a name of 260 characters or more
// ERROR_FILENAME_EXCED_RANGE, any other name ERROR_INVALID_DATA; each stops
// the walk of its type.
class PayloadSearch final : public ResourceVisitor {
 public:
  PayloadSearch(WideChar* archive_name, WideChar* setup_name,
                ResourceSpan& setup_span, uint32_t& error)
      : archive_name_(archive_name),
        setup_name_(setup_name),
        setup_span_(setup_span),
        error_(error) {}

  bool VisitResource(const WideChar* name, const ResourceSpan& span) override;

 private:
  WideChar* archive_name_;  // PATH_CAPACITY
  WideChar* setup_name_;    // PATH_CAPACITY
  ResourceSpan& setup_span_;
  uint32_t& error_;
};

// Walks the named resources of type in module, handing each to visitor.
// Returns what EnumResourceNamesW reported; callers tell an absent type, a
// stopped walk and a full walk apart only by what the visitor recorded.
bool FindPayloadResources(ResourceVisitor& visitor, HMODULE module,
                          const WideChar* type);

// The enumeration procedure. An integer identifier, a null context, a
// resource that cannot be found, loaded or locked, and one of size 0 end the
// walk of the type silently. Otherwise the resource is located and locked
// (none of its bytes read) and the visitor decides.
BOOL CALLBACK OnResourceName(HMODULE module, LPCWSTR type, LPWSTR name,
                             LONG_PTR context);

#include "payload/payload_extraction.h"

#include "payload/cabinet_expansion.h"
#include "payload/resource_discovery.h"
#include "workarea/output_file.h"
#include "workarea/removal.h"

namespace {

const WideChar TYPE_B7[] = L"B7";
const WideChar TYPE_BL[] = L"BL";
const WideChar TYPE_BN[] = L"BN";
const WideChar* const PAYLOAD_TYPES[] = {TYPE_B7, TYPE_BL, TYPE_BN};

const WideChar SETUP_FILE_NAME[] = L"setup.exe";

}  // namespace

RunOutcome ExtractPayload(HMODULE module, const WideChar* work_dir,
                          PathBuffer& setup_path, PathBuffer& archive_name,
                          ResourceTypeBuffer& archive_type,
                          int32_t& largest_attempt_count,
                          OutputFile* setup_hold) {
  setup_path.text[0] = 0;
  archive_name.text[0] = 0;
  archive_type.text[0] = 0;
  PathBuffer setup_name;
  // The entry of PAYLOAD_TYPES setup was found in, null until then.
  const WideChar* setup_type = nullptr;
  ResourceSpan setup_span;
  uint32_t error = 0;

  for (const WideChar* type : PAYLOAD_TYPES) {
    error = 0;
    PayloadSearch search(archive_name.text, setup_name.text, setup_span,
                         error);
    FindPayloadResources(search, module, type);
    if (error != 0) {
      // The archive's type is recorded only once its walk ended cleanly, so
      // an error in the archive's own type still reads as no archive.
      const uint32_t code = archive_type.text[0] == 0 ? RC_ARCHIVE_NOT_FOUND
                                                      : RC_SETUP_NOT_EXTRACTED;
      return {code, error};
    }
    if (archive_type.text[0] == 0 && archive_name.text[0] != 0) {
      BoundedCopy(archive_type.text, RESOURCE_TYPE_CAPACITY, type);
    }
    if (setup_type == nullptr && setup_span.size != 0) setup_type = type;
  }

  if (archive_name.text[0] == 0) {
    return {RC_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND};
  }
  if (setup_span.size == 0) {
    return {RC_SETUP_NOT_EXTRACTED, ERROR_FILE_NOT_FOUND};
  }

  const bool plain = setup_type == TYPE_BN;
  if (!BoundedCopy(setup_path.text, PATH_CAPACITY, work_dir) ||
      !BoundedAppend(setup_path.text, PATH_CAPACITY,
                     plain ? SETUP_FILE_NAME : setup_name.text)) {
    return {RC_PATH_TOO_LONG, 0};
  }
  // A setup written as it is goes to the caller held; a cabinet is held
  // here until its expansion has ended, so that the library reads the very
  // file that was written.
  const bool compressed = setup_type == TYPE_BL;
  OutputFile cabinet;
  if (!WriteSpanToFile(setup_span, setup_path.text,
                       compressed ? &cabinet : setup_hold)) {
    return {RC_PAYLOAD_WRITE_FAILED, CallGetLastError()};
  }
  if (!compressed) return {RC_OK, 0};

  PathBuffer expanded_path;
  if (!BoundedCopy(expanded_path.text, PATH_CAPACITY, work_dir) ||
      !BoundedAppend(expanded_path.text, PATH_CAPACITY, SETUP_FILE_NAME)) {
    return {RC_PATH_TOO_LONG, 0};
  }
  const bool expanded =
      ExpandCabinet(setup_path.text, expanded_path.text, setup_hold);
  // Through its hold first, as the run removes setup's file; that closes
  // the hold, and the record goes as it is dropped.
  RemoveThroughHandle(cabinet.handle);
  int32_t attempts = 0;
  RemoveWithRetries(setup_path.text, attempts);
  if (attempts > largest_attempt_count) largest_attempt_count = attempts;
  BoundedCopy(setup_path.text, PATH_CAPACITY, expanded_path.text);
  return expanded ? RunOutcome{RC_OK, 0} : RunOutcome{RC_SETUP_NOT_EXTRACTED, 0};
}

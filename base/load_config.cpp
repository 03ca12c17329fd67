// The image's load configuration record, which without a run-time library
// nothing else supplies; the linker finds it by its name and points the
// image's load-configuration directory at it. Its one setting asks the
// loader (Windows 10 1607 and later: every ARM64 release) to resolve the
// dependencies of the installer's static imports from the system directory
// alone (DependentLoadFlags), so that no library planted beside the
// installer is taken for one of them. Everything else stays zero: no
// security cookie (the stack guard is drawn in the entry point), no guard
// tables.
//
// Both targets are PE32+ images and take the 64-bit record, here in its
// Windows 10 layout (the platform SDK's IMAGE_LOAD_CONFIG_DIRECTORY64; the
// mingw-w64 headers know only its first part). A loader reads the fields its
// own version knows and as many as Size covers.
#include <stddef.h>
#include <stdint.h>

#include "base/windows_api.h"

struct LoadConfig64 {
  uint32_t size;
  uint32_t time_date_stamp;
  uint16_t major_version;
  uint16_t minor_version;
  uint32_t global_flags_clear;
  uint32_t global_flags_set;
  uint32_t critical_section_default_timeout;
  uint64_t de_commit_free_block_threshold;
  uint64_t de_commit_total_free_threshold;
  uint64_t lock_prefix_table;
  uint64_t maximum_allocation_size;
  uint64_t virtual_memory_threshold;
  uint64_t process_affinity_mask;
  uint32_t process_heap_flags;
  uint16_t csd_version;
  uint16_t dependent_load_flags;
  uint64_t edit_list;
  uint64_t security_cookie;
  uint64_t se_handler_table;
  uint64_t se_handler_count;
  uint64_t guard_cf_check_function_pointer;
  uint64_t guard_cf_dispatch_function_pointer;
  uint64_t guard_cf_function_table;
  uint64_t guard_cf_function_count;
  uint32_t guard_flags;
  uint16_t code_integrity_flags;
  uint16_t code_integrity_catalog;
  uint32_t code_integrity_catalog_offset;
  uint32_t code_integrity_reserved;
  uint64_t guard_address_taken_iat_entry_table;
  uint64_t guard_address_taken_iat_entry_count;
  uint64_t guard_long_jump_target_table;
  uint64_t guard_long_jump_target_count;
  uint64_t dynamic_value_reloc_table;
  uint64_t chpe_metadata_pointer;
  uint64_t guard_rf_failure_routine;
  uint64_t guard_rf_failure_routine_function_pointer;
  uint32_t dynamic_value_reloc_table_offset;
  uint16_t dynamic_value_reloc_table_section;
  uint16_t reserved2;
  uint64_t guard_rf_verify_stack_pointer_function_pointer;
  uint32_t hot_patch_table_offset;
  uint32_t reserved3;
  uint64_t enclave_configuration_pointer;
  uint64_t volatile_metadata_pointer;
  uint64_t guard_eh_continuation_table;
  uint64_t guard_eh_continuation_count;
  uint64_t guard_xfg_check_function_pointer;
  uint64_t guard_xfg_dispatch_function_pointer;
  uint64_t guard_xfg_table_dispatch_function_pointer;
  uint64_t cast_guard_os_determined_failure_mode;
  uint64_t guard_memcpy_function_pointer;
};

static_assert(offsetof(LoadConfig64, dependent_load_flags) == 0x4E,
              "DependentLoadFlags lies 0x4E bytes into the record");
static_assert(offsetof(LoadConfig64, guard_flags) == 0x90,
              "GuardFlags lies 0x90 bytes into the record");
static_assert(offsetof(LoadConfig64, chpe_metadata_pointer) == 0xC8,
              "CHPEMetadataPointer lies 0xC8 bytes into the record");
static_assert(sizeof(LoadConfig64) == 0x140, "the Windows 10 record");

namespace {

constexpr LoadConfig64 MakeLoadConfig() {
  LoadConfig64 config = {};
  config.size = sizeof(LoadConfig64);
  config.dependent_load_flags = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return config;
}

}  // namespace

extern "C" const LoadConfig64 _load_config_used = MakeLoadConfig();

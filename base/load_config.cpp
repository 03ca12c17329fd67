// The image's load configuration record, which without a run-time library
// nothing else supplies; the linker finds it by its name and points the
// image's load-configuration directory at it. Two things are set:
//
// - DependentLoadFlags asks the loader (Windows 10 1607 and later: every
//   ARM64 release) to resolve the dependencies of the installer's static
//   imports from the system directory alone, so that no library planted
//   beside the installer is taken for one of them.
// - Control Flow Guard: the compiler (-mguard=cf) puts a check before every
//   indirect call and lists the functions whose address is taken, the
//   linker (--guard-cf) gathers those into a table of valid targets and
//   marks the image GUARD_CF. These fields tell the loader where the table
//   is and where to install its check (base/control_flow_guard.cpp).
//
// Everything else stays zero: no security cookie (the stack guard is drawn
// in the entry point), no exception-handler table.
//
// Both targets are PE32+ images and take the 64-bit record, here in its
// Windows 10 layout (the platform SDK's IMAGE_LOAD_CONFIG_DIRECTORY64; the
// mingw-w64 headers know only its first part) up to the last field set,
// GuardEHContinuationCount. A loader reads the fields its own version knows
// and as many as Size covers; the later ones (XFG, cast guard, memcpy
// guard) would all be zero.
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
  // The guard's fields are addresses the linker fills in: the two check
  // pointers and the tables are places in the image, the counts and the
  // flags are absolute symbols whose "address" is the value. Pointers here
  // (8 bytes on both targets), so that the record stays a constant.
  const void* guard_cf_check_function_pointer;
  const void* guard_cf_dispatch_function_pointer;
  const void* guard_cf_function_table;
  const void* guard_cf_function_count;
  // GuardFlags (32 bits) and, above it, CodeIntegrity's Flags and Catalog
  // (16 bits each) as one word: C++ places an address only in a field of
  // pointer width. The linker's flags stay below 2^32, so the code
  // integrity fields stay zero.
  const void* guard_flags;
  uint32_t code_integrity_catalog_offset;
  uint32_t code_integrity_reserved;
  const void* guard_address_taken_iat_entry_table;
  const void* guard_address_taken_iat_entry_count;
  const void* guard_long_jump_target_table;
  const void* guard_long_jump_target_count;
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
  const void* guard_eh_continuation_table;
  const void* guard_eh_continuation_count;
};

static_assert(offsetof(LoadConfig64, dependent_load_flags) == 0x4E,
              "DependentLoadFlags lies 0x4E bytes into the record");
static_assert(offsetof(LoadConfig64, guard_cf_check_function_pointer) == 0x70,
              "GuardCFCheckFunctionPointer lies 0x70 bytes into the record");
static_assert(offsetof(LoadConfig64, guard_flags) == 0x90,
              "GuardFlags lies 0x90 bytes into the record");
static_assert(offsetof(LoadConfig64, guard_eh_continuation_table) == 0x108,
              "GuardEHContinuationTable lies 0x108 bytes into the record");
static_assert(offsetof(LoadConfig64, chpe_metadata_pointer) == 0xC8,
              "CHPEMetadataPointer lies 0xC8 bytes into the record");
static_assert(sizeof(LoadConfig64) == 0x118,
              "the record through GuardEHContinuationCount");

extern "C" {

// The check pointers (base/control_flow_guard.cpp), which the compiler's
// checks call through.
extern void* const __guard_check_icall_fptr;
extern void* const __guard_dispatch_icall_fptr;

// Made by the linker with --guard-cf: the tables it gathered and their
// counts, and the flags that describe them.
extern const char __guard_fids_table;
extern const char __guard_fids_count;
extern const char __guard_flags;
extern const char __guard_iat_table;
extern const char __guard_iat_count;
extern const char __guard_longjmp_table;
extern const char __guard_longjmp_count;
extern const char __guard_eh_cont_table;
extern const char __guard_eh_cont_count;

}  // extern "C"

namespace {

constexpr LoadConfig64 MakeLoadConfig() {
  LoadConfig64 config = {};
  config.size = sizeof(LoadConfig64);
  config.dependent_load_flags = LOAD_LIBRARY_SEARCH_SYSTEM32;
  // Where the loader writes its own check (ARM64 code calls through it
  // before each indirect call, with the target in x15) and its own dispatch
  // (x64 code calls through it in place of the call, with the target in
  // rax, and it jumps on to the target). A loader that does not enforce the
  // guard leaves both on the pass-throughs.
  config.guard_cf_check_function_pointer = &__guard_check_icall_fptr;
  config.guard_cf_dispatch_function_pointer = &__guard_dispatch_icall_fptr;
  // The image's valid call targets, sorted by address: every function whose
  // address is taken, and the entry point. The loader marks them in the
  // process's map of valid targets; an indirect call to any other address
  // in this image ends the process (a fast fail).
  config.guard_cf_function_table = &__guard_fids_table;
  config.guard_cf_function_count = &__guard_fids_count;
  // CF_INSTRUMENTED and CF_FUNCTION_TABLE_PRESENT, and the size of each
  // table entry beyond its 4-byte address (the top four bits): with GUARD_CF
  // in DllCharacteristics, what makes the loader enforce the guard.
  config.guard_flags = &__guard_flags;
  // Import entries whose address is taken, long jump targets and exception
  // continuations: the linker's tables, empty for this code (no address of
  // an import taken, no longjmp, no exceptions), given as it makes them.
  config.guard_address_taken_iat_entry_table = &__guard_iat_table;
  config.guard_address_taken_iat_entry_count = &__guard_iat_count;
  config.guard_long_jump_target_table = &__guard_longjmp_table;
  config.guard_long_jump_target_count = &__guard_longjmp_count;
  config.guard_eh_continuation_table = &__guard_eh_cont_table;
  config.guard_eh_continuation_count = &__guard_eh_cont_count;
  return config;
}

}  // namespace

extern "C" const LoadConfig64 _load_config_used = MakeLoadConfig();

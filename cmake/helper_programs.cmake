# Small CRT-free Windows programs built for the current target with the
# product's own rules: the setup stand-in that tests and the demo package
# into installers, and the runner that reports a child's full exit code.
# Outputs go to <build>/helpers/.
#
#   brivel_helper_import_library(NAME DEF_FILE)
#   brivel_helper_program(NAME SUBSYSTEM windows|console ENTRY SYMBOL
#                         SOURCES ... [IMPORTS dll ...] [HELPER_IMPORTS name ...]
#                         [STACK_PROTECTED] [GUARD_CF])
#
# IMPORTS names import libraries of the kit (cmake/imports/*.def: what the
# product itself may import). HELPER_IMPORTS names import libraries made by
# brivel_helper_import_library from .def files of their own, so that the
# helpers' needs never widen the product's lists. STACK_PROTECTED keeps the
# product's stack protection, with its guard and check. GUARD_CF keeps its
# Control Flow Guard and links the table; SOURCES then supply the load
# configuration and the check pointers (base/load_config.cpp and
# base/control_flow_guard.cpp, or a stand-in for the latter). Without it the
# helpers are built without the guard.

set(BRIVEL_HELPER_DIR ${CMAKE_BINARY_DIR}/helpers)
set(BRIVEL_HELPER_IMPORT_DIR ${BRIVEL_HELPER_DIR}/imports)

# All helper programs: `cmake --build build/<arch> --target helpers`.
add_custom_target(helpers)

function(brivel_helper_import_library def_name def)
  set(lib ${BRIVEL_HELPER_IMPORT_DIR}/lib${def_name}.a)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BRIVEL_HELPER_IMPORT_DIR}
    COMMAND ${LLVM_DLLTOOL} -m ${BRIVEL_DLLTOOL_MACHINE} -d ${def} -l ${lib}
    DEPENDS ${def}
    COMMENT "Helper import library ${def_name}")
  add_custom_target(helper_import_${def_name} DEPENDS ${lib})
endfunction()

function(brivel_helper_program name)
  cmake_parse_arguments(HP "STACK_PROTECTED;GUARD_CF" "SUBSYSTEM;ENTRY" "SOURCES;IMPORTS;HELPER_IMPORTS" ${ARGN})
  if(HP_STACK_PROTECTED)
    add_executable(${name} ${HP_SOURCES}
      ${CMAKE_SOURCE_DIR}/base/stack_protection.cpp
      ${CMAKE_SOURCE_DIR}/base/system_library.cpp)
    target_compile_options(${name} PRIVATE ${PRODUCT_COMPILE_OPTIONS})
  else()
    # The product's rules, but without its stack protection, whose guard
    # and check live in the product's own objects.
    add_executable(${name} ${HP_SOURCES})
    target_compile_options(${name} PRIVATE ${PRODUCT_COMPILE_OPTIONS}
      -fno-stack-protector)
  endif()
  if(HP_GUARD_CF)
    target_link_options(${name} PRIVATE -Wl,--guard-cf)
  else()
    target_compile_options(${name} PRIVATE -mguard=none)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE ${PRODUCT_DEFINITIONS})
  set(libs)
  foreach(dll ${HP_IMPORTS})
    list(APPEND libs ${BRIVEL_KIT_DIR}/lib${dll}.a)
  endforeach()
  if(HP_IMPORTS)
    add_dependencies(${name} kit)
  endif()
  foreach(def_name ${HP_HELPER_IMPORTS})
    list(APPEND libs ${BRIVEL_HELPER_IMPORT_DIR}/lib${def_name}.a)
    add_dependencies(${name} helper_import_${def_name})
  endforeach()
  target_link_libraries(${name} PRIVATE ${libs})
  target_link_options(${name} PRIVATE -nostdlib -fuse-ld=lld
    "SHELL:-Wl,-e,${HP_ENTRY}" "SHELL:-Wl,--subsystem,${HP_SUBSYSTEM}"
    -Wl,--no-insert-timestamp -Wl,--gc-sections -s)
  set_target_properties(${name} PROPERTIES
    CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
    RUNTIME_OUTPUT_DIRECTORY ${BRIVEL_HELPER_DIR})
  add_dependencies(helpers ${name})
endfunction()

brivel_helper_import_library(helper_kernel32
  ${CMAKE_SOURCE_DIR}/tests/support/helper_kernel32.def)

# The compiler may emit memset/memcpy for records; the product's own
# definitions serve the helpers too.
set(BRIVEL_HELPER_RUNTIME
  ${CMAKE_SOURCE_DIR}/base/runtime_support.cpp
  ${CMAKE_SOURCE_DIR}/base/bounded_string.cpp)

# The setup stand-in: records what it was given, opens the archive through
# its switches, exits with a chosen code (tests/support/setup_probe.cpp).
brivel_helper_program(setup_probe
  SUBSYSTEM windows ENTRY ProbeEntry
  SOURCES ${CMAKE_SOURCE_DIR}/tests/support/setup_probe.cpp
          ${CMAKE_SOURCE_DIR}/tests/support/setup_probe_report.cpp ${BRIVEL_HELPER_RUNTIME}
  HELPER_IMPORTS helper_kernel32)

# Starts a program with an exact command line and prints its full exit code
# (tests/support/exit_code_runner.cpp).
brivel_helper_program(exit_code_runner
  SUBSYSTEM console ENTRY RunnerEntry
  SOURCES ${CMAKE_SOURCE_DIR}/tests/support/exit_code_runner.cpp ${BRIVEL_HELPER_RUNTIME}
  HELPER_IMPORTS helper_kernel32)

# ---------------------------------------------------------------------------
# The demo's setup program (demo/demo_setup.cpp, with its archive reader and
# its log), which tools/demo packages with the demo archive. It imports what
# the kit's lists allow plus the few functions of demo/kernel32_extra.def,
# and SHELL32's CommandLineToArgvW (demo/shell32.def).
brivel_helper_import_library(kernel32_extra ${CMAKE_SOURCE_DIR}/demo/kernel32_extra.def)
brivel_helper_import_library(demo_shell32 ${CMAKE_SOURCE_DIR}/demo/shell32.def)
brivel_helper_program(demo_setup
  SUBSYSTEM windows ENTRY DemoSetupEntry
  SOURCES ${CMAKE_SOURCE_DIR}/demo/demo_setup.cpp
    ${CMAKE_SOURCE_DIR}/demo/demo_archive.cpp
    ${CMAKE_SOURCE_DIR}/demo/install_log.cpp ${BRIVEL_HELPER_RUNTIME}
  IMPORTS kernel32
  HELPER_IMPORTS kernel32_extra demo_shell32)

# ---------------------------------------------------------------------------
# Benchmark programs (bench/, used by tools/bench only, not by the tests):
# the setup that stamps the clock as its first action, the runner that
# stamps it just before starting the installer and reads the installer's
# peak working set, and the plain file copy that extraction is compared
# with. Their imports come from bench/bench_kernel32.def.
# `cmake --build build/<arch> --target bench`.
brivel_helper_import_library(bench_kernel32 ${CMAKE_SOURCE_DIR}/bench/bench_kernel32.def)
add_custom_target(bench)

foreach(bench_program bench_setup:windows:BenchSetupEntry
                      bench_runner:console:BenchRunnerEntry
                      bench_copy:console:BenchCopyEntry)
  string(REPLACE ":" ";" bench_fields ${bench_program})
  list(GET bench_fields 0 bench_name)
  list(GET bench_fields 1 bench_subsystem)
  list(GET bench_fields 2 bench_entry)
  brivel_helper_program(${bench_name}
    SUBSYSTEM ${bench_subsystem} ENTRY ${bench_entry}
    SOURCES ${CMAKE_SOURCE_DIR}/bench/${bench_name}.cpp
            ${CMAKE_SOURCE_DIR}/bench/bench_support.cpp ${BRIVEL_HELPER_RUNTIME}
    HELPER_IMPORTS bench_kernel32)
  add_dependencies(bench ${bench_name})
endforeach()

# ---------------------------------------------------------------------------
# End-to-end scenarios (tests/scenarios/scenarios.py): the decoy library that
# the planting scenario copies under the names of system libraries beside an
# installer; it writes a marker when anything loads it
# (tests/scenarios/decoy/decoy.cpp). Output: <build>/helpers/decoy.dll.
add_library(decoy SHARED ${CMAKE_SOURCE_DIR}/tests/scenarios/decoy/decoy.cpp)
target_include_directories(decoy PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(decoy PRIVATE ${PRODUCT_COMPILE_OPTIONS} -fno-stack-protector
  -mguard=none)
target_compile_definitions(decoy PRIVATE ${PRODUCT_DEFINITIONS})
target_link_libraries(decoy PRIVATE ${BRIVEL_HELPER_IMPORT_DIR}/libhelper_kernel32.a)
add_dependencies(decoy helper_import_helper_kernel32)
target_link_options(decoy PRIVATE -nostdlib -fuse-ld=lld
  "SHELL:-Wl,-e,DecoyEntry" -Wl,--no-insert-timestamp -s)
set_target_properties(decoy PROPERTIES
  CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
  PREFIX "" OUTPUT_NAME decoy
  RUNTIME_OUTPUT_DIRECTORY ${BRIVEL_HELPER_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${BRIVEL_HELPER_DIR}/imports)
add_dependencies(helpers decoy)

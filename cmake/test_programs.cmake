# Test programs for both targets: how CTest runs and judges them, the
# fixture installers they run, and what the conformance kit
# (tools/conformance) takes from this build.
#
#   brivel_discover_tests(target [PROPERTIES name value ...])
#   brivel_kit_program(target gtest|native|crasher|runner)
#   brivel_kit_data(path ...)
#   brivel_fixture_installer(OUTPUT file.exe ARGS <package args> DEPENDS ...)
#   brivel_write_kit_contents()

include(GoogleTest)

# A test passes only when its program says so: GoogleTest's closing line for
# the one test a discovered test runs ("[  PASSED  ] 1 test."), which a
# crashed program never prints. With this expression CTest ignores the exit
# code, so a program that Wine's debugger ends with 0 after its crash report
# does not pass; a crash after the closing line shows by Wine's own line on
# standard error. A skipped test prints "[  PASSED  ] 0 tests." and
# "[  SKIPPED ]": CTest's skip expression (set by gtest_discover_tests) is
# looked at first, so it is reported as skipped, not failed. Brackets as
# character classes: the expressions pass through generated scripts
# without escaping.
set(BRIVEL_PASS_REGEX "[[]  PASSED  []] 1 test[.]")
set(BRIVEL_CRASH_REGEX "wine: Unhandled |Unhandled exception: ")

# gtest_discover_tests with the verdict above, run through the target's
# CROSSCOMPILING_EMULATOR (tools/run-x64 or tools/run-arm64).
function(brivel_discover_tests target)
  cmake_parse_arguments(DT "" "TEST_PREFIX" "PROPERTIES" ${ARGN})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${DT_TEST_PREFIX}"
    PROPERTIES PASS_REGULAR_EXPRESSION "${BRIVEL_PASS_REGEX}"
               FAIL_REGULAR_EXPRESSION "${BRIVEL_CRASH_REGEX}"
               ${DT_PROPERTIES})
endfunction()

# What the kit packs, written by brivel_write_kit_contents() into
# <build>/conformance/contents.txt:
#   gtest    a GoogleTest program (the x64 twin's); every kit carries these
#   native   a program of the target that speaks GoogleTest's language
#   crasher  the runner's calibration: every test of it crashes
#   runner   the kit's runner
# Data: files and folders the programs read, laid out in the kit as in the
# build folder (BRIVEL_BUILD_DIR points there).
function(brivel_kit_program target kind)
  set_property(GLOBAL APPEND PROPERTY BRIVEL_KIT_PROGRAMS
    "${kind} $<TARGET_FILE:${target}>")
endfunction()

function(brivel_kit_data)
  set_property(GLOBAL APPEND PROPERTY BRIVEL_KIT_DATA ${ARGN})
endfunction()

function(brivel_write_kit_contents)
  get_property(programs GLOBAL PROPERTY BRIVEL_KIT_PROGRAMS)
  get_property(data GLOBAL PROPERTY BRIVEL_KIT_DATA)
  set(text "# What the conformance kit takes from this build (tools/conformance)\n")
  string(APPEND text "arch ${BRIVEL_ARCH}\nbuild ${CMAKE_BINARY_DIR}\n")
  foreach(program ${programs})
    string(APPEND text "program ${program}\n")
  endforeach()
  foreach(path ${data})
    string(APPEND text "data ${path}\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/conformance/contents.txt
    CONTENT "${text}")
endfunction()

# An installer linked by tools/package from fixture payloads, built with the
# test programs: brivel_fixture_installer(OUTPUT file.exe ARGS <package args>
# DEPENDS <files or targets> [STRICT]). OUTPUT is relative to
# <build>/fixtures. STRICT links it from the strict kit (Windows' Control
# Flow Guard rule and the volume seam), into <build>/fixtures/strict, for
# runs under Wine only: the conformance kit does not carry it.
set(BRIVEL_FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixtures)
add_custom_target(fixtures ALL)
function(brivel_fixture_installer)
  cmake_parse_arguments(FI "STRICT" "OUTPUT" "ARGS;DEPENDS" ${ARGN})
  if(FI_STRICT)
    set(out ${BRIVEL_FIXTURE_DIR}/strict/${FI_OUTPUT})
    set(kit ${BRIVEL_STRICT_KIT_DIR})
    set(kit_depends strict_guard_installer ${BRIVEL_STRICT_KIT_DIR}/libinstaller.a)
  else()
    set(out ${BRIVEL_FIXTURE_DIR}/${FI_OUTPUT})
    set(kit ${BRIVEL_KIT_DIR})
    set(kit_depends)
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND ${Python3_EXECUTABLE} ${BRIVEL_PACKAGE} --arch ${BRIVEL_ARCH}
            --kit ${kit} --output ${out} ${FI_ARGS}
    DEPENDS kit ${BRIVEL_KIT_FILES} ${kit_depends} ${BRIVEL_PACKAGE_FILES}
            ${FI_DEPENDS}
    COMMENT "Fixture installer ${FI_OUTPUT}"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "fixture_${FI_OUTPUT}" target)
  if(FI_STRICT)
    string(PREPEND target strict_)
  endif()
  add_custom_target(${target} DEPENDS ${out})
  add_dependencies(fixtures ${target})
  if(NOT FI_STRICT)
    brivel_kit_data(${out})
  endif()
endfunction()

# Programs without a run-time library that speak GoogleTest's language
# (tests/support/plain_*): the native scenarios, the kit's runner and its
# calibration. Their imports come from tests/conformance/*.def.
set(BRIVEL_PLAIN_SUPPORT
  ${CMAKE_SOURCE_DIR}/tests/support/plain_text.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/plain_cases.cpp)
brivel_helper_import_library(conformance_kernel32
  ${CMAKE_SOURCE_DIR}/tests/conformance/conformance_kernel32.def)
brivel_helper_import_library(conformance_advapi32
  ${CMAKE_SOURCE_DIR}/tests/conformance/conformance_advapi32.def)

#   brivel_plain_program(name ENTRY symbol SOURCES ... [IMPORTS advapi32])
# A console program in the current binary folder, run by CTest through
# this target's Wine.
function(brivel_plain_program name)
  cmake_parse_arguments(PP "" "ENTRY" "SOURCES;IMPORTS" ${ARGN})
  set(imports conformance_kernel32)
  if("advapi32" IN_LIST PP_IMPORTS)
    list(APPEND imports conformance_advapi32)
  endif()
  brivel_helper_program(${name} SUBSYSTEM console ENTRY ${PP_ENTRY}
    SOURCES ${PP_SOURCES} ${BRIVEL_PLAIN_SUPPORT} ${BRIVEL_HELPER_RUNTIME}
    HELPER_IMPORTS ${imports})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/run-${BRIVEL_ARCH})
endfunction()

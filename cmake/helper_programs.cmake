# Small CRT-free Windows programs built for the current target with the
# product's own rules: the setup stand-in that tests and the demo package
# into installers, and the runner that reports a child's full exit code.
function(brivel_helper_program name)
  cmake_parse_arguments(HP "" "SUBSYSTEM;ENTRY" "SOURCES;IMPORTS" ${ARGN})
  add_executable(${name} ${HP_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${PRODUCT_COMPILE_OPTIONS})
  target_compile_definitions(${name} PRIVATE ${PRODUCT_DEFINITIONS})
  set(libs)
  foreach(dll ${HP_IMPORTS})
    list(APPEND libs ${BRIVEL_KIT_DIR}/lib${dll}.a)
  endforeach()
  target_link_libraries(${name} PRIVATE ${libs})
  target_link_options(${name} PRIVATE -nostdlib -fuse-ld=lld
    "SHELL:-Wl,-e,${HP_ENTRY}" "SHELL:-Wl,--subsystem,${HP_SUBSYSTEM}"
    -Wl,--no-insert-timestamp -s)
  set_target_properties(${name} PROPERTIES
    CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/helpers)
  add_dependencies(${name} kit)
endfunction()

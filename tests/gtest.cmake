# GoogleTest from the Debian sources, built with clang-19 against the posix
# flavour of the mingw-w64 libstdc++ (the win32 flavour lacks std::mutex).
# Test programs are linked statically: a missing libstdc++ DLL makes them
# fail silently under Wine.
set(GCC_MINGW /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(GTEST_ROOT /usr/src/googletest/googletest)

add_library(test_runtime INTERFACE)
target_compile_options(test_runtime INTERFACE
  -nostdinc++
  "SHELL:-isystem ${GCC_MINGW}/include/c++"
  "SHELL:-isystem ${GCC_MINGW}/include/c++/x86_64-w64-mingw32"
  "SHELL:-isystem ${GCC_MINGW}/include/c++/backward"
  -Wno-deprecated-declarations)
target_compile_definitions(test_runtime INTERFACE UNICODE _UNICODE)
target_link_options(test_runtime INTERFACE -static -L${GCC_MINGW})
target_link_libraries(test_runtime INTERFACE -lpthread)

add_library(gtest STATIC ${GTEST_ROOT}/src/gtest-all.cc ${GTEST_ROOT}/src/gtest_main.cc)
target_include_directories(gtest SYSTEM PUBLIC ${GTEST_ROOT}/include PRIVATE ${GTEST_ROOT})
target_link_libraries(gtest PUBLIC test_runtime)
set_target_properties(gtest PROPERTIES CXX_STANDARD 17)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/run-x64)

add_library(test_support STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/test_support.cpp)
target_include_directories(test_support PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(test_support PUBLIC gtest)
set_target_properties(test_support PROPERTIES CXX_STANDARD 17)

# A test program: product code plus GoogleTest, discovered under Wine and
# packed into the conformance kit. The product's guard checks call through
# the pass-throughs of base/control_flow_guard.cpp (the program has no guard
# table).
#   brivel_gtest(name [LOCK resource] sources...)
# LOCK names a shared resource (such as "brivel_registry": the values under
# HKCU\Software\Morvex that every installer run reads and writes) that the
# program's tests must not use at the same time as other tests holding it.
function(brivel_gtest name)
  cmake_parse_arguments(BG "" "LOCK" "" ${ARGN})
  add_executable(${name} ${BG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE product_objects control_flow_guard test_support gtest
    -lkernel32 -ladvapi32 -lshell32 -luser32)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  set_target_properties(${name} PROPERTIES CXX_STANDARD 17
    CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/run-x64)
  set(properties ENVIRONMENT "BRIVEL_BUILD_DIR=${CMAKE_BINARY_DIR}")
  if(BG_LOCK)
    list(APPEND properties RESOURCE_LOCK ${BG_LOCK})
  endif()
  brivel_discover_tests(${name} PROPERTIES ${properties})
  brivel_kit_program(${name} gtest)
endfunction()

# One interface target that every library and program links: warnings are
# errors everywhere, and the sanitizer build adds ASan and UBSan.
add_library(brivasto_options INTERFACE)
if(MSVC)
  target_compile_options(brivasto_options INTERFACE /W4 /WX)
else()
  target_compile_options(brivasto_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast -Werror)
  # GCC 12's -Wrestrict reports impossible overlaps inside std::string's
  # operator+ when optimising at -O3 (GCC bug 105651); it finds nothing real.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(brivasto_options INTERFACE -Wno-restrict)
  endif()
endif()
if(BRIVASTO_SANITIZE)
  target_compile_options(brivasto_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(brivasto_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# brivasto_add_test(NAME SOURCES... LIBS ...): a GoogleTest program beside the
# code it tests, registered with CTest.
function(brivasto_add_test name)
  if(NOT BRIVASTO_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} brivasto_options brivasto_testsupport GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    PROPERTIES ENVIRONMENT "BRIVASTO_SOURCE_DIR=${CMAKE_SOURCE_DIR}" DISCOVERY_TIMEOUT 60)
endfunction()

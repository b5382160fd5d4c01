# Shared helpers for the project's CMake files.

# The include roots: the repository root for the system's own headers and
# wince/include for the host layer's Windows headers.
set(WINM_INCLUDE_DIRS ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/wince/include)

# winm_add_test(NAME SOURCES a_test.cpp ... LIBS lib ...)
# One executable per test source keeps a broken test in one area from
# blocking the others; tests are discovered when ctest runs so that the
# sanitizer builds never execute anything at build time.
#
# In the Windows build only directories that set WINM_WINDOWS_TESTS get their
# tests (the others test the host layer's doubles), and each executable is
# one ctest test run through Wine.
function(winm_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows" AND NOT WINM_WINDOWS_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${WINM_INCLUDE_DIRS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock_main Threads::Threads)
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
    return()
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 300)
endfunction()

# winm_add_tests_in(DIR LIBS lib ...): one test executable for every
# *_test.cpp directly in DIR, named after the file.
function(winm_add_tests_in dir)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  foreach(src IN LISTS tests)
    get_filename_component(base ${src} NAME_WE)
    winm_add_test(${base} SOURCES ${src} LIBS ${T_LIBS})
  endforeach()
endfunction()

# winm_add_fuzzers_in(DIR LIBS lib ...): with WINM_FUZZ, one libFuzzer
# executable for every *_fuzz.cpp directly in DIR, named after the file. Its
# seed corpus lives in DIR/corpus/<name> (tools/fuzz.sh runs them all).
function(winm_add_fuzzers_in dir)
  if(NOT WINM_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  file(GLOB fuzzers CONFIGURE_DEPENDS ${dir}/*_fuzz.cpp)
  foreach(src IN LISTS fuzzers)
    get_filename_component(base ${src} NAME_WE)
    add_executable(${base} ${src})
    target_include_directories(${base} PRIVATE ${WINM_INCLUDE_DIRS})
    target_compile_options(${base} PRIVATE -fsanitize=fuzzer)
    target_link_options(${base} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${base} PRIVATE ${F_LIBS})
    add_dependencies(winm_fuzzers ${base})
  endforeach()
endfunction()

# winm_library(NAME DIR dir [LIBS public libs...] [TEST_LIBS extra test libs...])
# A static library of every *.cpp directly in DIR except tests and fuzz
# targets (an interface library while DIR has none yet), plus one test
# executable per *_test.cpp (and fuzz target per *_fuzz.cpp) in DIR linked
# against it.
function(winm_library name)
  cmake_parse_arguments(L "" "DIR" "LIBS;TEST_LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${L_DIR}/*.cpp)
  set(srcs)
  foreach(src IN LISTS all)
    if(NOT src MATCHES "_(test|fuzz)\\.cpp$")
      list(APPEND srcs ${src})
    endif()
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${WINM_INCLUDE_DIRS})
    target_link_libraries(${name} PUBLIC ${L_LIBS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${WINM_INCLUDE_DIRS})
    target_link_libraries(${name} INTERFACE ${L_LIBS})
  endif()
  winm_add_tests_in(${L_DIR} LIBS ${name} ${L_TEST_LIBS})
  winm_add_fuzzers_in(${L_DIR} LIBS ${name} ${L_TEST_LIBS})
endfunction()

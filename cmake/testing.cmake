# Helpers shared by the test folders of both deliverables.
include_guard(GLOBAL)

# GoogleTest is built from Debian's source package, so the same sources serve the
# native build and the mingw cross build (no Windows binaries of it exist here).
if(NOT TARGET gtest_main)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# kit_test(NAME <name> COMMAND <cmd...> [ENV <var=value...>]) adds a CTest test that,
# in a Windows cross build, runs inside the Wine fixture. A Linux cross build's tests
# need no fixture: each program runs under the emulator on its own.
function(kit_test)
  cmake_parse_arguments(T "" "NAME" "COMMAND;ENV" ${ARGN})
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  if(CMAKE_CROSSCOMPILING AND KIT_PLATFORM STREQUAL windows)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine)
    if(NOT KIT_WINE_RUNS)
      set_tests_properties(${T_NAME} PROPERTIES DISABLED TRUE)
    endif()
  endif()
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()

# kit_gtest(<name> <sources...> LIBS <libs...> [ENV ...]) builds one GoogleTest binary
# and runs it as one test.
function(kit_gtest name)
  cmake_parse_arguments(T "" "" "LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kit_warnings GTest::gtest_main)
  kit_test(NAME ${name} COMMAND ${name} ENV ${T_ENV})
endfunction()

# Wine as the emulator for a cross build: CTest runs every Windows test through
# wine-run, and a fixture keeps one wineserver alive for the whole test run, which
# cuts each process start from seconds to a tenth of one.
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # 32-bit Wine comes from a 32-bit Debian system of its own, built once by
  # tools/wine-root, so this machine needs no i386 package. Empty: this machine's own.
  set(KIT_WINE_ROOT ${CMAKE_BINARY_DIR}/wine-root CACHE PATH
      "32-bit Debian system with Wine for the tests (tools/wine-root); empty: the machine's own Wine")
  set(WINE_LOADER wine)
  set(WINE_SERVER wineserver)
  # A kernel without 32-bit support (booted with ia32_emulation=off) refuses every 32-bit
  # program, Wine's too: the tests are then built but disabled, and tools/wine-vm runs
  # them in a virtual machine. Setting KIT_WINE_RUNS skips the probe (tools/wine-vm does).
  if(NOT DEFINED KIT_WINE_RUNS)
    execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/ia32-probe ${CMAKE_BINARY_DIR}
                    RESULT_VARIABLE probe)
    if(probe EQUAL 0)
      set(KIT_WINE_RUNS ON)
    else()
      set(KIT_WINE_RUNS OFF)
      message(WARNING "This kernel refuses 32-bit x86 programs (ia32_emulation is off), so "
                      "Wine cannot run them either: the Windows tests are built but disabled. "
                      "tools/wine-vm runs them in a virtual machine that boots the same "
                      "32-bit system, built into ${KIT_WINE_ROOT}.")
    endif()
  endif()
  if(KIT_WINE_RUNS AND KIT_WINE_ROOT)
    message(STATUS "Windows tests: 32-bit Wine from ${KIT_WINE_ROOT}, built on first build "
                   "(as root, about 2 minutes and 1.1 GB; this machine's packages stay as they are)")
    add_custom_command(OUTPUT ${KIT_WINE_ROOT}/.kit-wine-root
      COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-root ${KIT_WINE_ROOT}
      COMMAND ${CMAKE_COMMAND} -E touch ${KIT_WINE_ROOT}/.kit-wine-root
      DEPENDS ${PROJECT_SOURCE_DIR}/tools/wine-root
      COMMENT "Building the 32-bit Wine system" USES_TERMINAL)
    add_custom_target(wine_root ALL DEPENDS ${KIT_WINE_ROOT}/.kit-wine-root)
  endif()
else()
  # 64-bit Wine runs Windows programs as 64-bit Linux processes: this machine's own
  # wine64, which Debian keeps off PATH.
  set(KIT_WINE_ROOT "")
  set(KIT_WINE_RUNS ON)
  set(WINE_LOADER /usr/lib/wine/wine64)
  set(WINE_SERVER /usr/lib/wine/wineserver64)
endif()

# wineserver -p needs the folder to exist; Wine fills an empty one on first use.
file(MAKE_DIRECTORY ${WINE_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# The server and the helper processes Wine starts with it outlive the setup test, so
# they must not hold CTest's output pipe open: their output goes to a log instead.
# A server still running for this prefix (one lingers for seconds after its last
# process, and an interrupted run leaves its persistent one) would make "-p" fail: it
# is stopped first, and waited for.
set(wine_run ${CMAKE_BINARY_DIR}/wine-run)
add_test(NAME wine.start
         COMMAND sh -c "{ '${wine_run}' --server -k; '${wine_run}' --server -w; \
                          '${wine_run}' --server -p && '${wine_run}' cmd /c exit 0; \
                        } </dev/null >'${CMAKE_BINARY_DIR}/wine-start.log' 2>&1")
add_test(NAME wine.stop COMMAND sh -c "'${wine_run}' --server -k || true")
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
set(wine_tests wine.start wine.stop)
if(KIT_WINE_ROOT)
  # While a Wine process runs and after, no mount is left where this machine sees it,
  # so deleting the build tree with the system in it deletes nothing else.
  add_test(NAME wine.unmounted
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/wine-unmounted ${KIT_WINE_ROOT} ${wine_run}
                   ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(wine.unmounted PROPERTIES FIXTURES_REQUIRED wine)
  list(APPEND wine_tests wine.unmounted)
endif()
if(NOT KIT_WINE_RUNS)
  set_tests_properties(${wine_tests} PROPERTIES DISABLED TRUE)
endif()

# Wine as the emulator for a cross build: CTest runs every Windows test through
# wine-run, and a fixture keeps one wineserver alive for the whole test run, which
# cuts each process start from seconds to a tenth of one.
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# Wine runs a 32-bit Windows program as a 32-bit Linux process. A kernel without 32-bit
# support (booted with ia32_emulation=off) refuses those with "Exec format error", and
# then no Windows test can run: they are built, and disabled with a warning, rather than
# failed for a reason that lies in the machine. wine32 brings the 32-bit loader probed
# here; without it nothing is disabled, so a missing Wine still fails loudly. Setting
# KIT_WINE_RUNS skips the probe: tools/wine-vm builds here and runs the tests elsewhere.
if(DEFINED KIT_WINE_RUNS)
  # given on the command line
elseif(EXISTS /lib/ld-linux.so.2)
  set(KIT_WINE_RUNS ON)
  execute_process(COMMAND /lib/ld-linux.so.2 --version OUTPUT_VARIABLE probe ERROR_QUIET)
  if(NOT probe MATCHES "ld\\.so")
    set(KIT_WINE_RUNS OFF)
    message(WARNING "This machine cannot run 32-bit x86 programs (the kernel refuses them: "
                    "ia32_emulation is off), so Wine cannot either: the Windows tests are "
                    "built but disabled; tools/wine-vm runs them in a virtual machine.")
  endif()
else()
  set(KIT_WINE_RUNS ON)
endif()
# wineserver -p needs the folder to exist; Wine fills an empty one on first use.
file(MAKE_DIRECTORY ${WINE_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# The server and the helper processes Wine starts with it outlive the setup test, so
# they must not hold CTest's output pipe open: their output goes to a log instead.
add_test(NAME wine.start
         COMMAND sh -c "{ WINEPREFIX='${WINE_PREFIX}' wineserver -p && \
                          '${CMAKE_BINARY_DIR}/wine-run' cmd /c exit 0; \
                        } </dev/null >'${CMAKE_BINARY_DIR}/wine-start.log' 2>&1")
add_test(NAME wine.stop COMMAND sh -c "WINEPREFIX='${WINE_PREFIX}' wineserver -k || true")
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
if(NOT KIT_WINE_RUNS)
  set_tests_properties(wine.start wine.stop PROPERTIES DISABLED TRUE)
endif()

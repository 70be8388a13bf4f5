# Wine as the emulator for a cross build: CTest runs every Windows test through
# wine-run, and a fixture keeps one wineserver alive for the whole test run, which
# cuts each process start from seconds to a tenth of one.
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
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

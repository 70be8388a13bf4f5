# Toolchain body for cross-building for Windows with mingw-w64, for the triplet of the
# CMAKE_SYSTEM_PROCESSOR that the including file sets (i686 or x86_64). Running the
# results under Wine is set up by cmake/wine.cmake, for the tests only.
set(CMAKE_SYSTEM_NAME Windows)
set(triplet ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

# The posix thread model gives the tests std::thread; -static keeps its runtime inside
# each binary, so nothing beyond the system DLLs is needed at run time.
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

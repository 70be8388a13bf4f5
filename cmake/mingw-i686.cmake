# Toolchain for 32-bit Windows on x86 (mingw-w64).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

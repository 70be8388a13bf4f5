# Toolchain for 64-bit Windows on x86-64 (mingw-w64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

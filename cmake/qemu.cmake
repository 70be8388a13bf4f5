# qemu's user-mode emulation as the emulator for a Linux cross build: CTest runs every
# test program through qemu-run, which runs it under qemu-aarch64 with a sysroot of the
# target's libraries. tools/cross-root makes both at configure time (the benchmarks find
# Google Benchmark there); nothing is registered with the kernel, so only programs
# started through qemu-run are emulated.
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
  message(FATAL_ERROR "tests of a Linux cross build run for aarch64 only, not ${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(KIT_CROSS_ROOT ${CMAKE_BINARY_DIR}/cross-root CACHE PATH
    "qemu-aarch64 and the arm64 sysroot for the tests (tools/cross-root)")
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/cross-root ${KIT_CROSS_ROOT}
                RESULT_VARIABLE cross_root)
if(NOT cross_root EQUAL 0)
  message(FATAL_ERROR "tools/cross-root ${KIT_CROSS_ROOT} failed (see above)")
endif()
set(KIT_SYSROOT ${KIT_CROSS_ROOT}/sysroot)
set(QEMU ${KIT_CROSS_ROOT}/qemu-aarch64-static)
list(APPEND CMAKE_FIND_ROOT_PATH ${KIT_SYSROOT})

configure_file(${CMAKE_CURRENT_LIST_DIR}/qemu-run.in ${CMAKE_BINARY_DIR}/qemu-run
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/qemu-run)

# Packages: a .deb and a .tar.gz on Linux, a .zip for Windows i686.
set(CPACK_PACKAGE_NAME tarnkit)
set(CPACK_PACKAGE_VENDOR "tarnkit")
set(CPACK_PACKAGE_CONTACT "tarnkit maintainers <maintainers@tarnkit.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "patchscript (byte patch scripts) and tarnheap (an allocation router onto jemalloc)")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  # Both libraries are bound by name at run time, so the package names them as
  # dependencies rather than through linked symbols.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libssl3, libjemalloc2")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
endif()
include(CPack)

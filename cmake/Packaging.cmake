# CPack: the Debian packages liborv-lib1 (runtime), liborv-lib-dev (header,
# CMake package, pkg-config file) and orv-tools (orvctl, orv-sim, man pages);
# on Windows one zip per architecture. scripts/package.sh builds them all.
# The Python package carries the version too; it must not drift from project().
file(STRINGS ${PROJECT_SOURCE_DIR}/python/orvlib/_version.py _py_version REGEX "^__version__")
if(NOT _py_version STREQUAL "__version__ = \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "python/orvlib/_version.py says ${_py_version}, project() ${PROJECT_VERSION}")
endif()

set(CPACK_PACKAGE_NAME orv_lib)
set(CPACK_PACKAGE_VENDOR "Orv_Lib developers")
set(CPACK_PACKAGE_CONTACT "Orv_Lib developers <orv-lib@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "exchange data files with an electronic cash register over RS-232, TCP or USB")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liborv-lib1)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  # Creates the group of the udev rule for USB registers.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME liborv-lib-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "liborv-lib1 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME orv-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
      "liborv-lib1 (= ${PROJECT_VERSION}), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
  if(TARGET orv-collect)
    # orv-collect reads its job files through toml++, a shared library on Debian.
    string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", libtomlplusplus3")
  endif()
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Orv_Lib shared library")
  set(CPACK_COMPONENT_DEV_DESCRIPTION "Orv_Lib header, CMake package and pkg-config file")
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION "orvctl, the command-line host, and orv-sim, a register simulator")
endif()
include(CPack)

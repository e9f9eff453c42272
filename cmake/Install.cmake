# What `cmake --install` puts in place, split into the components the packages
# are made of: runtime (the shared library), dev (header, import library, .def,
# CMake package, pkg-config file) and tools (orvctl, orv-sim, their man pages;
# on Windows orvctl.exe alone).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvLib)
install(FILES ${PROJECT_SOURCE_DIR}/include/orv_lib.h ${PROJECT_BINARY_DIR}/include/orv_lib_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The pkg-config file finds its prefix from its own place, so an installed tree
# can be moved (or unpacked from a package into any root) and still be used.
file(RELATIVE_PATH ORV_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
if(WIN32)
  set(ORV_PC_LIBS "-L\${libdir} -lOrv_Lib_host")
else()
  set(ORV_PC_LIBS "-L\${libdir} -lorv_lib")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/orv_lib.pc.in ${PROJECT_BINARY_DIR}/orv_lib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orv_lib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

if(WIN32)
  # The DLL, the import library made for MinGW hosts (stdcall-decorated names
  # on i686) and the export definitions from which MSVC hosts make theirs.
  install(FILES $<TARGET_FILE:orv_lib> DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  # A stripped install (the packages) drops the debug sections that the static
  # runtime brings along, half the DLL's size; a file install is not stripped
  # by CMake itself.
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:orv_lib>\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT runtime)
  install(FILES ${ORV_HOST_IMPLIB} ${PROJECT_SOURCE_DIR}/src/dll/Orv_Lib.def
          DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  # Import library for MSVC hosts, in the short import format MSVC's own tools
  # write. One made with "lib /def:Orv_Lib.def /machine:x86" does not link: its
  # entries are the undecorated names, a 32-bit host refers to the stdcall ones
  # ("_Ol_Cancel@4"). Here the entries are those of the stdcall definitions,
  # each importing the DLL's plain name (-k).
  find_program(ORV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  if(ORV_LLVM_DLLTOOL)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
      set(_msvc_machine i386)
      set(_msvc_def ${PROJECT_SOURCE_DIR}/src/dll/Orv_Lib_stdcall.def)
    else()
      set(_msvc_machine i386:x86-64)
      set(_msvc_def ${PROJECT_SOURCE_DIR}/src/dll/Orv_Lib.def)
    endif()
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/src/Orv_Lib.lib
      COMMAND ${ORV_LLVM_DLLTOOL} -m ${_msvc_machine} -k -d ${_msvc_def} -D Orv_Lib.dll
              -l ${PROJECT_BINARY_DIR}/src/Orv_Lib.lib
      DEPENDS ${_msvc_def}
      COMMENT "Import library for MSVC hosts")
    add_custom_target(orv_lib_msvc_implib ALL DEPENDS ${PROJECT_BINARY_DIR}/src/Orv_Lib.lib)
    install(FILES ${PROJECT_BINARY_DIR}/src/Orv_Lib.lib DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  else()
    message(STATUS "llvm-dlltool not found: no Orv_Lib.lib for MSVC hosts")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/doc/README-windows.txt ${PROJECT_SOURCE_DIR}/LICENSE
                ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION . COMPONENT dev)
else()
  install(TARGETS orv_lib EXPORT OrvLibTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/liborv-lib1
          RENAME copyright COMPONENT runtime)
  install(EXPORT OrvLibTargets NAMESPACE OrvLib:: DESTINATION ${ORV_CMAKE_DIR} COMPONENT dev)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/OrvLibConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/OrvLibConfig.cmake
                                INSTALL_DESTINATION ${ORV_CMAKE_DIR})
  # 1.x hosts build against any 1.y >= the version they ask for.
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/OrvLibConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/OrvLibConfig.cmake ${PROJECT_BINARY_DIR}/OrvLibConfigVersion.cmake
          DESTINATION ${ORV_CMAKE_DIR} COMPONENT dev)
endif()

if(WIN32 AND TARGET orvctl)
  # orvctl.exe beside the DLL it loads.
  install(TARGETS orvctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
elseif(TARGET orvctl AND TARGET orv-sim)
  # The tools find the library beside them in any prefix, not only in /usr.
  set_target_properties(orvctl PROPERTIES INSTALL_RPATH "\$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  # orv_lib_version.h for both programs' --version (orvctl has it through the
  # library's include path).
  target_include_directories(orv-sim PRIVATE ${PROJECT_BINARY_DIR}/include)
  install(TARGETS orvctl orv-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  if(TARGET orv-collect)
    set_target_properties(orv-collect PROPERTIES INSTALL_RPATH "\$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS orv-collect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()

  # Man pages made from the programs' own --help at build time, so they always
  # describe the options the programs take. Not in sanitizer builds, whose
  # programs may report at exit and fail the run.
  find_program(ORV_HELP2MAN help2man)
  if(ORV_HELP2MAN AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    set(_man_dir ${PROJECT_BINARY_DIR}/man)
    set(_orvctl_name "command-line host of Orv_Lib: exchanges files with a cash register")
    set(_orv-sim_name "cash register simulator for testing Orv_Lib hosts over TCP or a serial line")
    set(_pages)
    foreach(tool orvctl orv-sim)
      add_custom_command(
        OUTPUT ${_man_dir}/${tool}.1.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
        COMMAND ${ORV_HELP2MAN} --no-info --no-discard-stderr
                --version-string=${PROJECT_VERSION} --name=${_${tool}_name}
                --output=${_man_dir}/${tool}.1 $<TARGET_FILE:${tool}>
        COMMAND gzip -9nf ${_man_dir}/${tool}.1
        DEPENDS ${tool}
        COMMENT "Man page ${tool}(1) from its --help"
        VERBATIM)
      list(APPEND _pages ${_man_dir}/${tool}.1.gz)
    endforeach()
    add_custom_target(orv_man_pages ALL DEPENDS ${_pages})
    install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endif()

# The udev rule that lets a group reach the registers' USB ids (usb: names).
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-orv-lib-usb.rules
          DESTINATION lib/udev/rules.d COMPONENT runtime)
endif()

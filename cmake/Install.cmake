# Install rules and the Debian package of the library and tmctl.
#
# Installed: libtmcommon.so.1 (soname from the major version) with its
# development link, the public headers under include/tmcommon, tmctl with
# its manual page and bash completion, the CMake package (tmcommonConfig)
# and tmcommon.pc. The library's path and the prefix decide the defaults
# of an installed system (the registry and the log directory): see
# docs/installation.md.

include(CMakePackageConfigHelpers)

set(TM_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tmcommon)

# tmctl finds the library through the linker's search path when the prefix
# is the system's own; any other prefix gets a RUNPATH relative to the
# program, never one into the build tree.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  file(RELATIVE_PATH TM_BIN_TO_LIB
    ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(tmctl PROPERTIES INSTALL_RPATH "$ORIGIN/${TM_BIN_TO_LIB}")
endif()

install(TARGETS tmcommon EXPORT tmcommonTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tmcommon
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(TARGETS tmctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Written by tmctl at build time, when its build has them.
install(FILES ${PROJECT_BINARY_DIR}/tools/tmctl.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)
install(FILES ${PROJECT_BINARY_DIR}/tools/tmctl.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tmctl OPTIONAL)

install(EXPORT tmcommonTargets NAMESPACE tmcommon:: DESTINATION ${TM_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tmcommonConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tmcommonConfig.cmake INSTALL_DESTINATION ${TM_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tmcommonConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tmcommonConfig.cmake
  ${PROJECT_BINARY_DIR}/tmcommonConfigVersion.cmake DESTINATION ${TM_CMAKE_PACKAGE_DIR})

# tmcommon.pc names the prefix it is installed under (that of `cmake
# --install --prefix` or of the package), not the one configured here.
set(TM_PC_PREFIX "@TM_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tmcommon.pc.in ${PROJECT_BINARY_DIR}/tmcommon.pc.in @ONLY)
install(CODE "
  set(TM_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/tmcommon.pc.in\" \"${PROJECT_BINARY_DIR}/tmcommon.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/tmcommon.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# cpack -G DEB (from the build directory): one package with the library,
# its headers and tmctl, installed under /usr.
set(CPACK_PACKAGE_NAME tmcommon)
set(CPACK_PACKAGE_VENDOR "Tamarak")
set(CPACK_PACKAGE_CONTACT "Tamarak maintainers <maintainers@tamarak.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "common library of the Tamarak mail server's processes, and tmctl")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Runtime dependencies from the binaries themselves (libsqlite3, libc,
# libstdc++), and a shlibs file with the ldconfig trigger for the library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_GENERATOR DEB)
include(CPack)

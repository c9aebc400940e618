# What `cmake --install` puts in place, and the Debian package made from it;
# for Windows builds, the release archive's layout instead.
include(CMakePackageConfigHelpers)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/MarluneWindowsRelease.cmake)
  return()
endif()

install(TARGETS marlune EXPORT MarluneTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/marlune.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The installed command finds the library beside its own folder, in whatever prefix it
# was installed to, and without ldconfig having run since (as in /usr/local).
file(RELATIVE_PATH marlune_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(marlune_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${marlune_bin_to_lib}")
install(TARGETS marlune_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${MARLUNE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/marlune.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME marlune)

# /usr/share/doc/marlune: what Debian wants there, and the pages a user reads.
set(MARLUNE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/marlune)
file(ARCHIVE_CREATE OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  PATHS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog FORMAT raw COMPRESSION GZip)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz
  ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/cli.md ${PROJECT_SOURCE_DIR}/docs/c-api.md
  ${PROJECT_SOURCE_DIR}/docs/python.md DESTINATION ${MARLUNE_DOC_DIR})

# find_package(Marlune 1.0) giving Marlune::marlune.
set(MARLUNE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Marlune)
install(EXPORT MarluneTargets NAMESPACE Marlune:: DESTINATION ${MARLUNE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MarluneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MarluneConfig.cmake INSTALL_DESTINATION ${MARLUNE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MarluneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MarluneConfig.cmake ${PROJECT_BINARY_DIR}/MarluneConfigVersion.cmake
  DESTINATION ${MARLUNE_CMAKE_DIR})

# pkg-config --cflags --libs marlune; relative to its own folder, so that the
# installed tree can be moved. A program built with it must start without
# LD_LIBRARY_PATH or ldconfig: outside /usr, whose library folders the loader
# searches by itself, the library's folder is also the program's run path. The
# prefix is known only when installing (cmake --install --prefix), so the choice
# between the two files is made then.
file(RELATIVE_PATH MARLUNE_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" MARLUNE_PC_TO_PREFIX "${MARLUNE_PC_TO_PREFIX}")
set(MARLUNE_PC_RUN_PATH "")
configure_file(${CMAKE_CURRENT_LIST_DIR}/marlune.pc.in ${PROJECT_BINARY_DIR}/marlune.pc @ONLY)
set(MARLUNE_PC_RUN_PATH " -Wl,-rpath,\${libdir}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/marlune.pc.in ${PROJECT_BINARY_DIR}/pc-run-path/marlune.pc @ONLY)
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
    set(marlune_pc \"${PROJECT_BINARY_DIR}/marlune.pc\")
  else()
    set(marlune_pc \"${PROJECT_BINARY_DIR}/pc-run-path/marlune.pc\")
  endif()
  file(INSTALL \"\${marlune_pc}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
")

set(CPACK_GENERATOR DEB)
# The package installs as into /usr itself (under DESTDIR), so that what is chosen
# at install time by the prefix (marlune.pc) is chosen for /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGE_NAME marlune)
set(CPACK_PACKAGE_VENDOR "Marlune")
set(CPACK_PACKAGE_CONTACT "Marlune developers <marlune@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy and normalise KVRB audio containers")
set(CPACK_PACKAGE_DESCRIPTION "Marlune copies KVRB audio containers, checking their framing and giving every chunk a 330-byte payload where the container asks for fixed-length chunks. This package holds the marlune command, the shared library libmarlune.so.1, its C header, its CMake package and its pkg-config file.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

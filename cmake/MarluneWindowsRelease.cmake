# The Windows release archive: one zip with the 32-bit build in x86/ and the
# 64-bit build in x64/. Each cross-build installs its own folder; the 32-bit
# build's CPack then packs both, given the 64-bit build tree:
#   cmake ... -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
#             -DMARLUNE_WINDOWS_X64_BUILD=<the x86_64 build tree>
#   cpack -G ZIP   (in the 32-bit build tree)
set(release ${PROJECT_SOURCE_DIR}/packaging/windows)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(arch x64)
  install(FILES ${MARLUNE_DEF_X64} DESTINATION x64 RENAME Marlune.def)
else()
  set(arch x86)
  install(FILES ${MARLUNE_DEF_X86} DESTINATION . RENAME Marlune.def)
  install(FILES ${release}/LINKING.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
endif()
install(TARGETS marlune RUNTIME DESTINATION ${arch} ARCHIVE DESTINATION ${arch})
install(TARGETS marlune_cli RUNTIME DESTINATION ${arch})
install(FILES ${PROJECT_SOURCE_DIR}/include/marlune.h DESTINATION include)

set(MARLUNE_WINDOWS_X64_BUILD "" CACHE PATH "The x86_64 build tree whose files join the 32-bit build's archive")
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Marlune)
set(CPACK_PACKAGE_FILE_NAME Marlune-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# The DLLs go out exactly as they were built and tested.
set(CPACK_STRIP_FILES OFF)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};Marlune;ALL;/")
if(MARLUNE_WINDOWS_X64_BUILD)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${MARLUNE_WINDOWS_X64_BUILD};Marlune;ALL;/")
endif()
include(CPack)

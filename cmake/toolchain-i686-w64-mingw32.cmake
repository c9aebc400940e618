# Cross-build for 32-bit Windows (i686): Marlune.dll as hosts load it.
# Debian's MinGW-w64 (g++-mingw-w64-i686, mingw-w64-tools); the tests run under Wine.
set(MARLUNE_MINGW_PROCESSOR i686)
set(MARLUNE_WINE /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

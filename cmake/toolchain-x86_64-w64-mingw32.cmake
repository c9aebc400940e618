# Cross-build for 64-bit Windows (x86_64).
# Debian's MinGW-w64 (g++-mingw-w64-x86-64, mingw-w64-tools); the tests run under Wine.
set(MARLUNE_MINGW_PROCESSOR x86_64)
set(MARLUNE_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# What both MinGW-w64 toolchain files share; they set MARLUNE_MINGW_PROCESSOR
# (i686 or x86_64) and MARLUNE_WINE (the Wine loader that runs the tests).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MARLUNE_MINGW_PROCESSOR})

set(target ${MARLUNE_MINGW_PROCESSOR}-w64-mingw32)
# The posix thread model: the tests use std::thread, which GCC 12's win32 model lacks.
set(CMAKE_C_COMPILER ${target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${target}-g++-posix)
set(CMAKE_RC_COMPILER ${target}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their runtimes (libgcc, libstdc++, winpthread): nothing to put beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR ${MARLUNE_WINE})

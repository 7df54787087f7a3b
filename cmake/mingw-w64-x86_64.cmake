# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads), everything linked
# statically so that each .exe runs on its own; the programs and tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUARVO_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QUARVO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARVO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARVO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUARVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release executables carry no symbols: what is shipped stays small.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

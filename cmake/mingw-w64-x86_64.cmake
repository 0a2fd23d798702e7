# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
# The -posix compilers: the win32 thread model has no std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FWLOAD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FWLOAD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FWLOAD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FWLOAD_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FWLOAD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe that runs alone: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, in a private mount namespace (see cmake/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)

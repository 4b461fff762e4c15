# Cross-compiling for 64-bit Windows on Linux with Debian's MinGW-w64, posix thread flavour
# (std::thread and std::mutex need it). Used by tools/windows.sh:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVELTO_WINDOWS_PYTHON=<cpXY folder> ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VELTO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELTO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTO_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${VELTO_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The C++ runtime and winpthread go into each DLL, so a Windows machine needs no MinGW DLLs:
# only the interpreter's DLL, the system's and the engine library.
# -static picks the static libstdc++, libgcc and libwinpthread; system and interpreter DLLs have
# import libraries only and stay dynamic.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

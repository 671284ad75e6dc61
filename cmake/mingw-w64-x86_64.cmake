# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain (g++-mingw-w64-x86-64-posix:
# the POSIX thread model, which std::thread and std::mutex need). Every program is linked
# statically against libgcc, libstdc++ and winpthread, so that a .exe runs on a Windows machine,
# and under Wine, without any DLL copied beside it.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Tests and build-time tools run under Wine (CMAKE_CROSSCOMPILING_EMULATOR) when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ARI_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ARI_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ARI_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ARI_MINGW_TRIPLE}-windres)

# Libraries and headers of the target only (zlib from libz-mingw-w64-dev lives here); programs
# of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ARI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The static zlib, not its import library (which would need zlib1.dll beside the programs).
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(ARI_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ARI_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ARI_WINE})
endif()

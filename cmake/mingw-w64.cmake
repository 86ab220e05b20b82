# Cross-compiling for 64-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FISKAL_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${FISKAL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FISKAL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${FISKAL_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FISKAL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No CMAKE_CROSSCOMPILING_EMULATOR: Wine started by ctest or a build step
# would map COM1 and the like to the machine's own serial devices. The
# Windows programs run under Wine only through scripts/windows, in a sandbox
# without serial devices.

# Cross build of the Windows program (upgrade.exe) with the MinGW-w64 toolchain:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win --target upgrade
# On Debian the toolchain is the package g++-mingw-w64-x86-64; its "posix" compilers, whose
# runtime has the standard library's threads (a station serves each port in a thread of its own).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UPGRADE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UPGRADE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPGRADE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${UPGRADE_MINGW_PREFIX}-windres)

# Libraries and headers come from the toolchain's own tree, never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${UPGRADE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

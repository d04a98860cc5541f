# Cross-building the Win64 module (and the host library and integration tests that check it)
# with Debian's mingw-w64 compilers, the POSIX-threads flavour that C++ threads need:
#   cmake -S . -B build-win64 -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTREL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTREL_MINGW_PREFIX}-windres)

# Libraries and headers come from the cross environment only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VANTREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

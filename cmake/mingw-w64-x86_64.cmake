# Cross build of the Windows program with MinGW-w64 (x86_64), run under Wine
# for the Windows-layer tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
# The win32-threads compilers, not the posix-threads ones: these link
# winpthreads statically, which imports GetTickCount64 and so keeps the
# program from starting on systems older than major version 6. The program
# starts no threads of its own. No fallback to the plain names, which may
# point at either variant.
#
# A build folder keeps the compilers it was first configured with, and its
# objects: one made with the posix-threads ones must be made again from
# nothing, not quietly reused.
if(DEFINED CACHE{CMAKE_CXX_COMPILER} AND NOT "$CACHE{CMAKE_CXX_COMPILER}" MATCHES "-win32$")
  message(FATAL_ERROR "${CMAKE_BINARY_DIR} was configured with $CACHE{CMAKE_CXX_COMPILER}; "
                      "remove that folder to build with the win32-threads compilers")
endif()
find_program(CMAKE_C_COMPILER NAMES ${TOOLCHAIN_PREFIX}-gcc-win32 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TOOLCHAIN_PREFIX}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TOOLCHAIN_PREFIX}-windres REQUIRED)
# The message compiler, for the texts of the program's events.
find_program(ADDRSMITH_WINDMC NAMES ${TOOLCHAIN_PREFIX}-windmc REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Lets `ctest` in the Windows build directory run the test programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

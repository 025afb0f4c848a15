# Cross-compiles the same program as a 64-bit Windows console program, for
# the Wine tests on machines that cannot run 32-bit code, with Debian's
# g++-mingw-w64-x86-64:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# The program is single-threaded, so the compiler with the win32 thread model
# is preferred: its static runtime needs no winpthread. The posix variant and
# the plain alternative are the fallbacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZMODEM_MINGW_PREFIX x86_64-w64-mingw32)

find_program(ZMODEM_MINGW_CXX
  NAMES ${ZMODEM_MINGW_PREFIX}-g++-win32 ${ZMODEM_MINGW_PREFIX}-g++-posix ${ZMODEM_MINGW_PREFIX}-g++
  REQUIRED)
find_program(ZMODEM_MINGW_RC NAMES ${ZMODEM_MINGW_PREFIX}-windres)

set(CMAKE_CXX_COMPILER ${ZMODEM_MINGW_CXX})
if(ZMODEM_MINGW_RC)
  set(CMAKE_RC_COMPILER ${ZMODEM_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${ZMODEM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
